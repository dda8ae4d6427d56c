"""Edges of the function objects: an assignment the caller's warning filter
refuses, and weak references to a function that is freed."""
import json
import subprocess
import sys
import textwrap
import warnings

import pytest

from calling_model import function_object


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", ("X",)),
    ("func_defaults", None),
    ("__kwdefaults__", {"error_type": "K"}),
    ("__kwdefaults__", None),
])
def test_assignment_refused_when_the_warning_is_an_error(g, attr, value):
    f = function_object("generate_error_id")
    before = getattr(f, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning) as info:
            setattr(f, attr, value)
        with pytest.raises(RuntimeWarning):
            delattr(f, attr)
    assert "will not currently affect the values used in function calls" in str(info.value)
    # refused: what is reported stays as it was, and so do calls
    assert getattr(f, attr) == before
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-1"


FREED = """
import gc, json, weakref
from merrow_sdk.logging.trace_key import LogIDGenerator

results = {}
for name in ("generate_error_id", "format_log_with_id"):
    entry = vars(LogIDGenerator)[name]
    function = entry.__func__ if isinstance(entry, staticmethod) else entry
    called = []
    ref = weakref.ref(function, called.append)
    proxy = weakref.proxy(function)
    delattr(LogIDGenerator, name)
    del entry, function
    gc.collect()
    try:
        proxy.__name__
        proxy_alive = True
    except ReferenceError:
        proxy_alive = False
    results[name] = [ref() is None, called == [ref], proxy_alive, hasattr(LogIDGenerator, name)]
g = LogIDGenerator("camera-front-01", 3)
print(json.dumps([results, g.generate_event_id()]))
"""


def test_weak_references_cleared_when_a_function_is_freed():
    # in a fresh interpreter: the functions are taken out of the class
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(FREED)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    results, event = json.loads(proc.stdout.splitlines()[-1])
    assert results == {"generate_error_id": [True, True, False, False],
                       "format_log_with_id": [True, True, False, False]}
    assert event == "EVT-EVT-camera-f-3-1"
