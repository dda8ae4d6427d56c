"""The seven function objects of LogIDGenerator as objects: their attributes,
what may be assigned to them, introspection, pickling and binding."""
import copy
import gc
import inspect
import pickle
import re
import types
import warnings
import weakref

import pytest

from calling_model import ENTRY_PREFIX, HAVE_VECTORCALL, METHOD_DESCRIPTOR, function_object
from merrow_sdk.logging import trace_key
from merrow_sdk.logging.trace_key import LogIDGenerator

MODULE = "merrow_sdk.logging.trace_key"

DOCS = {
    "__init__": None,
    "generate_session_id": "Generate a unique session ID for the stream lifecycle.\n\n        The ID is cached after the first call.  Subsequent calls return the\n        existing session ID unless ``force=True`` is passed.\n\n        Format: ``SES-<node_id[:8]>-<source_idx>-<short_uuid>``\n\n        Args:\n            force: Regenerate even if a session ID already exists.\n\n        Returns:\n            Session ID string.\n        ",
    "generate_error_id": "Generate a unique error ID for tracking a specific error occurrence.\n\n        Format: ``ERR-<error_type>-<node_id[:8]>-<source_idx>-<counter>``\n\n        Args:\n            error_type: Error type token, e.g. :attr:`ErrorType.FRAME_CAPTURE`.\n\n        Returns:\n            Error ID string.\n        ",
    "generate_event_id": "Generate a unique event ID for tracking a specific event.\n\n        Format: ``EVT-<event_type>-<node_id[:8]>-<source_idx>-<counter>``\n\n        Args:\n            event_type: Event type token, e.g. :attr:`EventType.START`.\n\n        Returns:\n            Event ID string.\n        ",
    "get_session_id": "Return the current session ID, or ``None`` if not yet generated.",
    "format_log_with_id": "Prepend a log ID tag to a message.\n\n        Args:\n            message: Original log message.\n            trace_key: Log ID string to prepend.\n\n        Returns:\n            Formatted message string.\n        ",
    "format_log_with_session": "Prepend the current session ID tag to a message.\n\n        Returns the original message unchanged if no session has been started yet.\n\n        Args:\n            message: Original log message.\n\n        Returns:\n            Formatted message string.\n        ",
}

FUNCTIONS = [
    # name, parameters, __defaults__, __annotations__, signature text
    ("__init__", ("self", "node_id", "source_idx"), None,
     {"node_id": "str", "source_idx": "int"},
     "(self, node_id: 'str', source_idx: 'int')"),
    ("generate_session_id", ("self", "force"), (False,),
     {"force": "bool", "return": "str"},
     "(self, force: 'bool' = False) -> 'str'"),
    ("generate_error_id", ("self", "error_type"), ("GEN",),
     {"error_type": "str", "return": "str"},
     "(self, error_type: 'str' = 'GEN') -> 'str'"),
    ("generate_event_id", ("self", "event_type"), ("EVT",),
     {"event_type": "str", "return": "str"},
     "(self, event_type: 'str' = 'EVT') -> 'str'"),
    ("get_session_id", ("self",), None,
     {"return": "Optional[str]"},
     "(self) -> 'Optional[str]'"),
    ("format_log_with_id", ("message", "trace_key"), None,
     {"message": "str", "trace_key": "str", "return": "str"},
     "(message: 'str', trace_key: 'str') -> 'str'"),
    ("format_log_with_session", ("self", "message"), None,
     {"message": "str", "return": "str"},
     "(self, message: 'str') -> 'str'"),
]
NAMES = [row[0] for row in FUNCTIONS]
INSTANCE_METHODS = [name for name in NAMES if name != "format_log_with_id"]


def by_name(table):
    return [pytest.param(*row, id=row[0]) for row in table]


