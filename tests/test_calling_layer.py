"""Argument binding and type rules of LogIDGenerator's seven operations.

Each table row is a call as a caller writes it and what the calling layer
answers.  Rows run through every entry of the function objects (the call as
written, the type's generic call slot and the fast entry reached by hand),
and the executable model in calling_model.py is held to the same tables.
"""
import datetime
import decimal
import fractions
import itertools
import sys
import types
import weakref

import pytest

from calling_model import (ENTRIES, ENTRY_PREFIX, OPERATIONS, G, Call, bound, cls,
                           function_object, new, perform, predict, vectorcall)
from merrow_sdk.logging import trace_key
from merrow_sdk.logging.trace_key import LogIDGenerator

NODE = "camera-node-01"
CALLERS = {perform.__code__, vectorcall.__code__}


@pytest.fixture
def g():
    return LogIDGenerator(NODE, 3)


# --- values with a behaviour of their own ---------------------------------

class Text(str):
    def __repr__(self):
        return f"Text({str(self)!r})"


class Named:
    """An object whose repr does not depend on its address."""
    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return self.label


class Outer:
    class Inner(Named):
        pass


LongNamed = type("L" * 250, (Named,), {})


class IntSub(int):
    pass


class Index(Named):
    def __init__(self, value):
        super().__init__(f"Index({value})")
        self.value = value

    def __index__(self):
        return self.value


class TruncOnly(Named):
    def __trunc__(self):
        return 4


class FloatOnly(Named):
    def __float__(self):
        return 4.0


INDEX_ERROR = ArithmeticError("index refused")
BOOL_ERROR = LookupError("no truth here")
LEN_ERROR = ZeroDivisionError("no length either")


class IndexRaises(Named):
    def __index__(self):
        raise INDEX_ERROR.with_traceback(None)


class Truth(Named):
    def __init__(self, value):
        super().__init__(f"Truth({value})")
        self.value = value

    def __bool__(self):
        return self.value


class Sized(Named):
    def __init__(self, size):
        super().__init__(f"Sized({size})")
        self.size = size

    def __len__(self):
        return self.size


class Probe(Named):
    """A force whose truth test calls `observe` first."""
    def __init__(self, label=None, observe=None):
        super().__init__(label or f"{type(self).__name__}()")
        self.observe = observe

    def seen(self):
        if self.observe is not None:
            self.observe()


class BoolRaises(Probe):
    def __bool__(self):
        self.seen()
        raise BOOL_ERROR.with_traceback(None)


class LenRaises(Probe):
    def __len__(self):
        self.seen()
        raise LEN_ERROR.with_traceback(None)


class BoolReturnsInt(Probe):
    def __bool__(self):
        self.seen()
        return 1


# --- helpers --------------------------------------------------------------

def capture(fn):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return exc
    pytest.fail("the call did not raise")


def tb_entries(exc):
    entries, tb = [], exc.__traceback__
    while tb is not None:
        entries.append(tb)
        tb = tb.tb_next
    return entries


def entry_names(exc):
    return [tb.tb_frame.f_code.co_name for tb in tb_entries(exc)]


def assert_entry(exc, op_name, callers=CALLERS, user_frames=0):
    """One traceback entry for the operation, right below the caller's frame
    and above any frames of caller code that raised."""
    entries = tb_entries(exc)
    names = entry_names(exc)
    own = [name for name in names if name.startswith(ENTRY_PREFIX)]
    assert own == [ENTRY_PREFIX + op_name], names
    at = len(entries) - 1 - user_frames
    assert names[at] == ENTRY_PREFIX + op_name, names
    assert entries[at - 1].tb_frame.f_code in callers, names
    assert entries[at].tb_frame.f_globals is vars(trace_key)


def assert_no_entry(exc, callers=CALLERS):
    names = entry_names(exc)
    assert not any(name.startswith(ENTRY_PREFIX) for name in names), names
    assert tb_entries(exc)[-1].tb_frame.f_code in callers, names


def model_entry(entry):
    return "dict" if entry in ("call", "generic") else "vectorcall"


def rows(table):
    return [pytest.param(call, message, id=repr(call)) for call, message in table]


def count(op, word, number, given):
    plural = "" if number == 1 else "s"
    return f"{op}() takes {word} {number} positional argument{plural} ({given} given)"


def multiple(op, name):
    return f"{op}() got multiple values for keyword argument '{name}'"


def unexpected(op, name):
    return f"{op}() got an unexpected keyword argument '{name}'"


def badtype(param, got, expected="str"):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


# --- argument count errors ------------------------------------------------

