"""One table of single calls into trace_key: every operation, on its success
paths and on every failure path of the calling layer and of the bodies.

`CASES` is a list of (label, callable); each callable takes the namespace
that `make_args()` returns and makes exactly one call, checking that the
call took the path its label names (the result, or the exception type).
The leak tests repeat every case thousands of times; the memcheck workout
(tools/valgrind/workout.py) runs each of them under valgrind.  The objects
in the namespace are made afresh, so that their reference counts belong to
the caller alone.
"""
import threading
import types

from calling_model import function_object, vectorcall
from merrow_sdk.logging import trace_key as tk
from merrow_sdk.logging.trace_key import LogIDGenerator


def fresh(text):
    """An equal str that is neither interned nor shared with anything."""
    return "".join(list(text))


# --- objects with a behaviour of their own --------------------------------

class Text(str):
    pass


class RaisingEq(str):
    def __eq__(self, other):
        raise KeyError("cannot compare")

    __hash__ = str.__hash__


class BoolRaises:
    def __bool__(self):
        raise LookupError("no truth here")


class IndexRaises:
    def __index__(self):
        raise ArithmeticError("index refused")


class IntRaises:
    def __int__(self):
        raise ArithmeticError("int refused")


class FormatRaises:
    def __bool__(self):
        return True

    def __format__(self, spec):
        raise ValueError("no text form")


class PyLock:
    """A context manager written in Python around a real lock."""

    def __init__(self, exit_result=None, exit_error=None, error_always=False):
        self.inner = threading.Lock()
        self.exit_result = exit_result
        self.exit_error = exit_error
        self.error_always = error_always

    def __enter__(self):
        self.inner.acquire()

    def __exit__(self, exc_type, exc, tb):
        self.inner.release()
        if self.exit_error is not None and (self.error_always or exc_type is None):
            raise self.exit_error("exit failed")
        return self.exit_result


class OnlyEnter:
    def __enter__(self):
        return self


class OnlyExit:
    def __exit__(self, *exc_info):
        return None


class EnterRaises:
    def __enter__(self):
        raise OSError("lock refused")

    def __exit__(self, *exc_info):
        return None


class LostSession(LogIDGenerator):
    """The session identifier cannot be read back once it has been stored."""

    @property
    def _session_id(self):
        if self.__dict__.pop("_stored", False):
            raise RuntimeError("session lost")
        return self.__dict__.get("_sid")

    @_session_id.setter
    def _session_id(self, value):
        self.__dict__["_sid"] = value
        self.__dict__["_stored"] = value is not None


class _Missing:
    pass


MISSING = _Missing()


class patched:
    """Replaces (or, with MISSING, removes) one module global for a call;
    the namespace is given back as it was, order included."""

    def __init__(self, name, value=MISSING):
        self.name, self.value = name, value

    def __enter__(self):
        namespace = vars(tk)
        self.saved = list(namespace.items())
        if self.value is MISSING:
            del namespace[self.name]
        else:
            namespace[self.name] = self.value

    def __exit__(self, *exc_info):
        namespace = vars(tk)
        namespace.clear()
        namespace.update(self.saved)


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


def returns(expected, fn, *args, **kwargs):
    result = fn(*args, **kwargs)
    if result != expected:
        raise AssertionError(f"{fn!r} returned {result!r}, not {expected!r}")


# --- the arguments --------------------------------------------------------

def generator(node=None, **state):
    gen = LogIDGenerator(node if node is not None else fresh("camera-front-01"), 3)
    for name, value in state.items():
        if value is MISSING:
            delattr(gen, name)
        else:
            setattr(gen, name, value)
    return gen


