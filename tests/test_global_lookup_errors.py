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