COUNT_ERRORS = [
    # __init__: the new instance counts
    (new(),                                           count("__init__", "exactly", 3, 1)),
    (new("node"),                                     count("__init__", "exactly", 3, 2)),
    (new("node", 1, 2),                               count("__init__", "exactly", 3, 4)),
    (new("node", 1, 2, 3),                            count("__init__", "exactly", 3, 5)),
    (new(node_id="node"),                             count("__init__", "exactly", 3, 2)),
    (new(source_idx=1),                               count("__init__", "exactly", 3, 1)),
    (new("node", 1, 2, source_idx=3),                 count("__init__", "exactly", 3, 4)),
    (new("node", 1, 2, bogus=3),                      count("__init__", "exactly", 3, 4)),
    (bound("__init__", "node"),                       count("__init__", "exactly", 3, 2)),
    (bound("__init__", source_idx=1),                 count("__init__", "exactly", 3, 1)),
    (cls("__init__"),                                 count("__init__", "exactly", 3, 0)),
    (cls("__init__", node_id="n", source_idx=1),      count("__init__", "exactly", 3, 0)),
    (cls("__init__", G),                              count("__init__", "exactly", 3, 1)),
    (cls("__init__", G, source_idx=1),                count("__init__", "exactly", 3, 1)),
    (cls("__init__", self=G, source_idx=1),           count("__init__", "exactly", 3, 1)),
    (cls("__init__", self=G, node_id="n"),            count("__init__", "exactly", 3, 2)),
    # generate_session_id
    (bound("generate_session_id", True, 1),           count("generate_session_id", "at most", 2, 3)),
    (bound("generate_session_id", True, 1, force=1),  count("generate_session_id", "at most", 2, 3)),
    (cls("generate_session_id"),                      count("generate_session_id", "at least", 1, 0)),
    (cls("generate_session_id", force=True),          count("generate_session_id", "at least", 1, 0)),
    (cls("generate_session_id", G, True, 1),          count("generate_session_id", "at most", 2, 3)),
    (cls("generate_session_id", G, True, 1, bogus=1), count("generate_session_id", "at most", 2, 3)),
    # generate_error_id
    (bound("generate_error_id", "A", "B"),            count("generate_error_id", "at most", 2, 3)),
    (bound("generate_error_id", "A", "B", error_type="C"), count("generate_error_id", "at most", 2, 3)),
    (cls("generate_error_id"),                        count("generate_error_id", "at least", 1, 0)),
    (cls("generate_error_id", error_type="X"),        count("generate_error_id", "at least", 1, 0)),
    (cls("generate_error_id", G, "A", "B", "C"),      count("generate_error_id", "at most", 2, 4)),
    # generate_event_id
    (bound("generate_event_id", "A", "B"),            count("generate_event_id", "at most", 2, 3)),
    (cls("generate_event_id"),                        count("generate_event_id", "at least", 1, 0)),
    (cls("generate_event_id", event_type="X"),        count("generate_event_id", "at least", 1, 0)),
    (cls("generate_event_id", G, "A", "B", bogus=1),  count("generate_event_id", "at most", 2, 3)),
    # get_session_id
    (bound("get_session_id", 1),                      count("get_session_id", "exactly", 1, 2)),
    (bound("get_session_id", 1, bogus=1),             count("get_session_id", "exactly", 1, 2)),
    (cls("get_session_id"),                           count("get_session_id", "exactly", 1, 0)),
    (cls("get_session_id", G, G),                     count("get_session_id", "exactly", 1, 2)),
    (cls("get_session_id", G, G, G),                  count("get_session_id", "exactly", 1, 3)),
    # format_log_with_id: static, nothing is prepended
    (bound("format_log_with_id", "m"),                count("format_log_with_id", "exactly", 2, 1)),
    (bound("format_log_with_id", "m", "k", "x"),      count("format_log_with_id", "exactly", 2, 3)),
    (cls("format_log_with_id"),                       count("format_log_with_id", "exactly", 2, 0)),
    (cls("format_log_with_id", trace_key="k"),        count("format_log_with_id", "exactly", 2, 0)),
    (cls("format_log_with_id", message="m"),          count("format_log_with_id", "exactly", 2, 1)),
    (cls("format_log_with_id", "m", "k", "x", message="m"), count("format_log_with_id", "exactly", 2, 3)),
    # format_log_with_session
    (bound("format_log_with_session"),                count("format_log_with_session", "exactly", 2, 1)),
    (bound("format_log_with_session", "m", "x"),      count("format_log_with_session", "exactly", 2, 3)),
    (cls("format_log_with_session", "m"),             count("format_log_with_session", "exactly", 2, 1)),
    (cls("format_log_with_session", message="m"),     count("format_log_with_session", "exactly", 2, 0)),
    (cls("format_log_with_session", self=G),          count("format_log_with_session", "exactly", 2, 1)),
]

# --- keyword errors -------------------------------------------------------

