"""Executable model of the calling layer of LogIDGenerator's operations.

`predict` says what the binder does with one call shape: the exception type
and message it raises and whether the operation adds a traceback entry, or
the values its body receives.  `Call` describes a call the way a caller
writes it and can perform it through each entry of the function objects
(ordinary call, the generic call slot, the fast entry reached by hand), so
tables and generated shapes can be run against the module and the model
alike.
"""
from __future__ import annotations

import ctypes
import dataclasses
import re
from typing import Any, Optional

MODULE = "merrow_sdk.logging.trace_key"
ENTRY_PREFIX = MODULE + ".LogIDGenerator."


class _Omitted:
    def __repr__(self):
        return "<omitted>"


OMITTED = _Omitted()


@dataclasses.dataclass(frozen=True)
class Operation:
    name: str
    params: tuple
    required: int
    # (parameter, rule) in the order the type step applies them
    checks: tuple = ()
    default: Any = OMITTED
    static: bool = False

    @property
    def entry_name(self):
        return ENTRY_PREFIX + self.name

    @property
    def optional(self):
        return self.params[-1] if self.required < len(self.params) else None


OPERATIONS = {op.name: op for op in (
    Operation("__init__", ("self", "node_id", "source_idx"), 3,
              (("source_idx", "int"), ("node_id", "str"))),
    Operation("generate_session_id", ("self", "force"), 1,
              (("force", "truth"),), default=False),
    Operation("generate_error_id", ("self", "error_type"), 1,
              (("error_type", "str"),), default="GEN"),
    Operation("generate_event_id", ("self", "event_type"), 1,
              (("event_type", "str"),), default="EVT"),
    Operation("get_session_id", ("self",), 1),
    Operation("format_log_with_id", ("message", "trace_key"), 2,
              (("message", "str"), ("trace_key", "str")), static=True),
    Operation("format_log_with_session", ("self", "message"), 2,
              (("message", "str"),)),
)}


# --- messages -------------------------------------------------------------

_HEAPTYPE = 1 << 9


def tp_name(tp):
    """The name a type object records for itself (its C-level tp_name)."""
    if tp.__flags__ & _HEAPTYPE:
        return tp.__name__
    module = tp.__module__
    return tp.__name__ if module == "builtins" else f"{module}.{tp.__name__}"


def count_message(op, given):
    low, high = op.required, len(op.params)
    if low == high:
        word, count = "exactly", high
    elif given < low:
        word, count = "at least", low
    else:
        word, count = "at most", high
    plural = "" if count == 1 else "s"
    return (f"{op.name[:200]}() takes {word[:8]} {count} positional "
            f"argument{plural} ({given} given)")


def type_message(param, expected, value):
    return (f"Argument '{param[:200]}' has incorrect type "
            f"(expected {expected[:200]}, got {tp_name(type(value))[:200]})")


def multiple_message(op, key):
    return f"{op.name}() got multiple values for keyword argument '{str.__str__(key)}'"


def unexpected_message(op, key):
    return f"{op.name}() got an unexpected keyword argument '{str.__str__(key)}'"


@dataclasses.dataclass
class Outcome:
    """What a call shape leads to.  exc_type None means the body runs with
    `bound` (parameter name -> value after conversion)."""
    exc_type: Optional[type]
    message: Optional[str] = None
    entry: bool = False
    bound: Optional[dict] = None
    # an argument type error about a str subclass may carry one more sentence
    may_extend: bool = False
    exception: Optional[BaseException] = None

    @property
    def ok(self):
        return self.exc_type is None

    def matches_message(self, text):
        if not self.may_extend:
            return text == self.message
        return re.fullmatch(re.escape(self.message) + r"(?:\s+\S[^\n]*)?", text) is not None


class _Refused(Exception):
    def __init__(self, exc_type, message, entry, may_extend=False):
        super().__init__(message)
        self.outcome = Outcome(exc_type, message, entry, may_extend=may_extend)


# --- binding --------------------------------------------------------------

def _is_number(value):
    tp = type(value)
    return isinstance(value, complex) or any(
        hasattr(tp, slot) for slot in ("__int__", "__index__", "__float__"))


