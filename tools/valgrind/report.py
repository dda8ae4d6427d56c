"""Reads a memcheck XML log and fails on what matters: any invalid access
or free anywhere, and any error or definitely lost block whose stack runs
through our libraries. Interpreter-only records are counted, not fatal.

    python tools/valgrind/report.py memcheck.xml
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

# Wrong whoever makes them: the heap itself is no longer to be trusted.
ALWAYS_FATAL = re.compile(r"Invalid|MismatchedFree|Overlap")
OUR_OBJECT = re.compile(r"/merrow_sdk/(logging/trace_key|patchbay/__init__)\.[^/]*\.so$")
OUR_FUNCTION = re.compile(r"merrow::|PyInit_(trace_key|patchbay)")


def frames(error):
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            yield frame.findtext("fn") or "", frame.findtext("obj") or ""


def ours(error):
    return any(OUR_FUNCTION.search(fn) or OUR_OBJECT.search(obj) for fn, obj in frames(error))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    top = [f"    {fn or '???'} ({obj})" for fn, obj in frames(error)][:25]
    return "\n".join([f"{error.findtext('kind')}: {what}", *top])


def main(path):
    root = ET.parse(path).getroot()
    errors = list(root.iter("error"))
    fatal = [e for e in errors if ALWAYS_FATAL.search(e.findtext("kind") or "") or ours(e)]
    others = collections.Counter(e.findtext("kind") for e in errors if e not in fatal)
    for error in fatal:
        print(describe(error), file=sys.stderr)
    print(f"memcheck: {len(errors)} record(s); {len(fatal)} invalid or from our libraries; "
          f"interpreter only: {dict(others) or 'none'}")
    return 1 if fatal else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
