"""The instruction-count tables of docs/benchmarks.md, from the JSON files
`make bench-callgrind` and `make bench-shortcuts` leave in
benchmarks/results/ (callgrind-TARGET.json: both builds against the goals;
shortcuts-TARGET.json: what each shortcut saves). Files of narrowed runs
(-partial) are left out, and so are files older than the two builds.

    python benchmarks/callgrind_tables.py            # print the tables
    python benchmarks/callgrind_tables.py --write    # put them into docs/benchmarks.md

--write replaces what stands between the two marker lines in the document,
so that the figures there are always those of the results at hand.
callgrind_goals.py prints each target's tables with the same functions.
"""

import argparse
import glob
import json
import os
import sys

from callgrind_builds import shortcut_of

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
DOC = os.path.join(os.path.dirname(HERE), "docs", "benchmarks.md")
BEGIN = "<!-- callgrind-tables:begin -->"
END = "<!-- callgrind-tables:end -->"
# A shortcut is kept on a series only where it saves at least this share
# of some goal row's instructions.
KEEP_SAVING = 0.10
VERDICT = {None: "-", True: "yes", False: "**no**"}


def series_key(report):
    """Series in order; a host's build before a root's of the same series."""
    return (tuple(int(p) for p in report["series"].split(".")), report["release"] or "")


def reports(stem):
    """The complete reports of callgrind-*.json or shortcuts-*.json, in
    series order; older files are named on stderr and left out."""
    found = []
    for path in glob.glob(os.path.join(RESULTS, f"{stem}-*.json")):
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        if "builds" not in report:
            print(f"{os.path.relpath(path)}: made before the two builds; left out", file=sys.stderr)
        elif not report["partial"]:
            found.append(report)
    return sorted(found, key=series_key)


def where(report):
    version, release = report["python"]["version"], report["release"]
    if release:
        return f"Debian {release}'s CPython {version}, in its x86_64 root"
    if "/.pyenv/" in report["python"]["base_prefix"]:
        return f"CPython {version} built by pyenv, x86_64 host"
    return f"CPython {version}, x86_64 host"


def provenance(report):
    tree = report["tree"]
    state = f"Commit `{tree['commit'][:7]}`"
    if tree["changed"]:
        count = len(tree["changed"])
        state += (f" plus uncommitted changes to {count} file{'s' if count > 1 else ''} "
                  f"(diff sha256 `{tree['diff_sha256'][:12]}`)")
    libraries = ", ".join(f"{name} `{build['extension']['sha256'][:12]}`"
                          for name, build in report["builds"].items())
    return (f"{state}; libraries {libraries}; measured "
            f"{report['generated'].replace('T', ' ')[:16]}, N = {report['calls']}.")


def heading(report):
    return f"#### {report['target']}: {where(report)}\n\n{provenance(report)}"


def goal_text(goal):
    if goal is None:
        return "-"
    text = f"≥ {goal['ratio']:g}"
    if goal.get("inline_reference"):
        text += f", native ≤ inline f-string ({goal['inline_ir']:.0f})"
    return text


def stretch_text(goal):
    if not goal or "stretch_ratio" not in goal:
        return "-"
    return f"≥ {goal['stretch_ratio']:g}: {VERDICT[goal['stretch_met']]}"


def ir_text(value):
    return "-" if value is None else f"{value:.0f}"


def ratio_text(value):
    return "-" if value is None else f"{value:.2f}"


def md_row(cells):
    return "| " + " | ".join(cells) + " |"


