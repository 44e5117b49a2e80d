# make test: set up .venv, install the project as a user would (not editable), run every test (CI runs this).
# make test-fast: the same install, then every test except those marked slow (console scripts run as
#   processes, the substitute servers, the whole flow): under a minute, for the edit-build-test loop.
# make demo: set up .venv, run the whole flow against the local sandbox (no AWS account needed).
# WERROR=ON turns compiler warnings into errors (.ci/run builds that way).
PYTHON ?= python3
VENV ?= .venv
WERROR ?= OFF
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: install test test-fast demo bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)

install: $(PY)
	$(PIP) install -q -r requirements-build.txt
	$(PIP) install -q ./migration-model
	$(PIP) install -q --no-build-isolation -C cmake.define.GENERATOR_WERROR=$(WERROR) .
	$(PIP) install -q -r requirements-test.txt

test: install
	$(PY) -m pytest

test-fast: install
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
