"""Cost per call of every trace_key operation, native against the same class
written in plain Python and against the inline limit (the same result built
in place, without a call).

    python benchmarks/bench_trace_key.py [pyperf options] [--only TEXT] [--clock cpu|wall]
    BENCH_QUICK=1 python benchmarks/bench_trace_key.py [--only TEXT] [--clock cpu|wall]

Runs the thread benchmark (bench_threads.py) afterwards, prints one table
and writes benchmarks/results/latest.json.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import types

import bench_common as common
import bench_threads
import pure_python_trace_key as pure
from merrow_sdk.logging import trace_key as native

# Setup text shared by the native and the pure-Python runs; `mod` is the
# module under test.
GEN = "g = mod.LogIDGenerator(NODE, IDX)"
GEN_WITH_SESSION = GEN + "\ng.generate_session_id()"
CLS = "LogIDGenerator = mod.LogIDGenerator"
TAG_INPUTS = "m = MESSAGE\nk = KEY"

# (operation, setup, statement, limit)
ROWS = [
    ("generate_error_id()", GEN, "g.generate_error_id()", "error"),
    ("generate_error_id(t)", GEN + "\nt = 'FRAME'", "g.generate_error_id(t)", "error"),
    ("generate_error_id(error_type=t)", GEN + "\nt = 'FRAME'",
     "g.generate_error_id(error_type=t)", "error"),
    ("generate_event_id(t)", GEN + "\nt = 'START'", "g.generate_event_id(t)", "event"),
    ("generate_session_id() cached", GEN_WITH_SESSION, "g.generate_session_id()",
     "session_cached"),
    ("generate_session_id(force=True)", GEN_WITH_SESSION, "g.generate_session_id(force=True)",
     "session_forced"),
    ("get_session_id()", GEN_WITH_SESSION, "g.get_session_id()", "get_session"),
    ("LogIDGenerator.format_log_with_id(m, k)", CLS + "\n" + TAG_INPUTS,
     "LogIDGenerator.format_log_with_id(m, k)", "tag_id"),
    ("g.format_log_with_id(m, k)", GEN + "\n" + TAG_INPUTS, "g.format_log_with_id(m, k)",
     "tag_id"),
    ("LogIDGenerator.format_log_with_id(message=m, trace_key=k)", CLS + "\n" + TAG_INPUTS,
     "LogIDGenerator.format_log_with_id(message=m, trace_key=k)", "tag_id"),
    ("format_log_with_session(m) with session", GEN_WITH_SESSION + "\nm = MESSAGE",
     "g.format_log_with_session(m)", "tag_session"),
    ("format_log_with_session(message=m) with session", GEN_WITH_SESSION + "\nm = MESSAGE",
     "g.format_log_with_session(message=m)", "tag_session"),
    ("format_log_with_session(m) without session", GEN + "\nm = MESSAGE",
     "g.format_log_with_session(m)", "untagged"),
    ("LogIDGenerator(node, idx)", CLS + "\nnode = NODE\nidx = IDX", "LogIDGenerator(node, idx)",
     "construct"),
]

_SESSION_LIMIT = """
with lock:
    if sid is None or force:
        sid = f"SES-{node[:8]}-{idx}-{str(uuid4())[:8]}"
    sid
"""
_SESSION_SETUP = "lock = threading.Lock()\nuuid4 = uuid.uuid4\nnode = NODE\nidx = IDX\nsid = None\n"
_TAG_SESSION_LIMIT = """
s = g._session_id
f"[{s}] {m}" if s else m
"""

# The inline limit of each row: setup and statement, with `mod` the native
# module where state is read from a generator.
LIMITS = {
    "error": ("lock = threading.Lock()\nc = 0\nt = 'FRAME'\nnode = NODE\nidx = IDX",
              "with lock:\n    c += 1\nf\"ERR-{t}-{node[:8]}-{idx}-{c}\""),
    "event": ("lock = threading.Lock()\nc = 0\nt = 'START'\nnode = NODE\nidx = IDX",
              "with lock:\n    c += 1\nf\"EVT-{t}-{node[:8]}-{idx}-{c}\""),
    "session_cached": (_SESSION_SETUP + "force = False", _SESSION_LIMIT),
    "session_forced": (_SESSION_SETUP + "force = True", _SESSION_LIMIT),
    "get_session": (GEN_WITH_SESSION, "g._session_id"),
    "tag_id": (TAG_INPUTS, "f\"[{k}] {m}\""),
    "tag_session": (GEN_WITH_SESSION + "\nm = MESSAGE", _TAG_SESSION_LIMIT),
    "untagged": (GEN + "\nm = MESSAGE", _TAG_SESSION_LIMIT),
    "construct": ("Plain = PlainState\nLock = threading.Lock\nnode = NODE\nidx = IDX", """