KEYWORD_ERRORS = [
    (new("node", 1, node_id="other"),                 multiple("__init__", "node_id")),
    (new("node", 1, nodeid="x"),                      unexpected("__init__", "nodeid")),
    (new(self=1, node_id="n", source_idx=1),          multiple("__init__", "self")),
    (new("node", source_idx=1, bogus=2),              unexpected("__init__", "bogus")),
    (new(bogus=2, node_id="n"),                       unexpected("__init__", "bogus")),
    (new(node_id="n", bogus=2),                       unexpected("__init__", "bogus")),
    (new(bogus=1, other=2),                           unexpected("__init__", "bogus")),
    (new("n", node_id="x", bogus=1),                  multiple("__init__", "node_id")),
    (new("n", bogus=1, node_id="x"),                  unexpected("__init__", "bogus")),
    (new(Source_idx=1, node_id="n"),                  unexpected("__init__", "Source_idx")),
    (cls("__init__", G, "n", 1, self=G),              multiple("__init__", "self")),
    (cls("__init__", G, "n", 1, 2, self=G),           count("__init__", "exactly", 3, 4)),
    (cls("__init__", G, "n", self=G),                 multiple("__init__", "self")),
    (cls("generate_error_id", bogus=1),               unexpected("generate_error_id", "bogus")),
    (bound("generate_error_id", "FRAME", error_type="X"), multiple("generate_error_id", "error_type")),
    (bound("generate_error_id", self=G),              multiple("generate_error_id", "self")),
    (bound("generate_error_id", event_type="X"),      unexpected("generate_error_id", "event_type")),
    (bound("generate_error_id", **{"x" * 300: 1}),    unexpected("generate_error_id", "x" * 300)),
    (bound("generate_event_id", error_type="X"),      unexpected("generate_event_id", "error_type")),
    (bound("generate_event_id", "A", event_type="B"), multiple("generate_event_id", "event_type")),
    (cls("generate_event_id", event_type="X", bogus=1), unexpected("generate_event_id", "bogus")),
    (bound("generate_session_id", True, force=False), multiple("generate_session_id", "force")),
    (bound("generate_session_id", Force=True),        unexpected("generate_session_id", "Force")),
    (cls("generate_session_id", force=True, bogus=1), unexpected("generate_session_id", "bogus")),
    (bound("get_session_id", self=G),                 multiple("get_session_id", "self")),
    (cls("get_session_id", G, self=G),                multiple("get_session_id", "self")),
    (cls("get_session_id", session=1),                unexpected("get_session_id", "session")),
    (cls("format_log_with_id", self=G, message="m", trace_key="k"), unexpected("format_log_with_id", "self")),
    (bound("format_log_with_id", "m", message="m2"),  multiple("format_log_with_id", "message")),
    (cls("format_log_with_id", "m", "k", trace_key="k2"), multiple("format_log_with_id", "trace_key")),
    (bound("format_log_with_id", "m", key="k"),       unexpected("format_log_with_id", "key")),
    (bound("format_log_with_session", "m", message="x"), multiple("format_log_with_session", "message")),
    (bound("format_log_with_session", msg="x"),       unexpected("format_log_with_session", "msg")),
    (cls("format_log_with_session", message="m", self=G, extra=1), unexpected("format_log_with_session", "extra")),
]

BINDING_ERRORS = COUNT_ERRORS + KEYWORD_ERRORS


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("call, message", rows(BINDING_ERRORS))
def test_binding_error(g, call, message, entry):
    exc = capture(lambda: perform(call, g, entry))
    assert type(exc) is TypeError
    assert str(exc) == message
    assert_entry(exc, call.op)


@pytest.mark.parametrize("call, message", rows(BINDING_ERRORS))
def test_model_predicts_binding_error(call, message):
    for entry in ("dict", "vectorcall"):
        outcome = call.predict(None, entry)
        assert (outcome.exc_type, outcome.message, outcome.entry) == (TypeError, message, True)


# --- argument type errors -------------------------------------------------

TYPE_ERRORS = [
    (new(None, 1),                                    badtype("node_id", "NoneType")),
    (new(5, 2.5),                                     badtype("node_id", "int")),
    (new(b"node", 1),                                 badtype("node_id", "bytes")),
    (new(node_id=["n"], source_idx=1),                badtype("node_id", "list")),
    (new(source_idx=True, node_id=bytearray(b"n")),   badtype("node_id", "bytearray")),
    (bound("__init__", None, 1),                      badtype("node_id", "NoneType")),
    (bound("generate_error_id", None),                badtype("error_type", "NoneType")),
    (bound("generate_error_id", 42),                  badtype("error_type", "int")),
    (bound("generate_error_id", error_type=b"X"),     badtype("error_type", "bytes")),
    (cls("generate_error_id", Named("anything"), None), badtype("error_type", "NoneType")),
    (bound("generate_event_id", None),                badtype("event_type", "NoneType")),
    (bound("generate_event_id", event_type=1.5),      badtype("event_type", "float")),
    (cls("format_log_with_id", 1, 2),                 badtype("message", "int")),
    (cls("format_log_with_id", "m", 2),               badtype("trace_key", "int")),
    (cls("format_log_with_id", None, None),           badtype("message", "NoneType")),
    (cls("format_log_with_id", "m", None),            badtype("trace_key", "NoneType")),
    (cls("format_log_with_id", trace_key=1, message=2), badtype("message", "int")),
    (bound("format_log_with_id", "m", trace_key=()),  badtype("trace_key", "tuple")),
    (bound("format_log_with_session", None),          badtype("message", "NoneType")),
    (cls("format_log_with_session", Named("not-a-generator"), b"m"), badtype("message", "bytes")),
    # the name the type object records: dotted for other extensions' types,
    # the plain class name (not the qualified one) for Python classes
    (cls("format_log_with_id", datetime.date(2020, 1, 2), "k"), badtype("message", "datetime.date")),
    (cls("format_log_with_id", "m", types.SimpleNamespace()), badtype("trace_key", "types.SimpleNamespace")),
    (cls("format_log_with_id", Outer.Inner("inner"), "k"), badtype("message", "Inner")),
    (cls("format_log_with_id", LongNamed("long"), "k"),  badtype("message", "L" * 200)),
]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("call, message", rows(TYPE_ERRORS))
def test_argument_type_error(g, call, message, entry):
    exc = capture(lambda: perform(call, g, entry))
    assert type(exc) is TypeError
    assert str(exc) == message
    assert_no_entry(exc)


@pytest.mark.parametrize("call, message", rows(TYPE_ERRORS))
def test_model_predicts_type_error(call, message):
    outcome = call.predict(None)
    assert (outcome.exc_type, outcome.message, outcome.entry) == (TypeError, message, False)


def test_type_error_reaches_caller_as_if_raised_by_the_call_expression(g):
    with pytest.raises(TypeError) as excinfo:
        g.generate_error_id(None)
    assert excinfo.value.__traceback__.tb_next is None
    assert excinfo.value.__traceback__.tb_frame.f_code is sys._getframe().f_code


