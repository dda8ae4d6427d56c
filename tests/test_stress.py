"""One generator shared by 16 threads that mix every operation, sessions
forced anew while others read them: numbers stay unique and contiguous per
kind, a session identifier is only ever None or whole, and nothing
deadlocks.  The interpreter switches threads as often as it can, and the
code that runs while a generator's lock is held (uuid4, a lock written in
Python) now and then sleeps, so that other threads really do queue on it.

MERROW_STRESS_SCALE multiplies the number of calls (default 1; 0.1 under
32-bit ARM emulation).
"""
import os
import platform
import random
import re
import sys
import threading
import time
import uuid

import pytest

from merrow_sdk.logging import trace_key as tk
from merrow_sdk.logging.trace_key import LogIDGenerator

SLOW = platform.machine().startswith("arm")
SCALE = float(os.environ.get("MERROW_STRESS_SCALE", "0.1" if SLOW else "1"))
THREADS = 16
CALLS = max(20, int(1000 * SCALE))  # per thread
# Only a deadlock (or a thread that never ends) comes near this.
TIMEOUT = 600 if SLOW else 120

NODE = "camera-front-01"
SESSION = re.compile(r"SES-camera-f-3-[0-9a-f]{8}\Z")
ERROR = re.compile(r"ERR-(\w+)-camera-f-3-(\d+)\Z")
EVENT = re.compile(r"EVT-(\w+)-camera-f-3-(\d+)\Z")
TAGGED = re.compile(r"\[(SES-camera-f-3-[0-9a-f]{8})\] line \d+\Z")


class Results:
    """What one worker saw, in its own order."""

    def __init__(self):
        self.errors, self.events, self.sessions, self.reads = [], [], [], []
        self.refused = 0


def work(g, seed, out):
    """A random mix of every operation, refused calls included."""
    rng = random.Random(seed)
    fmt = LogIDGenerator.format_log_with_id
    for i in range(CALLS):
        pick = rng.randrange(12)
        if pick < 3:
            out.errors.append(g.generate_error_id(rng.choice(("FRAME", "CONN", "GEN"))))
        elif pick < 5:
            out.events.append(g.generate_event_id() if i % 2 else g.generate_event_id(event_type="START"))
        elif pick == 5:
            out.sessions.append(g.generate_session_id(force=True))
        elif pick == 6:
            out.sessions.append(g.generate_session_id())
        elif pick == 7:
            out.reads.append(g.get_session_id())
        elif pick == 8:
            message = f"line {i}"
            tagged = g.format_log_with_session(message)
            out.reads.append(None if tagged is message else tagged)
        elif pick == 9:
            text = fmt(f"line {i}", out.errors[-1] if out.errors else "none")
            assert text.startswith("[") and text.endswith(f"] line {i}")
        else:
            # refused before any lock is taken; counts nothing
            try:
                g.generate_error_id(None) if pick == 10 else g.generate_session_id(True, 2)
            except TypeError:
                out.refused += 1


def run_threads(target, count=THREADS):
    """Starts `count` threads together and waits for them, failing the test
    when one of them raised or is still running at the deadline."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait(TIMEOUT)
            target(index)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append((index, exc))

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIMEOUT)
        alive = [thread.name for thread in threads if thread.is_alive()]
    finally:
        sys.setswitchinterval(interval)
    assert not alive, f"threads still running after {TIMEOUT}s (deadlock?): {alive}"
    assert not failures, failures


def numbers(ids, pattern):
    found = [pattern.match(text) for text in ids]
    assert all(found), [text for text, m in zip(ids, found) if not m][:5]
    return [int(m.group(2)) for m in found]


def assert_contiguous(taken, counter):
    assert sorted(taken) == list(range(1, len(taken) + 1))
    assert counter == len(taken)


def hold_a_moment(calls, every):
    """Every `every`-th call gives the processor away for a moment."""
    if next(calls) % every == 0:
        time.sleep(1e-5)


@pytest.fixture
def g(monkeypatch):
    # uuid4 runs with the lock held: sleeping there makes the others wait
    calls = iter(range(1, sys.maxsize))

    def uuid4():
        hold_a_moment(calls, 4)
        return uuid.uuid4()

    monkeypatch.setattr(tk, "uuid", type(sys)("uuid"))
    tk.uuid.uuid4 = uuid4
    return LogIDGenerator(NODE, 3)


def test_shared_generator_under_a_mix_of_every_operation(g):
    results = [Results() for _ in range(THREADS)]
    run_threads(lambda i: work(g, i, results[i]))

    errors = [text for r in results for text in r.errors]
    events = [text for r in results for text in r.events]
    assert_contiguous(numbers(errors, ERROR), g._error_counter)
    assert_contiguous(numbers(events, EVENT), g._event_counter)

    made = {text for r in results for text in r.sessions}
    assert all(SESSION.match(text) for text in made)
    for r in results:
        # a reader sees None only before the first session, then whole ones
        seen = [value for value in r.reads if value is not None]
        assert r.reads[len(r.reads) - len(seen):] == seen
        for value in seen:
            session = value if value.startswith("SES-") else TAGGED.match(value).group(1)
            assert session in made
    assert g.get_session_id() in made
    assert sum(r.refused for r in results) > 0
    assert g._lock.locked() is False


def test_first_session_is_made_once(g):
    # without force, every thread gets the one identifier the first made
    got = [None] * THREADS
    run_threads(lambda i: got.__setitem__(i, [g.generate_session_id() for _ in range(5)]))
    assert {s for calls in got for s in calls} == {g.get_session_id()}


class PyLock:
    """A context manager written in Python: the generic lock path."""

    def __init__(self):
        self.inner = threading.Lock()
        self.calls = iter(range(1, sys.maxsize))

    def __enter__(self):
        self.inner.acquire()
        hold_a_moment(self.calls, 8)

    def __exit__(self, *exc_info):
        self.inner.release()


@pytest.mark.parametrize("lock", [threading.RLock, PyLock], ids=["rlock", "python-lock"])
def test_replacement_lock_keeps_numbers_unique(g, lock):
    g._lock = lock()
    per_thread = max(10, CALLS // 4)
    errors = [[] for _ in range(THREADS)]

    def body(i):
        for n in range(per_thread):
            errors[i].append(g.generate_error_id())
            if n % 16 == 0:
                g.generate_session_id(force=True)

    run_threads(body)
    assert_contiguous(numbers([e for chunk in errors for e in chunk], ERROR), g._error_counter)


def test_failures_inside_the_lock_always_give_it_back(g):
    # node_id unsliceable: every call counts, then fails after the lock
    g.node_id = 8
    failures = [0] * THREADS

    def body(i):
        for _ in range(max(10, CALLS // 4)):
            for call in (g.generate_error_id, lambda: g.generate_session_id(True)):
                try:
                    call()
                except TypeError:
                    failures[i] += 1

    run_threads(body)
    assert sum(failures) == 2 * THREADS * max(10, CALLS // 4)
    assert g._error_counter == THREADS * max(10, CALLS // 4)
    assert g._lock.locked() is False


def test_generators_made_concurrently_are_independent():
    made = [None] * THREADS

    def body(i):
        made[i] = LogIDGenerator(NODE, 3)
        for _ in range(20):
            made[i].generate_error_id()

    run_threads(body)
    assert len({id(gen._lock) for gen in made}) == THREADS
    assert all(gen._error_counter == 20 and gen.generate_error_id().endswith("-21") for gen in made)
    assert tk.LogIDGenerator is LogIDGenerator
