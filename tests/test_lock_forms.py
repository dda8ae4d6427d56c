"""Locks in the forms a with statement accepts beyond threading.Lock: special
methods that are plain callables rather than functions, and objects of
builtin types whose methods the module may call directly (or must not).
In each form the generator uses the lock exactly as a with statement
would: the same calls with the same arguments, the same errors.
"""
import functools
import json
import os
import re
import select
import subprocess
import sys
import textwrap
import threading
import types

import pytest
from hypothesis import assume, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule, run_state_machine_as_test

from conftest import QUALIFIED_PREFIX, assert_one_entry, entry_names
from merrow_sdk.logging.trace_key import LogIDGenerator


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


# CPython 3.14's debug build aborts in its own eval loop (an assertion in
# PyStackRef_CLOSE) when a with statement's __exit__ is a callable instance
# that returns a true value: the plain statement cannot run there.
STATEMENT_ABORTS_ON_TRUE_INSTANCE_EXIT = sys.version_info[:2] == (3, 14) and hasattr(sys, "gettotalrefcount")


@pytest.mark.parametrize("exit_result, raised", [
    (None, AttributeError),
    pytest.param(True, UnboundLocalError, marks=pytest.mark.skipif(
        STATEMENT_ABORTS_ON_TRUE_INSTANCE_EXIT, reason="the 3.14 debug interpreter's with asserts")),
], ids=["false", "true"])
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
                self._session_id = f"SES-{self.node_id[:8]}-{self.source_idx}-0123abcd"
            if type(self._session_id) is not str:  # the module's result check
                raise TypeError(f"Expected str, got {type(self._session_id).__name__}")
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


# ---------------------------------------------------------------------------
# The lock section against a with statement, step after step on one pair of
# generators: in every kind of frame, with the caller and the driver handling
# an exception or not, and __exit__ doing what a Python __exit__ may do.

class Refused(Exception):  # a heap class: __exit__ may reassign its __class__
    def __getitem__(self, key):
        raise Refused("no item")

    def __add__(self, other):
        raise Refused("no sum")


Refusal, Other = type("Refusal", (Refused,), {}), type("Other", (Exception,), {})
STUBBORN, ELSEWHERE = Refused("stubborn"), types.TracebackType(None, sys._getframe(), 0, 1)
EXITS = ["false", "true", "empty", "truth raises", "raises", "bare raise", "re-enters", "args",
         "with_traceback", "__traceback__", "class to subclass", "class to sibling"]


def scripted_exit(how, exc, reenter):
    if how == "raises":
        raise KeyError("exit failed")
    if how == "bare raise":
        raise
    if how == "re-enters":
        reenter()
    if exc is not None and how == "args":
        exc.args = ("edited",)
    if exc is not None and how == "with_traceback":
        exc.with_traceback(None)
    if exc is not None and how == "__traceback__":
        exc.__traceback__ = ELSEWHERE
    if type(exc) is Refused and how.startswith("class"):
        exc.__class__ = Refusal if how == "class to subclass" else Other
    return {"true": True, "empty": (), "truth raises": Falsy()}.get(how)


class Unbound:  # without __get__: found on the type, called as it is
    def __init__(self, fn):
        self.fn = fn

    def __call__(self, *args):
        return self.fn(*args)


def make_lock(form, how, reenter):
    inner = threading.Lock()

    def exit_(*args):
        inner.release()
        return scripted_exit(how, args[-2], reenter)

    methods = {"__enter__": lambda *_: inner.acquire(), "__exit__": exit_}
    if form == "plain callables":
        methods = {name: Unbound(fn) for name, fn in methods.items()}
    return (inner if form == "threading.Lock" else type("Lock", (), methods)()), inner