def make_args():
    a = types.SimpleNamespace()
    a.node, a.token, a.message, a.key = (fresh(t) for t in ("camera-front-01", "FRAME", "frame lost", "ERR-1"))
    a.wide_node, a.wide_token = fresh("κάμερα-ü-0\U0001F4F7"), fresh("ÜBER\u20ac")
    a.idx, a.float_idx, a.big = 10 ** 6 + 3, 7.9, 10 ** 30 + 7
    a.nan, a.inf = float("nan"), float("inf")
    a.text_node, a.text_token = Text("camera-front-01"), Text("FRAME")
    a.truthy, a.bool_raises = [0], BoolRaises()
    a.index_raises, a.int_raises = IndexRaises(), IntRaises()
    a.bare = object()
    a.sub_kwargs = {Text("error_type"): a.token}
    a.raising_kwargs = {RaisingEq("error_type"): a.token}
    a.bad_keys = {1: a.token}
    a.broken_uuid = types.SimpleNamespace(uuid4=a.index_raises.__index__)
    a.no_lock = types.SimpleNamespace()

    a.g = generator()
    a.held = generator()
    a.held.generate_session_id()
    a.spare = generator()
    a.wide = generator(a.wide_node)
    a.list_node = generator(node_id=list("camera-front-01"))
    a.big_counter = generator(_error_counter=10 ** 30)
    a.bad_node = generator(node_id=42)
    a.bad_session = generator(_session_id=42)
    a.bad_counter = generator(_error_counter=None)
    a.bool_session = generator(_session_id=BoolRaises())
    a.format_session = generator(_session_id=FormatRaises())
    a.py_lock = generator(_lock=PyLock())
    a.suppressing = generator(_lock=PyLock(exit_result=True), node_id=42)
    a.suppressing_count = generator(_lock=PyLock(exit_result=True), _error_counter=MISSING)
    a.no_counter = generator(_lock=PyLock(), _error_counter=MISSING)
    a.exit_raises = generator(_lock=PyLock(exit_error=OSError))
    a.exit_raises_on_failure = generator(_lock=PyLock(exit_error=OSError, error_always=True),
                                         _error_counter=None)
    a.only_enter = generator(_lock=OnlyEnter())
    a.only_exit = generator(_lock=OnlyExit())
    a.enter_raises = generator(_lock=EnterRaises())
    a.lost = LostSession(fresh("camera-front-01"), 3)
    a.error_fn = function_object("generate_error_id")
    a.session_fn = function_object("get_session_id")
    return a


# --- the cases ------------------------------------------------------------

G = LogIDGenerator
# the exceptions the cases expect, short enough to keep one case a line
T, A, N, V, K, L, R = TypeError, AttributeError, NameError, ValueError, KeyError, LookupError, RuntimeError
ERROR_ID = "ERR-FRAME-camera-f-3-"


def _handling_in_a_generator(call):
    """`call` made in an except clause of a generator: the lock section's
    failure handling then saves and restores the generator's own slot."""
    def frame():
        try:
            raise KeyError("handled")
        except KeyError:
            call()
            yield

    for _ in frame():
        pass


def _error_id(a, gen):
    result = gen.generate_error_id(a.token)
    if not result.startswith(ERROR_ID):
        raise AssertionError(result)


CONSTRUCTION = [
    ("__init__ by position", lambda a: G(a.node, a.idx)),
    ("__init__ by keyword", lambda a: G(source_idx=a.idx, node_id=a.node)),
    ("__init__ float index", lambda a: G(a.node, a.float_idx)),
    ("__init__ long index", lambda a: G(a.node, a.big)),
    ("__init__ on an existing instance", lambda a: a.spare.__init__(a.node, a.idx)),
    ("__init__ count error", lambda a: expect(T, G, a.node)),
    ("__init__ repeated keyword", lambda a: expect(T, G, a.node, a.idx, node_id=a.node)),
    ("__init__ unexpected keyword", lambda a: expect(T, G, a.node, source_idx=a.idx, bogus=a.idx)),
    ("__init__ node_id None", lambda a: expect(T, G, None, a.idx)),
    ("__init__ node_id str subclass", lambda a: expect(T, G, a.text_node, a.idx)),
    ("__init__ source_idx not a number", lambda a: expect(T, G, a.node, a.token)),
    ("__init__ source_idx NaN", lambda a: expect(V, G, a.node, a.nan)),
    ("__init__ source_idx infinity", lambda a: expect(OverflowError, G, a.node, a.inf)),
    ("__init__ source_idx __index__ raises", lambda a: expect(ArithmeticError, G, a.node, a.index_raises)),
    ("__init__ source_idx __int__ raises", lambda a: expect(ArithmeticError, G, a.node, a.int_raises)),
    ("__init__ self without attributes", lambda a: expect(A, G.__init__, a.bare, a.node, a.idx)),
]


