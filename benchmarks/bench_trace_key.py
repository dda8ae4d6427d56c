"""Time per call of the rows callgrind_goals.py counts (bench_common.ROWS),
native against the same class written in plain Python and against the
inline limit (the same result built in place, without a call); and the
calls per second of generate_error_id() from 1, 2, 4 and 8 threads sharing
one generator. Times move with the machine's load: read them as ratios
within one run.

    python benchmarks/bench_trace_key.py [pyperf options] [--only TEXT] [--clock cpu|wall] [--rounds N]

BENCH_QUICK=1 takes one round. Prints the tables and writes
benchmarks/results/latest.json.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

import pyperf

import bench_common as common
import pure_python_trace_key as pure
from callgrind_child import setup_text
from merrow_sdk.logging import trace_key as native

# pyperf's defaults are sized for one benchmark; these keep the whole suite
# to a few minutes on two cores. Each worker process has its own hash seed
# and memory layout, which can shift a call by up to 2x for that whole
# process (seen here for the native and the plain-Python class alike):
# --rigorous (twice the processes) or more --rounds narrow that down.
SETTINGS = {"processes": 1, "values": 4, "min_time": 0.05}
ROUNDS = 3
KINDS = ("native", "pure", "limit")
THREAD_COUNTS = (1, 2, 4, 8)

# The inline limit of each row: setup beyond the rows' own, and statement.
LIMITS = {
    "error": ("lock = threading.Lock()\nc = 0",
              "with lock:\n    c += 1\nf\"ERR-{t}-{node[:8]}-{idx}-{c}\""),
    "event_kw": ("lock = threading.Lock()\nc = 0",
                 "with lock:\n    c += 1\nf\"EVT-{t}-{node[:8]}-{idx}-{c}\""),
    "session_cached": ("lock = threading.Lock()\nuuid4 = uuid.uuid4\nsid = None\nforce = False", """
with lock:
    if sid is None or force:
        sid = f"SES-{node[:8]}-{idx}-{str(uuid4())[:8]}"
    sid
"""),
    "get_session": ("", "g._session_id"),
    "session_tag": ("", "s = g._session_id\nf\"[{s}] {m}\" if s else m"),
    "untagged": ("", "s = fresh._session_id\nf\"[{s}] {m}\" if s else m"),
    "class_tag": ("", common.ROW_BY_KEY["fstring"].statement),
    "construct": ("Plain = PlainState\nLock = threading.Lock", """