def observed(value):
    """What a caller sees of a result, a failure or a handled exception."""
    if isinstance(value, str) and value.startswith("SES-"):
        return value[:-8]
    chain = []
    while isinstance(value, BaseException) and len(chain) < 5:
        text = re.sub("LogIDGenerator|WithStatement", "<g>", str(value))
        # the module words an unbound number as 3.9 does, on every series
        text = re.sub("cannot access local variable '(.*)' where it is not associated with a value",
                      r"local variable '\1' referenced before assignment", text)
        names = [name.replace(QUALIFIED_PREFIX, "") for name in entry_names(value)]
        chain.append((type(value).__name__, text, names))
        value = value.__context__
    return chain or value


# The operation's own frame (and the driver's, a function) in each kind and
# each place: the call made where the frame handles an exception or not.
FRAME = """
{keyword} frame(call, handling, seen):
    try:
        try:
            if handling:
                raise LookupError(handling)
        {clause}:
            try:
                seen.append(observed(call()))
            except Exception as exc:
                seen.append(observed(exc))
            seen.append(observed(sys.exc_info()[1]))
            {pause}
            seen.append(observed(sys.exc_info()[1]))
    except LookupError:
        pass
"""
KINDS = {"function": ("def", "pass"), "generator": ("def", "yield"), "yield from": ("def", "yield"),
         "coroutine": ("async def", "await pause()")}
PLACES = {"plain": "finally", "except": "except LookupError", "finally": "finally"}
pause = types.coroutine(lambda: (yield))


@functools.lru_cache(maxsize=None)
def frame_function(kind, place, handling):
    namespace = {"sys": sys, "observed": observed, "pause": pause}
    exec(FRAME.format(keyword=KINDS[kind][0], clause=PLACES[place], pause=KINDS[kind][1]), namespace)
    return functools.partial(namespace["frame"], handling=place != "plain" and handling)


def run_step(gen, kind, op, failure, form, how, caller, driver):
    before, running, seen = dict(vars(gen)), [], []
    gen._lock, inner = make_lock(form, how, lambda: running and running[0].send(None))
    name = LOCKED_STATE[op]
    if failure == "missing":
        delattr(gen, name)
    elif failure == "refused" and op == "generate_session_id":
        gen._session_id, gen.node_id = None, STUBBORN
    elif failure != "none":
        setattr(gen, name, {"refused": STUBBORN, "mistyped": 7 if name == "_session_id" else "x"}[failure])
    start = functools.partial(frame_function(kind, caller, "caller"), getattr(gen, op), seen=seen)
    steps = [start, lambda: None]
    if kind != "function":
        running.append((lambda inner: (yield from inner))(start()) if kind == "yield from" else start())
        steps = [functools.partial(running[0].send, None)] * 2
    for step, place in zip(steps, (driver, "plain")):  # the driver's frame, then a resume without
        frame_function("function", place, "driver")(step, seen=seen)
    seen.append(inner.locked())
    seen.append([(key, observed(value)) for key, value in vars(gen).items() if key != "_lock"])
    if failure != "none":
        for key in ("node_id", "_session_id", name):
            setattr(gen, key, before[key])
    return seen


class LockSection(RuleBasedStateMachine):
    def __init__(self, kind):
        super().__init__()
        self.kind, self.pair = kind, (LogIDGenerator("camera-front-01", 3), WithStatement())

    @rule(op=st.sampled_from(list(LOCKED_STATE)), how=st.sampled_from(EXITS),
          failure=st.sampled_from(["none", "missing", "refused", "mistyped"]),
          form=st.sampled_from(["threading.Lock", "class", "plain callables"]),
          caller=st.sampled_from(list(PLACES)), driver=st.sampled_from(list(PLACES)))
    def locked_operation(self, **step):
        assume(not (STATEMENT_ABORTS_ON_TRUE_INSTANCE_EXIT and step["form"] == "plain callables"
                    and step["how"] == "true"))
        ours, plain = (run_step(gen, self.kind, **step) for gen in self.pair)
        assert ours == plain


@pytest.mark.parametrize("kind", KINDS)
def test_lock_section_matches_a_with_statement(kind):
    run_state_machine_as_test(lambda: LockSection(kind), settings=settings(
        max_examples=5 if os.environ.get("MERROW_EMULATED") else 40, stateful_step_count=10, deadline=None))