def test_count_error_adds_an_entry_below_the_callers_frame(g):
    with pytest.raises(TypeError) as excinfo:
        g.generate_error_id("A", "B")
    first = excinfo.value.__traceback__
    assert first.tb_frame.f_code is sys._getframe().f_code
    assert first.tb_next.tb_frame.f_code.co_name == ENTRY_PREFIX + "generate_error_id"
    assert first.tb_next.tb_next is None


STR_SUBCLASS_REFUSED = [
    (new(Text("node"), 1),                            "node_id"),
    (bound("generate_error_id", Text("FRAME")),       "error_type"),
    (bound("generate_event_id", event_type=Text("START")), "event_type"),
    (cls("format_log_with_id", Text("m"), "k"),       "message"),
    (cls("format_log_with_id", "m", Text("k")),       "trace_key"),
    (bound("format_log_with_session", Text("m")),     "message"),
]


@pytest.mark.parametrize("entry", ("call", "vectorcall"))
@pytest.mark.parametrize("call, param", rows(STR_SUBCLASS_REFUSED))
def test_str_subclass_refused(g, call, param, entry):
    exc = capture(lambda: perform(call, g, entry))
    assert type(exc) is TypeError
    prefix = badtype(param, "Text")
    text = str(exc)
    assert text.startswith(prefix)
    rest = text[len(prefix):]
    # at most one explanatory sentence may follow
    assert rest == "" or (rest[0].isspace() and rest.strip() and "\n" not in rest.strip()), text
    assert call.predict(None).matches_message(text)
    assert_no_entry(exc)


# --- the order of the type step -------------------------------------------

TYPE_STEP_ORDER = [
    (new(5, "x"),                                     badtype("source_idx", "str", "int")),
    (new(5, 2.5),                                     badtype("node_id", "int")),
    (new(None, None),                                 badtype("source_idx", "NoneType", "int")),
    (new("node", None),                               badtype("source_idx", "NoneType", "int")),
    (new(source_idx="x", node_id=None),               badtype("source_idx", "str", "int")),
    (new(None, 1),                                    badtype("node_id", "NoneType")),
    (cls("format_log_with_id", 1, 2),                 badtype("message", "int")),
    (cls("format_log_with_id", "m", 2),               badtype("trace_key", "int")),
    (cls("format_log_with_id", trace_key=None, message=b""), badtype("message", "bytes")),
]


@pytest.mark.parametrize("call, message", rows(TYPE_STEP_ORDER))
def test_type_step_order(g, call, message):
    exc = capture(lambda: perform(call, g))
    assert (type(exc), str(exc)) == (TypeError, message)
    assert call.predict(None).message == message


# --- source_idx -----------------------------------------------------------

SOURCE_IDX_CONVERTED = [
    (True, 1),
    (False, 0),
    (7.9, 7),
    (2.9, 2),
    (-2.5, -2),
    (IntSub(5), 5),
    (Index(12), 12),
    (fractions.Fraction(7, 2), 3),
    (decimal.Decimal("-7.9"), -7),
]


@pytest.mark.parametrize("by_keyword", (False, True), ids=("positional", "keyword"))
@pytest.mark.parametrize("value, held", SOURCE_IDX_CONVERTED, ids=repr)
def test_source_idx_converted_to_exact_int(value, held, by_keyword):
    gen = LogIDGenerator(NODE, source_idx=value) if by_keyword else LogIDGenerator(NODE, value)
    assert type(gen.source_idx) is int
    assert gen.source_idx == held
    assert gen.generate_error_id() == f"ERR-GEN-camera-n-{held}-1"


def test_exact_int_source_idx_is_taken_unchanged():
    value = 10 ** 30 + 7
    assert LogIDGenerator(NODE, value).source_idx is value


SOURCE_IDX_REFUSED = [
    ("x", "str"),
    (None, "NoneType"),
    (b"1", "bytes"),
    ([1], "list"),
    (Text("1"), "Text"),          # nothing appended here, not even for a str subclass
    (TruncOnly("trunc-only"), "TruncOnly"),
    (Named("plain"), "Named"),
]


@pytest.mark.parametrize("entry", ("call", "vectorcall"))
@pytest.mark.parametrize("value, got", SOURCE_IDX_REFUSED, ids=repr)
def test_source_idx_refused(g, value, got, entry):
    call = new("node", value)
    exc = capture(lambda: perform(call, g, entry))
    assert type(exc) is TypeError
    assert str(exc) == badtype("source_idx", got, "int")
    assert_entry(exc, "__init__")
    assert call.predict(None).message == str(exc)


SOURCE_IDX_CONVERSION_RAISES = [
    # value, exception type, frames of caller code below the entry
    (float("nan"), ValueError, 0),
    (float("inf"), OverflowError, 0),
    (float("-inf"), OverflowError, 0),
    (1j, TypeError, 0),
    (decimal.Decimal("NaN"), ValueError, 0),
    (FloatOnly("float-only"), TypeError, 0),
    (IndexRaises("index-raises"), ArithmeticError, 1),
]


@pytest.mark.parametrize("value, exc_type, user_frames", SOURCE_IDX_CONVERSION_RAISES, ids=repr)
def test_source_idx_conversion_error_propagates(g, value, exc_type, user_frames):
    with pytest.raises(exc_type) as oracle:
        int(value)
    exc = capture(lambda: perform(new("node", value), g))
    assert type(exc) is exc_type
    assert str(exc) == str(oracle.value)
    if isinstance(value, IndexRaises):
        assert exc is INDEX_ERROR
    assert_entry(exc, "__init__", user_frames=user_frames)
    outcome = new("node", value).predict(None)
    assert (outcome.exc_type, outcome.message, outcome.entry) == (exc_type, str(exc), True)


