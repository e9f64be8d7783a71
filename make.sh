#!/bin/sh
# The entry point for a fresh clone: installs the system packages a job needs (as root, on
# Debian), then runs it with make.
#   sh make.sh demo     build the package and run the demo
#   sh make.sh test     the test suites and lints
#   sh make.sh TARGET   any other make target (bench, sanitize, fuzz, wheel-check, ...)
set -eu
cd "$(dirname "$0")"
[ "$#" -gt 0 ] || set -- demo
job=$1
case "$job" in
  demo) deps=demo ;;
  sanitize | fuzz) deps=ci ;;
  *) deps=test ;;
esac
python=$(sh scripts/system_deps.sh "$deps")
exec make PYTHON="$python" "$@"
