"""The cross-built libraries are what a 32-bit ARM hard-float node can load.

On the build machine these tests read the libraries of the target builds
from the directories named by ``MERROW_ARMHF_LIBS`` (one or more, separated
by ``os.pathsep``; default every ``build/armhf/<release>/stage``, where
``make test-armhf`` installs them in the package's layout), and skip when
none is there. Under a 32-bit ARM interpreter they also check the modules
that were actually imported; without ``MERROW_ARMHF_LIBS`` they then read the
installed files.

The ELF structures are parsed here, so that no binutils are needed.
"""

import importlib
import importlib.util
import os
import struct
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
DEFAULT_BUILDS = REPO / "build" / "armhf"
# Any CPython 3 of the target names its libraries this way.
TARGET_SUFFIX_PATTERN = ".cpython-3*-arm-linux-gnueabihf.so"

# (module, file in the package layout without the suffix, entry function)
LIBRARIES = [
    ("merrow_sdk.logging.trace_key", "merrow_sdk/logging/trace_key", "PyInit_trace_key"),
    ("merrow_sdk.patchbay", "merrow_sdk/patchbay/__init__", "PyInit_patchbay"),
]
ALLOWED_NEEDED = {"libc.so.6", "ld-linux-armhf.so.3"}

ELFCLASS32 = 1
ELFDATA2LSB = 1
ET_DYN = 3
EM_ARM = 40
EF_ARM_EABIMASK = 0xFF000000
EF_ARM_EABI_VER5 = 0x05000000
EF_ARM_ABI_FLOAT_HARD = 0x00000400
SHT_DYNAMIC = 6
SHT_DYNSYM = 11
SHT_ARM_ATTRIBUTES = 0x70000003
DT_NULL = 0
DT_NEEDED = 1
TAG_FILE = 1
TAG_ABI_VFP_ARGS = 28
VFP_ARGS_IN_VFP_REGISTERS = 1


# --------------------------------------------------------------------------
# ELF reading (32-bit little-endian only: anything else is a wrong library)


class Elf32:
    HEADER = struct.Struct("<16sHHIIIIIHHHHHH")
    SECTION = struct.Struct("<10I")
    DYN = struct.Struct("<iI")
    SYM = struct.Struct("<IIIBBH")

    def __init__(self, data):
        if data[:4] != b"\x7fELF":
            raise ValueError("not an ELF file")
        self.data = data
        self.ei_class, self.ei_data = data[4], data[5]
        if (self.ei_class, self.ei_data) != (ELFCLASS32, ELFDATA2LSB):
            self.e_machine = None
            return
        (_, self.e_type, self.e_machine, _, _, _, shoff, self.e_flags,
         _, _, _, shentsize, shnum, shstrndx) = self.HEADER.unpack_from(data)
        self.sections = [self.SECTION.unpack_from(data, shoff + i * shentsize) for i in range(shnum)]
        self.section_names = [self._string(shstrndx, s[0]) for s in self.sections]

    @classmethod
    def read(cls, path):
        return cls(Path(path).read_bytes())

    def is_arm32(self):
        return (self.ei_class, self.ei_data) == (ELFCLASS32, ELFDATA2LSB) and self.e_machine == EM_ARM

    def _body(self, index):
        section = self.sections[index]
        offset, size = section[4], section[5]
        return self.data[offset:offset + size]

    def _string(self, table_index, offset):
        body = self._body(table_index)
        return body[offset:body.index(b"\0", offset)].decode("ascii")

    def sections_of_type(self, sh_type):
        if self.e_machine is None:
            raise ValueError("not a 32-bit little-endian ELF file (class %d, data %d)"
                             % (self.ei_class, self.ei_data))
        return [i for i, s in enumerate(self.sections) if s[1] == sh_type]

    def needed(self):
        """The DT_NEEDED names, in order."""
        names = []
        for index in self.sections_of_type(SHT_DYNAMIC):
            body, strtab = self._body(index), self.sections[index][6]
            for tag, value in (self.DYN.unpack_from(body, o) for o in range(0, len(body), self.DYN.size)):
                if tag == DT_NULL:
                    break
                if tag == DT_NEEDED:
                    names.append(self._string(strtab, value))
        return names

    def exported_symbols(self):
        """Names the library defines for others to bind to."""
        names = set()
        for index in self.sections_of_type(SHT_DYNSYM):
            body, strtab = self._body(index), self.sections[index][6]
            for offset in range(self.SYM.size, len(body), self.SYM.size):
                name, _, _, info, other, shndx = self.SYM.unpack_from(body, offset)
                binding, visibility = info >> 4, other & 3
                if shndx != 0 and binding in (1, 2, 10) and visibility in (0, 3):
                    names.add(self._string(strtab, name))
        return names

    def arm_attributes(self):
        """File-scope attributes of the "aeabi" vendor, tag -> value."""
        found = self.sections_of_type(SHT_ARM_ATTRIBUTES)
        if not found:
            return {}
        body = self._body(found[0])
        if body[:1] != b"A":
            raise ValueError("unknown attributes format %r" % body[:1])
        attributes, pos = {}, 1
        while pos < len(body):
            (length,) = struct.unpack_from("<I", body, pos)
            vendor_end = body.index(b"\0", pos + 4)
            if body[pos + 4:vendor_end] == b"aeabi":
                attributes.update(_aeabi_file_attributes(body[vendor_end + 1:pos + length]))
            pos += length
        return attributes


