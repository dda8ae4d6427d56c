"""The error and event token vocabularies."""

import pytest

# What every class gets from the interpreter besides its body.
CLASS_MACHINERY = {"__module__", "__doc__", "__dict__", "__weakref__", "__qualname__"}


def test_error_token(tk, error_token):
    attribute, value = error_token
    token = getattr(tk.ErrorType, attribute)
    assert type(token) is str
    assert token == value


def test_event_token(tk, event_token):
    attribute, value = event_token
    token = getattr(tk.EventType, attribute)
    assert type(token) is str
    assert token == value


@pytest.mark.parametrize("cls_name, table", [
    ("ErrorType", "error_tokens"),
    ("EventType", "event_tokens"),
])
def test_no_attributes_beyond_the_tokens(tk, request, cls_name, table):
    tokens = request.getfixturevalue(table)
    own = set(vars(getattr(tk, cls_name))) - CLASS_MACHINERY
    assert own == {name for name, _ in tokens}


def test_general_tokens_differ_between_kinds(tk):
    assert tk.ErrorType.GENERAL == "GEN"
    assert tk.EventType.GENERAL == "EVT"


def test_shortened_values(tk):
    assert tk.ErrorType.FRAME_CAPTURE == "FRAME"
    assert tk.EventType.FRAME_RECEIVED == "FRAME_RX"


@pytest.mark.parametrize("cls_name", ["ErrorType", "EventType"])
def test_tokens_are_class_attributes_not_properties(tk, cls_name):
    cls = getattr(tk, cls_name)
    instance = cls()
    # plain constants: the same object through the class and an instance
    for name, value in vars(cls).items():
        if not name.startswith("__"):
            assert getattr(instance, name) is value


def test_reassignment_seen_by_later_readers(tk, g, monkeypatch):
    monkeypatch.setattr(tk.ErrorType, "FRAME_CAPTURE", "FRAME2")
    assert g.generate_error_id(tk.ErrorType.FRAME_CAPTURE) == "ERR-FRAME2-camera-f-3-1"


def test_extension_is_possible(tk, monkeypatch):
    monkeypatch.setattr(tk.EventType, "CUSTOM", "CUST", raising=False)
    assert tk.EventType.CUSTOM == "CUST"


@pytest.mark.parametrize("operation, cls_name, prefix, counter", [
    ("generate_error_id", "ErrorType", "ERR", "_error_counter"),
    ("generate_event_id", "EventType", "EVT", "_event_counter"),
])
def test_every_token_makes_an_identifier(tk, g, operation, cls_name, prefix, counter, request):
    tokens = request.getfixturevalue("error_tokens" if cls_name == "ErrorType" else "event_tokens")
    make = getattr(g, operation)
    got = [make(getattr(getattr(tk, cls_name), name)) for name, _ in tokens]
    assert got == [f"{prefix}-{value}-camera-f-3-{i}" for i, (_, value) in enumerate(tokens, 1)]
    assert getattr(g, counter) == len(tokens)
