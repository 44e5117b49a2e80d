# make test: set up .venv, install the project as a user would (not editable), run the native tests and
#   every Python test (CI runs this).
# make test-fast: the same install and native tests, then every Python test except those marked slow
#   (console scripts run as processes, the substitute servers, the whole flow): for the edit-build-test loop.
# make stubtest: check the typed stubs (*.pyi) of the installed compiled modules against the modules
#   themselves with mypy's stubtest.
# make native-test: build the C++ tests of the plain units of src/native (tests/native/*.cpp) with CMake
#   into build/native-tests and run them with ctest.
# make demo: set up .venv, run the whole flow against the local sandbox (no AWS account needed).
# WERROR=ON turns compiler warnings into errors (.ci/run builds that way).
PYTHON ?= python3
VENV ?= .venv
WERROR ?= OFF
NATIVE_BUILD ?= build/native-tests
COMPILED_MODULES := generator.generate generator.convert generator.log generator.cli \
	generator.common.serializers.load generator.common.serializers.xlsx
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: build-tools install native-test stubtest test test-fast demo bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)

# CMake, Ninja and the Python build backends, in the virtual environment.
build-tools: $(PY)
	$(PIP) install -q -r requirements-build.txt

install: build-tools
	$(PIP) install -q ./migration-model
	$(PIP) install -q --no-build-isolation --config-settings=cmake.define.GENERATOR_WERROR=$(WERROR) .
	$(PIP) install -q -r requirements-test.txt

native-test: build-tools
	$(VENV)/bin/cmake -S tests/native -B $(NATIVE_BUILD) -G Ninja -DGENERATOR_WERROR=$(WERROR)
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure

# The stubs as installed with the package, so a wheel without them fails here.
stubtest: install
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist tests/stubtest-allowlist.txt $(COMPILED_MODULES)

test: install native-test stubtest
	$(PY) -m pytest

test-fast: install native-test
	$(PY) -m pytest -m "not slow"

demo: install
	$(PY) -m sandbox.demo

bench: install
	$(PY) bench/cidr.py
	$(PY) bench/generate.py
	$(PY) bench/convert.py
	$(PY) bench/overlaps.py

clean:
	rm -rf build $(VENV) .pytest_cache