# --- force ----------------------------------------------------------------

FORCE_TRUTH = [
    (0, False), (None, False), ("", False), (False, False), (0.0, False), ([], False),
    (Truth(False), False), (Sized(0), False),
    ("no", True), ("False", True), ("0", True), (True, True), (1, True), (-1, True),
    ([0], True), (Truth(True), True), (Sized(3), True), (Named("object"), True),
]


@pytest.mark.parametrize("by_keyword", (False, True), ids=("positional", "keyword"))
@pytest.mark.parametrize("force, regenerates", FORCE_TRUTH, ids=repr)
def test_force_truth_value(g, force, regenerates, by_keyword):
    old = g.generate_session_id()
    result = g.generate_session_id(force=force) if by_keyword else g.generate_session_id(force)
    assert (result is not old) == regenerates
    assert g.get_session_id() is result
    assert result[:15] == "SES-camera-n-3-"
    assert g._lock.locked() is False


def test_force_object_is_not_kept(g):
    force = Truth(True)
    ref = weakref.ref(force)
    g.generate_session_id(force)
    del force
    assert ref() is None


FORCE_RAISES = [
    # force, exception type, frames of caller code below the entry
    (BoolRaises, LookupError, 1),
    (LenRaises, ZeroDivisionError, 1),
    (BoolReturnsInt, TypeError, 0),
]


@pytest.mark.parametrize("by_keyword", (False, True), ids=("positional", "keyword"))
@pytest.mark.parametrize("make, exc_type, user_frames", FORCE_RAISES, ids=repr)
def test_force_truth_test_raises(g, make, exc_type, user_frames, by_keyword):
    old = g.generate_session_id()
    seen_locked = []
    force = make("force", observe=lambda: seen_locked.append(g._lock.locked()))
    with pytest.raises(exc_type) as oracle:
        bool(make("oracle"))
    call = bound("generate_session_id", force=force) if by_keyword else bound("generate_session_id", force)
    exc = capture(lambda: perform(call, g))
    assert type(exc) is exc_type and str(exc) == str(oracle.value)
    assert_entry(exc, "generate_session_id", user_frames=user_frames)
    assert seen_locked == [False]
    assert g._lock.locked() is False
    assert g.get_session_id() is old


# --- nothing changes when binding is refused ------------------------------

class SpyLock:
    def __init__(self):
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")

    def __exit__(self, *exc_info):
        self.calls.append("exit")


