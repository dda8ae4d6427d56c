"""Locks in the forms a with statement accepts beyond threading.Lock: special
methods that are plain callables rather than functions, and objects of
builtin types whose methods the module may call directly (or must not).
In each form the generator uses the lock exactly as a with statement
would: the same calls with the same arguments, the same errors.
"""
import json
import os
import select
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import assert_one_entry


class Call:
    """A callable without __get__: found on the type, it is called as it is,
    without the lock as first argument."""

    def __init__(self, log, name, result=None):
        self.log, self.name, self.result = log, name, result

    def __call__(self, *args):
        self.log.append((self.name, args))
        return self.result


def plain_callables_lock(exit_result=None):
    log = []

    class PlainCallables:
        __enter__ = Call(log, "enter", "entered")
        __exit__ = Call(log, "exit", exit_result)

    lock = PlainCallables()
    lock.log = log
    return lock


def shape(log):
    """The calls of a log, with exceptions and tracebacks by type."""
    return [(name, tuple(a if a is None or isinstance(a, type) else type(a) for a in args))
            for name, args in log]


def with_statement_log(exit_result, raising):
    """The calls a with statement makes on such a lock, around a body that
    raises AttributeError or not."""
    lock = plain_callables_lock(exit_result)
    try:
        with lock:
            if raising:
                raise AttributeError("_error_counter")
    except AttributeError:
        pass
    return shape(lock.log)


OPERATIONS = {
    "generate_error_id": "ERR-GEN-camera-f-3-1",
    "generate_event_id": "EVT-EVT-camera-f-3-1",
    "generate_session_id": None,
}


@pytest.mark.parametrize("operation, expected", OPERATIONS.items(), ids=OPERATIONS.keys())
def test_plain_callable_special_methods_are_called_unbound(g, operation, expected):
    lock = plain_callables_lock()
    g._lock = lock
    made = getattr(g, operation)()
    if expected is None:
        assert made is g.get_session_id() and made.startswith("SES-camera-f-3-")
    else:
        assert made == expected
    assert lock.log == [("enter", ()), ("exit", (None, None, None))]
    assert shape(lock.log) == with_statement_log(None, False)


@pytest.mark.parametrize("exit_result, raised", [(None, AttributeError), (True, UnboundLocalError)],
                         ids=["false", "true"])
def test_plain_callable_exit_sees_the_failure(g, exit_result, raised):
    lock = plain_callables_lock(exit_result)
    g._lock = lock
    del g._error_counter
    with pytest.raises(Exception) as info:
        g.generate_error_id()
    # a suppressed failure leaves the number unbound, as in the plain method
    assert type(info.value) is raised
    assert shape(lock.log) == with_statement_log(exit_result, True)
    _, (exc_type, exc_value, tb) = lock.log[1]
    assert exc_type is AttributeError and isinstance(exc_value, AttributeError)
    if raised is AttributeError:
        assert exc_value is info.value
    # the traceback handed to __exit__ is the tail of the one the caller gets
    chain, node = [], exc_value.__traceback__
    while node is not None:
        chain.append(node)
        node = node.tb_next
    assert tb in chain
    assert not hasattr(g, "_error_counter")
    assert_one_entry(info.value, "generate_error_id", last=False)


# ---------------------------------------------------------------------------
# Builtin lock types, in a fresh interpreter: the module calls the methods of
# the first builtin lock type it meets directly when their calling
# convention allows it, and goes through the protocol for any other.

BUILTIN_LOCKS = """
import io, json, select, sys, threading, traceback
from merrow_sdk.logging.trace_key import LogIDGenerator

MAKERS = {
    "io.BytesIO": lambda: io.BytesIO(b"x"),
    "memoryview": lambda: memoryview(b"x"),
    "select.epoll": select.epoll,
    "threading.RLock": threading.RLock,
    "threading.Lock": threading.Lock,
}


class Model:
    '''generate_error_id as plain Python, with the same state.'''

    def __init__(self, lock):
        self.node_id, self.source_idx, self._error_counter, self._lock = "camera-front-01", 3, 0, lock

    def generate_error_id(self):
        with self._lock:
            self._error_counter += 1
            n = self._error_counter
        return f"ERR-GEN-{self.node_id[:8]}-{self.source_idx}-{n}"


def outcome(call):
    try:
        return ["returned", call()]
    except Exception as exc:
        return [type(exc).__name__, str(exc)]


def released(lock):
    if isinstance(lock, memoryview):
        return lock.__repr__().startswith("<released")
    if isinstance(lock, (io.BytesIO, select.epoll)):
        return lock.closed
    if hasattr(lock, "_is_owned"):
        return not lock._is_owned()
    return not lock.locked()


report = {}
for name in sys.argv[1:]:
    results = []
    for make in (lambda lock: LogIDGenerator("camera-front-01", 3), Model):
        lock = MAKERS[name]()
        gen = make(lock)
        gen._lock = lock
        steps = [outcome(gen.generate_error_id) for _ in range(2)]
        del gen._error_counter
        steps.append(outcome(gen.generate_error_id)[0])
        results.append([steps, released(lock)])
    report[name] = results
print(json.dumps(report))
"""

