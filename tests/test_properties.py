"""Generated call shapes for every operation, by position, by keyword and
mixed, with values of many types, through every entry of the function
objects: each call returns or raises exactly what the executable model of
the calling layer (calling_model.py) predicts, and a call that binding
refuses changes nothing on the generator.

MERROW_HYPOTHESIS_PROFILE=thorough runs ten times as many examples.
"""
import os
import re
import traceback

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from calling_model import ENTRIES, ENTRY_PREFIX, G, OPERATIONS, Call, perform
from merrow_sdk.logging.trace_key import LogIDGenerator

settings.register_profile("quick", max_examples=200, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", parent=settings.get_profile("quick"), max_examples=2000)
PROFILE = settings.get_profile(os.environ.get("MERROW_HYPOTHESIS_PROFILE", "quick"))

NODE = "camera-node-01"
SESSION = re.compile(r"SES-camera-n-3-[0-9a-f]{8}\Z")


# --- values ---------------------------------------------------------------

class Named:
    def __repr__(self):
        return type(self).__name__ + "()"


class Text(str):
    def __repr__(self):
        return f"Text({str.__repr__(self)})"


class IntSub(int):
    pass


class BoolRaises(Named):
    def __bool__(self):
        raise LookupError("no truth here")


class IndexRaises(Named):
    def __index__(self):
        raise ArithmeticError("index refused")


class IntRaises(Named):
    def __int__(self):
        raise ZeroDivisionError("int refused")


class EqRaises(Named):
    def __eq__(self, other):
        raise KeyError("cannot compare")

    __hash__ = object.__hash__


class Falsy(Named):
    def __len__(self):
        return 0


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class KeyEqRaises(str):
    def __eq__(self, other):
        raise KeyError("cannot compare")

    __hash__ = str.__hash__


TEXTS = st.text(max_size=10)
VALUES = st.one_of(
    TEXTS,
    TEXTS.map(Text),
    st.integers(),
    st.integers(min_value=-(2 ** 80), max_value=2 ** 80).map(IntSub),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.none(),
    st.binary(max_size=4),
    st.sampled_from([BoolRaises(), IndexRaises(), IntRaises(), EqRaises(), Falsy(), Named(), 1j]),
    st.just(G),
)
# The instance slot: mostly the generator, now and then a value without
# any of its attributes (which no binding rule looks at).
SELF = st.one_of(st.just(G), st.just(G), st.sampled_from([None, 5, "x", b"b", 2.5]))


class Index(Named):
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Index({self.value})"

    def __index__(self):
        return self.value


# What each parameter accepts, to keep a good share of calls binding.
ACCEPTED = {
    "self": st.just(G),
    "source_idx": st.one_of(st.integers(), st.booleans(), st.integers().map(Index),
                            st.floats(allow_nan=False, allow_infinity=False)),
    "force": VALUES,
}
ODD_KEYS = st.one_of(
    st.sampled_from(["bogus", "Self", "node", AlwaysEqual("zz"), KeyEqRaises("qq"), Text("nope"),
                     7, b"message", None]),
    TEXTS,
)


def _identity(key):
    return str.__str__(key) if isinstance(key, str) else repr(key)


def may_bind_self(key):
    return isinstance(key, AlwaysEqual) or _identity(key) == "self"


def now_and_then(draw, times, of):
    return draw(st.sampled_from([False] * (of - times) + [True] * times))


def value_for(draw, name):
    if now_and_then(draw, 1, 6):
        return draw(SELF if name == "self" else VALUES)
    return draw(ACCEPTED.get(name, TEXTS))


@st.composite
def calls(draw, op_name):
    """A call written as a caller might: a positional prefix, keywords for
    some of the rest in any order, now and then extra values or names."""
    op = OPERATIONS[op_name]
    via = draw(st.sampled_from(["class", "bound"] + (["new"] if op_name == "__init__" else [])))
    implicit = via != "class" and not op.static
    n = draw(st.integers(int(implicit), len(op.params)))
    args = [value_for(draw, name) for name in op.params[implicit:n]]
    keywords = []
    for name in op.params[n:]:
        if not now_and_then(draw, 1, 6):
            key = draw(st.sampled_from([name, name, "".join(name), Text(name)]))
            keywords.append((key, value_for(draw, name)))
    keywords = list(draw(st.permutations(keywords)))
    if now_and_then(draw, 1, 8):
        args += draw(st.lists(VALUES, min_size=1, max_size=2))
    if now_and_then(draw, 1, 6):
        taken = {_identity(key) for key, _ in keywords}
        for key in draw(st.lists(ODD_KEYS, min_size=1, max_size=2, unique_by=_identity)):
            if _identity(key) not in taken:
                at = draw(st.integers(0, len(keywords)))
                keywords.insert(at, (key, draw(SELF if may_bind_self(key) else VALUES)))
    return Call(via, op_name, tuple(args), tuple(keywords))


def history(g, steps):
    if steps & 1:
        g.generate_session_id()
    for _ in range(steps >> 1):
        g.generate_error_id()
        g.generate_event_id()


# --- what a body that ran must have done ----------------------------------

FIRST_READ = {"__init__": "node_id", "generate_session_id": "_lock", "generate_error_id": "_lock",
              "generate_event_id": "_lock", "get_session_id": "_session_id",
              "format_log_with_session": "_session_id"}


def foreign_self_error(op, bound):
    """What the body raises on a self that holds none of the attributes;
    None when __init__ may give it them (an instance with a dictionary)."""
    target, name = bound["self"], FIRST_READ[op]
    try:
        if op == "__init__":
            setattr(target, name, bound[name])
            return None
        getattr(target, name)
    except AttributeError as exc:
        return AttributeError, str(exc)
    raise AssertionError(f"{target!r} has {name}")


def check_body(call, bound, result, g, before):
    """The result and state of a call that passed binding; `before` is the
    generator's state when the call was made."""
    op = call.op
    self = bound.get("self")
    if op == "__init__":
        target = g if self is g else result
        assert list(vars(target)) == ["node_id", "source_idx", "_session_id", "_error_counter",
                                      "_event_counter", "_lock"]
        assert target.node_id is bound["node_id"]
        assert type(target.source_idx) is int and target.source_idx == bound["source_idx"]
        assert (target._session_id, target._error_counter, target._event_counter) == (None, 0, 0)
        assert target._lock.locked() is False
        return
    node = before["node_id"][:8]
    if op == "generate_session_id":
        old = before["_session_id"]
        if old is not None and not bound["force"]:
            assert result is old
        else:
            assert SESSION.match(result) and result is not old
        assert g._session_id is result
    elif op in ("generate_error_id", "generate_event_id"):
        kind, counter, token = (("ERR", "_error_counter", "error_type") if op == "generate_error_id"
                                else ("EVT", "_event_counter", "event_type"))
        number = before[counter] + 1
        assert result == f"{kind}-{bound[token]}-{node}-3-{number}"
        assert getattr(g, counter) == number
    elif op == "get_session_id":
        assert result is before["_session_id"]
    elif op == "format_log_with_id":
        assert result == f"[{bound['trace_key']}] {bound['message']}"
    elif op == "format_log_with_session":
        session = before["_session_id"]
        if session is None:
            assert result is bound["message"]
        else:
            assert result == f"[{session}] {bound['message']}"
    assert g._lock.locked() is False


def has_entry(exc):
    return any(f.name.startswith(ENTRY_PREFIX) for f in traceback.extract_tb(exc.__traceback__))


def model_entry(entry):
    return "dict" if entry in ("call", "generic") else "vectorcall"


def run_against_model(call, entry, steps):
    g = LogIDGenerator(NODE, 3)
    history(g, steps)
    before = dict(vars(g))
    outcome = call.predict(g, model_entry(entry))
    try:
        result = perform(call, g, entry)
    except Exception as exc:  # noqa: BLE001 - compared with the model below
        raised = exc
    else:
        raised = None

    event(f"{'bound' if outcome.ok else outcome.exc_type.__name__} via {entry}")
    if not outcome.ok:
        assert raised is not None, f"returned {result!r}, model: {outcome}"
        assert type(raised) is outcome.exc_type, (raised, outcome)
        assert outcome.matches_message(str(raised)), (str(raised), outcome.message)
        assert has_entry(raised) == outcome.entry
        # refused before the body: the generator is untouched
        assert list(vars(g).items()) == list(before.items())
        assert all(vars(g)[name] is value for name, value in before.items())
        assert g._lock.locked() is False
        return

    bound = {name: g if value is G else value for name, value in outcome.bound.items()}
    self = bound.get("self", g)
    if self is not g and call.via != "new":
        expected = foreign_self_error(call.op, bound)
        if expected is None:
            assert raised is None and vars(self)["node_id"] is bound["node_id"], raised
            return
        assert raised is not None and (type(raised), str(raised)) == expected, (raised, expected)
        assert has_entry(raised)
        return
    assert raised is None, f"raised {raised!r}, model: {outcome}"
    if call.via == "new":
        bound["self"] = result
    check_body(call, bound, result, g, before)


@pytest.mark.parametrize("op_name", list(OPERATIONS))
@settings(PROFILE)
@given(data=st.data())
def test_call_matches_the_model(op_name, data):
    call = data.draw(calls(op_name), label="call")
    entry = data.draw(st.sampled_from(ENTRIES), label="entry")
    steps = data.draw(st.integers(0, 5), label="history")
    run_against_model(call, entry, steps)
