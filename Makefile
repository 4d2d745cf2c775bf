# A thin menu over pip, CMake, ctest and pytest. `make demo` and `make test`
# do the whole set-up on a fresh machine.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
PYTHON312  ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12*/bin/python3.12) $(shell command -v python3.12))
VENV       := .venv
PY         := $(VENV)/bin/python
PIP        := $(PY) -m pip
NATIVE     := build/native
PRODUCER   := build/producer
BENCH      := build/bench
BUILD_DEPS := 'pybind11>=2.11.1,<2.12' 'scikit-build-core>=0.11' cmake ninja
# WERROR=ON makes compiler warnings errors in the CMake builds below (CI).
WERROR     ?= OFF

.PHONY: venv test-deps install wheel demo producer native typecheck lint test bench sanitize test-sanitize test-valgrind tsan test-tsan clean

# The interpreter and the build tools: what `make demo` needs besides the
# package. Remade when this file changes.
venv: $(VENV)/.ready
$(VENV)/.ready: Makefile
	test -n "$(PYTHON312)" || { echo "CPython 3.12 not found (looked under $(PYENV_ROOT))"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(BUILD_DEPS)
	touch $@

# The test tool chain (pip install --group test), which only the tests, the
# type checks and the wheel's repair need.
test-deps: $(VENV)/.test-deps
$(VENV)/.test-deps: $(VENV)/.ready pyproject.toml
	$(PIP) install --group test
	touch $@

# pip install .[plot]: the PEP 517 build (scikit-build-core, Release, NDEBUG)
# with the plot extra. Built again only when a source changes, and then
# incrementally in build/install.
SOURCES := pyproject.toml CMakeLists.txt README.md \
  $(shell find src include telemetry_client brix_error cmake stubs python telem_pyb_log_native -type f -not -name '*.pyc')
install: $(VENV)/.installed
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(PIP) install --no-build-isolation --config-settings=build-dir=build/install '.[plot]'
	touch $@

# A manylinux wheel in dist/ (tools/build-wheel).
wheel: test-deps
	tools/build-wheel $(PY) dist

# The native producer example, built with CMake against the headers and the
# telem_pyb CMake package that the wheel installed into .venv.
producer: install
	cmake -S examples/native_producer -B $(PRODUCER) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) -DCMAKE_PREFIX_PATH=$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("platlib"))') \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(PRODUCER)

# Records demo series into ./telemetry.db with the SQLite recorder, has the
# native producer feed it from worker threads, and plots two of the series
# into ./telemetry.png (telem-log prints its path).
demo: install producer
	$(PY) examples/log_demo.py
	PYTHONPATH=$(PRODUCER) $(PY) examples/native_producer/feed_recorder.py
	$(VENV)/bin/telem-log telemetry.db plot engine.rpm cabin.temperature cabin.door_open cabin.status -o telemetry.png

# The test peer module, the C++ unit tests and a Debug build of the module.
native: test-deps
	tools/ensure-apt-packages libgtest-dev
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELEM_PYB_BUILD_TESTS=ON -DTELEM_PYB_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(NATIVE)

# The stubs against the installed module; the examples and the log recorders
# against the stubs.
typecheck: install test-deps
	$(PY) -m mypy.stubtest telem_pyb
	$(PY) -m mypy --strict examples/ python/telem_pyb_log/

