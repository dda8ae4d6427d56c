"""Module namespace, class construction and the function objects' surface."""

import builtins
import importlib.machinery
import sys
import threading
import typing
import uuid

import pytest

from conftest import MODULE_NAME

MODULE_DOC = (
    "\nLog ID Generator Utility\n\nGenerates unique identifiers for tracking events, errors, "
    "and sessions across the logging system.\nHelps with correlation, debugging, and user support.\n"
)
ERROR_TYPE_DOC = "Common error type tokens for consistent error ID generation."
EVENT_TYPE_DOC = "Common event type tokens for consistent event ID generation."
GENERATOR_DOC = (
    "Generates unique log IDs for events, errors, and sessions.\n"
    "\n"
    "    Counters are protected by a reentrant lock so this class is safe to use\n"
    "    from multiple threads sharing the same instance.\n"
    "\n"
    "    Args:\n"
    "        node_id: Node/container ID string.\n"
    "        source_idx: Source/stream index.\n"
    "    "
)
SESSION_DOC = (
    "Generate a unique session ID for the stream lifecycle.\n"
    "\n"
    "        The ID is cached after the first call.  Subsequent calls return the\n"
    "        existing session ID unless ``force=True`` is passed.\n"
    "\n"
    "        Format: ``SES-<node_id[:8]>-<source_idx>-<short_uuid>``\n"
    "\n"
    "        Args:\n"
    "            force: Regenerate even if a session ID already exists.\n"
    "\n"
    "        Returns:\n"
    "            Session ID string.\n"
    "        "
)
ERROR_DOC = (
    "Generate a unique error ID for tracking a specific error occurrence.\n"
    "\n"
    "        Format: ``ERR-<error_type>-<node_id[:8]>-<source_idx>-<counter>``\n"
    "\n"
    "        Args:\n"
    "            error_type: Error type token, e.g. :attr:`ErrorType.FRAME_CAPTURE`.\n"
    "\n"
    "        Returns:\n"
    "            Error ID string.\n"
    "        "
)
EVENT_DOC = (
    "Generate a unique event ID for tracking a specific event.\n"
    "\n"
    "        Format: ``EVT-<event_type>-<node_id[:8]>-<source_idx>-<counter>``\n"
    "\n"
    "        Args:\n"
    "            event_type: Event type token, e.g. :attr:`EventType.START`.\n"
    "\n"
    "        Returns:\n"
    "            Event ID string.\n"
    "        "
)
GET_SESSION_DOC = "Return the current session ID, or ``None`` if not yet generated."
FORMAT_ID_DOC = (
    "Prepend a log ID tag to a message.\n"
    "\n"
    "        Args:\n"
    "            message: Original log message.\n"
    "            trace_key: Log ID string to prepend.\n"
    "\n"
    "        Returns:\n"
    "            Formatted message string.\n"
    "        "
)
FORMAT_SESSION_DOC = (
    "Prepend the current session ID tag to a message.\n"
    "\n"
    "        Returns the original message unchanged if no session has been started yet.\n"
    "\n"
    "        Args:\n"
    "            message: Original log message.\n"
    "\n"
    "        Returns:\n"
    "            Formatted message string.\n"
    "        "
)

# name, parameters, __defaults__, __annotations__ (in order), __doc__
METHODS = [
    ("__init__", ("self", "node_id", "source_idx"), None,
     [("node_id", "str"), ("source_idx", "int")], None),
    ("generate_session_id", ("self", "force"), (False,),
     [("force", "bool"), ("return", "str")], SESSION_DOC),
    ("generate_error_id", ("self", "error_type"), ("GEN",),
     [("error_type", "str"), ("return", "str")], ERROR_DOC),
    ("generate_event_id", ("self", "event_type"), ("EVT",),
     [("event_type", "str"), ("return", "str")], EVENT_DOC),
    ("get_session_id", ("self",), None,
     [("return", "Optional[str]")], GET_SESSION_DOC),
    ("format_log_with_id", ("message", "trace_key"), None,
     [("message", "str"), ("trace_key", "str"), ("return", "str")], FORMAT_ID_DOC),
    ("format_log_with_session", ("self", "message"), None,
     [("message", "str"), ("return", "str")], FORMAT_SESSION_DOC),
]
METHOD_IDS = [m[0] for m in METHODS]

CREATE_STEP_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def function_object(tk, name):
    raw = vars(tk.LogIDGenerator)[name]
    return raw.__func__ if name == "format_log_with_id" else raw


def class_model(name, doc, body):
    """What ``type`` makes of the namespace the module prepares, on this
    interpreter: fixes where ``type`` puts its own entries."""
    namespace = {"__module__": MODULE_NAME, "__qualname__": name, "__doc__": doc}
    namespace.update(body)
    return type(name, (), namespace)


# --------------------------------------------------------------------------
# Module object


def test_module_identity(tk):
    assert sys.modules[MODULE_NAME] is tk
    assert tk.__name__ == MODULE_NAME
    assert tk.__doc__ == MODULE_DOC
    import merrow_sdk.logging

    assert merrow_sdk.logging.trace_key is tk


def test_namespace_order_after_dunders(tk):
    keys = list(vars(tk))
    start = keys.index("__builtins__")
    assert keys[:2] == ["__name__", "__doc__"]
    assert set(keys[:start]) == CREATE_STEP_DUNDERS
    assert keys[start:] == [
        "__builtins__", "threading", "uuid", "Optional",
        "ErrorType", "EventType", "LogIDGenerator", "__test__",
    ]


