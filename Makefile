# Two commands do everything: `make demo` and `make test`. `make bench` runs the benchmarks.
# PYTHON names the interpreter (3.13 or newer); without it the first working one of
# python3.13, python3.14, python3 is used.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS ?= 2

PYTHON_CANDIDATES := $(if $(PYTHON),$(PYTHON),python3.13 python3.14 python3)
FIND_PYTHON := for p in $(PYTHON_CANDIDATES); do \
	  if command -v $$p >/dev/null 2>&1 && $$p -c 'import sys, venv; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1; then \
	    echo $$p; break; fi; done

.PHONY: all venv install test test-python test-cpp demo bench clean

all: install

$(VPY):
	@py="$$($(FIND_PYTHON))"; \
	if [ -z "$$py" ]; then \
	  echo "error: no working Python 3.13 or newer found (tried: $(PYTHON_CANDIDATES)); set PYTHON=/path/to/python3.13" >&2; \
	  exit 1; fi; \
	echo "using $$py ($$($$py --version))"; \
	$$py -m venv $(VENV) && $(VPY) -m pip install -q --upgrade pip

venv: $(VPY)

# Build dependencies live in the venv so that rebuilds are incremental (build/ is kept).
install: $(VPY)
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

test: install test-python test-cpp

test-python:
	$(VPY) -P -m pytest -q tests/python

test-cpp: install
	@echo "building and running the C++ tests (GoogleTest, CTest)"
	@$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DREVURADOVA_BUILD_MODULE=OFF -DREVURADOVA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null \
	  || { echo "GoogleTest not found: install it (Debian: apt-get install libgtest-dev)" >&2; exit 1; }
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

demo: install
	$(VPY) examples/quickstart.py

bench: install
	$(VPY) -m pip install -q --no-build-isolation ".[bench]"
	$(VPY) benchmarks/bench_bm25.py
	$(VPY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) *.egg-info