# clang-format (.clang-format) over the C++ files listed here, and ruff
# (pyproject.toml): its rules over every Python file, its format over the
# files listed here. The lists grow as files are formatted (clang-format -i,
# ruff format).
LINT_CXX    := $(wildcard fast_layer/*.h src/*.h src/*.cpp tests/native/*.cpp bench/reference/*.cpp) \
  telem_pyb_log_native/module.cpp
LINT_FORMAT := tests/test_fast_layer.py tests/test_fast_entries.py bench/bench.py bench/compare.py \
  bench/record_ops.py bench/round_trip.py
lint: venv
	$(PIP) install --group lint
	$(VENV)/bin/clang-format --dry-run --Werror $(LINT_CXX)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check $(LINT_FORMAT)

# Includes tests/test_packaging.py (builds the wheel and sdist, about a
# minute); pass MARKS='not packaging' to leave it out (MARKS selects tests by
# their marks; PYTEST_ARGS are passed as they are). The PostgreSQL tests
# start a server of their own from Debian's postgresql. The spool's
# cross-host tests (tests/test_spool_hosts.py) need root and iproute2: they
# make network namespaces, and remove them at their end
# (tools/remove-test-netns removes what a killed run left); the spool's
# fault tests loop-mount a file system (root too).
#
# The slow fault tests (marked long: a stalled or stopped server, a
# partition, a lost host) mostly wait, so they run in a second pytest
# process alongside the rest, their output shown at the end; both must pass.
PYTEST := $(PY) -m pytest
MARKS ?=
TEST_LOG := build/long-tests.log
test: install native producer typecheck
	tools/ensure-apt-packages postgresql iproute2
	ctest --test-dir $(NATIVE) --output-on-failure
	mkdir -p build
	PYTHONPATH=$(NATIVE)/peer:$(PRODUCER) $(PYTEST) -m "long$(if $(MARKS), and ($(MARKS)))" $(PYTEST_ARGS) \
	  > $(TEST_LOG) 2>&1 & long=$$!; \
	PYTHONPATH=$(NATIVE)/peer:$(PRODUCER) $(PYTEST) -m "not long$(if $(MARKS), and ($(MARKS)))" $(PYTEST_ARGS); \
	rest=$$?; wait $$long; long=$$?; echo "--- the long tests ($(TEST_LOG)):"; cat $(TEST_LOG); \
	test $$rest -eq 0 -a $$long -eq 0
	PYTHONPATH=$(NATIVE):$(NATIVE)/peer TELEM_PYB_MODULE_DIR=$(NATIVE) $(PYTEST) tests/test_native_peer.py

# Benchmarks of the installed module (bench/README.md). The peer module is
# built again in Release, as the one in $(NATIVE) is a Debug build.
# bench/compare.py measures the module against the reference modules of
# bench/reference/ (C API, nanobind, plain pybind11).
bench: install native producer
	tools/ensure-apt-packages valgrind postgresql
	$(PIP) install --group bench
	cmake -S . -B $(BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELEM_PYB_BUILD_TESTS=ON -DTELEM_PYB_BUILD_BENCH=ON \
	  -DTELEM_PYB_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(BENCH) --target telem_peer log_driver ref_capi ref_nanobind ref_pybind11
	$(PY) bench/compare.py --reference-dir $(BENCH)/reference --json bench/compare_results.json
	$(PY) bench/bench.py --peer-dir $(BENCH)/peer --producer-dir $(PRODUCER) --json bench/results.json
	$(PY) bench/log_recorders.py --callgrind --json bench/log_results.json
	$(PY) bench/native_producer.py --producer-dir $(PRODUCER) --json bench/producer_results.json
	PYTHONPATH=$(BENCH)/peer $(PY) bench/stalled_server.py --json bench/stall_results.json
	$(PY) bench/spool.py --json bench/spool_results.json
	$(PY) bench/sinks.py --producer-dir $(PRODUCER) --json bench/sinks_results.json
	$(PY) bench/reading.py --json bench/reading_results.json

# The module, the client library, the test peer and the C++ unit tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer. The interpreter is not
# instrumented, so the ASan runtime is preloaded, with libstdc++ after it: ASan
# then finds the real __cxa_throw that it wraps (python itself has no libstdc++).
ASAN         := build/asan
SAN_CXX      := g++
SAN_FLAGS    := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_LINK     := -fsanitize=address,undefined
SAN_SUPP     := tests/sanitizer
SAN_ENV      = LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so.6)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$(abspath $(SAN_SUPP)/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Calls per operation of the leak tests under the sanitizer, where LeakSanitizer
# finds every lost block by itself and more calls would only cost time.
SAN_LEAK_CALLS := 20000

sanitize: test-deps
	tools/ensure-apt-packages libgtest-dev
	CXX=$(SAN_CXX) cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELEM_PYB_BUILD_TESTS=ON -DTELEM_PYB_WERROR=$(WERROR) \
	  "-DCMAKE_CXX_FLAGS=$(SAN_FLAGS) -O1" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$(SAN_LINK)" "-DCMAKE_SHARED_LINKER_FLAGS=$(SAN_LINK)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(SAN_LINK)" \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(ASAN)

test-sanitize: sanitize
	ctest --test-dir $(ASAN) --output-on-failure
	tools/ensure-apt-packages postgresql iproute2
	$(SAN_ENV) PYTHONPATH=$(ASAN):$(ASAN)/peer TELEM_PYB_MODULE_DIR=$(ASAN) \
	  $(PYTEST) -m "not packaging and not long" --leak-calls=$(SAN_LEAK_CALLS)
	$(MAKE) test-valgrind
	$(MAKE) test-tsan

# The log recorders' native half under ThreadSanitizer: a stress of native
# recording threads, flush, stats, fork and close, with a spool and without
# (tests/log_native/tsan_stress.cpp). A report, or a row lost or doubled,
# fails it.
TSAN := build/tsan
tsan: venv
	tools/ensure-apt-packages libgtest-dev
	CXX=$(SAN_CXX) cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELEM_PYB_BUILD_TESTS=ON \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -O1 -g" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(TSAN) --target telem_log_tsan_stress

test-tsan: tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0 $(TSAN)/tests/log_native/telem_log_tsan_stress

# Memcheck over a short run of every operation, against the plain Debug build.
test-valgrind: native
	tools/ensure-apt-packages valgrind
	PYTHONMALLOC=malloc PYTHONPATH=$(NATIVE):$(NATIVE)/peer \
	  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
	  --errors-for-leak-kinds=definite --num-callers=40 --suppressions=$(SAN_SUPP)/valgrind-python.supp \
	  $(PY) tests/leak_workloads.py --calls 200 --expect-module $(NATIVE)

clean:
	rm -rf build $(VENV) dist *.egg-info