def _without_lock_factory(a):
    with patched("threading", a.no_lock):
        expect(A, G, a.node, a.idx)


def _without_threading(a):
    with patched("threading"):
        expect(N, G, a.node, a.idx)


def _uuid4_raises(a):
    with patched("uuid", a.broken_uuid):
        expect(ArithmeticError, a.g.generate_session_id, True)


def _without_uuid(a):
    with patched("uuid"):
        expect(N, a.g.generate_session_id, True)


SESSION = [
    ("__init__ threading without Lock", _without_lock_factory),
    ("__init__ threading missing", _without_threading),
    ("generate_session_id cached", lambda a: a.held.generate_session_id()),
    ("generate_session_id forced", lambda a: a.held.generate_session_id(True)),
    ("generate_session_id force by keyword", lambda a: a.held.generate_session_id(force=a.truthy)),
    ("generate_session_id Python lock", lambda a: a.py_lock.generate_session_id(True)),
    ("generate_session_id wide node", lambda a: a.wide.generate_session_id(True)),
    ("generate_session_id count error", lambda a: expect(T, a.held.generate_session_id, 1, 2)),
    ("generate_session_id truth test raises", lambda a: expect(L, a.held.generate_session_id, a.bool_raises)),
    ("generate_session_id uuid4 raises", _uuid4_raises),
    ("generate_session_id uuid missing", _without_uuid),
    ("generate_session_id node unsliceable", lambda a: expect(T, a.bad_node.generate_session_id, True)),
    ("generate_session_id held value not str", lambda a: expect(T, a.bad_session.generate_session_id)),
    ("generate_session_id held value not str, handling in a generator",
     lambda a: _handling_in_a_generator(lambda: expect(T, a.bad_session.generate_session_id))),
    ("generate_session_id failure suppressed", lambda a: returns(None, a.suppressing.generate_session_id, True)),
    ("generate_session_id read-back fails", lambda a: expect(R, a.lost.generate_session_id, True)),
    ("generate_session_id lock without __exit__", lambda a: expect(A, a.only_enter.generate_session_id)),
    ("generate_session_id lock without __enter__", lambda a: expect(A, a.only_exit.generate_session_id)),
    ("generate_session_id __enter__ raises", lambda a: expect(OSError, a.enter_raises.generate_session_id)),
    ("get_session_id", lambda a: a.held.get_session_id()),
    ("get_session_id self by keyword", lambda a: G.get_session_id(self=a.held)),
    ("get_session_id count error", lambda a: expect(T, a.held.get_session_id, a.idx)),
    ("get_session_id held value not str", lambda a: expect(T, a.bad_session.get_session_id)),
    ("get_session_id self without attributes", lambda a: expect(A, G.get_session_id, a.bare)),
]