def _match(op, key, n):
    free, taken = op.params[n:], op.params[:n]
    if type(key) is str or isinstance(key, str):
        # exact text compares by value; a subclass answers through its own ==
        for name in free:
            if key == name:
                return name
        for name in taken:
            if key == name:
                raise _Refused(TypeError, multiple_message(op, key), True)
        raise _Refused(TypeError, unexpected_message(op, key), True)
    raise _Refused(TypeError, f"{op.name[:200]}() keywords must be strings", True)


def _bind(op, positional, keywords):
    n, params = len(positional), op.params
    if not keywords:
        if not op.required <= n <= len(params):
            raise _Refused(TypeError, count_message(op, n), True)
    elif n > len(params):
        raise _Refused(TypeError, count_message(op, n), True)
    slots = dict(zip(params, positional))
    for key, value in keywords:
        name = _match(op, key, n)
        if name in slots:
            # a str subclass equal to a name that an earlier keyword bound
            raise _Refused(TypeError, multiple_message(op, key), True)
        slots[name] = value
    if op.optional is not None and op.optional not in slots:
        slots[op.optional] = op.default
    for position in range(n, op.required):
        if params[position] not in slots:
            raise _Refused(TypeError, count_message(op, position), True)
    return slots


def _convert(param, rule, value):
    if rule == "str":
        if type(value) is not str:
            raise _Refused(TypeError, type_message(param, "str", value), False,
                           may_extend=isinstance(value, str))
        return value
    if rule == "int":
        if type(value) is int:
            return value
        if not _is_number(value):
            raise _Refused(TypeError, type_message(param, "int", value), True)
        return int(value)
    if value is None or value is False:
        return False
    if value is True:
        return True
    return bool(value)


def predict(op_name, positional, keywords=(), entry="vectorcall"):
    """Outcome of calling operation `op_name` with `positional` (the instance
    included, as the binder sees it) and `keywords`, a sequence of
    (name, value) pairs in call order.  `entry` "dict" stands for the paths
    that carry keywords in a dictionary (a call with ``**``, the generic
    call slot), which refuse non-text keys before the operation starts."""
    op = OPERATIONS[op_name]
    keywords = tuple(keywords)
    if entry == "dict" and not all(isinstance(key, str) for key, _ in keywords):
        return Outcome(TypeError, "keywords must be strings", False)
    try:
        bound = _bind(op, tuple(positional), keywords)
        for param, rule in op.checks:
            bound[param] = _convert(param, rule, bound[param])
    except _Refused as refused:
        return refused.outcome
    except Exception as raised:  # caller code (==, bool(), int()) raised
        return Outcome(type(raised), str(raised), True, exception=raised)
    return Outcome(None, bound=bound)


# --- call shapes ----------------------------------------------------------

class _Placeholder:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


G = _Placeholder("g")            # the generator under test
NEW = _Placeholder("<new>")      # a new instance that __init__ has not seen


def _short(value):
    if isinstance(value, str) and type(value) is not str:
        return f"{type(value).__name__}({str.__repr__(value)})"
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


@dataclasses.dataclass(frozen=True)
class Call:
    via: str          # "new": LogIDGenerator(...), "bound": g.op(...), "class": LogIDGenerator.op(...)
    op: str
    args: tuple = ()
    keywords: tuple = ()   # (name, value) pairs, names of any type

    def __repr__(self):
        head = {"new": "LogIDGenerator", "bound": f"g.{self.op}",
                "class": f"LogIDGenerator.{self.op}"}[self.via]
        parts = [_short(value) for value in self.args]
        if all(type(key) is str and key.isidentifier() for key, _ in self.keywords):
            parts += [f"{key}={_short(value)}" for key, value in self.keywords]
        elif self.keywords:
            inner = ", ".join(f"{_short(key)}: {_short(value)}" for key, value in self.keywords)
            parts.append("**{" + inner + "}")
        return f"{head}({', '.join(parts)})"

    def with_keywords(self, *pairs):
        return dataclasses.replace(self, keywords=self.keywords + tuple(pairs))

    def positional(self, g, fresh=None):
        """The positional values the binder is given."""
        args = tuple(_resolve(value, g, fresh) for value in self.args)
        if self.via == "new":
            return (fresh if fresh is not None else NEW,) + args
        if self.via == "bound" and not OPERATIONS[self.op].static:
            return (g,) + args
        return args

    def keyword_pairs(self, g, fresh=None):
        return tuple((key, _resolve(value, g, fresh)) for key, value in self.keywords)

    def predict(self, g, entry="vectorcall"):
        return predict(self.op, self.positional(g, NEW), self.keyword_pairs(g), entry)

    def as_class(self, instance=G):
        """The same call written on the class, `instance` standing for g."""
        args = tuple(instance if value is G else value for value in self.args)
        keywords = tuple((key, instance if value is G else value) for key, value in self.keywords)
        if self.via == "new":
            return Call("class", "__init__", (instance,) + args, keywords)
        if self.via == "bound" and not OPERATIONS[self.op].static:
            return Call("class", self.op, (instance,) + args, keywords)
        return Call("class", self.op, args, keywords)


