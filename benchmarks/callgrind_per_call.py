"""Instructions per call, and where they go, under callgrind.

    python benchmarks/callgrind_per_call.py [STATEMENT] [--calls N] [--top K]

Runs the statement (default: g.generate_error_id()) N and 2N times in a
fresh interpreter under valgrind's callgrind, once for the native class and
once for the pure-Python one, and prints the difference divided by N: the
cost of one call with start-up and set-up taken out, in total and for the
functions with the highest inclusive cost. The statement may name
LogIDGenerator, g (a generator with a session), fresh (one without), and
the inputs m (a message), k (an identifier) and t (a token).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import bench_common as common

SETUP = ("LogIDGenerator = mod.LogIDGenerator\ng = LogIDGenerator(NODE, IDX)\ng.generate_session_id()\n"
         "fresh = LogIDGenerator(NODE, IDX)\nm = MESSAGE\nk = KEY\nt = 'FRAME'")
ROW = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?)\s*$")


def child(implementation, statement, calls):
    if implementation == "native":
        from merrow_sdk.logging import trace_key as module
    else:
        import pure_python_trace_key as module
    run = common.compile_timer(SETUP, statement, common.base_namespace(module))
    run(max(1, calls // common.UNROLL))


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


def run_callgrind(statement, implementation, calls, workdir):
    out = os.path.join(workdir, f"{implementation}.{calls}.out")
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
         sys.executable, os.path.abspath(__file__), "--child", implementation,
         "--calls", str(calls), statement],
        check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return _annotate(out, True), _annotate(out, False)


def per_call(statement, implementation, calls, top):
    """Instructions per call, and (inclusive, self, function) per call for
    the functions below the measuring loop, costliest first."""
    with tempfile.TemporaryDirectory() as workdir:
        incl_1, self_1 = run_callgrind(statement, implementation, calls, workdir)
        incl_2, self_2 = run_callgrind(statement, implementation, 2 * calls, workdir)
    total = (incl_2.pop(None) - incl_1.pop(None)) / calls
    rows = []
    for name, cost in incl_2.items():
        inclusive = (cost - incl_1.get(name, 0)) / calls
        # The loop and everything above it carry the whole call: not news.
        if 1 <= inclusive < 0.98 * total:
            rows.append((inclusive, (self_2.get(name, 0) - self_1.get(name, 0)) / calls, name))
    return total, sorted(rows, reverse=True)[:top]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("statement", nargs="?", default="g.generate_error_id()")
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--implementations", default="native,pure",
                        help="comma-separated: native, pure")
    parser.add_argument("--child", choices=("native", "pure"))
    args = parser.parse_args()
    calls = args.calls - args.calls % common.UNROLL or common.UNROLL
    if args.child:
        child(args.child, args.statement, calls)
        return
    for implementation in args.implementations.split(","):
        total, functions = per_call(args.statement, implementation, calls, args.top)
        print(f"\n{implementation}: {args.statement}: {total:.0f} instructions per call")
        print(common.format_table(
            ["incl./call", "self/call", "function"],
            [[f"{incl:.0f}", f"{own:.0f}", name] for incl, own, name in functions], ">><"))


if __name__ == "__main__":
    main()