COUNTERS = [
    ("generate_error_id default token", lambda a: a.g.generate_error_id()),
    ("generate_error_id by position", lambda a: _error_id(a, a.g)),
    ("generate_error_id by keyword", lambda a: a.g.generate_error_id(error_type=a.token)),
    ("generate_event_id default token", lambda a: a.g.generate_event_id()),
    ("generate_event_id by keyword", lambda a: a.g.generate_event_id(event_type=a.token)),
    ("generate_error_id generic entry", lambda a: type(a.error_fn).__call__(a.error_fn, a.g, error_type=a.token)),
    ("generate_error_id str subclass keyword", lambda a: a.g.generate_error_id(**a.sub_kwargs)),
    ("generate_error_id wide fields", lambda a: a.wide.generate_error_id(a.wide_token)),
    ("generate_error_id long counter", lambda a: a.big_counter.generate_error_id()),
    ("generate_error_id list node_id", lambda a: a.list_node.generate_error_id()),
    ("generate_error_id Python lock", lambda a: _error_id(a, a.py_lock)),
    ("generate_error_id count error", lambda a: expect(T, a.g.generate_error_id, a.token, a.token)),
    ("generate_error_id repeated keyword", lambda a: expect(T, a.g.generate_error_id, a.token, error_type=a.token)),
    ("generate_error_id unexpected keyword", lambda a: expect(T, a.g.generate_error_id, event_type=a.token)),
    ("generate_error_id token None", lambda a: expect(T, a.g.generate_error_id, None)),
    ("generate_error_id token str subclass", lambda a: expect(T, a.g.generate_error_id, a.text_token)),
    ("generate_error_id keyword comparison raises", lambda a: expect(K, lambda: a.g.generate_error_id(**a.raising_kwargs))),
    ("generate_error_id non-text keyword, fast entry",
     lambda a: expect(T, vectorcall, a.error_fn, (a.g,), ((a.idx, a.token),))),
    ("generate_error_id non-text keyword, generic entry",
     lambda a: expect(T, lambda: type(a.error_fn).__call__(a.error_fn, a.g, **a.bad_keys))),
    ("generate_error_id node unsliceable", lambda a: expect(T, a.bad_node.generate_error_id)),
    ("generate_error_id counter not addable", lambda a: expect(T, a.bad_counter.generate_error_id)),
    ("generate_error_id counter missing, exit suppresses",
     lambda a: expect(UnboundLocalError, a.suppressing_count.generate_error_id)),
    ("generate_error_id counter missing, Python lock", lambda a: expect(A, a.no_counter.generate_error_id)),
    ("generate_error_id counter missing, handling in a generator",
     lambda a: _handling_in_a_generator(lambda: expect(A, a.no_counter.generate_error_id))),
    ("generate_error_id __exit__ raises", lambda a: expect(OSError, a.exit_raises.generate_error_id)),
    ("generate_error_id __exit__ raises over a failure",
     lambda a: expect(OSError, a.exit_raises_on_failure.generate_error_id)),
    ("generate_error_id lock without __exit__", lambda a: expect(A, a.only_enter.generate_error_id)),
    ("generate_event_id __enter__ raises", lambda a: expect(OSError, a.enter_raises.generate_event_id)),
    ("generate_event_id count error", lambda a: expect(T, G.generate_event_id)),
    ("generate_event_id self without attributes", lambda a: expect(A, G.generate_event_id, a.bare)),
]

TAGGING = [
    ("format_log_with_id on the class", lambda a: G.format_log_with_id(a.message, a.key)),
    ("format_log_with_id by keyword", lambda a: a.g.format_log_with_id(trace_key=a.key, message=a.message)),
    ("format_log_with_id wide texts", lambda a: G.format_log_with_id(a.wide_node, a.wide_token)),
    ("format_log_with_id count error", lambda a: expect(T, a.g.format_log_with_id, a.message)),
    ("format_log_with_id trace_key not str", lambda a: expect(T, G.format_log_with_id, a.message, a.idx)),
    ("format_log_with_session untagged", lambda a: a.g.format_log_with_session(a.message)),
    ("format_log_with_session tagged", lambda a: a.held.format_log_with_session(message=a.message)),
    ("format_log_with_session int session", lambda a: a.bad_session.format_log_with_session(a.message)),
    ("format_log_with_session truth test raises", lambda a: expect(L, a.bool_session.format_log_with_session, a.message)),
    ("format_log_with_session format raises", lambda a: expect(V, a.format_session.format_log_with_session, a.message)),
    ("format_log_with_session count error", lambda a: expect(T, a.held.format_log_with_session)),
    ("format_log_with_session message None", lambda a: expect(T, a.held.format_log_with_session, None)),
]


def _attributes(a):
    fn = a.error_fn
    return (fn.__defaults__, fn.__annotations__, fn.__code__, fn.__name__, repr(fn), fn.__reduce__())


def _reassigned(a):
    fn = a.session_fn
    name, annotations = fn.__name__, fn.__annotations__
    fn.__name__ = a.token
    fn.__annotations__ = None
    made = fn.__annotations__
    fn.__name__, fn.__annotations__ = name, annotations
    return made


FUNCTION_OBJECTS = [
    ("bound method", lambda a: a.g.generate_error_id),
    ("function attributes", _attributes),
    ("function attribute assignment", _reassigned),
]

CASES = CONSTRUCTION + SESSION + COUNTERS + TAGGING + FUNCTION_OBJECTS
