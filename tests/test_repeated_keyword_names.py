"""A keyword name given twice in one call. Python's call syntax refuses
that before any function runs; a keyword-name tuple made by C code reaches
the operation's fast entry as it is, and the binder must refuse it as the
executable model does: TypeError, the operation's own traceback entry, and
nothing done."""

import pytest

from calling_model import function_object, predict, vectorcall
from conftest import entry_names, qualified
from merrow_sdk.logging.trace_key import LogIDGenerator

SELF, NEW = object(), object()  # the generator; an instance __init__ has not seen

CASES = {
    "generate_session_id": ((SELF,), ("force", True), ("force", False)),
    "generate_error_id": ((SELF,), ("error_type", "A"), ("error_type", "B")),
    "generate_event_id": ((SELF,), ("event_type", "A"), ("event_type", "B")),
    "format_log_with_id": ((), ("message", "m"), ("trace_key", "k"), ("message", "m2")),
    "format_log_with_session": ((SELF,), ("message", "m"), ("message", "m2")),
    "__init__": ((NEW,), ("node_id", "a"), ("source_idx", 1), ("node_id", "b")),
}


def not_interned(text):
    # Equal to the parameter's name but another object: found by comparing.
    return "".join(list(text))


@pytest.mark.parametrize("second", [str, not_interned], ids=["same object", "equal text"])
@pytest.mark.parametrize("op", CASES, ids=CASES.keys())
def test_repeated_keyword_name_refused(op, second):
    g = LogIDGenerator("camera-node-01", 3)
    new = LogIDGenerator.__new__(LogIDGenerator)
    positional, *pairs = CASES[op]
    args = tuple(g if value is SELF else new if value is NEW else value for value in positional)
    repeated = pairs[-1][0]
    pairs[-1] = (second(repeated), pairs[-1][1])
    before = (dict(vars(g)), dict(vars(new)))

    with pytest.raises(TypeError) as info:
        vectorcall(function_object(op), args, pairs)

    expected = predict(op, args, pairs)
    assert (TypeError, str(info.value)) == (expected.exc_type, expected.message)
    assert str(info.value) == f"{op}() got multiple values for keyword argument '{repeated}'"
    assert entry_names(info.value).count(qualified(op)) == 1
    assert (vars(g), vars(new)) == before
    assert not g._lock.locked()
