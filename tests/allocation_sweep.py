"""Runs a piece of code once per allocation it makes, with that one
allocation failing, each run in a forked child of the calling process.

Imported by a fresh interpreter (never by the test process itself): the
parent sets up whatever the code needs, then `sweep(action, check)` forks
a child for n = 0, 1, 2, ...; the child makes the n-th allocation from the
interpreter's allocators fail (CPython's own test hook,
`_testcapi.set_nomemory`), runs `action()`, removes the hook, and hands the
outcome to `check`, which yields the faults it finds. The sweep ends with
the first n that `action` never reaches: the failure is still pending
when it returns, and one of the allocations made after it fails instead.

Before the failure is armed, the child empties the interpreter's free
lists (a full collection does), so that every tuple, list, dict and slice
made from then on is an allocation that can fail, and gives every frame
on its stack its frame object, so that unwinding through them allocates
none.

A child that dies (a crash) is reported with its signal, one that is stuck
with the traceback of its threads; to look at one under a debugger,
ALLOCATION_SWEEP_ONLY=n makes every sweep run the child for n alone.
Children leave through the C library's exit, which writes the coverage
counts of the extensions as any exit does, but skips the interpreter's
finalisation, which would take most of a child's time. Under the address
sanitizer they leave at once: its leak check at exit would take longer
still, on an interpreter that was never finalised.

Some interpreters mishandle a failed allocation in their own code (a
crash, or SystemError for an error returned without an exception) with
no extension involved. `interpreter_faults()` finds which of those kinds
the running one shows, on plain Python code, so that callers can tell
them from faults of the code under test.
"""
import ctypes
import faulthandler
import gc
import importlib
import json
import os
import sys
import tempfile
import time
import traceback

import _testcapi

_c_exit = ctypes.CDLL(None).exit


def _leave():
    if "ASAN_OPTIONS" in os.environ:
        os._exit(0)
    _c_exit(0)


# No operation or import comes near this many allocations; reaching it
# means the end was never detected.
LIMIT = 5000
_LOOKAHEAD = 64

# A child takes milliseconds; one still running after this long is stuck,
# and leaves with the traceback of every thread on standard error.
HANG_SECONDS = 30


class Returned:
    name = "returned"

    def __init__(self, value):
        self.value = value


class Raised:
    def __init__(self, exc):
        self.exc = exc
        self.name = type(exc).__name__


def _materialise_frames():
    frame = sys._getframe()
    while frame is not None:
        frame = frame.f_back


def _send_sanitizer_reports_aside():
    # A probe crashes the interpreter on purpose: under the sanitizers its
    # reports go where the check run does not count them.
    path = os.environ.get("MERROW_SANITIZER_PROBE_LOGS")
    if path:
        ctypes.CDLL(None).__sanitizer_set_report_path(os.fsencode(path))


def _run_child(action, check, n, probe):
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    if probe:
        _send_sanitizer_reports_aside()
    _materialise_frames()
    # Before 3.13 the one cached slice object outlives collections: held
    # here, the next slice made is allocated. (Made before the collection,
    # which also frees the argument tuple of the call that made it.)
    cached_slice = slice(None)
    gc.collect()
    _testcapi.set_nomemory(n, n + 1)
    try:
        value = action()
    except BaseException as exc:
        outcome = exc
        raised = True
    else:
        outcome = value
        raised = False
    # The chosen allocation is still to come if one of the next few fails.
    # A few, not the next only: should an action's count shift by one or
    # two from child to child, a sweep that stepped past its end would
    # never find it.
    try:
        for _ in range(_LOOKAHEAD):
            object()
    except MemoryError:
        pending = True
    else:
        pending = False
    _testcapi.remove_mem_hooks()
    if pending:
        return {"end": True}
    outcome = Raised(outcome) if raised else Returned(outcome)
    try:
        faults = list(check(outcome))
    except BaseException:
        faults = ["check raised: " + traceback.format_exc()]
    return {"end": False, "kind": outcome.name, "faults": faults}