def goals_markdown(report):
    """The table of one target: plain, then each build's native Ir and
    ratio, the goal and whether the default build meets it."""
    names = [name for name in ("default", "generic") if name in report["builds"]]
    stretch = any(row["goal"] and "stretch_ratio" in row["goal"] for row in report["rows"])
    header = ["row", "plain Ir"]
    for name in names:
        header += [f"native Ir, {name}", f"plain/{name}"]
    header += ["goal", "default meets it?"] + (["stretch goal, default"] if stretch else [])
    lines = [md_row(header),
             "|---|" + "---:|" * (1 + 2 * len(names)) + "---|---|" + ("---|" if stretch else "")]
    for row in report["rows"]:
        cells = [row["label"], "(same)" if row["measured_once"] else ir_text(row["plain_ir"])]
        for name in names:
            if row["measured_once"] and name != "default":
                cells += ["(same)", "-"]
            else:
                cells += [ir_text(row["native_ir"][name]), ratio_text(row["ratio"][name])]
        cells += [goal_text(row["goal"]), VERDICT[row["met"].get("default")]]
        if stretch:
            cells.append(stretch_text(row["goal"]))
        lines.append(md_row(cells))
    counts = []
    for name in names:
        verdicts = [row["met"][name] for row in report["rows"] if row["goal"] is not None]
        same = report["builds"][name]["same_library_as"]
        counts.append(f"{name} build {sum(verdicts)} of {len(verdicts)}"
                      + (f" (the {same} build's library)" if same else ""))
    lines += ["", "Goals met: " + "; ".join(counts) + "."]
    return "\n".join(lines)


def shortcuts_of(report):
    return [shortcut_of(name) for name in report["builds"] if shortcut_of(name)]


def percent(value):
    """Bold from KEEP_SAVING; a few instructions either way read 0.0%."""
    text = f"{abs(value) if abs(value) < 0.0005 else value:.1%}"
    return f"**{text}**" if value >= KEEP_SAVING else text


def largest_saving(report, shortcut):
    """(saving, row label) of the goal row the shortcut saves most on."""
    rows = [row for row in report["rows"] if row["goal"] is not None]
    best = max(rows, key=lambda row: row["saving"][shortcut])
    return best["saving"][shortcut], best["label"]


def shortcuts_markdown(report):
    """Per goal row, the default build's Ir and each shortcut left out:
    its Ir and the share of it that the shortcut saves."""
    shortcuts = shortcuts_of(report)
    lines = [md_row(["row", "native Ir, default"] + [f"without {s}" for s in shortcuts]),
             "|---|---:|" + "---:|" * len(shortcuts)]
    for row in report["rows"]:
        if row["goal"] is None:
            continue
        cells = [row["label"], ir_text(row["native_ir"]["default"])]
        for shortcut in shortcuts:
            if report["builds"][f"without-{shortcut}"]["same_library_as"]:
                cells.append("same library")
            else:
                cells.append(f"{ir_text(row['native_ir'][f'without-{shortcut}'])} "
                             f"({percent(row['saving'][shortcut])})")
        lines.append(md_row(cells))
    verdicts = [VERDICT[True] if largest_saving(report, s)[0] >= KEEP_SAVING else "no"
                for s in shortcuts]
    lines.append(f"| saves ≥ {KEEP_SAVING:.0%} of some row | | " + " | ".join(verdicts) + " |")
    return "\n".join(lines)


def savings_summary(found):
    """One line per target: each shortcut's largest saving and its row."""
    shortcuts = []
    for report in found:
        shortcuts += [s for s in shortcuts_of(report) if s not in shortcuts]
    lines = [md_row(["series"] + shortcuts), "|---|" + "---|" * len(shortcuts)]
    for report in found:
        cells = [report["target"]]
        for shortcut in shortcuts:
            build = report["builds"].get(f"without-{shortcut}")
            if build is None:
                cells.append("-")
            elif build["same_library_as"]:
                cells.append("same library")
            else:
                value, label = largest_saving(report, shortcut)
                cells.append(f"{percent(value)} ({label})")
        lines.append(md_row(cells))
    return "\n".join(lines)


def tables():
    goals, shortcuts = reports("callgrind"), reports("shortcuts")
    blocks = []
    if goals:
        blocks.append("### Both builds, per series")
        blocks += [heading(report) + "\n\n" + goals_markdown(report) for report in goals]
    if shortcuts:
        blocks.append("### What each shortcut saves\n\nThe largest saving over the goal rows, "
                      "(Ir without the shortcut − Ir of the default build) / Ir without it; "
                      f"bold from {KEEP_SAVING:.0%}, the share that keeps a shortcut on a "
                      "series. \"same library\": the shortcut compiles to nothing there.")
        blocks.append(savings_summary(shortcuts))
        blocks += [heading(report) + "\n\n" + shortcuts_markdown(report) for report in shortcuts]
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