def _uleb128(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def _ntbs(data, pos):
    end = data.index(b"\0", pos)
    return data[pos:end].decode("ascii", "replace"), end + 1


def _aeabi_file_attributes(data):
    attributes, pos = {}, 0
    while pos < len(data):
        scope, (size,) = data[pos], struct.unpack_from("<I", data, pos + 1)
        if scope == TAG_FILE:
            attributes.update(_attribute_list(data[pos + 5:pos + size]))
        pos += size
    return attributes


def _attribute_list(data):
    # String-valued tags are listed by the ABI; for the rest, tags from 32 on
    # carry a string when odd and a number when even.
    attributes, pos = {}, 0
    while pos < len(data):
        tag, pos = _uleb128(data, pos)
        if tag == 32:  # Tag_compatibility: a flag, then a vendor name
            flag, pos = _uleb128(data, pos)
            name, pos = _ntbs(data, pos)
            attributes[tag] = (flag, name)
        elif tag in (4, 5, 65, 67) or (tag > 32 and tag % 2 == 1):
            attributes[tag], pos = _ntbs(data, pos)
        else:
            attributes[tag], pos = _uleb128(data, pos)
    return attributes


# --------------------------------------------------------------------------
# Where the libraries are


def _interpreter_is_arm32():
    try:
        return Elf32.read(os.path.realpath(sys.executable)).is_arm32()
    except (OSError, ValueError):
        return False


RUNNING_ON_TARGET = _interpreter_is_arm32()
# The running interpreter's suffix: on the target, the one its libraries need.
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def _stages():
    """The install stages to read, or [None] for the installed modules (on
    the target) or for nothing built (on the build machine)."""
    named = os.environ.get("MERROW_ARMHF_LIBS")
    if named:
        return [Path(p) for p in named.split(os.pathsep) if p]
    if RUNNING_ON_TARGET:
        return [None]
    return sorted(p for p in DEFAULT_BUILDS.glob("*/stage") if p.is_dir()) or [None]


def _stage_name(stage):
    if stage is None:
        return "installed" if RUNNING_ON_TARGET else "unbuilt"
    # build/armhf/<release>/stage is named after its release.
    return stage.parent.name if stage.name == "stage" else stage.name


def _installed_file(module):
    try:
        spec = importlib.util.find_spec(module)
    except ImportError:
        return None
    return Path(spec.origin) if spec is not None and spec.origin else None


def _library_file(stage, module, stem):
    if stage is None and RUNNING_ON_TARGET:
        path = _installed_file(module)
        if path is None or not path.name.endswith(EXT_SUFFIX):
            pytest.skip("%s is not installed as a target library" % module)
        return path
    if stage is None:
        pytest.skip("no cross-built libraries under %s/<release>/stage "
                    "(set MERROW_ARMHF_LIBS or run `make test-armhf`)" % DEFAULT_BUILDS)
    found = sorted(stage.glob(stem + TARGET_SUFFIX_PATTERN))
    if not found:
        pytest.skip("no cross-built %s%s under %s" % (stem, TARGET_SUFFIX_PATTERN, stage))
    # One stage holds the build for one release, hence one CPython.
    assert len(found) == 1, "libraries for more than one CPython in %s: %s" % (stage, found)
    return found[0]


CASES = [(stage, library) for stage in _stages() for library in LIBRARIES]


@pytest.fixture(params=CASES, ids=["%s-%s" % (_stage_name(s), lib[0]) for s, lib in CASES])
def library(request):
    stage, (module, stem, entry) = request.param
    return module, _library_file(stage, module, stem), entry


# --------------------------------------------------------------------------
# The libraries


def test_is_32bit_arm_eabi5_shared_object(library):
    _, path, _ = library
    elf = Elf32.read(path)
    assert (elf.ei_class, elf.ei_data) == (ELFCLASS32, ELFDATA2LSB), "not 32-bit little-endian"
    assert elf.e_machine == EM_ARM
    assert elf.e_type == ET_DYN
    assert elf.e_flags & EF_ARM_EABIMASK == EF_ARM_EABI_VER5


def test_uses_hard_float_calling_convention(library):
    _, path, _ = library
    elf = Elf32.read(path)
    attributes = elf.arm_attributes()
    assert attributes, "no .ARM.attributes section"
    assert attributes.get(TAG_ABI_VFP_ARGS) == VFP_ARGS_IN_VFP_REGISTERS
    assert elf.e_flags & EF_ARM_ABI_FLOAT_HARD, "ELF header lacks the hard-float flag"


def test_needs_only_the_c_library_and_loader(library):
    _, path, _ = library
    needed = Elf32.read(path).needed()
    assert set(needed) <= ALLOWED_NEEDED, needed


def test_exports_only_its_entry_function(library):
    _, path, entry = library
    assert Elf32.read(path).exported_symbols() == {entry}


@pytest.mark.skipif(not RUNNING_ON_TARGET, reason="the interpreter is not a 32-bit ARM build")
def test_imported_module_is_the_target_library(library):
    module, path, _ = library
    loaded = Path(importlib.import_module(module).__file__)
    assert loaded.name.endswith(EXT_SUFFIX), loaded
    elf = Elf32.read(loaded)
    assert elf.is_arm32()
    assert elf.arm_attributes().get(TAG_ABI_VFP_ARGS) == VFP_ARGS_IN_VFP_REGISTERS
    if os.environ.get("MERROW_ARMHF_LIBS"):
        # The wheel must carry the very library that was built.
        assert loaded.read_bytes() == path.read_bytes()