o = Plain()
o.node_id = node
o.source_idx = idx
o._session_id = None
o._error_counter = 0
o._event_counter = 0
o._lock = Lock()
"""),
}

# (operation, ratio, target): "pure" is pure/native, "limit" is limit/native;
# both should reach the target.
GOALS = [
    ("generate_error_id()", "pure", 3.0),
    ("generate_error_id(t)", "pure", 3.0),
    ("generate_event_id(t)", "pure", 3.0),
    ("generate_session_id() cached", "pure", 3.0),
    ("format_log_with_session(m) with session", "pure", 3.0),
    ("format_log_with_session(m) without session", "pure", 3.0),
    ("LogIDGenerator.format_log_with_id(m, k)", "pure", 3.5),
    ("g.format_log_with_id(m, k)", "pure", 3.5),
    ("LogIDGenerator.format_log_with_id(m, k)", "limit", 1.0),
    ("g.format_log_with_id(m, k)", "limit", 1.0),
    ("get_session_id()", "pure", 2.0),
]
KEYWORD_PAIRS = [
    ("generate_error_id(error_type=t)", "generate_error_id(t)"),
    ("LogIDGenerator.format_log_with_id(message=m, trace_key=k)",
     "LogIDGenerator.format_log_with_id(m, k)"),
    ("format_log_with_session(message=m) with session", "format_log_with_session(m) with session"),
]
KEYWORD_TARGET = 1.1
THREADS_TARGET = 0.8


class PlainState:
    pass


def namespace(module):
    return dict(common.base_namespace(module), PlainState=PlainState)


def selected_rows(only):
    return [row for row in ROWS if not only or only in row[0]]


def variants(rows, clock):
    """For each row, the (benchmark name, timing function) of its native,
    pure and limit runs, kept together so that they are timed side by side;
    a limit shared by rows runs with the first of them only."""
    groups, limits = [], set()
    for operation, setup, stmt, limit in rows:
        group = [(f"{label}: {operation}",
                  common.compile_timer(setup, stmt, namespace(module), clock=clock))
                 for label, module in (("native", native), ("pure", pure))]
        if limit not in limits:
            limits.add(limit)
            setup, stmt = LIMITS[limit]
            group.append((f"limit: {limit}",
                          common.compile_timer(setup, stmt, namespace(native), clock=clock)))
        groups.append(group)
    return groups


def _same_outputs():
    """What both classes make from the same state: the same identifiers."""
    counter = iter(range(10 ** 6))
    fake_uuid = types.SimpleNamespace(
        uuid4=lambda: "%08x-1111-4222-8333-444444444444" % next(counter))
    saved = native.uuid, pure.uuid
    native.uuid = pure.uuid = fake_uuid
    try:
        outputs = []
        for module in (native, pure):
            counter = iter(range(10 ** 6))
            g = module.LogIDGenerator("camera-node-01", 3)
            short = module.LogIDGenerator("cam", -1)
            message = "frame 7 lost"
            untagged = g.format_log_with_session(message)
            outputs.append([
                untagged is message,
                g.get_session_id(),
                [g.generate_error_id() for _ in range(3)],
                g.generate_error_id(module.ErrorType.FRAME_CAPTURE),
                g.generate_event_id(),
                g.generate_event_id(module.EventType.START),
                short.generate_error_id(""),
                g.generate_session_id(),
                g.generate_session_id(),
                g.get_session_id(),
                g.format_log_with_session(message),
                g.generate_session_id(force=True),
                g.format_log_with_session(message),
                module.LogIDGenerator.format_log_with_id(message, "EVT-START-x-1-1"),
                g.format_log_with_id(message, "EVT-START-x-1-1"),
                short.generate_session_id(),
                [getattr(g, a) for a in ("node_id", "source_idx", "_error_counter", "_event_counter")],
            ])
    finally:
        native.uuid, pure.uuid = saved
    return outputs


def self_check():
    native_out, pure_out = _same_outputs()
    if native_out != pure_out:
        for i, (a, b) in enumerate(zip(native_out, pure_out)):
            if a != b:
                print(f"self-check: output {i} differs: native {a!r}, pure {b!r}", file=sys.stderr)
        sys.exit("self-check failed: the native and pure-Python generators disagree")
    if not native_out[0]:
        sys.exit("self-check failed: format_log_with_session did not return its message")


def build_rows(rows, seconds, spreads):
    out = []
    for operation, _, _, limit in rows:
        native_ns = seconds[f"native: {operation}"] * 1e9
        pure_ns = seconds[f"pure: {operation}"] * 1e9
        limit_ns = seconds[f"limit: {limit}"] * 1e9
        out.append({
            "operation": operation,
            "native_ns": native_ns,
            "native_mad_ns": _ns(spreads.get(f"native: {operation}")),
            "pure_ns": pure_ns,
            "pure_mad_ns": _ns(spreads.get(f"pure: {operation}")),
            "pure_over_native": pure_ns / native_ns,
            "limit": limit,
            "limit_code": LIMITS[limit][1].strip(),
            "limit_ns": limit_ns,
            "limit_over_native": limit_ns / native_ns,
        })
    return out


def _ns(value):
    return None if value is None else value * 1e9


def evaluate_goals(calls, threads):
    by_op = {row["operation"]: row for row in calls}
    goals = []
    for operation, kind, target in GOALS:
        if operation in by_op:
            key = "pure_over_native" if kind == "pure" else "limit_over_native"
            value = by_op[operation][key]
            goals.append({"goal": f"{operation}: {kind}/native", "measured": value,
                          "target": f">= {target:g}x", "met": value >= target})
    for keyword, positional in KEYWORD_PAIRS:
        if keyword in by_op and positional in by_op:
            value = by_op[keyword]["native_ns"] / by_op[positional]["native_ns"]
            goals.append({"goal": f"{keyword}: native keyword/positional", "measured": value,
                          "target": f"<= {KEYWORD_TARGET:g}x", "met": value <= KEYWORD_TARGET})
    most = max(threads, key=lambda row: row["threads"], default=None)
    if most and most["threads"] > 1:
        value = most["native_vs_one"]
        goals.append({"goal": f"{most['threads']} threads: native throughput vs 1 thread",
                      "measured": value, "target": f">= {THREADS_TARGET:g}x",
                      "met": value >= THREADS_TARGET})
    return goals


def render(report):
    parts = []
    if report["calls"]:
        parts.append(common.format_table(
            ["operation", "native ns", "pure ns", "pure/native", "limit ns", "limit/native"],
            [[r["operation"], common.fmt_ns(r["native_ns"]), common.fmt_ns(r["pure_ns"]),
              common.fmt_ratio(r["pure_over_native"]), common.fmt_ns(r["limit_ns"]),
              common.fmt_ratio(r["limit_over_native"])] for r in report["calls"]],
            "<>>>>>"))
    if report["threads"]:
        parts.append(bench_threads.render(report["threads"]))
    if report["goals"]:
        parts.append(common.format_table(
            ["goal", "measured", "target", "met"],
            [[g["goal"], common.fmt_ratio(g["measured"]), g["target"], "yes" if g["met"] else "NO"]
             for g in report["goals"]],
            "<>><"))
    machine = report["machine"]
    parts.append(f"{report['python']['version'].split()[0]} on {machine['machine']}"
                 f" ({machine['processor']}), {report['mode']} mode; {common.LATEST}")
    return "\n\n".join(parts)


def write_report(mode, settings, calls, threads, fingerprint, started):
    after = common.extension_fingerprint(native)
    fingerprint = dict(fingerprint, changed_during_run=after["sha256"] != fingerprint["sha256"])
    report = dict(common.environment(), mode=mode, settings=settings, started=started,
                  finished=common.now(), extension=fingerprint, calls=calls, threads=threads,
                  goals=evaluate_goals(calls, threads))
    os.makedirs(common.RESULTS_DIR, exist_ok=True)
    with open(common.LATEST, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    print()
    print(render(report))
    if fingerprint["changed_during_run"]:
        print("\nWARNING: the extension was rebuilt during the run; the figures mix builds.",
              file=sys.stderr)


def run_quick(only, clock):
    started, fingerprint = common.now(), common.extension_fingerprint(native)
    self_check()
    rows = selected_rows(only)
    seconds = {}
    for group in variants(rows, clock):
        names, funcs = zip(*group)
        for name, per_loop in zip(names, common.quick_seconds_per_loop(*funcs)):
            seconds[name] = per_loop / common.UNROLL
    calls = build_rows(rows, seconds, {})
    threads = bench_threads.run_quick() if not only or only in "threads" else []
    settings = {"timer": "timeit-style best of %d" % common.QUICK_REPEAT, "clock": clock,
                "min_time": common.QUICK_MIN_TIME, "unroll": common.UNROLL}
    write_report("quick", settings, calls, threads, fingerprint, started)


def run_pyperf():
    import pyperf

    def forward(cmd, args):
        cmd.extend(("--clock", args.clock))
        if args.only:
            cmd.extend(("--only", args.only))

    runner = pyperf.Runner(add_cmdline_args=forward, **common.PYPERF_DEFAULTS)
    add_options(runner.argparser)
    runner.argparser.add_argument("--rounds", type=int, default=common.ROUNDS,
                                  help="passes over the whole suite, pooled (default %(default)s)")
    runner.argparser.add_argument("--round-only", action="store_true", help=argparse.SUPPRESS)
    args = runner.parse_args()
    rows = selected_rows(args.only)
    if args.worker or args.round_only:
        # One pass: pyperf's workers, or a round whose values go to its -o file.
        for name, time_func in (v for group in variants(rows, args.clock) for v in group):
            runner.bench_time_func(name, time_func, inner_loops=common.UNROLL)
        return
    started, fingerprint = common.now(), common.extension_fingerprint(native)
    self_check()
    seconds, spreads = pooled_rounds(args.rounds)
    threads = []
    if not args.only or args.only in "threads":
        threads = run_threads_pyperf(args)
    settings = {"rounds": args.rounds, "processes": args.processes, "values": args.values,
                "warmups": args.warmups, "min_time": args.min_time, "clock": args.clock,
                "unroll": common.UNROLL, "statistic": "median of all rounds' values"}
    write_report("pyperf", settings, build_rows(rows, seconds, spreads), threads, fingerprint,
                 started)


def pooled_rounds(rounds):
    """pyperf runs one benchmark's processes back to back, so a burst of other
    work on a shared machine falls on one benchmark and skews its ratios.
    The whole suite runs `rounds` times instead, and each figure is the
    median of its values from every round, with their median absolute
    deviation as the spread."""
    import pyperf

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
    seconds = {name: statistics.median(v) for name, v in values.items()}
    spreads = {name: statistics.median(abs(x - seconds[name]) for x in v) if len(v) > 1 else None
               for name, v in values.items()}
    return seconds, spreads


def run_threads_pyperf(args):
    """The thread benchmark needs a pyperf runner of its own: one process,
    which runs once rather than in rounds."""
    if os.path.exists(common.THREADS_PART):
        os.remove(common.THREADS_PART)
    script = os.path.join(common.HERE, "bench_threads.py")
    # As many processes as all rounds together.
    cmd = [sys.executable, script, "--part-only", "-p", str(args.processes * args.rounds),
           "-n", str(args.values), "--min-time", str(args.min_time)]
    if args.warmups is not None:
        cmd += ["-w", str(args.warmups)]
    if args.quiet:
        cmd.append("--quiet")
    subprocess.run(cmd, check=True)
    with open(common.THREADS_PART, encoding="utf-8") as f:
        return json.load(f)["threads"]


def add_options(parser):
    parser.add_argument("--only", metavar="TEXT", default="",
                        help="run only the operations whose name holds TEXT")
    parser.add_argument("--clock", choices=sorted(common.CLOCKS), default="cpu",
                        help="cpu: the measuring thread's CPU time (default; steady on a "
                             "shared machine); wall: elapsed time")


def main():
    if os.environ.get("BENCH_QUICK") == "1":
        parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
        add_options(parser)
        args = parser.parse_known_args()[0]
        run_quick(args.only, args.clock)
    else:
        run_pyperf()


if __name__ == "__main__":
    main()
