# Two commands do everything:  `make demo` runs the demo fit, `make test` the whole test suite.
# Each installs what is missing first (Debian packages when run as root, a local virtual
# environment with the Python tools, and the package itself).  `make wheel` builds wheels that
# install with pip alone, `make sdist` the source distribution.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
VENV_NP1 := .venv-numpy1
ASAN_SITE := build/asan-site
CPP_BUILD := build/cpp-tests
CPP_ASAN_BUILD := build/cpp-asan
SOURCES := $(shell find src module -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml
# The pure-Python package `velmora`, installed with the core.
SOURCES += $(shell find python -name '*.py')

.PHONY: demo test test-python test-cpp cpp-build test-numpy1 test-asan test-wheel wheel sdist ci \
	system-packages install clean

demo: install
	$(PY) examples/demo.py

# With a wheel in dist/ (make wheel), the test also installs it into a fresh venv and runs it there.
test: test-cpp test-python $(if $(wildcard dist/*.whl),test-wheel)

system-packages:
	@tools/ensure-system-packages.sh

$(VENV)/.ready: requirements-dev.txt | system-packages
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .
	touch $@

install: $(VENV)/.installed

# The Python tests reach a few internal routines through a small C library built beside the
# C++ unit tests.
CAPI = VELMORA_TEST_CAPI=$(abspath $(CPP_BUILD))/libvelmora_test_capi.so

test-python: install cpp-build
	$(CAPI) $(PY) -m pytest -q tests

cpp-build: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_CPP_TESTS=ON >/dev/null
	$(VENV)/bin/ninja -C $(CPP_BUILD)

test-cpp: cpp-build
	$(CPP_BUILD)/velmora_cpp_tests --gtest_brief=1

# The Python suite under NumPy 1.26, with the package built by a plain isolated `pip install .`.
$(VENV_NP1)/.ready: requirements-numpy1.txt | system-packages
	$(PYTHON) -m venv $(VENV_NP1)
	$(VENV_NP1)/bin/python -m pip install --quiet --upgrade pip
	$(VENV_NP1)/bin/python -m pip install --quiet -r requirements-numpy1.txt
	touch $@

test-numpy1: $(VENV_NP1)/.ready cpp-build
	$(VENV_NP1)/bin/python -m pip install --quiet --force-reinstall --no-deps .
	$(CAPI) $(VENV_NP1)/bin/python -m pytest -q tests

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer.  The interpreter is
# not instrumented, so the runtimes are preloaded and leak detection is off.
SAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

test-asan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(CPP_ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_CPP_TESTS=ON \
	  -DVELMORA_SANITIZE=ON >/dev/null
	$(VENV)/bin/ninja -C $(CPP_ASAN_BUILD)
	ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1 $(CPP_ASAN_BUILD)/velmora_cpp_tests --gtest_brief=1
	rm -rf $(ASAN_SITE)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --target $(ASAN_SITE) \
	  -C cmake.define.VELMORA_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan .
	$(SAN_ENV) VELMORA_TEST_CAPI=$(abspath $(CPP_ASAN_BUILD))/libvelmora_test_capi.so \
	  PYTHONPATH=$(ASAN_SITE) $(PY) -m pytest -q -p no:cacheprovider tests

# Wheels: one per interpreter of WHEEL_PYTHONS (make wheel WHEEL_PYTHONS="python3.11 python3.12"),
# each with the shared libraries it needs inside (tools/build-wheels.sh, tools/repair_wheel.py).
WHEEL_PYTHONS ?= $(PYTHON)

$(VENV)/.wheel-tools: requirements-wheel.txt $(VENV)/.ready
	$(PY) -m pip install --quiet -r requirements-wheel.txt
	touch $@

wheel: $(VENV)/.wheel-tools
	tools/build-wheels.sh $(PYTHON) $(VENV) $(WHEEL_PYTHONS)

sdist: $(VENV)/.wheel-tools
	rm -f dist/*.tar.gz
	$(PY) -m build --sdist --no-isolation --outdir dist .

test-wheel: install
	$(PY) -m pytest -q tests/wheel

ci: wheel
	$(MAKE) test test-numpy1 test-asan

clean:
	rm -rf build dist $(VENV) $(VENV_NP1) .venv-wheel-*
