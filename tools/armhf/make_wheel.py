"""Assembles the target wheel from the package's Python files and the
cross-built extension libraries.

Building the wheel with the usual build backend would mean running it under
emulation, which is slow; the wheel format is simple enough to write here.

    make_wheel.py --soabi cpython-311-arm-linux-gnueabihf --stage build/armhf/bookworm/stage --out DIR

The wheel is tagged linux_armv7l, as a build backend would tag it;
tools/manylinux.sh then gives it the manylinux tag auditwheel finds.
"""

import argparse
import base64
import hashlib
import os
import re
import sys
import time
import zipfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

REPO = Path(__file__).resolve().parents[2]
PACKAGE = "merrow_sdk"
PLATFORM = "linux_armv7l"
SOABI = re.compile(r"^cpython-(?P<nodot>3\d+)-arm-linux-gnueabihf$")
# The libraries the wheel may carry, relative to the install stage, without
# their extension suffix.
LIBRARIES = ("merrow_sdk/logging/trace_key", "merrow_sdk/patchbay/__init__")
PYTHON_FILES = ("*.py", "*.pyi", "py.typed")
# Zip entries carry no time zone; a fixed stamp keeps the wheel reproducible.
DEFAULT_EPOCH = 315532800  # 1980-01-01, the earliest a zip can hold


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def metadata_text(project, readme):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
    ]
    if "description" in project:
        lines.append("Summary: " + project["description"])
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    lines += ["Classifier: " + c for c in project.get("classifiers", ())]
    for requirement in project.get("dependencies", ()):
        lines.append("Requires-Dist: " + requirement)
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        for requirement in requirements:
            lines.append('Requires-Dist: %s; extra == "%s"' % (requirement, extra))
    body = ""
    if readme is not None and readme.is_file():
        lines.append("Description-Content-Type: text/markdown")
        body = "\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n" + body


def wheel_tag(soabi):
    match = SOABI.match(soabi)
    if match is None:
        sys.exit("make_wheel: not the SOABI of an armhf CPython 3: %s" % soabi)
    python = "cp" + match["nodot"]
    return "%s-%s-%s" % (python, python, PLATFORM)


def wheel_text(tag):
    return "\n".join([
        "Wheel-Version: 1.0",
        "Generator: merrow-armhf-make-wheel",
        "Root-Is-Purelib: false",
        "Tag: " + tag,
    ]) + "\n"


def package_files(src_root, stage, soabi, required):
    """(archive name, path) pairs: Python files from the source tree, then
    the libraries from the stage."""
    files = {}
    for pattern in PYTHON_FILES:
        for path in (src_root / PACKAGE).rglob(pattern):
            if "__pycache__" not in path.parts:
                files[path.relative_to(src_root).as_posix()] = path
    libraries = ["%s.%s.so" % (name, soabi) for name in LIBRARIES]
    for name in libraries:
        path = stage / name
        if path.is_file():
            files[name] = path
        elif name in required:
            sys.exit("make_wheel: missing library %s" % path)
    stray = [p for p in stage.rglob("*.so") if p.relative_to(stage).as_posix() not in libraries]
    if stray:
        sys.exit("make_wheel: unexpected libraries in the stage: %s" % ", ".join(map(str, stray)))
    return sorted(files.items())


def write_wheel(out_dir, project, entries, tag, epoch):
    dist = "%s-%s" % (project["name"].replace("-", "_"), project["version"])
    info = dist + ".dist-info"
    out_dir.mkdir(parents=True, exist_ok=True)
    wheel_path = out_dir / ("%s-%s.whl" % (dist, tag))
    stamp = time.gmtime(max(epoch, DEFAULT_EPOCH))[:6]
    records = []

    def add(archive, name, data, mode=0o644):
        entry = zipfile.ZipInfo(name, date_time=stamp)
        entry.external_attr = (0o100000 | mode) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(entry, data)
        records.append("%s,%s,%d" % (name, record_hash(data), len(data)))

    readme = REPO / project.get("readme", "README.md")
    tmp_path = wheel_path.with_suffix(".tmp")
    with zipfile.ZipFile(tmp_path, "w") as archive:
        for name, path in entries:
            add(archive, name, path.read_bytes(), 0o755 if name.endswith(".so") else 0o644)
        add(archive, info + "/METADATA", metadata_text(project, readme).encode("utf-8"))
        add(archive, info + "/WHEEL", wheel_text(tag).encode("utf-8"))
        records.append(info + "/RECORD,,")
        add(archive, info + "/RECORD", ("\n".join(records) + "\n").encode("utf-8"))
    os.replace(tmp_path, wheel_path)
    return wheel_path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--soabi", required=True,
                        help="SOABI of the target CPython, e.g. cpython-39-arm-linux-gnueabihf")
    parser.add_argument("--stage", type=Path, required=True,
                        help="install prefix of the cross build")
    parser.add_argument("--src", type=Path, default=REPO / "src")
    parser.add_argument("--pyproject", type=Path, default=REPO / "pyproject.toml")
    parser.add_argument("--out", type=Path, default=REPO / "dist")
    parser.add_argument("--require", action="append", default=[],
                        help="a library (as listed in the wheel) that must be present")
    args = parser.parse_args(argv)

    with open(args.pyproject, "rb") as f:
        project = tomllib.load(f)["project"]
    tag = wheel_tag(args.soabi)
    entries = package_files(args.src, args.stage, args.soabi, set(args.require))
    if not any(name.endswith(".so") for name, _ in entries):
        sys.exit("make_wheel: no libraries in %s" % args.stage)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH))
    print(write_wheel(args.out, project, entries, tag, epoch))


if __name__ == "__main__":
    main()
