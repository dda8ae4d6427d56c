"""Checks that wheels hold what the package ships and nothing else: the two
libraries (built for the wheel's own interpreter and platform), their stubs,
the typing marker, the Python files of the package and the three metadata
files, each listed in RECORD with its right hash and size.

    check_wheel.py WHEEL...

Prints each wheel's file list; exits 1 if any wheel is wrong.
"""

import base64
import hashlib
import re
import struct
import sys
import zipfile
from pathlib import Path

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

# Wheel platform tag: (multiarch part of the extension suffix, ELF class, machine).
PLATFORMS = {
    "linux_x86_64": ("x86_64-linux-gnu", 2, 62),
    "linux_armv7l": ("arm-linux-gnueabihf", 1, 40),
}
WHEEL_NAME = re.compile(r"^(?P<dist>[^-]+)-(?P<version>[^-]+)-(?P<py>[^-]+)-(?P<abi>cp\d+)-(?P<plat>[^-]+)\.whl$")


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def elf_identity(data):
    """(ELF class, machine) of a little-endian ELF file, or None."""
    if len(data) < 20 or data[:4] != b"\x7fELF" or data[5] != 1:
        return None
    return data[4], struct.unpack_from("<H", data, 18)[0]


def expected_names(name):
    match = WHEEL_NAME.match(name)
    if match is None:
        raise ValueError("not a wheel name of this project's form: %s" % name)
    if match["plat"] not in PLATFORMS:
        raise ValueError("no extension suffix known for platform %s" % match["plat"])
    suffix = ".cpython-%s-%s.so" % (match["abi"][2:], PLATFORMS[match["plat"]][0])
    info = "%s-%s.dist-info/" % (match["dist"], match["version"])
    names = set(PACKAGE_FILES) | {lib + suffix for lib in LIBRARIES}
    names |= {info + meta for meta in METADATA_FILES}
    return match, names, info


def problems_of(path):
    match, expected, info = expected_names(path.name)
    with zipfile.ZipFile(path) as archive:
        names = [entry.filename for entry in archive.infolist()]
        contents = {name: archive.read(name) for name in names}
    found = set(names)
    for name in sorted(expected - found):
        yield "missing " + name
    for name in sorted(found - expected):
        yield "unexpected " + name
    if len(names) != len(found):
        yield "duplicate entries"

    wheel = contents.get(info + "WHEEL", b"").decode("utf-8").splitlines()
    tag = "%s-%s-%s" % (match["py"], match["abi"], match["plat"])
    if "Tag: " + tag not in wheel:
        yield "WHEEL does not give the tag " + tag
    if "Root-Is-Purelib: false" not in wheel:
        yield "WHEEL does not say Root-Is-Purelib: false"

    records = {}
    for line in contents.get(info + "RECORD", b"").decode("utf-8").splitlines():
        if line:
            name, digest, size = line.rsplit(",", 2)
            records[name] = (digest, size)
    for name in sorted(found - {info + "RECORD"}):
        data = contents[name]
        if records.get(name) != (record_hash(data), str(len(data))):
            yield "RECORD has no matching entry for " + name
    for name in sorted(set(records) - found):
        yield "RECORD lists %s, which the wheel lacks" % name

    _, elf_class, machine = PLATFORMS[match["plat"]]
    for name in sorted(n for n in found if n.endswith(".so")):
        if elf_identity(contents[name]) != (elf_class, machine):
            yield "%s is not a library for %s" % (name, match["plat"])


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