o = Plain()
o.node_id = node
o.source_idx = idx
o._session_id = None
o._error_counter = 0
o._event_counter = 0
o._lock = Lock()
"""),
}


class PlainState:
    pass


def timer(module, setup, stmt, clock, **names):
    namespace = dict(common.base_namespace(module), PlainState=PlainState, **names)
    return common.compile_timer(setup_text(1) + "\n" + setup, stmt, namespace, clock=clock)


def thread_timer(kind, nthreads):
    """A function of `loops` timing nthreads threads that each run the
    statement loops * UNROLL times (on one shared generator but for the
    limit, which shares nothing: all that the thread count adds to it is the
    interpreter's own switching); seconds from the first thread's start to
    the last one's end."""
    shared, module = [], pure if kind == "pure" else native
    setup, stmt = LIMITS["error"] if kind == "limit" else ("g = shared[0]", "g.generate_error_id()")
    calls = timer(module, setup, stmt, "wall", shared=shared)

    def time_func(loops):
        g = None if kind == "limit" else module.LogIDGenerator(common.NODE, common.IDX)
        shared[:] = [g]
        barrier = threading.Barrier(nthreads)
        spans = []

        def worker():
            barrier.wait()
            start = time.perf_counter()
            calls(loops)
            spans.append((start, time.perf_counter()))

        threads = [threading.Thread(target=worker) for _ in range(nthreads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # Every call counted once, or the figure is meaningless.
        expected = nthreads * loops * common.UNROLL
        if g is not None and g._error_counter != expected:
            raise RuntimeError(f"error counter {g._error_counter}, expected {expected}")
        return max(end for _, end in spans) - min(start for start, _ in spans)

    return time_func


def selected(only):
    return [row for row in common.ROWS if not row.once and only.lower() in row.label]


def variants(only, clock):
    """(benchmark name, timing function, calls per loop): each row's native,
    pure and limit runs side by side, then the thread runs."""
    for row in selected(only):
        yield f"native: {row.label}", timer(native, "", row.statement, clock), common.UNROLL
        yield f"pure: {row.label}", timer(pure, "", row.statement, clock), common.UNROLL
        yield f"limit: {row.label}", timer(native, *LIMITS[row.key], clock), common.UNROLL
    if only in "threads":
        for n in THREAD_COUNTS:
            for kind in KINDS:
                yield f"threads={n} {kind}", thread_timer(kind, n), n * common.UNROLL


def self_check():
    """The plain class must make what the native one makes from the same
    state, or the comparison means nothing."""
    made = []
    for module in (native, pure):
        g, m = module.LogIDGenerator("camera-node-01", -3), common.MESSAGE
        made.append([g.format_log_with_session(m) is m, g.get_session_id(),
                     [g.generate_error_id() for _ in range(3)], g.generate_error_id("FRAME"),
                     g.generate_event_id(), g.generate_event_id(event_type="START"),
                     len(g.generate_session_id()), g.generate_session_id() == g.get_session_id(),
                     g.format_log_with_session(m) == f"[{g.get_session_id()}] {m}",
                     module.LogIDGenerator.format_log_with_id(m, common.KEY),
                     [getattr(g, a) for a in ("node_id", "source_idx", "_error_counter")]])
    if made[0] != made[1]:
        sys.exit(f"self-check failed: native made {made[0]!r}, pure {made[1]!r}")


def pooled_rounds(rounds):
    """pyperf runs one benchmark's processes back to back, so a burst of other
    work on a shared machine falls on one benchmark and skews its ratios.
    The whole suite runs `rounds` times instead, and each figure is the
    median of its values from every round: seconds per call."""
    os.makedirs(common.RESULTS_DIR, exist_ok=True)
    values = {}
    for i in range(rounds):
        out = os.path.join(common.RESULTS_DIR, f"round-{i + 1}.json")
        if os.path.exists(out):
            os.remove(out)
        print(f"round {i + 1} of {rounds}", flush=True)
        subprocess.run([sys.executable, os.path.abspath(__file__), *sys.argv[1:],
                        "--round-only", "-o", out], check=True)
        for bench in pyperf.BenchmarkSuite.load(out).get_benchmarks():
            values.setdefault(bench.get_name(), []).extend(bench.get_values())
    return {name: statistics.median(v) for name, v in values.items()}


def call_rows(rows, seconds):
    out = []
    for row in rows:
        native_ns, pure_ns, limit_ns = (seconds[f"{kind}: {row.label}"] * 1e9 for kind in KINDS)
        out.append({"row": row.label, "statement": row.statement,
                    "limit_code": LIMITS[row.key][1].strip(), "native_ns": native_ns,
                    "pure_ns": pure_ns, "limit_ns": limit_ns,
                    "pure_over_native": pure_ns / native_ns, "limit_over_native": limit_ns / native_ns})
    return out


def thread_rows(seconds):
    rows = []
    for n in THREAD_COUNTS:
        if f"threads={n} native" not in seconds:
            continue
        row = {"threads": n}
        for kind in KINDS:
            row[f"{kind}_calls_per_s"] = 1 / seconds[f"threads={n} {kind}"]
            row[f"{kind}_vs_one"] = seconds[f"threads=1 {kind}"] / seconds[f"threads={n} {kind}"]
        rows.append(row)
    return rows


def render(report):
    parts = []
    if report["calls"]:
        parts.append(common.format_table(
            ["row", "native ns", "pure ns", "pure/native", "limit ns", "limit/native"],
            [[r["row"], common.fmt_ns(r["native_ns"]), common.fmt_ns(r["pure_ns"]),
              common.fmt_ratio(r["pure_over_native"]), common.fmt_ns(r["limit_ns"]),
              common.fmt_ratio(r["limit_over_native"])] for r in report["calls"]],
            "<>>>>>"))
    if report["threads"]:
        headers, cells = ["threads"], [[r["threads"]] for r in report["threads"]]
        for kind in KINDS:
            headers += [f"{kind} calls/s", "vs 1 thread"]
            for row, r in zip(cells, report["threads"]):
                row += [f"{r[f'{kind}_calls_per_s'] / 1e6:.2f} M", common.fmt_ratio(r[f"{kind}_vs_one"])]
        parts.append(common.format_table(headers, cells, ">" * len(headers)))
    machine = report["machine"]
    parts.append(f"{report['python']['version'].split()[0]} on {machine['machine']}"
                 f" ({machine['processor']}); {common.LATEST}")
    return "\n\n".join(parts)


def main():
    quick = os.environ.get("BENCH_QUICK") == "1"

    def forward(cmd, args):
        cmd.extend(("--clock", args.clock, "--only", args.only))

    runner = pyperf.Runner(add_cmdline_args=forward, **SETTINGS)
    parser = runner.argparser
    parser.add_argument("--only", metavar="TEXT", default="",
                        help="only the rows whose label holds TEXT ('threads': the thread runs)")
    parser.add_argument("--clock", choices=sorted(common.CLOCKS), default="cpu",
                        help="cpu: the measuring thread's CPU time (default; steady on a "
                             "shared machine); wall: elapsed time")
    parser.add_argument("--rounds", type=int, default=1 if quick else ROUNDS,
                        help="passes over the whole suite, pooled (default %(default)s)")
    parser.add_argument("--round-only", action="store_true", help=argparse.SUPPRESS)
    args = runner.parse_args()
    if args.worker or args.round_only:
        # One pass: pyperf's workers, or a round whose values go to its -o file.
        for name, time_func, calls in variants(args.only, args.clock):
            runner.bench_time_func(name, time_func, inner_loops=calls)
        return
    self_check()
    started = common.now()
    seconds = pooled_rounds(args.rounds)
    settings = {"rounds": args.rounds, "processes": args.processes, "values": args.values,
                "warmups": args.warmups, "min_time": args.min_time, "clock": args.clock,
                "unroll": common.UNROLL, "statistic": "median of all rounds' values"}
    report = dict(common.environment(), settings=settings, started=started,
                  finished=common.now(), extension=common.extension_fingerprint(native),
                  calls=call_rows(selected(args.only), seconds), threads=thread_rows(seconds))
    with open(common.LATEST, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    print()
    print(render(report))


if __name__ == "__main__":
    main()
