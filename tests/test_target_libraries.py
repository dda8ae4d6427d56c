"""The cross-built libraries are what an ARM node (armhf or arm64) can load.

On the build machine these tests read the libraries of the cross builds
from the directories named by ``MERROW_TARGET_LIBS`` (one or more, separated
by ``os.pathsep``; default every ``build/target/<release>-<arch>``, where the
cross builds unpack their wheels), and skip when none is there. Under an ARM
interpreter they also check the modules actually imported; without
``MERROW_TARGET_LIBS`` they then read the installed files.
"""

import importlib
import importlib.util
import os
import sys
import sysconfig
from pathlib import Path

import pytest

try:
    import elf_facts
    from elftools.common.exceptions import ELFError
except ImportError as exc:  # pyelftools missing
    pytest.skip("the ELF checks need pyelftools (%s)" % exc, allow_module_level=True)

REPO = Path(__file__).resolve().parents[1]
DEFAULT_BUILDS = REPO / "build" / "target"
CROSS_TARGETS = ("armv7l", "aarch64")

# (module, file in the package layout without the suffix, entry function)
LIBRARIES = [
    ("merrow_sdk.logging.trace_key", "merrow_sdk/logging/trace_key", "PyInit_trace_key"),
    ("merrow_sdk.patchbay", "merrow_sdk/patchbay/__init__", "PyInit_patchbay"),
]
# What the ABI of each target asks beyond its machine.
ABI = {
    "armv7l": {"arm_eabi": 5, "float_abi": "hard"},
    "aarch64": {"arm_eabi": None, "float_abi": None},
}
# manylinux_2_17, the oldest C library the wheels promise to load on.
NEWEST_GLIBC = (2, 17)


def _interpreter_target():
    try:
        return elf_facts.read(os.path.realpath(sys.executable)).target()
    except (OSError, ELFError):
        return None


RUNNING_ON_TARGET = _interpreter_target() in CROSS_TARGETS
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def _stages():
    """The directories to read, or [None] for the installed modules (on the
    target) or for nothing built (on the build machine)."""
    named = os.environ.get("MERROW_TARGET_LIBS")
    if named:
        return [Path(p) for p in named.split(os.pathsep) if p]
    if RUNNING_ON_TARGET:
        return [None]
    return sorted(p for p in DEFAULT_BUILDS.glob("*") if p.is_dir()) or [None]


def _stage_name(stage):
    if stage is None:
        return "installed" if RUNNING_ON_TARGET else "unbuilt"
    return stage.name


def _library_file(stage, module, stem):
    if stage is None and RUNNING_ON_TARGET:
        spec = importlib.util.find_spec(module)
        if spec is None or not spec.origin or not spec.origin.endswith(EXT_SUFFIX):
            pytest.skip("%s is not installed as a target library" % module)
        return Path(spec.origin)
    if stage is None:
        pytest.skip("no cross-built libraries under %s (set MERROW_TARGET_LIBS, or run "
                    "`make test-armhf` or `make test-arm64`)" % DEFAULT_BUILDS)
    found = sorted(stage.glob(stem + ".cpython-3*.so"))
    if not found:
        pytest.skip("no cross-built %s under %s" % (stem, stage))
    # One directory holds the build for one release and machine.
    assert len(found) == 1, "libraries for more than one CPython in %s: %s" % (stage, found)
    return found[0]


def _target_of_name(path):
    """The machine the file's extension suffix names."""
    for name, target in elf_facts.TARGETS.items():
        if path.name.endswith("-%s.so" % target.multiarch):
            return name
    raise AssertionError("no known machine in the suffix of %s" % path.name)


CASES = [(stage, library) for stage in _stages() for library in LIBRARIES]


@pytest.fixture(params=CASES, ids=["%s-%s" % (_stage_name(s), lib[0]) for s, lib in CASES])
def library(request):
    stage, (module, stem, entry) = request.param
    path = _library_file(stage, module, stem)
    return module, path, entry, elf_facts.read(path)


def test_is_a_shared_object_of_its_machine_and_abi(library):
    _, path, _, facts = library
    target = _target_of_name(path)
    assert target in CROSS_TARGETS
    assert facts.target() == target, (facts.elf_class, facts.machine)
    assert facts.file_type == "ET_DYN"
    assert {key: getattr(facts, key) for key in ABI[target]} == ABI[target]


def test_needs_only_the_c_library_and_loader(library):
    _, path, _, facts = library
    loader = elf_facts.TARGETS[_target_of_name(path)].loader
    assert set(facts.needed) <= {"libc.so.6", loader}, facts.needed


def test_needs_no_c_library_newer_than_manylinux(library):
    _, _, _, facts = library
    assert facts.glibc is None or facts.glibc <= NEWEST_GLIBC, facts.glibc


def test_exports_only_its_entry_function(library):
    _, _, entry, facts = library
    assert facts.exports == {entry}


@pytest.mark.skipif(not RUNNING_ON_TARGET, reason="the interpreter is not an ARM build")
def test_imported_module_is_the_target_library(library):
    module, path, _, _ = library
    loaded = Path(importlib.import_module(module).__file__)
    assert loaded.name.endswith(EXT_SUFFIX), loaded
    assert elf_facts.read(loaded).target() == _interpreter_target()
    if os.environ.get("MERROW_TARGET_LIBS") and path.name == loaded.name:
        # The wheel must carry the very library that was built.
        assert loaded.read_bytes() == path.read_bytes()
