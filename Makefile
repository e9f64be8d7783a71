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

.PHONY: all venv install test test-python test-cpp lint sanitize fuzz wheel-check demo bench clean

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
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja build abi3audit auditwheel
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

# Every step that runs tests depends on install, so `make -j test` never runs pytest against a
# half-installed package.
test: test-python test-cpp lint

test-python: install
	$(VPY) -P -m pytest -q tests/python

CMAKE := $(VENV)/bin/cmake
CMAKE_NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

test-cpp: install
	@echo "building and running the C++ tests (GoogleTest, CTest)"
	@[ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] || \
	  { echo "GoogleTest not found: install it (Debian: apt-get install libgtest-dev)" >&2; exit 1; }
	$(CMAKE) -S . -B $(CPP_BUILD) $(CMAKE_NINJA) --log-level=WARNING \
	  -DREVURADOVA_BUILD_MODULE=OFF -DREVURADOVA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' \
                'tests/fuzz/*.cpp' 'tests/fuzz/*.hpp' | grep -v generated)

lint: install
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@echo "clang-format --dry-run -Werror (C++ sources)"
	@$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

# The core, the C++ tests and the module under AddressSanitizer and UndefinedBehaviorSanitizer,
# then both suites against that build. The interpreter is not instrumented: libasan is
# preloaded into it, and leak detection is off for pytest because CPython deliberately keeps
# objects alive at exit (the C++ tests run with leak detection on). PYTHONMALLOC=malloc lets
# ASan see every Python allocation too.
SAN_BUILD := build/sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
             -D_GLIBCXX_ASSERTIONS
# libstdc++ is preloaded with libasan: the interpreter does not link it, and ASan must find
# the real __cxa_throw when it starts.
SAN_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)

sanitize: install
	$(CMAKE) -S . -B $(SAN_BUILD) $(CMAKE_NINJA) --log-level=WARNING \
	  -DREVURADOVA_BUILD_MODULE=ON -DREVURADOVA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)"
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 $(VENV)/bin/ctest --test-dir $(SAN_BUILD) --output-on-failure
	rm -rf $(SAN_BUILD)/pkg && mkdir -p $(SAN_BUILD)/pkg/revuradova
	cp revuradova/__init__.py revuradova/_core.pyi revuradova/py.typed $(SAN_BUILD)/pkg/revuradova/
	cp $(SAN_BUILD)/_core*.so $(SAN_BUILD)/pkg/revuradova/
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
	  REVURADOVA_SANITIZED=1 PYTHONPATH=$(abspath $(SAN_BUILD)/pkg) \
	  $(VPY) -P -m pytest -q -p no:cacheprovider tests/python

# libFuzzer targets (clang): each runs for FUZZ_SECONDS on its seed corpus.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZERS := fuzz_text fuzz_bm25 fuzz_progressive

fuzz: install
	CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) $(CMAKE_NINJA) --log-level=WARNING \
	  -DREVURADOVA_BUILD_MODULE=OFF -DREVURADOVA_BUILD_FUZZERS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	@for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f; \
	  echo "fuzzing $$f for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/tests/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(FUZZ_BUILD)/corpus/$$f tests/fuzz/seeds/$$f || exit 1; \
	done

# The wheel as a user gets it: built in isolation, installed into a fresh environment,
# imported and used, checked for stable-ABI violations; the sdist must build too.
DIST := build/dist
wheel-check: install
	rm -rf $(DIST) build/wheel-venv
	$(VPY) -m pip wheel -q --no-deps -w $(DIST) .
	$(VPY) -m build -q --sdist -o $(DIST) .
	$(VPY) -m pip wheel -q --no-deps -w $(DIST)/from-sdist $(DIST)/revuradova-*.tar.gz
	$(VPY) -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q $(DIST)/revuradova-*.whl
	cd / && $(abspath build/wheel-venv/bin/python) $(abspath scripts/smoke_test.py)
	$(VENV)/bin/abi3audit --strict --report $(DIST)/revuradova-*.whl
	$(VENV)/bin/auditwheel show $(DIST)/revuradova-*.whl

demo: install
	$(VPY) examples/quickstart.py

bench: install
	$(VPY) -m pip install -q --no-build-isolation ".[bench]"
	$(VPY) benchmarks/bench_bm25.py
	$(VPY) benchmarks/goals.py $(GOALS_ARGS)
	$(VPY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) *.egg-info