def _wait_for(pid, read_end):
    started = time.monotonic()
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    data = b"".join(chunks)
    if os.WIFSIGNALED(status):
        return {"end": False, "kind": "crash", "faults": [f"killed by signal {os.WTERMSIG(status)}"]}
    if time.monotonic() - started >= HANG_SECONDS:
        return {"end": False, "kind": "hang", "faults": [f"stuck for {HANG_SECONDS} s"]}
    if not data or os.WEXITSTATUS(status) != 0:
        return {"end": False, "kind": "crash",
                "faults": [f"exit {os.WEXITSTATUS(status)} with report {data[:200]!r}"]}
    return json.loads(data)


def sweep(action, check, limit=LIMIT, probe=False):
    """Outcome counts by kind ("returned", "crash", "hang" or the
    exception's type name), the faults found as [n, kind, fault], and the
    number of allocations the action makes (None if the end was never
    found). `probe`: the action is plain Python, run to see how the
    interpreter itself fails."""
    # Collections in the children then look at what they made only.
    gc.freeze()
    kinds, faults = {}, []
    only = os.environ.get("ALLOCATION_SWEEP_ONLY")
    for n in [int(only)] if only else range(limit):
        sys.stdout.flush()
        sys.stderr.flush()
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                report = _run_child(action, check, n, probe)
                os.write(write_end, json.dumps(report).encode())
            finally:
                _leave()
        os.close(write_end)
        report = _wait_for(pid, read_end)
        if report["end"]:
            return {"kinds": kinds, "faults": faults, "allocations": n}
        kind = report["kind"]
        kinds[kind] = kinds.get(kind, 0) + 1
        faults.extend([n, kind, fault] for fault in report["faults"])
    return {"kinds": kinds, "faults": faults + [[limit, "harness", "no end found"]],
            "allocations": None}


# --- the interpreter on its own -------------------------------------------

def _make_classes():
    # classes of a few sizes: their dictionaries grow while they are made
    return [type("C%d" % size, (), {"a%d" % i: i for i in range(size)}) for size in range(8)]


def _unwind():
    def inner(key, default):
        return {}.get(key, default)(key)

    return inner(1, 2)


def _use_classes(outcome):
    if isinstance(outcome, Raised) and type(outcome.exc) not in (MemoryError, TypeError):
        yield "raised %s: %s" % (outcome.name, outcome.exc)
    for size in range(8):
        made = type("D", (), {"b%d" % i: i for i in range(size)})
        for i in range(20):
            setattr(made, "x%d" % i, i)
    if isinstance(outcome, Returned):
        for made in outcome.value:
            for i in range(20):
                setattr(made, "y%d" % i, i)


def interpreter_faults():
    """The kinds of outcome ("crash", "SystemError") that the interpreter
    shows on plain Python code under the same sweep."""
    kinds = set()
    for action in (_make_classes, _unwind):
        for _, kind, _ in sweep(action, _use_classes, probe=True)["faults"]:
            kinds.add(kind)
    return sorted(kinds)


def _import_again(name):
    def check(outcome):
        if isinstance(outcome, Raised):
            traceback.extract_tb(outcome.exc.__traceback__)
            sys.modules.pop(name, None)
        importlib.import_module(name)
        return iter(())

    return check


def import_system_faults():
    """The kinds of outcome ("crash", ...) that the interpreter shows when a
    package's submodule, plain Python, is imported under the same sweep.
    CPython 3.15.0 crashes (SIGSEGV in the check, memory corrupted once an
    allocation of its module locking fails), with no extension loaded;
    3.9.18 under the sanitizer run's malloc too (a write through a null
    pointer in its parser, after a failed allocation)."""
    with tempfile.TemporaryDirectory() as folder:
        package = os.path.join(folder, "sweep_probe")
        os.mkdir(package)
        for name, text in (("__init__.py", ""), ("sub.py", "class Wrapper:\n    pass\n")):
            with open(os.path.join(package, name), "w") as file:
                file.write(text)
        sys.path.insert(0, folder)
        try:
            importlib.import_module("sweep_probe")
            result = sweep(lambda: importlib.import_module("sweep_probe.sub"),
                           _import_again("sweep_probe.sub"), probe=True)
        finally:
            sys.path.remove(folder)
            for name in ("sweep_probe.sub", "sweep_probe"):
                sys.modules.pop(name, None)
    return sorted({kind for _, kind, _ in result["faults"]})
