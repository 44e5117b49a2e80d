# make test: set up .venv, install the project as a user would (not editable), run every test.
# make demo: set up .venv, run the whole flow against the local sandbox (no AWS account needed).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: install test demo bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)

install: $(PY)
	$(PIP) install -q -r requirements-build.txt
	$(PIP) install -q ./migration-model
	$(PIP) install -q --no-build-isolation .
	$(PIP) install -q -r requirements-test.txt

test: install
	$(PY) -m pytest

demo: install
	$(PY) -m sandbox.demo

bench: install
	$(PY) bench/cidr.py
	$(PY) bench/generate.py
	$(PY) bench/convert.py

clean:
	rm -rf build $(VENV) .pytest_cache
