"""Pieces shared by the benchmark scripts: the rows both harnesses measure,
timing functions compiled from source text (so the measured statements use
fast locals, as in timeit), and the description of the machine and build
that goes into the results."""

import collections
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

NODE = "camera-node-01"
IDX = 3
MESSAGE = "Frame capture failed"
KEY = "ERR-FRAME-camera-n-3-1"

# Copies of the statement per loop iteration: the loop's own cost is shared
# by this many calls.
UNROLL = 20

Row = collections.namedtuple("Row", "key label statement once")

# The statements may name LogIDGenerator, g (a generator with a session),
# fresh (one without), m, k, t, node and idx (callgrind_child.setup_text).
ROWS = [
    Row("error", "error id", "g.generate_error_id()", False),
    Row("event_kw", "event id by keyword", "g.generate_event_id(event_type=t)", False),
    Row("session_cached", "cached session id", "g.generate_session_id()", False),
    Row("get_session", "get_session_id", "g.get_session_id()", False),
    Row("session_tag", "session tag", "g.format_log_with_session(m)", False),
    Row("untagged", "untagged (no session)", "fresh.format_log_with_session(m)", False),
    Row("class_tag", "class tag", "LogIDGenerator.format_log_with_id(m, k)", False),
    # No class involved: the same text for both, so measured once.
    Row("fstring", "inline f-string (class tag reference)", 'f"[{k}] {m}"', True),
    Row("construct", "construction", "LogIDGenerator(node, idx)", False),
]
ROW_BY_KEY = {row.key: row for row in ROWS}

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
