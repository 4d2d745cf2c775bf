# A thin menu over pip, CMake, ctest and pytest. `make demo` and `make test`
# do the whole set-up on a fresh machine.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
PYTHON312  ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12*/bin/python3.12) $(shell command -v python3.12))
VENV       := .venv
PY         := $(VENV)/bin/python
PIP        := $(PY) -m pip
NATIVE     := build/native
BENCH      := build/bench
TEST_DEPS  := pytest numpy
BUILD_DEPS := 'pybind11>=2.11.1,<2.12' 'scikit-build-core>=0.8' cmake ninja

.PHONY: venv install demo native test bench clean

venv: $(VENV)/.ready
$(VENV)/.ready:
	test -n "$(PYTHON312)" || { echo "CPython 3.12 not found (looked under $(PYENV_ROOT))"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# pip install . : the PEP 517 build (scikit-build-core, Release, NDEBUG).
install: venv
	$(PIP) install --force-reinstall --no-deps .

demo: install
	$(PY) examples/record_series.py

# The test peer module, the C++ unit tests and a Debug build of the module.
native: venv
	tools/ensure-apt-packages libgtest-dev
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELEM_PYB_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(NATIVE)

test: install native
	ctest --test-dir $(NATIVE) --output-on-failure
	PYTHONPATH=$(NATIVE)/peer $(PY) -m pytest
	PYTHONPATH=$(NATIVE):$(NATIVE)/peer TELEM_PYB_MODULE_DIR=$(NATIVE) $(PY) -m pytest tests/test_native_peer.py

# Benchmarks of the installed module (bench/README.md). The peer module is
# built again in Release, as the one in $(NATIVE) is a Debug build.
bench: install native
	tools/ensure-apt-packages valgrind
	cmake -S . -B $(BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELEM_PYB_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(BENCH) --target telem_peer
	$(PY) bench/bench.py --peer-dir $(BENCH)/peer --json bench/results.json

clean:
	rm -rf build $(VENV) dist *.egg-info