@pytest.fixture(autouse=True)
def restore_functions():
    """The function objects live as long as the class: put back whatever a
    test assigned."""
    saved = {}
    for name in NAMES:
        f = function_object(name)
        saved[name] = (f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__defaults__,
                       f.__kwdefaults__, f.__annotations__, f.__dict__, dict(f.__dict__))
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, (fname, qualname, doc, module, defaults, kwdefaults,
                   annotations, attrs, attrs_copy) in saved.items():
            f = function_object(name)
            f.__name__, f.__qualname__, f.__doc__, f.__module__ = fname, qualname, doc, module
            f.__defaults__, f.__kwdefaults__, f.__annotations__ = defaults, kwdefaults, annotations
            attrs.clear()
            attrs.update(attrs_copy)
            f.__dict__ = attrs


@pytest.fixture
def g():
    return LogIDGenerator("camera-node-01", 3)


class Text(str):
    pass


class Tuple(tuple):
    pass


class Dict(dict):
    pass


def warnings_of(action):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        action()
    return [w for w in caught if issubclass(w.category, RuntimeWarning)]


# --- what reading gives ---------------------------------------------------

@pytest.mark.parametrize("name, params, defaults, annotations, signature", by_name(FUNCTIONS))
def test_attributes_as_built(name, params, defaults, annotations, signature):
    f = function_object(name)
    assert (f.__name__, f.func_name) == (name, name)
    assert f.__qualname__ == "LogIDGenerator." + name
    assert f.__module__ == MODULE
    assert f.__doc__ == DOCS[name] and f.func_doc == DOCS[name]
    assert f.__defaults__ == defaults and f.func_defaults == defaults
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == annotations
    assert all(type(value) is str for value in f.__annotations__.values())
    assert f.__annotations__ is f.__annotations__
    assert f.__closure__ is None and f.func_closure is None
    assert f._is_coroutine is False


@pytest.mark.parametrize("name", NAMES)
def test_globals_is_the_module_namespace(name):
    f = function_object(name)
    assert f.__globals__ is vars(trace_key)
    assert f.func_globals is vars(trace_key)


@pytest.mark.parametrize("name, params, defaults, annotations, signature", by_name(FUNCTIONS))
def test_code_object_matches_the_parameters(name, params, defaults, annotations, signature):
    f = function_object(name)
    code = f.__code__
    assert f.func_code is code and f.__code__ is code
    assert isinstance(code, types.CodeType)
    assert code.co_name == name
    assert code.co_argcount == len(params)
    assert code.co_varnames[:len(params)] == params
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_nlocals >= len(params)
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0


@pytest.mark.parametrize("name", NAMES)
def test_all_share_one_function_type(name):
    f = function_object(name)
    assert type(f) is type(function_object("__init__"))
    assert type(f).__flags__ & HAVE_VECTORCALL
    assert type(f).__flags__ & METHOD_DESCRIPTOR
    assert callable(f)


# --- inspection -----------------------------------------------------------

