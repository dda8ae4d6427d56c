"""What a shared library needs and offers, read with pyelftools: the facts
the target library tests and the wheel checks (tools/check_wheel.py) judge.
"""

from __future__ import annotations

import io
from dataclasses import dataclass
from pathlib import Path

from elftools.elf.elffile import ELFFile

@dataclass(frozen=True)
class Target:
    """What the libraries of one wheel machine are; multiarch is the part of
    the extension suffix that names the machine."""
    multiarch: str
    elf_class: int
    machine: str
    loader: str


# By the machine of a wheel's platform tag.
TARGETS = {
    "x86_64": Target("x86_64-linux-gnu", 64, "EM_X86_64", "ld-linux-x86-64.so.2"),
    "armv7l": Target("arm-linux-gnueabihf", 32, "EM_ARM", "ld-linux-armhf.so.3"),
    "aarch64": Target("aarch64-linux-gnu", 64, "EM_AARCH64", "ld-linux-aarch64.so.1"),
}

EF_ARM_EABIMASK = 0xFF000000
EF_ARM_ABI_FLOAT_HARD = 0x00000400


@dataclass(frozen=True)
class ElfFacts:
    elf_class: int
    machine: str
    file_type: str
    # ARM only: the EABI version and the float ABI ("hard" when both the
    # header flag and Tag_ABI_VFP_args say arguments go in VFP registers).
    arm_eabi: int | None
    float_abi: str | None
    needed: tuple
    # The highest GLIBC_x.y symbol version asked for, as (x, y), or None.
    glibc: tuple | None
    exports: frozenset

    def target(self):
        """The wheel machine these facts belong to, or None."""
        for name, target in TARGETS.items():
            if (target.elf_class, target.machine) == (self.elf_class, self.machine):
                return name
        return None


def read(source):
    """The facts of an ELF file given as a path or as bytes; ELFError if it
    is not one."""
    data = source if isinstance(source, bytes) else Path(source).read_bytes()
    elf = ELFFile(io.BytesIO(data))
    flags = elf.header["e_flags"]
    arm = elf.header["e_machine"] == "EM_ARM"
    return ElfFacts(
        elf_class=elf.elfclass,
        machine=elf.header["e_machine"],
        file_type=elf.header["e_type"],
        arm_eabi=(flags & EF_ARM_EABIMASK) >> 24 if arm else None,
        float_abi=_float_abi(elf, flags) if arm else None,
        needed=tuple(_needed(elf)),
        glibc=max(_glibc_versions(elf), default=None),
        exports=frozenset(_exports(elf)),
    )


def _needed(elf):
    dynamic = elf.get_section_by_name(".dynamic")
    if dynamic is None:
        return
    for tag in dynamic.iter_tags():
        if tag.entry.d_tag == "DT_NEEDED":
            yield tag.needed


def _glibc_versions(elf):
    for section in elf.iter_sections():
        if section["sh_type"] != "SHT_GNU_verneed":
            continue
        for _, auxiliaries in section.iter_versions():
            for aux in auxiliaries:
                name = aux.name
                if name.startswith("GLIBC_") and name[6:7].isdigit():
                    yield tuple(int(part) for part in name[6:].split("."))


def _exports(elf):
    """Names the library defines for others to bind to."""
    dynsym = elf.get_section_by_name(".dynsym")
    if dynsym is None:
        return
    for symbol in dynsym.iter_symbols():
        if (symbol.name and symbol["st_shndx"] != "SHN_UNDEF"
                and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK", "STB_LOOS")  # LOOS: GNU unique
                and symbol["st_other"]["visibility"] in ("STV_DEFAULT", "STV_PROTECTED")):
            yield symbol.name


def _vfp_args(elf):
    for section in elf.iter_sections():
        if section["sh_type"] != "SHT_ARM_ATTRIBUTES":
            continue
        for subsection in section.iter_subsections("aeabi"):
            for scope in subsection.iter_subsubsections("TAG_FILE"):
                for attribute in scope.iter_attributes("TAG_ABI_VFP_ARGS"):
                    return attribute.value
    return None


def _float_abi(elf, flags):
    vfp_registers = _vfp_args(elf) == 1
    hard_flag = bool(flags & EF_ARM_ABI_FLOAT_HARD)
    if vfp_registers and hard_flag:
        return "hard"
    if not vfp_registers and not hard_flag:
        return "soft"
    return "mixed (header %s, attributes %s)" % ("hard" if hard_flag else "soft",
                                                 "hard" if vfp_registers else "soft")