# Types whose methods take every calling convention a lock's may have: no
# arguments, a tuple (with keywords), fast positional; the interpreter's own
# locks last, after the others have been learnt.
BUILTIN_LOCK_ORDER = ["io.BytesIO", "memoryview", "threading.RLock", "threading.Lock"]
if hasattr(select, "epoll"):
    BUILTIN_LOCK_ORDER.insert(2, "select.epoll")


def test_builtin_lock_types_behave_as_in_a_with_statement():
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(BUILTIN_LOCKS), *BUILTIN_LOCK_ORDER],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    for name in BUILTIN_LOCK_ORDER:
        native, model = report[name]
        assert native == model, name
    # the forms differ: one-use locks refuse the second call, locks do not
    assert report["io.BytesIO"][0][0][1][0] == "ValueError"
    assert report["memoryview"][0][0][1][0] == "ValueError"
    if "select.epoll" in report:
        assert report["select.epoll"][0][0][1][0] == "ValueError"
    assert report["threading.RLock"][0][0][1] == ["returned", "ERR-GEN-camera-f-3-2"]
    assert report["threading.Lock"][0][0][1] == ["returned", "ERR-GEN-camera-f-3-2"]


# ---------------------------------------------------------------------------
# The failure handed to __exit__ is the exception being handled while
# __exit__ runs, as in a with statement; compared with the plain algorithm.

class WithStatement:
    """The three locked operations as plain Python, on the same state."""

    def __init__(self):
        self.node_id, self.source_idx, self._session_id = "camera-front-01", 3, None
        self._error_counter = self._event_counter = 0

    def generate_session_id(self, force=False):
        with self._lock:
            if self._session_id is None or force:
                self._session_id = "SES-camera-f-3-0123abcd"
            return self._session_id

    def generate_error_id(self, error_type="GEN"):
        with self._lock:
            self._error_counter += 1
            counter = self._error_counter
        return f"ERR-{error_type}-{self.node_id[:8]}-{self.source_idx}-{counter}"

    def generate_event_id(self, event_type="EVT"):
        with self._lock:
            self._event_counter += 1
            counter = self._event_counter
        return f"EVT-{event_type}-{self.node_id[:8]}-{self.source_idx}-{counter}"


class Falsy:
    def __bool__(self):
        raise LookupError("no truth here")


class ObservingLock:
    """Does in __exit__ what a lock wrapper that logs or inspects failures
    does, and records what it saw."""

    def __init__(self, how):
        self.inner, self.how, self.seen = threading.Lock(), how, None

    def __enter__(self):
        self.inner.acquire()

    def __exit__(self, exc_type, exc_value, tb):
        self.inner.release()
        if exc_type is None:
            return None
        self.seen = sys.exc_info()[1] is exc_value
        if sys.version_info >= (3, 11):
            self.seen = (self.seen, sys.exception() is exc_value)
        if self.how == "bare raise":
            raise
        if self.how == "raises":
            raise KeyError("exit failed")
        return Falsy() if self.how == "result's truth raises" else None


def exception_summary(exc, owner):
    chain = []
    while exc is not None:
        chain.append((type(exc).__name__, str(exc).replace(owner, "<generator>")))
        exc = exc.__context__
    return chain


def observe(gen, operation, how):
    gen._lock = ObservingLock(how)
    del gen.__dict__[LOCKED_STATE[operation]]
    try:
        raise ValueError("handled by the caller")
    except ValueError as outer:
        try:
            getattr(gen, operation)()
        except Exception as exc:
            raised = exception_summary(exc, type(gen).__name__)
        after = sys.exc_info()[1] is outer
    return raised, gen._lock.seen, after, gen._lock.inner.locked()


LOCKED_STATE = {"generate_session_id": "_session_id", "generate_error_id": "_error_counter",
                "generate_event_id": "_event_counter"}


@pytest.mark.parametrize("how", ["returns", "bare raise", "raises", "result's truth raises"])
@pytest.mark.parametrize("operation", LOCKED_STATE)
def test_exit_handles_the_failure_as_a_with_statement(g, operation, how):
    ours = observe(g, operation, how)
    assert ours == observe(WithStatement(), operation, how)
    raised, seen, handled_again, held = ours
    assert [kind for kind, _ in raised[-2:]] == ["AttributeError", "ValueError"]
    assert seen in (True, (True, True)) and handled_again and not held
