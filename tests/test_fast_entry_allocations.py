"""Binding through the fast entry makes no object and allocates no memory.

Each call expression is compiled into a loop of its own (as calling code
would write it, so the interpreter takes its ordinary fast path) and run
under tracemalloc, first 1000 and then 10000 times. What is traced must not
depend on the number of calls, and must be made of the results alone.
"""

import collections
import gc
import os
import sys
import tracemalloc

import pytest

MESSAGE = "frame 7 lost"
KEY = "ERR-FRAME-camera-f-3-1"

COUNTS = (1000, 10000)

# What a call may leave traced besides its results, the same at every count:
# "method" is the bound method that the interpreter makes for a keyword call
# through an instance (once: later calls reuse it from its free list);
# "counter" is the counter's current int, which replaces the one before;
# "lock" is the lock's bound __exit__, which the generic build (its runs
# set MERROW_GENERIC_STATE=1) makes for the length of a call, as a with
# statement does.
GENERIC_BUILD = os.environ.get("MERROW_GENERIC_STATE") == "1"


def traced_int_size():
    """What tracemalloc records for one counter value made by adding 1: the
    size the interpreter allocates an int of that magnitude with, which may
    exceed what sys.getsizeof reports (28 bytes against 32 from 3.11).
    Measured over many ints, since a free list (3.14) may supply some."""
    base = int(str(COUNTS[-1] * 2))
    tracemalloc.start()
    try:
        made = [base + i for i in range(1, 1001)]
        sizes = collections.Counter(trace.size for trace in tracemalloc.take_snapshot().traces)
    finally:
        tracemalloc.stop()
    del made
    return max(sizes.most_common(1)[0][0], sys.getsizeof(COUNTS[-1] * 2))


ALLOWANCE = {
    "method": lambda held: sys.getsizeof(held.get_session_id),
    "counter": lambda held: traced_int_size(),
    "lock": lambda held: sys.getsizeof(held._lock.__exit__) if GENERIC_BUILD else 0,
}

# Calls that hand back an object that already exists.
NOTHING_NEW = [
    ("fresh.get_session_id()", ()),
    ("held.get_session_id()", ()),
    ("LogIDGenerator.get_session_id(held)", ()),
    ("LogIDGenerator.get_session_id(self=held)", ()),
    ("held.generate_session_id()", ("lock",)),
    ("held.generate_session_id(False)", ("lock",)),
    ("held.generate_session_id(force=False)", ("method", "lock")),
    ("fresh.format_log_with_session(m)", ()),
    ("fresh.format_log_with_session(message=m)", ("method",)),
    ("LogIDGenerator.format_log_with_session(fresh, m)", ()),
    ("LogIDGenerator.format_log_with_session(self=fresh, message=m)", ()),
]

# Calls that return a new str each time.
NEW_TEXT = [
    ("LogIDGenerator.format_log_with_id(m, k)", ()),
    ("held.format_log_with_id(m, k)", ()),
    ("LogIDGenerator.format_log_with_id(message=m, trace_key=k)", ()),
    ("LogIDGenerator.format_log_with_id(trace_key=k, message=m)", ()),
    ("held.format_log_with_session(m)", ()),
    ("held.format_log_with_session(message=m)", ("method",)),
    ("held.generate_error_id()", ("counter", "lock")),
    ("held.generate_error_id(t)", ("counter", "lock")),
    ("held.generate_error_id(error_type=t)", ("method", "counter", "lock")),
    ("held.generate_event_id(t)", ("counter", "lock")),
    ("held.generate_event_id(event_type=t)", ("method", "counter", "lock")),
    # the generic entry, keywords in a dictionary
    ("call(error_fn, held, error_type=t)", ("counter", "lock")),
]


@pytest.fixture
def calls(tk):
    fresh = tk.LogIDGenerator("camera-front-01", 3)
    held = tk.LogIDGenerator("camera-front-01", 3)
    held.generate_session_id()
    env = {"LogIDGenerator": tk.LogIDGenerator, "fresh": fresh, "held": held,
           "m": MESSAGE, "k": KEY, "t": "FRAME",
           "error_fn": tk.LogIDGenerator.generate_error_id,
           "call": type(tk.LogIDGenerator.generate_error_id).__call__}

    def loop(expression):
        source = f"def run(indices, out):\n    for i in indices:\n        out[i] = {expression}\n"
        scope = dict(env)
        exec(compile(source, "<calls>", "exec"), scope)
        return scope["run"]

    loop.existing = {id(v) for v in (None, MESSAGE, held.get_session_id())}
    loop.allowance = lambda parts: sum(ALLOWANCE[p](held) for p in parts)
    return loop


def traced(run, n):
    """(current, peak) bytes traced over n calls, with their results kept."""
    out = [None] * n
    warm_up, measured = iter(range(10)), iter(list(range(n)))
    was_enabled = gc.isenabled()
    gc.disable()
    tracemalloc.start()
    try:
        run(warm_up, out)
        tracemalloc.clear_traces()
        run(measured, out)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        if was_enabled:
            gc.enable()
    return current, peak, out


@pytest.fixture(autouse=True)
def own_tracing():
    if tracemalloc.is_tracing():
        pytest.skip("tracemalloc is already tracing in this process")


@pytest.mark.parametrize("expression, allowed", NOTHING_NEW, ids=[c[0] for c in NOTHING_NEW])
def test_call_returning_an_existing_object_allocates_nothing(calls, expression, allowed):
    run, slack = calls(expression), calls.allowance(allowed)
    for n in COUNTS:
        current, peak, out = traced(run, n)
        assert {id(r) for r in out} <= calls.existing
        assert current <= peak <= slack, (n, current, peak, slack)


@pytest.mark.parametrize("expression, allowed", NEW_TEXT, ids=[c[0] for c in NEW_TEXT])
def test_call_returning_new_text_allocates_only_the_results(calls, expression, allowed):
    run, slack = calls(expression), calls.allowance(allowed)
    for n in COUNTS:
        current, peak, out = traced(run, n)
        assert all(type(r) is str for r in out)
        assert len({id(r) for r in out}) == n
        results = sum(sys.getsizeof(r) for r in out)
        # The same fixed allowance at both counts: nothing beyond the
        # results grows with the number of calls, not even for a moment.
        assert results <= current <= peak <= results + slack, (n, current, peak, results)
