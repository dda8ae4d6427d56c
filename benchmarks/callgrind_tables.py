"""The instruction-count tables of docs/benchmarks.md, from the JSON files
`make bench-callgrind` and `make bench-callgrind-trixie` leave in
benchmarks/results/ (callgrind-X.Y.json, callgrind-X.Y-trixie.json; the
-partial ones, from narrowed runs, are left out).

    python benchmarks/callgrind_tables.py            # print the tables
    python benchmarks/callgrind_tables.py --write    # put them into docs/benchmarks.md

--write replaces what stands between the two marker lines in the document,
so that the figures there are always those of the results at hand.
"""

import argparse
import glob
import json
import os
import re
import sys

from callgrind_goals import markdown

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
DOC = os.path.join(os.path.dirname(HERE), "docs", "benchmarks.md")
BEGIN = "<!-- callgrind-tables:begin -->"
END = "<!-- callgrind-tables:end -->"
NAME = re.compile(r"^callgrind-(\d+)\.(\d+)(?:-(\w+))?\.json$")


def reports():
    """(series, where) -> report, host builds before other roots' of a series."""
    found = []
    for path in glob.glob(os.path.join(RESULTS, "callgrind-*.json")):
        match = NAME.match(os.path.basename(path))
        if not match or match.group(3) == "partial":
            continue
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        major, minor, root = match.groups()
        found.append(((int(major), int(minor), root or ""), root, report))
    return [(root, report) for _, root, report in sorted(found, key=lambda item: item[0])]


def heading(root, report):
    version = report["python"]["version"]
    if root == "trixie":
        where = f"Debian trixie's CPython {version}, in its x86_64 root"
    elif root:
        where = f"CPython {version}, {root} root"
    else:
        where = f"CPython {version} built by pyenv, x86_64 host"
    tree = report["tree"]
    state = f"Commit `{tree['commit'][:7]}`"
    if tree["changed"]:
        count = len(tree["changed"])
        state += (f" plus uncommitted changes to {count} file{'s' if count > 1 else ''} "
                  f"(diff sha256 `{tree['diff_sha256'][:12]}`)")
    verdicts = [row["met"] for row in report["rows"] if row["met"] is not None]
    return (f"### {where}\n\n{state}; extension "
            f"`{report['python']['extension']['sha256'][:12]}`, measured "
            f"{report['generated'].replace('T', ' ')[:16]}, N = {report['calls']}: "
            f"{sum(verdicts)} of {len(verdicts)} goals met.")


def tables():
    blocks = []
    for root, report in reports():
        # The table bench-callgrind prints, under a heading that says which
        # interpreter and tree it came from.
        table = [line for line in markdown(report).splitlines() if line.startswith("|")]
        blocks.append(heading(root, report) + "\n\n" + "\n".join(table))
    return "\n\n".join(blocks)


def write(text):
    with open(DOC, encoding="utf-8") as f:
        doc = f.read()
    begin, end = doc.find(BEGIN), doc.find(END)
    if begin < 0 or end < begin:
        sys.exit(f"error: {DOC} lacks the lines {BEGIN} and {END}, in that order")
    start = begin + len(BEGIN)
    new = doc[:start] + "\n" + text + "\n" + doc[end:]
    if new != doc:
        with open(DOC, "w", encoding="utf-8") as f:
            f.write(new)
    print(f"{os.path.relpath(DOC)}: {'rewritten' if new != doc else 'already up to date'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true",
                        help=f"replace the tables between the markers in {os.path.relpath(DOC)}")
    args = parser.parse_args()
    text = tables()
    if not text:
        sys.exit(f"error: no callgrind results in {RESULTS}; run `make bench-callgrind` first")
    if args.write:
        write(text)
    else:
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