class SpySelf:
    """Stands in for the instance and records every attribute touched."""
    def __init__(self):
        object.__setattr__(self, "touched", [])

    def __getattribute__(self, name):
        object.__getattribute__(self, "touched").append(("get", name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        object.__getattribute__(self, "touched").append(("set", name))
        object.__setattr__(self, name, value)

    def __repr__(self):
        return "spy"


REFUSED = BINDING_ERRORS + TYPE_ERRORS + [
    (new("node", "x"), badtype("source_idx", "str", "int")),
    (new("node", float("nan")), "cannot convert float NaN to integer"),
    (bound("generate_session_id", BoolRaises()), "no truth here"),
]


def _as_reinit(call):
    # construction rows become __init__ run again on the generator
    return Call("bound", "__init__", call.args, call.keywords) if call.via == "new" else call


@pytest.mark.parametrize("call, message", rows(REFUSED))
def test_refused_call_changes_no_state(g, call, message):
    g.generate_session_id()
    g.generate_error_id()
    spy = g._lock = SpyLock()
    before = dict(vars(g))
    exc = capture(lambda: perform(_as_reinit(call), g))
    assert str(exc) == message
    assert spy.calls == []
    assert vars(g).keys() == before.keys()
    assert all(vars(g)[name] is value for name, value in before.items())


def mentions_self(call):
    values = call.args + tuple(value for _, value in call.keywords)
    return not OPERATIONS[call.op].static and (call.via != "class" or any(v is G for v in values))


@pytest.mark.parametrize("call, message", rows(
    [(call, message) for call, message in REFUSED if mentions_self(call)]))
def test_refused_call_touches_nothing_on_self(call, message):
    spy = SpySelf()
    exc = capture(lambda: perform(call.as_class(spy), None))
    assert str(exc) == message
    assert object.__getattribute__(spy, "touched") == []


# --- keywords by name give the same call as positions ---------------------

def fresh_name(text):
    """An equal text that is not the interned constant a literal would be."""
    made = "".join(list(text))
    assert made == text and made is not sys.intern(text)
    return made


SAME_CALLS = [
    (new(NODE, 3),                       new(node_id=NODE, source_idx=3)),
    (new(NODE, 3),                       new(source_idx=3, node_id=NODE)),
    (new(NODE, 3),                       new(NODE, source_idx=3)),
    (new(NODE, 3),                       new(**{fresh_name("node_id"): NODE, fresh_name("source_idx"): 3})),
    (bound("__init__", "other-node", 9), bound("__init__", source_idx=9, node_id="other-node")),
    (bound("__init__", "other-node", 9), cls("__init__", source_idx=9, self=G, node_id="other-node")),
    (bound("generate_session_id"),       cls("generate_session_id", self=G)),
    (bound("generate_session_id", True), bound("generate_session_id", force=True)),
    (bound("generate_session_id", True), cls("generate_session_id", G, force=True)),
    (bound("generate_session_id", True), cls("generate_session_id", force=True, self=G)),
    (bound("generate_session_id", 0),    cls("generate_session_id", self=G, force=0)),
    (bound("generate_error_id", "FRAME"), bound("generate_error_id", error_type="FRAME")),
    (bound("generate_error_id", "FRAME"), cls("generate_error_id", G, "FRAME")),
    (bound("generate_error_id", "FRAME"), cls("generate_error_id", self=G, error_type="FRAME")),
    (bound("generate_error_id", "FRAME"), cls("generate_error_id", error_type="FRAME", self=G)),
    (bound("generate_error_id", "FRAME"), bound("generate_error_id", **{fresh_name("error_type"): "FRAME"})),
    (bound("generate_error_id", "GEN"),  bound("generate_error_id")),
    (bound("generate_error_id"),         cls("generate_error_id", self=G)),
    (bound("generate_event_id", "START"), bound("generate_event_id", event_type="START")),
    (bound("generate_event_id", "START"), cls("generate_event_id", event_type="START", self=G)),
    (bound("generate_event_id", "EVT"),  cls("generate_event_id", G)),
    (bound("get_session_id"),            cls("get_session_id", G)),
    (bound("get_session_id"),            cls("get_session_id", self=G)),
    (bound("get_session_id"),            cls("get_session_id", **{fresh_name("self"): G})),
    (cls("format_log_with_id", "m", "k"), cls("format_log_with_id", trace_key="k", message="m")),
    (cls("format_log_with_id", "m", "k"), bound("format_log_with_id", "m", "k")),
    (cls("format_log_with_id", "m", "k"), bound("format_log_with_id", message="m", trace_key="k")),
    (cls("format_log_with_id", "m", "k"), cls("format_log_with_id", "m", trace_key="k")),
    (bound("format_log_with_session", "m"), bound("format_log_with_session", message="m")),
    (bound("format_log_with_session", "m"), cls("format_log_with_session", G, message="m")),
    (bound("format_log_with_session", "m"), cls("format_log_with_session", message="m", self=G)),
]


def observe(call, g, entry="call"):
    """What a successful call shows, with the random part of session
    identifiers and the lock object left out."""
    old = g.generate_session_id()
    result = perform(call, g, entry)
    target = result if call.via == "new" else g

    def plain(value):
        if value is old:
            return "<the session made before>"
        if isinstance(value, str) and value.startswith("SES-"):
            return value[:-8] + "<new uuid>"
        if isinstance(value, str):
            return value.replace(old, "<the session made before>")
        if isinstance(value, LogIDGenerator):
            return "<generator>"
        return value

    state = {name: plain(value) for name, value in vars(target).items() if name != "_lock"}
    return plain(result), state, type(target._lock)


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("positional, keyword", [
    pytest.param(a, b, id=f"{a!r} == {b!r}") for a, b in SAME_CALLS])
def test_keywords_give_the_same_call(positional, keyword, entry):
    expected = observe(positional, LogIDGenerator(NODE, 3))
    assert observe(keyword, LogIDGenerator(NODE, 3), entry) == expected


def test_keyword_self_through_the_class(g):
    g.generate_session_id()
    assert LogIDGenerator.get_session_id(self=g) is g.get_session_id()


def test_omitted_force_regenerates_nothing_whatever_defaults_report(g):
    old = g.generate_session_id()
    assert g.generate_session_id() is old
    assert LogIDGenerator.generate_session_id(self=g) is old


def test_error_default_read_from_the_function_not_the_vocabulary(g):
    saved = trace_key.ErrorType.GENERAL
    trace_key.ErrorType.GENERAL = "CHANGED"
    try:
        assert g.generate_error_id() == "ERR-GEN-camera-n-3-1"
    finally:
        trace_key.ErrorType.GENERAL = saved


# --- keyword names that are str subclasses --------------------------------

class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class NeverEqual(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


EQ_ERROR = KeyError("cannot compare")


class RaisingEq(str):
    def __eq__(self, other):
        raise EQ_ERROR.with_traceback(None)

    __hash__ = str.__hash__


class RecordingKey(str):
    def __init__(self, text):
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return False

    __hash__ = str.__hash__


SUBCLASS_KEYWORD_CALLS = [
    # call, expected result or (exception type, message)
    (new(**{Text("node_id"): NODE, Text("source_idx"): 3}), "constructed"),
    (bound("generate_error_id", **{Text("error_type"): "X"}), "ERR-X-camera-n-3-1"),
    (cls("generate_error_id", **{Text("self"): G, Text("error_type"): "X"}), "ERR-X-camera-n-3-1"),
    (cls("generate_error_id", **{AlwaysEqual("anything"): G}), "ERR-GEN-camera-n-3-1"),
    (cls("format_log_with_id", "m", **{AlwaysEqual("zz"): "k"}), "[k] m"),
    (bound("generate_error_id", "A", **{Text("error_type"): "X"}), (TypeError, multiple("generate_error_id", "error_type"))),
    (bound("generate_error_id", **{Text("bogus"): 1}), (TypeError, unexpected("generate_error_id", "bogus"))),
    (bound("generate_error_id", **{NeverEqual("error_type"): "X"}), (TypeError, unexpected("generate_error_id", "error_type"))),
    (bound("generate_error_id", "A", **{AlwaysEqual("zz"): "X"}), (TypeError, multiple("generate_error_id", "zz"))),
]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("call, expected", [pytest.param(c, e, id=repr(c)) for c, e in SUBCLASS_KEYWORD_CALLS])
def test_subclass_keyword_matched_by_equality(g, call, expected, entry):
    if isinstance(expected, tuple):
        exc = capture(lambda: perform(call, g, entry))
        assert (type(exc), str(exc)) == expected
        assert_entry(exc, call.op)
    elif expected == "constructed":
        made = perform(call, g, entry)
        assert (made.node_id, made.source_idx, made._session_id) == (NODE, 3, None)
    else:
        assert perform(call, g, entry) == expected


@pytest.mark.parametrize("call, expected", [pytest.param(c, e, id=repr(c)) for c, e in SUBCLASS_KEYWORD_CALLS])
def test_model_predicts_subclass_keywords(call, expected):
    outcome = call.predict(None)
    if isinstance(expected, tuple):
        assert (outcome.exc_type, outcome.message) == expected
    else:
        assert outcome.ok


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("call", [
    bound("generate_error_id", **{RaisingEq("error_type"): "X"}),
    cls("get_session_id", **{RaisingEq("self"): G}),
    new("n", **{RaisingEq("source_idx"): 1}),
    cls("format_log_with_id", "m", "k", **{RaisingEq("m"): 1}),
], ids=repr)
def test_subclass_keyword_comparison_raises(g, call, entry):
    exc = capture(lambda: perform(call, g, entry))
    assert exc is EQ_ERROR
    assert_entry(exc, call.op, user_frames=1)
    assert entry_names(exc)[-1] == "__eq__"


@pytest.mark.parametrize("positional, compared", [
    ((G,), ["error_type", "self"]),
    ((), ["self", "error_type"]),
    ((G, "A"), ["self", "error_type"]),
])
def test_subclass_keyword_compared_with_free_then_bound_names(g, positional, compared):
    key = RecordingKey("zz")
    args = tuple(g if value is G else value for value in positional)
    with pytest.raises(TypeError) as excinfo:
        LogIDGenerator.generate_error_id(*args, **{key: 1})
    assert str(excinfo.value) == unexpected("generate_error_id", "zz")
    assert key.compared == compared


# --- keyword names that are not text --------------------------------------

NON_TEXT_KEYWORDS = [
    # positional values, keyword pairs, message
    ((G,), ((1, 2),),                               "generate_error_id() keywords must be strings"),
    ((G,), ((b"error_type", "X"),),                 "generate_error_id() keywords must be strings"),
    ((G,), (("error_type", "X"), (1, 2)),           "generate_error_id() keywords must be strings"),
    ((G,), ((1, 2), ("bogus", 1)),                  "generate_error_id() keywords must be strings"),
    ((G,), (("bogus", 1), (1, 2)),                  unexpected("generate_error_id", "bogus")),
    ((G, "A"), (("error_type", "X"), (1, 2)),       multiple("generate_error_id", "error_type")),
    ((G, "A", "B"), ((1, 2),),                      count("generate_error_id", "at most", 2, 3)),
    ((), ((None, G),),                              "generate_error_id() keywords must be strings"),
]


@pytest.mark.parametrize("offset", (False, True), ids=("plain", "offset"))
@pytest.mark.parametrize("positional, pairs, message", NON_TEXT_KEYWORDS, ids=repr)
def test_non_text_keyword_name_reaching_the_binder(g, positional, pairs, message, offset):
    func = function_object("generate_error_id")
    args = tuple(g if value is G else value for value in positional)
    pairs = tuple((key, g if value is G else value) for key, value in pairs)
    exc = capture(lambda: vectorcall(func, args, pairs, offset=offset))
    assert (type(exc), str(exc)) == (TypeError, message)
    assert_entry(exc, "generate_error_id")
    outcome = predict("generate_error_id", args, pairs)
    assert (outcome.exc_type, outcome.message, outcome.entry) == (TypeError, message, True)


@pytest.mark.parametrize("keywords", [
    {1: 2},
    {"error_type": "X", 1: 2},
    {Text("error_type"): "X", b"k": 2},
    {(): 1},
], ids=repr)
def test_generic_entry_refuses_non_text_keys_before_the_operation_starts(g, keywords):
    func = function_object("generate_error_id")
    with pytest.raises(TypeError) as excinfo:
        type(func).__call__(func, g, "A", "B", **keywords)
    assert str(excinfo.value) == "keywords must be strings"
    assert excinfo.value.__traceback__.tb_next is None
    outcome = predict("generate_error_id", (g, "A", "B"), tuple(keywords.items()), entry="dict")
    assert (outcome.message, outcome.entry) == ("keywords must be strings", False)
    assert g._error_counter == 0


def test_ordinary_call_with_non_text_keys_keeps_no_entry(g):
    with pytest.raises(TypeError) as excinfo:
        g.generate_error_id(**{1: 2})
    assert "keywords must be strings" in str(excinfo.value)
    assert not any(name.startswith(ENTRY_PREFIX) for name in entry_names(excinfo.value))


# --- the generic entry binds like the call --------------------------------

@pytest.mark.parametrize("make_call", [
    lambda f, g: f(g, error_type="X"),
    lambda f, g: type(f).__call__(f, g, error_type="X"),
    lambda f, g: type(f).__call__(f, error_type="X", self=g),
    lambda f, g: f.__call__(g, "X"),
    lambda f, g: type(f).__call__(f, g, "X", **{}),
], ids=["call", "slot", "slot-keywords-only", "method-wrapper", "slot-empty-dict"])
def test_generic_entry_binds_like_the_call(make_call):
    gen = LogIDGenerator(NODE, 3)
    assert make_call(function_object("generate_error_id"), gen) == "ERR-X-camera-n-3-1"
    assert gen._error_counter == 1


def test_generic_entry_with_no_arguments_reports_the_count():
    func = function_object("get_session_id")
    with pytest.raises(TypeError) as excinfo:
        type(func).__call__(func)
    assert str(excinfo.value) == count("get_session_id", "exactly", 1, 0)


@pytest.mark.parametrize("offset", (False, True), ids=("plain", "offset"))
def test_fast_entry_ignores_the_offset_flag(offset):
    gen = LogIDGenerator(NODE, 3)
    func = function_object("generate_event_id")
    assert vectorcall(func, (gen,), (("event_type", "START"),), offset=offset) == "EVT-START-camera-n-3-1"
    assert vectorcall(func, (gen, "STOP"), offset=offset) == "EVT-STOP-camera-n-3-2"
    assert vectorcall(function_object("format_log_with_id"), ("m", "k"), offset=offset) == "[k] m"


# --- traceback entries ----------------------------------------------------

ENTRY_CASES = [
    bound("__init__", "node"),
    new("node", 1, bogus=2),
    new("node", "x"),
    new("node", float("nan")),
    bound("generate_session_id", BoolReturnsInt("bad-bool")),
    bound("generate_session_id", 1, 2),
    bound("generate_error_id", "A", "B"),
    bound("generate_event_id", bogus=1),
    bound("get_session_id", 1),
    cls("format_log_with_id", "m"),
    bound("format_log_with_session", message="m", self=G),
]


@pytest.mark.parametrize("call", ENTRY_CASES, ids=repr)
def test_entry_code_object_is_reused(g, call):
    first = capture(lambda: perform(call, g))
    second = capture(lambda: perform(call, g))
    assert_entry(first, call.op)
    assert_entry(second, call.op)
    code = tb_entries(first)[-1].tb_frame.f_code
    assert tb_entries(second)[-1].tb_frame.f_code is code
    assert code.co_name == ENTRY_PREFIX + call.op
    assert isinstance(tb_entries(first)[-1].tb_lineno, int)


def test_entries_of_different_operations_are_told_apart(g):
    names = set()
    for call in ENTRY_CASES:
        names.add(tb_entries(capture(lambda: perform(call, g)))[-1].tb_frame.f_code.co_name)
    assert names == {ENTRY_PREFIX + name for name in OPERATIONS}


# --- the binder against the model over many call shapes -------------------

GOOD = {"self": G, "node_id": NODE, "source_idx": 3, "force": True, "error_type": "TOK",
        "event_type": "EVT2", "message": "msg", "trace_key": "KEY", "bogus": 0}
BAD = {"self": G, "node_id": None, "source_idx": "x", "force": BoolRaises(),
       "error_type": None, "event_type": 5, "message": b"m", "trace_key": None, "bogus": 0}


def call_shapes(op):
    names = op.params + ("bogus",)
    for n in range(len(op.params) + 2):
        for width in range(3):
            for keys in itertools.permutations(names, width):
                yield n, keys


def body_problem(op, bound_values, result, gen):
    """None when the body saw the values the model bound, else a note."""
    expected = {
        "__init__": lambda: None,
        "generate_error_id": lambda: f"ERR-{bound_values['error_type']}-camera-n-3-1",
        "generate_event_id": lambda: f"EVT-{bound_values['event_type']}-camera-n-3-1",
        "get_session_id": lambda: None,
        "format_log_with_id": lambda: f"[{bound_values['trace_key']}] {bound_values['message']}",
        "format_log_with_session": lambda: bound_values["message"],
    }
    if op == "generate_session_id":
        ok = isinstance(result, str) and result.startswith("SES-camera-n-3-") and len(result) == 23
        return None if ok else f"session {result!r}"
    want = expected[op]()
    if op == "format_log_with_session":
        return None if result is want else f"{result!r} is not the message passed"
    if op == "__init__" and (gen.node_id, gen.source_idx, gen._error_counter) != (NODE, 3, 0):
        return f"state {vars(gen)!r}"
    return None if result == want else f"{result!r} != {want!r}"


@pytest.mark.parametrize("entry", ("call", "vectorcall"))
@pytest.mark.parametrize("values", (GOOD, BAD), ids=("good-values", "bad-values"))
@pytest.mark.parametrize("op_name", list(OPERATIONS))
def test_binder_agrees_with_model(op_name, values, entry):
    op = OPERATIONS[op_name]
    mismatches = []
    for n, keys in call_shapes(op):
        args = tuple(values[op.params[i]] if i < len(op.params) else "extra" for i in range(n))
        call = Call("class", op_name, args, tuple((key, values[key]) for key in keys))
        gen = LogIDGenerator(NODE, 3)
        outcome = call.predict(gen, model_entry(entry))
        try:
            result = perform(call, gen, entry)
        except Exception as exc:  # noqa: BLE001
            seen = (type(exc).__name__, str(exc))
            if outcome.ok or seen != (outcome.exc_type.__name__, outcome.message):
                mismatches.append(f"{call!r}: raised {seen}, model {outcome}")
            elif outcome.entry != any(name.startswith(ENTRY_PREFIX) for name in entry_names(exc)):
                mismatches.append(f"{call!r}: traceback entry {not outcome.entry}, model {outcome.entry}")
            continue
        if not outcome.ok:
            mismatches.append(f"{call!r}: returned {result!r}, model {outcome}")
            continue
        problem = body_problem(op_name, outcome.bound, result, gen)
        if problem:
            mismatches.append(f"{call!r}: {problem}")
    assert mismatches == []