def test_namespace_values(tk):
    ns = vars(tk)
    assert ns["__builtins__"] is builtins
    assert ns["threading"] is threading
    assert ns["uuid"] is uuid
    assert ns["Optional"] is typing.Optional
    assert type(ns["__test__"]) is dict
    assert ns["__test__"] == {}


def test_spec_attributes_copied(tk):
    spec = tk.__spec__
    assert spec.name == MODULE_NAME
    assert tk.__loader__ is spec.loader
    assert tk.__file__ == spec.origin
    assert tk.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert tk.__package__ == spec.parent == "merrow_sdk.logging"
    # not a package: no search locations, so no __path__
    assert "__path__" not in vars(tk)


# --------------------------------------------------------------------------
# Classes


@pytest.mark.parametrize("name, doc", [
    ("ErrorType", ERROR_TYPE_DOC),
    ("EventType", EVENT_TYPE_DOC),
    ("LogIDGenerator", GENERATOR_DOC),
])
def test_classes_are_ordinary(tk, name, doc):
    cls = getattr(tk, name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == MODULE_NAME
    assert cls.__doc__ == doc


def test_vars_of_error_type_order(tk, error_tokens):
    keys = list(vars(tk.ErrorType))
    assert keys[:16] == ["__module__", "__doc__"] + [n for n, _ in error_tokens]
    model = class_model("ErrorType", ERROR_TYPE_DOC, dict(error_tokens))
    assert keys == list(vars(model))


def test_vars_of_event_type_order(tk, event_tokens):
    keys = list(vars(tk.EventType))
    assert keys[:12] == ["__module__", "__doc__"] + [n for n, _ in event_tokens]
    model = class_model("EventType", EVENT_TYPE_DOC, dict(event_tokens))
    assert keys == list(vars(model))


def test_vars_of_generator_order(tk):
    keys = list(vars(tk.LogIDGenerator))
    assert keys[:9] == ["__module__", "__doc__"] + METHOD_IDS
    model = class_model("LogIDGenerator", GENERATOR_DOC, {m: None for m in METHOD_IDS})
    assert keys == list(vars(model))


def test_generator_instances_have_a_dict(g):
    assert isinstance(g.__dict__, dict)
    g.extra = 1
    assert vars(g)["extra"] == 1


def test_class_attributes_replaceable(tk, monkeypatch):
    monkeypatch.setattr(tk.EventType, "START", "BEGIN")
    assert tk.EventType.START == "BEGIN"
    monkeypatch.setattr(tk.LogIDGenerator, "extra", 5, raising=False)
    assert tk.LogIDGenerator("n", 1).extra == 5


# --------------------------------------------------------------------------
# Function objects


@pytest.mark.parametrize("name, params, defaults, annotations, doc", METHODS, ids=METHOD_IDS)
def test_function_object_surface(tk, name, params, defaults, annotations, doc):
    f = function_object(tk, name)
    assert f.__name__ == name
    assert f.__qualname__ == "LogIDGenerator." + name
    assert f.__module__ == MODULE_NAME
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == annotations
    assert all(type(v) is str for v in f.__annotations__.values())
    assert f.__doc__ == doc
    code = f.__code__
    assert code.co_name == name
    assert code.co_argcount == len(params)
    assert code.co_varnames[: len(params)] == params


def test_format_log_with_id_is_wrapped_in_staticmethod(tk, g):
    raw = vars(tk.LogIDGenerator)["format_log_with_id"]
    assert type(raw) is staticmethod
    assert tk.LogIDGenerator.format_log_with_id is raw.__func__
    assert g.format_log_with_id is raw.__func__


def test_token_defaults_are_the_class_values(tk):
    assert tk.LogIDGenerator.generate_error_id.__defaults__[0] is tk.ErrorType.GENERAL
    assert tk.LogIDGenerator.generate_event_id.__defaults__[0] is tk.EventType.GENERAL


def test_token_defaults_captured_at_class_definition(python):
    # Fresh interpreter: the defaults tuple must not have been requested
    # before the class attributes change.
    result = python("""
        import json
        from merrow_sdk.logging import trace_key as tk
        tk.ErrorType.GENERAL = "CHANGED"
        tk.EventType.GENERAL = "CHANGED"
        tk.ErrorType = tk.EventType = None
        f_err = tk.LogIDGenerator.generate_error_id
        f_evt = tk.LogIDGenerator.generate_event_id
        g = tk.LogIDGenerator("camera-front-01", 3)
        print(json.dumps([f_err.__defaults__, f_evt.__defaults__,
                          g.generate_error_id(), g.generate_event_id()]))
    """)
    assert result.value == [["GEN"], ["EVT"], "ERR-GEN-camera-f-3-1", "EVT-EVT-camera-f-3-1"]


def test_token_defaults_unaffected_in_process(tk, g, monkeypatch):
    monkeypatch.setattr(tk.ErrorType, "GENERAL", "OTHER")
    monkeypatch.setattr(tk.EventType, "GENERAL", "OTHER")
    assert tk.LogIDGenerator.generate_error_id.__defaults__ == ("GEN",)
    assert tk.LogIDGenerator.generate_event_id.__defaults__ == ("EVT",)
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-1"
    assert g.generate_event_id() == "EVT-EVT-camera-f-3-1"
