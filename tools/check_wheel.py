"""Checks that wheels hold what the package ships and nothing else: the two
libraries (built for the wheel's own interpreter and platform, needing no
shared library but the C library and its loader), their stubs, the typing
marker, the Python files of the package and the three metadata files, each
listed in RECORD with its right hash and size. The platform part of the name
may be a plain linux_* tag or one or more manylinux tags of one machine
(as auditwheel writes them); WHEEL must give exactly the tags the name does.

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

# Machine of a wheel platform tag: (multiarch part of the extension suffix,
# ELF class, ELF machine, the shared libraries a library may need).
MACHINES = {
    "x86_64": ("x86_64-linux-gnu", 2, 62, {"libc.so.6"}),
    "armv7l": ("arm-linux-gnueabihf", 1, 40, {"libc.so.6", "ld-linux-armhf.so.3"}),
}
# linux_x86_64, manylinux_2_17_x86_64, or a legacy alias such as manylinux2014_x86_64.
PLATFORM_TAG = re.compile(r"^(?:linux|manylinux_\d+_\d+|manylinux(?:1|2010|2014))_(?P<machine>.+)$")
WHEEL_NAME = re.compile(r"^(?P<dist>[^-]+)-(?P<version>[^-]+)-(?P<py>[^-]+)-(?P<abi>cp\d+)-(?P<plat>[^-]+)\.whl$")
SHT_DYNAMIC = 6
DT_NEEDED = 1


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def elf_identity(data):
    """(ELF class, machine) of a little-endian ELF file, or None."""
    if len(data) < 20 or data[:4] != b"\x7fELF" or data[5] != 1:
        return None
    return data[4], struct.unpack_from("<H", data, 18)[0]


def elf_needed(data):
    """DT_NEEDED names of a little-endian ELF file of either class."""
    wide = data[4] == 2
    header = struct.Struct("<16sHHIQQQIHHHHHH" if wide else "<16sHHIIIIIHHHHHH")
    section = struct.Struct("<IIQQQQIIQQ" if wide else "<10I")
    dyn = struct.Struct("<qQ" if wide else "<iI")
    fields = header.unpack_from(data)
    shoff, shentsize, shnum = fields[6], fields[11], fields[12]
    sections = [section.unpack_from(data, shoff + i * shentsize) for i in range(shnum)]

    def body(index):
        offset, size = sections[index][4], sections[index][5]
        return data[offset:offset + size]

    names = []
    for index, sect in enumerate(sections):
        if sect[1] != SHT_DYNAMIC:
            continue
        entries, strings = body(index), body(sect[6])
        for offset in range(0, len(entries) - dyn.size + 1, dyn.size):
            tag, value = dyn.unpack_from(entries, offset)
            if tag == 0:
                break
            if tag == DT_NEEDED:
                names.append(strings[value:strings.index(b"\0", value)].decode("ascii"))
    return names


def machine_of(platform):
    """The one machine named by a platform part such as
    manylinux_2_17_x86_64.manylinux2014_x86_64."""
    machines = set()
    for tag in platform.split("."):
        match = PLATFORM_TAG.match(tag)
        if match is None:
            raise ValueError("not a Linux platform tag: %s" % tag)
        machines.add(match["machine"])
    if len(machines) != 1:
        raise ValueError("platform tags of more than one machine: %s" % platform)
    machine = machines.pop()
    if machine not in MACHINES:
        raise ValueError("no extension suffix known for machine %s" % machine)
    return machine


def expected_names(name):
    match = WHEEL_NAME.match(name)
    if match is None:
        raise ValueError("not a wheel name of this project's form: %s" % name)
    machine = machine_of(match["plat"])
    suffix = ".cpython-%s-%s.so" % (match["abi"][2:], MACHINES[machine][0])
    info = "%s-%s.dist-info/" % (match["dist"], match["version"])
    names = set(PACKAGE_FILES) | {lib + suffix for lib in LIBRARIES}
    names |= {info + meta for meta in METADATA_FILES}
    return match, machine, names, info


def problems_of(path):
    match, machine, expected, info = expected_names(path.name)
    with zipfile.ZipFile(path) as archive:
        entries = archive.infolist()
        names = [entry.filename for entry in entries if not entry.is_dir()]
        contents = {name: archive.read(name) for name in names}
    found = set(names)
    for name in sorted(expected - found):
        yield "missing " + name
    for name in sorted(found - expected):
        yield "unexpected " + name
    if len(names) != len(found):
        yield "duplicate entries"
    # auditwheel writes entries for directories; only the package's own may appear.
    parents = {name[:i + 1] for name in expected for i, c in enumerate(name) if c == "/"}
    for entry in entries:
        if entry.is_dir() and (entry.filename not in parents or entry.file_size):
            yield "unexpected directory entry " + entry.filename

    wheel = contents.get(info + "WHEEL", b"").decode("utf-8").splitlines()
    named = {"%s-%s-%s" % (match["py"], match["abi"], plat) for plat in match["plat"].split(".")}
    given = [line[len("Tag: "):] for line in wheel if line.startswith("Tag: ")]
    for tag in sorted(named - set(given)):
        yield "WHEEL does not give the tag " + tag
    for tag in sorted(set(given) - named):
        yield "WHEEL gives the tag %s, which the file name lacks" % tag
    if len(given) != len(set(given)):
        yield "WHEEL gives a tag twice"
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

    _, elf_class, elf_machine, allowed = MACHINES[machine]
    for name in sorted(n for n in found if n.endswith(".so")):
        if elf_identity(contents[name]) != (elf_class, elf_machine):
            yield "%s is not a library for %s" % (name, machine)
            continue
        extra = [lib for lib in elf_needed(contents[name]) if lib not in allowed]
        if extra:
            yield "%s needs %s (only %s allowed)" % (name, ", ".join(extra), ", ".join(sorted(allowed)))


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