@pytest.mark.parametrize("name, params, defaults, annotations, signature", by_name(FUNCTIONS))
def test_signature_of_the_function(name, params, defaults, annotations, signature):
    sig = inspect.signature(function_object(name))
    assert str(sig) == signature
    assert tuple(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.parametrize("name, params, defaults, annotations, signature", by_name(FUNCTIONS))
def test_signature_through_an_instance(g, name, params, defaults, annotations, signature):
    sig = inspect.signature(getattr(g, name))
    if name == "format_log_with_id":
        assert str(sig) == signature
    else:
        assert str(sig) == signature.replace("(self, ", "(").replace("(self)", "()")


def test_signature_of_the_class():
    assert str(inspect.signature(LogIDGenerator)) == "(node_id: 'str', source_idx: 'int')"


@pytest.mark.parametrize("name", NAMES)
def test_not_a_coroutine_function(name):
    import asyncio
    f = function_object(name)
    assert not inspect.iscoroutinefunction(f)
    assert not asyncio.iscoroutinefunction(f)


@pytest.mark.parametrize("name", NAMES)
def test_repr_names_type_qualname_and_address(name):
    f = function_object(name)
    text = repr(f)
    assert type(f).__name__ in text
    assert "LogIDGenerator." + name in text
    numbers = [int(token, 16) for token in re.findall(r"\b(?:0x)?([0-9a-fA-F]+)\b", text)]
    assert id(f) in numbers, text


# --- pickling and copying: by reference -----------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_reduce_gives_the_qualname(name):
    assert function_object(name).__reduce__() == "LogIDGenerator." + name


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", NAMES)
def test_pickle_round_trip_is_the_same_object(name, protocol):
    f = function_object(name)
    data = pickle.dumps(f, protocol)
    assert b"trace_key" in data
    assert pickle.loads(data) is f


@pytest.mark.parametrize("name", NAMES)
def test_copy_is_the_same_object(name):
    f = function_object(name)
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f


# --- assignment -----------------------------------------------------------

ASSIGNMENTS = [
    # attribute, value assigned, value read back afterwards
    ("__name__", "renamed", "renamed"),
    ("__name__", Text("renamed"), Text("renamed")),
    ("func_name", "renamed", "renamed"),
    ("__qualname__", "Other.renamed", "Other.renamed"),
    ("__qualname__", Text("Other.renamed"), Text("Other.renamed")),
    ("__doc__", "new doc", "new doc"),
    ("__doc__", 5, 5),
    ("__doc__", None, None),
    ("func_doc", ["any", "value"], ["any", "value"]),
    ("__module__", "elsewhere", "elsewhere"),
    ("__module__", 5, 5),
    ("__annotations__", {"x": "int"}, {"x": "int"}),
    ("__annotations__", Dict(y="str"), {"y": "str"}),
]


@pytest.mark.parametrize("attr, value, read_back", ASSIGNMENTS, ids=repr)
@pytest.mark.parametrize("name", ["generate_error_id", "format_log_with_id"])
def test_assignment_accepted(name, attr, value, read_back):
    f = function_object(name)
    assert warnings_of(lambda: setattr(f, attr, value)) == []
    assert getattr(f, attr) == read_back
    if attr.startswith("func_"):
        assert getattr(f, "__" + attr[5:] + "__") == read_back


REFUSED_ASSIGNMENTS = [
    ("__name__", 5, "__name__ must be set to a string object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("__name__", b"name", "__name__ must be set to a string object"),
    ("func_name", 5, "__name__ must be set to a string object"),
    ("__qualname__", 5, "__qualname__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__defaults__", ["X"], "__defaults__ must be set to a tuple object"),
    ("__defaults__", "X", "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", [], "__kwdefaults__ must be set to a dict object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", 5, "__annotations__ must be set to a dict object"),
    ("__annotations__", [("x", "int")], "__annotations__ must be set to a dict object"),
]


@pytest.mark.parametrize("attr, value, message", REFUSED_ASSIGNMENTS, ids=repr)
@pytest.mark.parametrize("name", ["generate_error_id", "get_session_id"])
def test_assignment_refused_without_warning(name, attr, value, message):
    f = function_object(name)
    before = getattr(f, attr)
    caught = []

    def assign():
        with pytest.raises(TypeError) as excinfo:
            setattr(f, attr, value)
        assert str(excinfo.value) == message

    caught = warnings_of(assign)
    assert caught == []
    assert getattr(f, attr) == before


@pytest.mark.parametrize("attr, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
])
def test_deleting_a_name_refused(attr, message):
    f = function_object("generate_event_id")
    with pytest.raises(TypeError) as excinfo:
        delattr(f, attr)
    assert str(excinfo.value) == message
    assert getattr(f, attr).endswith("generate_event_id")


DEFAULTS_ASSIGNMENTS = [
    # attribute, value, value read back
    ("__defaults__", ("X",), ("X",)),
    ("__defaults__", Tuple(("X",)), ("X",)),
    ("__defaults__", None, None),
    ("func_defaults", ("Y",), ("Y",)),
    ("__kwdefaults__", {"error_type": "K"}, {"error_type": "K"}),
    ("__kwdefaults__", Dict(), {}),
    ("__kwdefaults__", None, None),
]


@pytest.mark.parametrize("attr, value, read_back", DEFAULTS_ASSIGNMENTS, ids=repr)
def test_defaults_assignment_warns_and_is_reported(attr, value, read_back):
    f = function_object("generate_error_id")
    caught = warnings_of(lambda: setattr(f, attr, value))
    named = "__kwdefaults__" if "kwdefaults" in attr else "__defaults__"
    assert len(caught) == 1
    assert named in str(caught[0].message)
    assert getattr(f, attr) == read_back


@pytest.mark.parametrize("attr", ["__doc__", "__defaults__", "__kwdefaults__"])
def test_deletion_sets_none(attr):
    f = function_object("generate_error_id")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        delattr(f, attr)
    assert getattr(f, attr) is None


DEFAULTS_DO_NOT_REACH_CALLS = [
    # function, assigned __defaults__, call, expected result
    ("generate_error_id", ("X",), lambda g: g.generate_error_id(), "ERR-GEN-camera-n-3-1"),
    ("generate_error_id", None, lambda g: g.generate_error_id(), "ERR-GEN-camera-n-3-1"),
    ("generate_event_id", ("X",), lambda g: g.generate_event_id(), "EVT-EVT-camera-n-3-1"),
    ("generate_event_id", (), lambda g: LogIDGenerator.generate_event_id(self=g), "EVT-EVT-camera-n-3-1"),
]


@pytest.mark.parametrize("name, defaults, call, expected", DEFAULTS_DO_NOT_REACH_CALLS, ids=repr)
def test_defaults_assignment_does_not_change_calls(g, name, defaults, call, expected):
    f = function_object(name)
    with pytest.warns(RuntimeWarning):
        f.__defaults__ = defaults
    assert f.__defaults__ == defaults
    assert call(g) == expected


def test_force_default_stays_false_after_defaults_assignment(g):
    f = function_object("generate_session_id")
    with pytest.warns(RuntimeWarning):
        f.__defaults__ = (True,)
    old = g.generate_session_id()
    assert g.generate_session_id() is old


def test_kwdefaults_assignment_does_not_change_calls(g):
    f = function_object("generate_error_id")
    with pytest.warns(RuntimeWarning):
        f.__kwdefaults__ = {"error_type": "K"}
    assert g.generate_error_id() == "ERR-GEN-camera-n-3-1"
    f = function_object("format_log_with_id")
    with pytest.warns(RuntimeWarning):
        f.__kwdefaults__ = {"trace_key": "K"}
    with pytest.raises(TypeError) as excinfo:
        LogIDGenerator.format_log_with_id("m")
    assert str(excinfo.value) == "format_log_with_id() takes exactly 2 positional arguments (1 given)"


@pytest.mark.parametrize("attr, value", [("__name__", "x"), ("__qualname__", "Other.x"), ("__name__", Text("y"))])
def test_renaming_changes_neither_messages_nor_entries(g, attr, value):
    setattr(function_object("get_session_id"), attr, value)
    with pytest.raises(TypeError) as excinfo:
        g.get_session_id(1)
    assert str(excinfo.value) == "get_session_id() takes exactly 1 positional argument (2 given)"
    tb = excinfo.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == ENTRY_PREFIX + "get_session_id"


@pytest.mark.parametrize("clear", [
    lambda f: setattr(f, "__annotations__", None),
    lambda f: delattr(f, "__annotations__"),
], ids=["none", "del"])
@pytest.mark.parametrize("name", ["generate_error_id", "__init__", "format_log_with_id"])
def test_cleared_annotations_read_as_one_new_empty_dict(name, clear):
    f = function_object(name)
    original = f.__annotations__
    clear(f)
    first = f.__annotations__
    assert first == {} and first is not original
    assert f.__annotations__ is first
    first["later"] = "int"
    assert f.__annotations__ == {"later": "int"}
    assert original != {}


def test_annotations_dict_is_kept_not_copied():
    f = function_object("generate_event_id")
    mine = {"event_type": "Token"}
    f.__annotations__ = mine
    assert f.__annotations__ is mine
    assert str(inspect.signature(f)) == "(self, event_type: 'Token' = 'EVT')"


READ_ONLY = ["__globals__", "func_globals", "__closure__", "func_closure",
             "__code__", "func_code", "_is_coroutine"]


@pytest.mark.parametrize("attr", READ_ONLY)
def test_read_only_attributes(attr):
    f = function_object("generate_error_id")
    before = getattr(f, attr)
    with pytest.raises(AttributeError):
        setattr(f, attr, (lambda: None).__code__ if "code" in attr else {})
    with pytest.raises(AttributeError):
        delattr(f, attr)
    assert getattr(f, attr) is before


# --- the attribute dictionary ---------------------------------------------

def test_dict_holds_arbitrary_attributes():
    f = function_object("generate_error_id")
    f.custom = [1, 2]
    assert f.__dict__["custom"] == [1, 2]
    assert f.func_dict is f.__dict__
    assert vars(f) is f.__dict__
    del f.custom
    assert "custom" not in f.__dict__
    with pytest.raises(AttributeError):
        f.custom


def test_dict_entries_do_not_shadow_the_attributes():
    f = function_object("generate_error_id")
    f.__dict__["__name__"] = "shadow"
    f.__dict__["__defaults__"] = ("shadow",)
    assert f.__name__ == "generate_error_id"
    assert f.__defaults__ == ("GEN",)


def test_dict_replaced_by_generic_rules():
    f = function_object("format_log_with_session")
    replacement = {"marker": 1}
    f.__dict__ = replacement
    assert f.__dict__ is replacement and f.marker == 1
    with pytest.raises(TypeError) as excinfo:
        f.__dict__ = 5
    assert str(excinfo.value) == "__dict__ must be set to a dictionary, not a 'int'"
    with pytest.raises(TypeError) as excinfo:
        del f.__dict__
    assert str(excinfo.value) == "cannot delete __dict__"


# --- binding as class attributes ------------------------------------------

@pytest.mark.parametrize("name", INSTANCE_METHODS)
def test_instance_access_binds(g, name):
    f = function_object(name)
    method = getattr(g, name)
    assert type(method) is types.MethodType
    assert method.__func__ is f and method.__self__ is g
    assert getattr(LogIDGenerator, name) is f
    assert f.__get__(None, LogIDGenerator) is f
    for made in (f.__get__(g), f.__get__(g, LogIDGenerator)):
        assert type(made) is types.MethodType and made.__func__ is f and made.__self__ is g


def test_binding_to_any_object():
    holder = types.SimpleNamespace(_session_id="held")
    assert function_object("get_session_id").__get__(holder)() == "held"


def test_static_function_never_binds(g):
    f = function_object("format_log_with_id")
    assert type(vars(LogIDGenerator)["format_log_with_id"]) is staticmethod
    assert vars(LogIDGenerator)["format_log_with_id"].__func__ is f
    assert LogIDGenerator.format_log_with_id is f
    assert g.format_log_with_id is f
    assert g.format_log_with_id("m", "k") == LogIDGenerator.format_log_with_id("m", "k") == "[k] m"


@pytest.mark.parametrize("call", [
    lambda f, g: f(g, error_type="X"),
    lambda f, g: type(f).__call__(f, g, error_type="X"),
    lambda f, g: type(f).__call__(f, self=g, error_type="X"),
    lambda f, g: f.__get__(g)(error_type="X"),
], ids=["call", "slot", "slot-all-keywords", "bound"])
def test_generic_entry_binds_like_the_call(call):
    gen = LogIDGenerator("camera-node-01", 3)
    assert call(function_object("generate_error_id"), gen) == "ERR-X-camera-n-3-1"


# --- garbage collection ---------------------------------------------------

class Holder:
    pass


@pytest.mark.parametrize("name", ["generate_error_id", "format_log_with_id"])
def test_cycle_through_the_attribute_dictionary_is_collected(name):
    f = function_object(name)
    holder = Holder()
    holder.function, holder.me = f, holder
    f.holder = holder
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is not None
    del f.holder
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("attr, value", [
    ("__dict__", {"x": []}),
    ("__annotations__", {"x": []}),
    ("__defaults__", ([],)),
    ("__kwdefaults__", {"x": []}),
    ("__doc__", []),
    ("__module__", []),
], ids=lambda v: v if isinstance(v, str) else "")
def test_traverse_visits_what_the_function_holds(attr, value):
    f = function_object("generate_event_id")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        setattr(f, attr, value)
    assert gc.is_tracked(f)
    assert any(ref is value for ref in gc.get_referents(f))
