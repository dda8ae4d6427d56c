# Every target does its own set-up: it finds the interpreter, makes the
# virtual environment, installs the build and test tools and the package.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

# Empty: CPython 3.9, the nodes' series, if there is one, else the newest
# supported series found (tools/find-python.sh says which).
PY_SERIES ?=
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PYTEST_ARGS ?=
# Where and how `make install` builds; test-generic sets its own.
BUILD_SETTINGS ?= --config-settings=build-dir=build/{wheel_tag}
SOURCES := $(shell find src -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: install test demo clean FORCE

# Checked on every run: the stamp holds the interpreter the venv was made
# from, and a venv of another one (another PY_SERIES, or a 3.9 installed
# since) is made afresh, after tools/host-packages.sh has installed what the
# machine lacks (compiler, CPython, venv module, headers).
$(VENV)/.deps: FORCE
	@note=$$(mktemp); base=$$(tools/find-python.sh $(PY_SERIES) 2>$$note) || base=; \
	if [ -n "$$base" ]; then cat $$note >&2; fi; rm -f $$note; \
	if [ -n "$$base" ] && [ -x $(PYTHON) ] && [ -f $@ ] && [ "$$(cat $@)" = "$$base" ]; then exit 0; fi; \
	tools/host-packages.sh $(PY_SERIES); \
	base=$$(tools/find-python.sh $(PY_SERIES) 2>/dev/null); \
	rm -rf $(VENV); "$$base" -m venv $(VENV); \
	$(PYTHON) -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis pyelftools; \
	echo "$$base" >$@

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
# ARMHF_RELEASE: bullseye (CPython 3.9), bookworm (3.11), trixie (3.13) or
# forky (3.14); ARM64_RELEASE: bookworm, trixie or forky.
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
	  BUILD_SETTINGS="--config-settings=build-dir=build/generic-{wheel_tag} --config-settings=cmake.define.MERROW_GENERIC_STATE=ON"

.PHONY: bench
# The trace_key benchmarks (benchmarks/). BENCH_ARGS goes to the script and
# pyperf, e.g. "--rigorous", "--only session", "--clock wall";
# BENCH_QUICK=1 times in-process in seconds.
BENCH_ARGS ?= --quiet
$(VENV)/.bench-deps: $(VENV)/.deps
	$(PYTHON) -m pip install -q --disable-pip-version-check pyperf
	touch $@

bench: install $(VENV)/.bench-deps
	$(PYTHON) benchmarks/bench_trace_key.py $(BENCH_ARGS)

.PHONY: bench-callgrind bench-shortcuts bench-tables
# Instructions per call under callgrind, native against the plain-Python
# class, beside the goals, for the default and the generic build of every
# series: 3.9-3.13 here (each build in its own venv, .venv-X.Y and
# .venv-X.Y-generic), 3.14 and 3.15 in the Debian forky root, 3.13-trixie
# (3.13.5) in the trixie root (benchmarks/callgrind_goals.py); JSON in
# benchmarks/results/. BENCH_SERIES narrows it, e.g. "3.9 3.15 3.13-trixie";
# CALLGRIND_ARGS goes to the script, e.g. "--only tag --generators 4".
# bench-shortcuts measures, besides, each shortcut left out alone (a build
# each): the full measurement; BENCH_SHORTCUTS names some only, e.g.
# "state_cache,lock_direct_calls".
BENCH_SERIES ?= 3.9 3.10 3.11 3.12 3.13 3.13-trixie 3.14 3.15
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
# The whole suite on every CPython 3.9 to 3.15: here on each that pyenv or
# PATH offers, each in its own .venv-X.Y, and the others in the native
# Debian root that ships them, each in its .venv-RELEASE-X.Y (tools/test-all.sh).
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
