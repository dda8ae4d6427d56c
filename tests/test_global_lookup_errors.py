"""Module globals are looked up as a function's globals are: an error raised
by the lookup itself (a key in the module's namespace whose comparison
raises) reaches the caller unchanged, as it would from plain Python code,
and leaves the generator as it was."""
import json
import subprocess
import sys
import textwrap

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
