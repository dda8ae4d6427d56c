"""Module globals are looked up as a function's globals are, at every call:
an error raised by the lookup itself (a key in the module's namespace whose
comparison raises) reaches the caller unchanged, as it would from plain
Python code, and leaves the generator as it was; and any change to the
namespace, the builtins or the global module shows in the next call."""
import builtins
import json
import subprocess
import sys
import textwrap
import threading
import types

import pytest

SCRIPT = """
import json, sys, traceback
import merrow_sdk.logging.trace_key as tk
from merrow_sdk.logging.trace_key import LogIDGenerator

name, call = sys.argv[1], sys.argv[2]


class Shadow:
    '''Hashes like the global it shadows; once armed, comparing raises.'''
    armed = False

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if Shadow.armed:
            raise LookupError("compared with " + repr(other))
        return NotImplemented


# The key takes the global's place in its probe sequence, so that a lookup
# of the global compares with it first.
namespace = vars(tk)
value = namespace.pop(name)
namespace[Shadow(name)] = None
namespace[name] = value

g = LogIDGenerator("camera-front-01", 3)


def outcome(fn):
    try:
        return ["returned", fn()]
    except Exception as exc:
        names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
        return [type(exc).__name__, str(exc), names.count(
            "merrow_sdk.logging.trace_key.LogIDGenerator." + call.split("(")[0])]


operation = {
    "__init__": lambda: LogIDGenerator("camera-front-01", 3) and None,
    "generate_session_id": g.generate_session_id,
}[call]
plain = eval("lambda: " + name, namespace)

Shadow.armed = True
native, python = outcome(operation), outcome(plain)
state = [g.get_session_id(), g._lock.locked()]
Shadow.armed = False
after = outcome(operation)
print(json.dumps([native, python[:2], state, after[0]]))
"""


@pytest.mark.parametrize("name, call", [("threading", "__init__"), ("uuid", "generate_session_id")])
def test_lookup_error_reaches_the_caller(name, call):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT), name, call],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    native, python, state, after = json.loads(proc.stdout.splitlines()[-1])
    message = "compared with " + repr(name)
    assert python == ["LookupError", message]
    assert native == ["LookupError", message, 1]
    assert state == [None, False]
    assert after == "returned"


class MarkerLock:
    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None


class ModuleWithGetattr(types.ModuleType):
    def __getattr__(self, name):
        return MarkerLock


def fake_module(**attributes):
    module = types.ModuleType("fake")
    vars(module).update(attributes)
    return module


# Each change after the globals have been looked up once: the next lookup
# must see it, however little changed.
GLOBAL_CHANGES = {
    "global rebound to an object": lambda tk, mp: mp.setattr(
        tk, "threading", types.SimpleNamespace(Lock=MarkerLock)),
    "global rebound to another module": lambda tk, mp: mp.setattr(
        tk, "threading", fake_module(Lock=MarkerLock)),
    "module's attribute replaced": lambda tk, mp: mp.setattr(tk.threading, "Lock", MarkerLock),
    "module's other attribute added": lambda tk, mp: (
        mp.setattr(tk.threading, "Unrelated", 1, raising=False),
        mp.setattr(tk.threading, "Lock", MarkerLock)),
    "global removed, builtins have it": lambda tk, mp: (
        mp.setattr(builtins, "threading", fake_module(Lock=MarkerLock), raising=False),
        mp.delattr(tk, "threading")),
    "module answering through __getattr__": lambda tk, mp: mp.setattr(
        tk, "threading", ModuleWithGetattr("fake")),
}


