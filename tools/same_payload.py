"""Checks that retagging changed nothing but a wheel's tags: the same files,
byte for byte, apart from the WHEEL and RECORD metadata, and a WHEEL that
differs only in its Tag lines. A library auditwheel grafted in, or one it
patched, shows up here. Directory entries, which auditwheel adds and which
hold nothing, are left out.

    same_payload.py ORIGINAL RETAGGED

Exits 1 and says what differs if anything else changed.
"""

import sys
import zipfile


def contents(path):
    with zipfile.ZipFile(path) as archive:
        return {entry.filename: archive.read(entry) for entry in archive.infolist() if not entry.is_dir()}


def metadata_file(name, suffix):
    head, _, tail = name.rpartition("/")
    return head.endswith(".dist-info") and "/" not in head and tail == suffix


def without_tags(wheel_text):
    lines = wheel_text.decode("utf-8").splitlines()
    return [line for line in lines if line.strip() and not line.startswith("Tag:")]


def differences(original, retagged):
    before, after = contents(original), contents(retagged)
    for name in sorted(set(before) | set(after)):
        if metadata_file(name, "RECORD"):
            continue
        if name not in after:
            yield "dropped " + name
        elif name not in before:
            yield "added " + name
        elif metadata_file(name, "WHEEL"):
            if without_tags(before[name]) != without_tags(after[name]):
                yield "WHEEL changed beyond its Tag lines"
        elif before[name] != after[name]:
            yield "changed " + name


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__.strip())
    found = list(differences(*argv))
    for problem in found:
        print("%s: %s" % (argv[1], problem), file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
