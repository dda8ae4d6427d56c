"""Checks that wheels hold what the package ships and nothing else: the two
libraries (built for the wheel's own interpreter and machine, needing no
shared library but the C library and its loader, nor a C library newer than
the wheel's manylinux tag promises), their stubs, the typing marker, the
Python files of the package and the three metadata files, each listed in
RECORD with its right hash and size. WHEEL must give exactly the tags the
name does.

    check_wheel.py WHEEL...

Prints each wheel's file list; exits 1 if any wheel is wrong.
"""

import re
import sys
import zipfile
from pathlib import Path

from elftools.common.exceptions import ELFError
from installer.records import parse_record_file
from installer.sources import WheelFile
from packaging.utils import InvalidWheelFilename, parse_wheel_filename

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import elf_facts  # noqa: E402  (shared with the target library tests)

PACKAGE_FILES = (
    "merrow_sdk/__init__.py",
    "merrow_sdk/py.typed",
    "merrow_sdk/logging/__init__.py",
    "merrow_sdk/logging/trace_key.pyi",
    "merrow_sdk/patchbay/__init__.pyi",
    "merrow_sdk/patchbay/flow.py",
)
LIBRARIES = ("merrow_sdk/logging/trace_key", "merrow_sdk/patchbay/__init__")
METADATA_FILES = ("METADATA", "WHEEL", "RECORD")
# linux_x86_64, or manylinux_2_17_x86_64 and its legacy alias manylinux2014_x86_64.
PLATFORM_TAG = re.compile(
    r"^(?:linux|manylinux_(?P<major>\d+)_(?P<minor>\d+)|manylinux(?:1|2010|2014))_(?P<machine>.+)$")
LEGACY_GLIBC = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def platform_of(tags):
    """(machine, newest C library allowed or None) of a wheel's tags."""
    machines, glibcs = set(), set()
    for tag in tags:
        match = PLATFORM_TAG.match(tag.platform)
        if match is None:
            raise ValueError("not a Linux platform tag: %s" % tag.platform)
        machines.add(match["machine"])
        if match["major"]:
            glibcs.add((int(match["major"]), int(match["minor"])))
        elif not tag.platform.startswith("linux_"):
            glibcs.add(LEGACY_GLIBC[tag.platform[:-len(match["machine"]) - 1]])
    if len(machines) != 1 or len(glibcs) > 1:
        raise ValueError("platform tags of more than one machine or C library: %s"
                         % ".".join(sorted(t.platform for t in tags)))
    machine = machines.pop()
    if machine not in elf_facts.TARGETS:
        raise ValueError("no libraries known for machine %s" % machine)
    return machine, (glibcs.pop() if glibcs else None)


def problems_of(path):
    try:
        name, version, _, tags = parse_wheel_filename(path.name)
    except InvalidWheelFilename as exc:
        raise ValueError(str(exc)) from exc
    interpreters = {(t.interpreter, t.abi) for t in tags}
    if len(interpreters) != 1 or not next(iter(interpreters))[1].startswith("cp3"):
        raise ValueError("not one CPython ABI: %s" % sorted(interpreters))
    abi = next(iter(interpreters))[1]
    machine, glibc = platform_of(tags)
    target = elf_facts.TARGETS[machine]
    suffix = ".cpython-%s-%s.so" % (abi[2:], target.multiarch)
    info = "%s-%s.dist-info/" % (str(name).replace("-", "_"), version)
    expected = set(PACKAGE_FILES) | {lib + suffix for lib in LIBRARIES}
    expected |= {info + meta for meta in METADATA_FILES}

    with zipfile.ZipFile(path) as archive:
        entries = archive.infolist()
        names = [entry.filename for entry in entries if not entry.is_dir()]
        contents = {name: archive.read(name) for name in names}
        wheel = WheelFile(archive)
        try:
            wheel.validate_record(validate_contents=True)
        except ValueError as exc:
            yield from getattr(exc, "issues", [str(exc)])
        listed = {row[0] for row in parse_record_file(wheel.read_dist_info("RECORD").splitlines())}
    found = set(names)
    for missing in sorted(expected - found):
        yield "missing " + missing
    for extra in sorted(found - expected):
        yield "unexpected " + extra
    for absent in sorted(listed - found):
        yield "RECORD lists %s, which the wheel lacks" % absent
    if len(names) != len(found):
        yield "duplicate entries"
    # auditwheel writes entries for directories; only the package's own may appear.
    parents = {n[:i + 1] for n in expected for i, c in enumerate(n) if c == "/"}
    for entry in entries:
        if entry.is_dir() and (entry.filename not in parents or entry.file_size):
            yield "unexpected directory entry " + entry.filename

    lines = contents.get(info + "WHEEL", b"").decode("utf-8").splitlines()
    named = {str(tag) for tag in tags}
    given = [line[len("Tag: "):] for line in lines if line.startswith("Tag: ")]
    for tag in sorted(named - set(given)):
        yield "WHEEL does not give the tag " + tag
    for tag in sorted(set(given) - named):
        yield "WHEEL gives the tag %s, which the file name lacks" % tag
    if len(given) != len(set(given)):
        yield "WHEEL gives a tag twice"
    if "Root-Is-Purelib: false" not in lines:
        yield "WHEEL does not say Root-Is-Purelib: false"

    allowed = {"libc.so.6", target.loader}
    for library in sorted(n for n in found if n.endswith(".so")):
        try:
            facts = elf_facts.read(contents[library])
        except ELFError as exc:
            yield "%s is not an ELF file: %s" % (library, exc)
            continue
        if facts.target() != machine:
            yield "%s is not a library for %s" % (library, machine)
            continue
        extra = sorted(set(facts.needed) - allowed)
        if extra:
            yield "%s needs %s (only %s allowed)" % (library, ", ".join(extra), ", ".join(sorted(allowed)))
        if glibc and facts.glibc and facts.glibc > glibc:
            yield "%s needs GLIBC_%d.%d, newer than its tag allows" % ((library,) + facts.glibc)


def main(argv):
    if not argv:
        sys.exit(__doc__.strip())
    bad = 0
    for arg in argv:
        path = Path(arg)
        with zipfile.ZipFile(path) as archive:
            listing = [(e.filename, e.file_size) for e in archive.infolist()]
        print(path.name)
        for name, size in listing:
            print("  %8d  %s" % (size, name))
        try:
            problems = list(problems_of(path))
        except ValueError as exc:
            problems = [str(exc)]
        for problem in problems:
            print("  error: " + problem)
        bad += bool(problems)
    if bad:
        print("%d of %d wheels are wrong" % (bad, len(argv)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
