# Every target does its own set-up: it finds the interpreter, makes the
# virtual environment, installs the build and test tools and the package.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

PY_SERIES ?= 3.9
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PYTEST_ARGS ?=
SOURCES := $(shell find src -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: install test demo clean

$(VENV)/.deps: tools/find-python.sh
	@base=$$(tools/find-python.sh $(PY_SERIES)); \
	if [ ! -x $(PYTHON) ] || ! $(PYTHON) -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$(PY_SERIES)'" 2>/dev/null; then \
	  rm -rf $(VENV); "$$base" -m venv $(VENV); fi
	$(PYTHON) -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	  -Cbuild-dir=build/{wheel_tag} .
	touch $@

install: $(VENV)/.installed

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

demo: install
	$(PYTHON) examples/demo.py

clean:
	rm -rf build dist $(VENV)