def _resolve(value, g, fresh):
    if value is G:
        return g
    if value is NEW:
        return fresh
    return value


def new(*args, **keywords):
    return Call("new", "__init__", args, tuple(keywords.items()))


def bound(op, /, *args, **keywords):
    return Call("bound", op, args, tuple(keywords.items()))


def cls(op, /, *args, **keywords):
    return Call("class", op, args, tuple(keywords.items()))


def function_object(op_name):
    from merrow_sdk.logging.trace_key import LogIDGenerator
    attr = vars(LogIDGenerator)[op_name]
    return attr.__func__ if isinstance(attr, staticmethod) else attr


ENTRIES = ("call", "generic", "vectorcall", "vectorcall-offset")


def perform(call, g, entry="call"):
    """Make the call through `entry`: "call" as written, "generic" through
    the function type's call slot, "vectorcall" through the fast entry
    (optionally with the arguments-offset flag)."""
    from merrow_sdk.logging.trace_key import LogIDGenerator
    if entry == "call":
        args = tuple(_resolve(value, g, None) for value in call.args)
        keywords = dict(call.keyword_pairs(g))
        if call.via == "new":
            return LogIDGenerator(*args, **keywords)
        target = g if call.via == "bound" else LogIDGenerator
        return getattr(target, call.op)(*args, **keywords)
    fresh = LogIDGenerator.__new__(LogIDGenerator)
    func = function_object(call.op)
    positional = call.positional(g, fresh)
    pairs = call.keyword_pairs(g, fresh)
    if entry == "generic":
        result = type(func).__call__(func, *positional, **dict(pairs))
    else:
        result = vectorcall(func, positional, pairs, offset=entry == "vectorcall-offset")
    # a construction hands back the instance, as calling the class would
    return fresh if call.via == "new" and result is None else result


# --- the fast entry, reached by hand --------------------------------------

HAVE_VECTORCALL = 1 << 11
METHOD_DESCRIPTOR = 1 << 17
_WORD = ctypes.sizeof(ctypes.c_void_p)
_OFFSET_FLAG = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)
_VECTORCALLFUNC = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                                    ctypes.c_size_t, ctypes.c_void_p)


def _vectorcall_pointer(func):
    tp = type(func)
    if not tp.__flags__ & HAVE_VECTORCALL:
        raise TypeError(f"{tp_name(tp)} has no vectorcall entry")
    # tp_vectorcall_offset follows ob_size, tp_name, tp_basicsize,
    # tp_itemsize and tp_dealloc in the type object
    where = object.__basicsize__ + 5 * _WORD
    offset = ctypes.c_ssize_t.from_address(id(tp) + where).value
    return ctypes.c_void_p.from_address(id(func) + offset).value


def vectorcall(func, positional, keywords=(), offset=False):
    """Call `func` through its vectorcall function with keyword names of any
    type.  With `offset`, the arguments-offset flag is set and the slot in
    front of the arguments must be intact after the call."""
    pointer = _vectorcall_pointer(func)
    if not pointer:
        raise TypeError("vectorcall entry is NULL")
    entry = _VECTORCALLFUNC(pointer)
    values = tuple(positional) + tuple(value for _, value in keywords)
    before = object()
    array = (ctypes.py_object * (len(values) + 1))(before, *values)
    names = tuple(key for key, _ in keywords) or None
    nargs = len(positional) | (_OFFSET_FLAG if offset else 0)
    try:
        return entry(func, ctypes.addressof(array) + ctypes.sizeof(ctypes.py_object), nargs,
                     None if names is None else id(names))
    finally:
        if array[0] is not before:
            raise AssertionError("the slot in front of the arguments was not restored")