@pytest.mark.parametrize("change", GLOBAL_CHANGES.values(), ids=GLOBAL_CHANGES.keys())
def test_globals_follow_every_change_after_use(tk, monkeypatch, change):
    for _ in range(3):
        tk.LogIDGenerator("camera-front-01", 3)
    g = tk.LogIDGenerator("camera-front-01", 3)
    g.generate_session_id(True)
    namespace = list(vars(tk).items())
    try:
        with monkeypatch.context() as mp:
            change(tk, mp)
            assert type(tk.LogIDGenerator("camera-front-01", 3)._lock) is MarkerLock
            mp.setattr(tk.uuid, "uuid4", lambda: "0123abcd-uuid", raising=True)
            assert g.generate_session_id(True).endswith("-0123abcd")
    finally:  # in its order, which other tests read
        vars(tk).clear()
        vars(tk).update(namespace)
    assert type(tk.LogIDGenerator("camera-front-01", 3)._lock) is type(threading.Lock())
    assert g.generate_session_id(True) != g.generate_session_id(True)


# Changes no dictionary of the module or its namespace sees (a module's
# class, a class's dictionary, what a __getattribute__ or a module
# __getattr__ answers), between changes it does see: each after several
# calls, against the same lookups in plain Python.
SWAPS = """
import importlib, json, re, threading, types, uuid
import merrow_sdk.logging.trace_key as tk

namespace, real_lock, answer = vars(tk), threading.Lock, {"tag": "hooked"}
# Compiled afresh for each look: 3.14 and 3.15 specialise a warm
# `threading.Lock` to the module's dictionary and miss a class swapped in.
plain = lambda: eval("threading.Lock(), str(uuid.uuid4())[:8]", namespace)
g = tk.LogIDGenerator("camera-front-01", 3)


class Marked(str):  # stands in for Lock and uuid4 and for what they make
    def __call__(self):
        return self


class Prop(types.ModuleType):
    Lock = uuid4 = property(lambda self: Marked("prop"))


class Hooked(types.ModuleType):
    def __getattribute__(self, name):
        return Marked(answer["tag"]) if name in ("Lock", "uuid4") else super().__getattribute__(name)


def swap(cls):
    threading.__class__ = uuid.__class__ = cls


def rebind(lock_owner, uuid_owner, value):
    lock_owner.Lock = uuid_owner.uuid4 = value


stand_in = types.ModuleType("stand_in")
stand_in.__getattr__ = lambda name: Marked(answer["tag"])
CHANGES = {
    "class swapped, property": lambda: swap(Prop),
    "property replaced": lambda: rebind(Prop, Prop, property(lambda _: Marked("prop2"))),
    "class swapped back": lambda: swap(types.ModuleType),
    "class swapped, __getattribute__": lambda: swap(Hooked),
    "__getattribute__ answers anew": lambda: answer.update(tag="hooked2"),
    "class swapped back again": lambda: swap(types.ModuleType),
    "attributes rebound": lambda: rebind(threading, uuid, Marked("attr")),
    "uuid reloaded": lambda: importlib.reload(uuid),
    "Lock rebound to itself": lambda: setattr(threading, "Lock", real_lock),
    "globals rebound to a stand-in": lambda: namespace.update(threading=stand_in, uuid=stand_in),
    "module __getattr__ answers anew": lambda: answer.update(tag="getattr2"),
    "globals rebound to the modules": lambda: namespace.update(threading=threading, uuid=uuid),
}
report = []
for label, change in CHANGES.items():
    for _ in range(4):
        tk.LogIDGenerator("camera-front-01", 3), g.generate_session_id(True)
    change()
    ours = tk.LogIDGenerator("camera-front-01", 3)._lock, g.generate_session_id(True).rsplit("-", 1)[1]
    report.append([label] + [[lock if isinstance(lock, str) else type(lock).__name__,
                              re.sub("^[0-9a-f]{8}$", "random", short)] for lock, short in (ours, plain())])
print(json.dumps(report))
"""


def test_lookups_follow_changes_no_dictionary_sees(python):
    report = python(SWAPS).value
    assert [row for row in report if row[1] != row[2]] == []
    assert {tuple(row[2]) for row in report} >= {("prop", "prop"), ("hooked2", "hooked2"), ("lock", "random")}
