# Every target does its own set-up: it finds the interpreter, makes the
# virtual environment, installs the build and test tools and the package.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

# Empty: the nodes' series (the first of tools/matrix), if there is one,
# else the newest supported series found (tools/find-python.sh says which).
PY_SERIES ?=
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PYTEST_ARGS ?=
# Where and how `make install` builds; test-generic sets its own.
BUILD_SETTINGS ?= --config-settings=build-dir=build/{wheel_tag}
SOURCES := $(shell find src -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: install test demo clean FORCE

# Checked on every run: a venv of another interpreter (another PY_SERIES,
# or the nodes' series installed since) is made afresh (tools/venv.sh).
$(VENV)/.deps: FORCE
	@tools/venv.sh $(VENV) "$(PY_SERIES)"

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	  $(BUILD_SETTINGS) .
	touch $@

install: $(VENV)/.installed

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

demo: install
	$(PYTHON) examples/demo.py

clean:
	rm -rf build dist $(VENV)

.PHONY: test-armhf test-arm64 test-trixie test-generic bench-callgrind-trixie
# The wheel of one Debian release, cross-built against its root and tested
# there under emulation; roots are made on first use (tools/debian-root/).
# ARMHF_RELEASE and ARM64_RELEASE: a release of an armhf or arm64 root of
# tools/matrix.
ARMHF_RELEASE ?= bullseye
ARM64_RELEASE ?= bookworm
test-armhf:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-in-root.sh $(ARMHF_RELEASE) armhf

test-arm64:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-in-root.sh $(ARM64_RELEASE) arm64

# The 3.13 wheel, built here, on the CPython 3.13 that Debian trixie ships,
# in its native root: the whole suite.
test-trixie:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-in-root.sh trixie amd64

# Both builds under callgrind on trixie's CPython 3.13.5, in its root.
bench-callgrind-trixie:
	$(MAKE) --no-print-directory bench-callgrind BENCH_SERIES=3.13-trixie

# The suite on the generic build (MERROW_GENERIC_STATE=ON), in its own venv
# and build directory; the variable in the environment tells the tests which
# build they hold.
test-generic:
	MERROW_GENERIC_STATE=1 $(MAKE) --no-print-directory test VENV=.venv-generic$(if $(PY_SERIES),-$(PY_SERIES)) \
	  BUILD_SETTINGS="--config-settings=build-dir=build/{wheel_tag}-generic --config-settings=cmake.define.MERROW_GENERIC_STATE=ON"

.PHONY: test-debug
# The suite on Debian's debug CPythons (python3.Xd, in the root tools/matrix
# gives them), each built with Py_DEBUG: the C API's own checks on, and the
# leak test counting references per round. DEBUG_SERIES narrows it.
DEBUG_SERIES ?= $(shell tools/matrix.sh debug-series | sort -V)
test-debug:
	@[ -n "$(strip $(DEBUG_SERIES))" ] || { echo "test-debug: tools/matrix names no debug CPython" >&2; exit 1; }
	MERROW_SERIES="$(DEBUG_SERIES)" PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-all.sh

.PHONY: bench
# The trace_key benchmarks (benchmarks/). BENCH_ARGS goes to the script and
# pyperf, e.g. "--rigorous", "--only session", "--clock wall";
# BENCH_QUICK=1 takes one round.
BENCH_ARGS ?= --quiet
$(VENV)/.bench-deps: $(VENV)/.deps
	$(PYTHON) -m pip install -q --disable-pip-version-check pyperf
	touch $@

bench: install $(VENV)/.bench-deps
	$(PYTHON) benchmarks/bench_trace_key.py $(BENCH_ARGS)

.PHONY: bench-callgrind bench-shortcuts bench-tables
# Instructions per call under callgrind, native against the plain-Python
# class, beside the goals, for the default and the generic build of every
# series and bench target of tools/matrix, each build in its own venv (named
# there), here or in its root (benchmarks/callgrind_goals.py); JSON in
# benchmarks/results/. BENCH_SERIES narrows it, e.g. "3.9 3.13-trixie";
# CALLGRIND_ARGS goes to the script, e.g. "--only tag --generators 4".
# bench-shortcuts measures, besides, each shortcut left out alone (a build
# each): the full measurement; BENCH_SHORTCUTS names some only, e.g.
# "state_cache,lock_direct_calls".
BENCH_SERIES ?= $(shell tools/matrix.sh targets)
CALLGRIND_ARGS ?=
BENCH_SHORTCUTS ?=
BENCH_PYTHON = "$$(tools/find-python.sh 2>/dev/null || command -v python3)"
bench-callgrind:
	$(BENCH_PYTHON) benchmarks/callgrind_goals.py --series "$(BENCH_SERIES)" $(CALLGRIND_ARGS)

bench-shortcuts:
	$(BENCH_PYTHON) benchmarks/callgrind_goals.py --series "$(BENCH_SERIES)" \
	  --shortcuts $(if $(BENCH_SHORTCUTS),"$(BENCH_SHORTCUTS)") $(CALLGRIND_ARGS)

# The tables of docs/benchmarks.md from the JSON files of both callgrind
# targets (benchmarks/callgrind_tables.py).
bench-tables:
	$(BENCH_PYTHON) benchmarks/callgrind_tables.py --write

.PHONY: test-all wheels typecheck
# The whole suite on every series of tools/matrix, each in its own venv:
# here when pyenv or PATH has it, else in the native Debian root that ships
# it (tools/test-all.sh).
test-all:
	tools/test-all.sh

# Manylinux wheels for those interpreters (built where test-all runs them),
# for 32-bit and 64-bit ARM on each Debian release, and the sdist, in dist/:
# their contents and metadata checked, and each wheel tested once installed,
# the ARM ones in their emulated roots (tools/wheels.sh).
wheels:
	tools/wheels.sh

# The stubs against the built modules, and the examples as typed code.
$(VENV)/.typecheck-deps: $(VENV)/.deps
	$(PYTHON) -m pip install -q --disable-pip-version-check mypy
	touch $@

typecheck: install $(VENV)/.typecheck-deps
	$(PYTHON) -m mypy.stubtest merrow_sdk
	$(PYTHON) -m mypy --strict examples/

.PHONY: check-sanitize check-valgrind
# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build in its own environment under build/asan (tools/sanitize/check.sh).
check-sanitize:
	tools/sanitize/check.sh $(PYTEST_ARGS)

# Every operation, success and failure paths, under valgrind memcheck
# (tools/valgrind/check.sh).
check-valgrind: install
	tools/valgrind/check.sh $(PYTHON)

.PHONY: coverage
# Line coverage of src/native by the whole suite on CPython 3.9 here and 3.13
# in the trixie root (as root), each from its own gcov build under
# build/coverage-<run>; the lines never run per file, reports in
# build/coverage/. Fails below COVERAGE_MIN percent. COVERAGE_SERIES picks
# the runs, e.g. "3.9 3.13" for both here (tools/coverage/check.sh).
COVERAGE_MIN ?= 97
coverage:
	COVERAGE_MIN=$(COVERAGE_MIN) tools/coverage/check.sh $(PYTEST_ARGS)
