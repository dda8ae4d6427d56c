"""Pieces shared by the benchmark scripts: timing functions compiled from
source text (so the measured statements use fast locals, as in timeit),
an in-process quick timer, and the description of the machine and build
that goes into the results."""

import datetime
import hashlib
import os
import platform
import subprocess
import sys
import threading
import time
import uuid
from itertools import repeat

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_DIR = os.path.join(HERE, "results")
LATEST = os.path.join(RESULTS_DIR, "latest.json")
THREADS_PART = os.path.join(RESULTS_DIR, "threads.json")

NODE = "camera-node-01"
IDX = 3
MESSAGE = "Frame capture failed"
KEY = "ERR-FRAME-camera-n-3-1"

# Copies of the statement per loop iteration: the loop's own cost is shared
# by this many calls.
UNROLL = 20

# pyperf's defaults are sized for one benchmark; these keep the whole suite
# to a few minutes on two cores. Per round of bench_trace_key.py; the
# thread benchmark runs once, with the processes of all rounds. Each worker
# process has its own hash seed and memory layout, which can shift a call
# by up to 2x for that whole process (seen here for the native and the
# plain-Python class alike): --rigorous (twice the processes) or more
# --rounds narrow that down, at the cost of time.
PYPERF_DEFAULTS = {"processes": 1, "values": 4, "min_time": 0.05}
ROUNDS = 3

# Quick mode: each timing runs at least this long; the best of QUICK_REPEAT.
QUICK_MIN_TIME = 0.02
QUICK_REPEAT = 5

# The clocks a timing may read. "cpu" counts only the time that the
# measuring thread ran, so other work on a shared machine does not show up
# as slowness; "wall" is what a caller waits, and what threads need.
CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}

_TEMPLATE = """
def time_func(loops):
{setup}
    it = repeat(None, loops)
    t0 = clock()
    for _ in it:
{body}
    return clock() - t0
"""


def _indent(text, spaces):
    pad = " " * spaces
    return "\n".join(pad + line for line in text.strip("\n").splitlines())


def compile_timer(setup, stmt, namespace, unroll=UNROLL, clock="wall"):
    """A function of `loops` that runs `stmt` unroll * loops times after
    `setup` and returns the seconds taken by the statements alone."""
    body = "\n".join([_indent(stmt, 8)] * unroll)
    source = _TEMPLATE.format(setup=_indent(setup or "pass", 4), body=body)
    scope = dict(namespace, repeat=repeat, clock=CLOCKS[clock])
    exec(compile(source, "<bench>", "exec"), scope)
    return scope["time_func"]


def base_namespace(module):
    """What setup text may name: the module under test and the inputs."""
    return {
        "mod": module,
        "threading": threading,
        "uuid": uuid,
        "NODE": NODE,
        "IDX": IDX,
        "MESSAGE": MESSAGE,
        "KEY": KEY,
    }


def quick_seconds_per_loop(*time_funcs):
    """timeit-style, for timings to be compared with one another: for each,
    loops of 1, 2, 5, 10, 20, ... until one run lasts QUICK_MIN_TIME; then
    QUICK_REPEAT rounds that run each once in turn (so a change of machine
    load falls on all of them), and the best of each, per loop."""
    counts = []
    for time_func in time_funcs:
        loops, steps = 1, (2, 2.5, 2)
        for i in range(60):
            if time_func(loops) >= QUICK_MIN_TIME:
                break
            loops = int(loops * steps[i % 3])
        counts.append(loops)
    best = [float("inf")] * len(time_funcs)
    for _ in range(QUICK_REPEAT):
        for i, (time_func, loops) in enumerate(zip(time_funcs, counts)):
            best[i] = min(best[i], time_func(loops) / loops)
    return best


def processor_model():
    keys = ("model name", "Processor", "Hardware", "cpu model", "uarch")
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            fields = dict(
                (k.strip(), v.strip()) for k, _, v in (line.partition(":") for line in f) if v
            )
    except OSError:
        fields = {}
    for key in keys:
        if fields.get(key):
            return fields[key]
    return platform.processor() or None


def extension_fingerprint(module):
    path = getattr(module, "__file__", None)
    if not path:
        return {"path": None, "sha256": None, "mtime": None}
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return {
        "path": path,
        "sha256": digest,
        "mtime": datetime.datetime.fromtimestamp(os.stat(path).st_mtime).isoformat(timespec="seconds"),
    }


def git_revision():
    try:
        out = subprocess.run(
            ["git", "-C", HERE, "describe", "--always", "--dirty"],
            capture_output=True, text=True, timeout=10,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    return out.stdout.strip() or None


def environment():
    return {
        "python": {
            "version": sys.version,
            "implementation": platform.python_implementation(),
            "executable": sys.executable,
        },
        "machine": {
            "machine": platform.machine(),
            "processor": processor_model(),
            "cpus": os.cpu_count(),
            "platform": platform.platform(),
            # Other work on the machine skews the figures: worth knowing.
            "load_average": os.getloadavg(),
        },
        "git": git_revision(),
    }


def now():
    return datetime.datetime.now().isoformat(timespec="seconds")


def format_table(headers, rows, align):
    """Plain-text table; align is one of '<' or '>' per column."""
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h)
              for i, h in enumerate(headers)]
    line = lambda row: "  ".join(f"{c:{a}{w}}" for c, a, w in zip(row, align, widths)).rstrip()
    return "\n".join([line(headers), line(["-" * w for w in widths]), *map(line, cells)])


def fmt_ns(value):
    return "-" if value is None else f"{value:.1f}"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}x"
