"""Instructions per call, and where they go, under callgrind, for
callgrind_goals.py (its --profile shows the latter).

Runs a statement N and 2N times in a
fresh interpreter (callgrind_child.py) under valgrind's callgrind, once for
the native class and once for the pure-Python one, and prints the
difference divided by N: the cost of one call with start-up and set-up taken out, in total and for the
functions with the highest inclusive cost. The statement may name
LogIDGenerator, g (a generator with a session), fresh (one without), and
the inputs m (a message), k (an identifier), t (a token), node and idx
(the constructor's arguments). With --generators N, the unrolled copies of
the statement take g and fresh in turn from N different generators.
"""

import os
import re
import subprocess
import sys
import tempfile

import bench_common as common

HERE = os.path.dirname(os.path.abspath(__file__))
ROW = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?)\s*$")
TOTALS = re.compile(r"^(?:totals|summary):\s*(\d+)", re.MULTILINE)


def round_calls(calls):
    """Calls come in whole loop turns."""
    return calls - calls % common.UNROLL or common.UNROLL


def callgrind(statement, implementation, calls, workdir, generators=1, python=None):
    """Runs the child under callgrind; returns the path of its output."""
    handle, out = tempfile.mkstemp(prefix=f"{implementation}.{calls}.", suffix=".out", dir=workdir)
    os.close(handle)
    # No bytecode written: a run that compiles and writes it would count
    # that work against its partner run that reads it.
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               python or sys.executable, os.path.join(HERE, "callgrind_child.py"),
               implementation, str(calls), str(generators), statement]
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{implementation} {statement!r} under callgrind failed "
                           f"(exit {done.returncode}):\n{done.stderr[-2000:]}")
    return out


def total_instructions(out):
    with open(out, encoding="utf-8", errors="replace") as f:
        found = TOTALS.findall(f.read())
    if not found:
        raise RuntimeError(f"no instruction total in {out}")
    return int(found[-1])


def count(statement, implementation, calls, workdir, generators=1, python=None):
    """Instructions of a whole run of `calls` calls, start-up included."""
    out = callgrind(statement, implementation, calls, workdir, generators, python)
    try:
        return total_instructions(out)
    finally:
        os.remove(out)


def _annotate(out, inclusive):
    """{function: Ir} from callgrind_annotate, names without build paths;
    entries for inlined header code and for recursion levels are left out."""
    text = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
         "--threshold=100", out],
        check=True, capture_output=True, text=True).stdout
    costs = {}
    for line in text.splitlines():
        match = ROW.match(line)
        if not match:
            continue
        value, what = int(match.group(1).replace(",", "")), match.group(2)
        where, _, obj = what.partition(" [")
        path, _, function = where.rpartition(":")
        if what.startswith("PROGRAM TOTALS"):
            costs[None] = value
        elif not path.endswith(".h") and "'" not in function:
            lib = os.path.basename(obj.rstrip("]")).split(".")[0]
            function = function.replace("(anonymous namespace)::", "").split("(")[0] or function
            name = f"{function} [{lib}]" if path == "???" else f"{os.path.basename(path)}:{function} [{lib}]"
            costs[name] = costs.get(name, 0) + value
    return costs


def run_callgrind(statement, implementation, calls, workdir, generators=1, python=None):
    out = callgrind(statement, implementation, calls, workdir, generators, python)
    return _annotate(out, True), _annotate(out, False)


def per_call(statement, implementation, calls, top, generators=1, python=None):
    """Instructions per call, and (inclusive, self, function) per call for
    the functions below the measuring loop, costliest first."""
    with tempfile.TemporaryDirectory() as workdir:
        incl_1, self_1 = run_callgrind(statement, implementation, calls, workdir, generators, python)
        incl_2, self_2 = run_callgrind(statement, implementation, 2 * calls, workdir, generators,
                                       python)
    total = (incl_2.pop(None) - incl_1.pop(None)) / calls
    rows = []
    for name, cost in incl_2.items():
        inclusive = (cost - incl_1.get(name, 0)) / calls
        # The loop and everything above it carry the whole call: not news.
        if 1 <= inclusive < 0.98 * total:
            rows.append((inclusive, (self_2.get(name, 0) - self_1.get(name, 0)) / calls, name))
    return total, sorted(rows, reverse=True)[:top]


def print_profile(statement, implementations, calls, top, generators=1, python=None):
    for implementation in implementations:
        total, functions = per_call(statement, implementation, calls, top, generators, python)
        turn = f" ({generators} generators in turn)" if generators > 1 else ""
        print(f"\n{implementation}: {statement}{turn}: {total:.0f} instructions per call")
        print(common.format_table(
            ["incl./call", "self/call", "function"],
            [[f"{incl:.0f}", f"{own:.0f}", name] for incl, own, name in functions], ">><"))
