#!/bin/sh
# Finds the system packages a job needs and installs the missing ones with apt-get.
#   sh scripts/system_deps.sh demo|test|ci
# As root on Debian the missing packages are installed; otherwise the one apt-get line to run
# is printed and the script fails. On success it prints the Python interpreter to use.
set -eu

job=${1:-test}
missing=""
need() { missing="$missing $1"; }
say() { echo "$*" >&2; }

# A Python 3.13+ that can build the module: venv with ensurepip (a venv without pip is
# useless) and the C headers.
py_ok() { "$1" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1; }
py_has_venv() { "$1" -c 'import venv, ensurepip' >/dev/null 2>&1; }
py_has_headers() {
  "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    >/dev/null 2>&1
}
find_python() {
  for p in ${PYTHON:-python3.13 python3.14 python3}; do
    if command -v "$p" >/dev/null 2>&1 && py_ok "$p"; then command -v "$p"; return 0; fi
  done
  return 1
}
# Debian's name for an interpreter's packages (python3.13 for /usr/bin/python3.13), or nothing
# when the interpreter is not Debian's.
debian_python_package() {
  case "$1" in
    /usr/bin/python3*) "$1" -c 'import sys; print("python%d.%d" % sys.version_info[:2])' ;;
  esac
}
apt_candidate() {
  command -v apt-cache >/dev/null 2>&1 &&
    apt-cache policy "$1" 2>/dev/null | grep -q 'Candidate: [0-9]'
}
apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "apt-get update"
    apt-get update -qq >&2
    apt_updated=1
  fi
}

command -v make >/dev/null 2>&1 || need make
command -v g++ >/dev/null 2>&1 || need g++
case "$job" in
  test | ci)
    [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] || need libgtest-dev
    ;;
esac
if [ "$job" = ci ]; then
  command -v git >/dev/null 2>&1 || need git
  command -v clang++ >/dev/null 2>&1 || need clang
  [ -d /usr/share/i18n/locales ] || need locales
  command -v debootstrap >/dev/null 2>&1 || need debootstrap
fi

python=""
if python=$(find_python); then
  pkg=$(debian_python_package "$python")
  if ! py_has_venv "$python"; then
    if [ -n "$pkg" ]; then need "$pkg-venv"; else
      say "error: $python has no working venv/ensurepip; use another Python 3.13+ (PYTHON=...)"
      exit 1
    fi
  fi
  if ! py_has_headers "$python"; then
    if [ -n "$pkg" ]; then need "$pkg-dev"; else
      say "error: $python has no C headers (Python.h); use another Python 3.13+ (PYTHON=...)"
      exit 1
    fi
  fi
else
  apt_update
  if apt_candidate python3.13; then
    need python3.13
    need python3.13-venv
    need python3.13-dev
  else
    say "error: no Python 3.13 or newer found (tried: ${PYTHON:-python3.13 python3.14 python3}),"
    say "and this system's packages have none (Debian 12 ships 3.11). Install CPython 3.13+"
    say "(for instance with pyenv) and run again with PYTHON=/path/to/python3.13."
    exit 1
  fi
fi

if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    say "error: missing system packages. As root, run:"
    say "  apt-get update && apt-get install -y$missing"
    exit 1
  fi
  apt_update
  say "installing:$missing"
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >&2
  [ -n "$python" ] || python=$(find_python)
fi
echo "$python"
