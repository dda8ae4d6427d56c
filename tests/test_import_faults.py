"""Imports under faults, each in a fresh interpreter: a dependency that is
blocked (None in sys.modules) or broken (a module object whose attribute
access raises) when the module is imported, failed imports tried again,
warnings turned into errors. Each fault gives the exception its failure
table names, the same on every attempt, and the process never crashes.
"""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

PRELUDE = """
import importlib, json, sys, traceback, types
import threading, uuid, typing

REAL = {name: sys.modules[name] for name in ("threading", "uuid", "typing")}


class Broken(types.ModuleType):
    '''A module whose every attribute access raises, bar what the
    interpreter reads straight from the object.'''

    def __init__(self, name, only=None, error=RuntimeError):
        super().__init__(name)
        vars(self).update(only=only, error=error)

    def __getattribute__(self, name):
        # The import system itself reads __spec__ of a sys.modules entry
        # (3.13 lets that error out); only what the module reads is broken.
        if name in ("__dict__", "__class__", "__spec__"):
            return object.__getattribute__(self, name)
        state = object.__getattribute__(self, "__dict__")
        if state["only"] in (None, name):
            raise state["error"]("broken " + state["__name__"])
        return getattr(REAL.get(state["__name__"], object()), name)


def failure(exc, entry):
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    return [type(exc).__name__, str(exc), names.count(entry)]


def attempt(name, entry):
    try:
        importlib.import_module(name)
    except Exception as exc:
        return failure(exc, entry), name in sys.modules
    return None, True


def smoke(tk):
    g = tk.LogIDGenerator("camera-front-01", 3)
    return [g.generate_error_id(), g.generate_event_id(), len(g.generate_session_id())]


SMOKE = ["ERR-GEN-camera-f-3-1", "EVT-EVT-camera-f-3-1", 23]
"""

TRACE_KEY = "merrow_sdk.logging.trace_key"
TRACE_KEY_ENTRY = "init merrow_sdk.logging.trace_key"
SMOKE = ["ERR-GEN-camera-f-3-1", "EVT-EVT-camera-f-3-1", 23]
CANNOT_IMPORT = "cannot import name Optional"


def run(code, *options):
    env = dict(os.environ)
    for name in ("PYTHONWARNINGS", "PYTHONDEVMODE"):
        env.pop(name, None)
    proc = subprocess.run([sys.executable, *options, "-c", PRELUDE + textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=300)
    # a negative code is a signal: the interpreter crashed
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


# fault installed in sys.modules under `typing` -> what the import raises
TYPING_FAULTS = {
    "blocked": ("None", ["ModuleNotFoundError", "import of typing halted; None in sys.modules", 1]),
    "broken": ("Broken('typing')", ["RuntimeError", "broken typing", 1]),
    "optional-raises": ("Broken('typing', only='Optional')", ["ImportError", CANNOT_IMPORT, 1]),
    "no-attributes": ("Broken('typing', error=AttributeError)", ["ImportError", CANNOT_IMPORT, 1]),
}


@pytest.mark.parametrize("fault, expected", TYPING_FAULTS.values(), ids=TYPING_FAULTS.keys())
def test_faulty_typing_fails_every_attempt_until_repaired(fault, expected):
    result, stderr = run(f"""
        sys.modules["typing"] = {fault}
        tries = [attempt({TRACE_KEY!r}, {TRACE_KEY_ENTRY!r}) for _ in range(3)]
        sys.modules["typing"] = REAL["typing"]
        import merrow_sdk.logging.trace_key as tk
        print(json.dumps([tries, tk.Optional is typing.Optional, smoke(tk)]))
    """)
    # the module is not left registered after a failure
    assert result == [[[expected, False]] * 3, True, SMOKE]
    assert "Exception ignored" not in stderr


def test_different_faults_in_a_row_then_success():
    result, _ = run(f"""
        outcomes = []
        for fault in (None, Broken("typing"), Broken("typing", only="Optional"), None):
            sys.modules["typing"] = fault
            outcomes.append(attempt({TRACE_KEY!r}, {TRACE_KEY_ENTRY!r})[0][:2])
        sys.modules["typing"] = REAL["typing"]
        import merrow_sdk.logging.trace_key as tk
        again = importlib.import_module({TRACE_KEY!r})
        print(json.dumps([outcomes, again is tk, smoke(tk)]))
    """)
    halted = ["ModuleNotFoundError", "import of typing halted; None in sys.modules"]
    assert result == [[halted, ["RuntimeError", "broken typing"], ["ImportError", CANNOT_IMPORT], halted],
                      True, SMOKE]


def test_broken_threading_at_import_fails_construction_only():
    result, stderr = run("""
        sys.modules["threading"] = Broken("threading")
        import merrow_sdk.logging.trace_key as tk
        sys.modules["threading"] = REAL["threading"]
        g = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
        try:
            g.__init__("camera-front-01", 3)
            raised = None
        except RuntimeError as exc:
            raised = failure(exc, "merrow_sdk.logging.trace_key.LogIDGenerator.__init__")
        bound_broken = isinstance(tk.threading, Broken)
        tk.threading = REAL["threading"]
        print(json.dumps([raised, list(vars(g)), bound_broken, smoke(tk)]))
    """)
    assert result == [["RuntimeError", "broken threading", 1],
                      ["node_id", "source_idx", "_session_id", "_error_counter", "_event_counter"],
                      True, SMOKE]
    assert "Exception ignored" not in stderr


def test_broken_uuid_at_import_fails_sessions_only():
    result, _ = run("""
        sys.modules["uuid"] = Broken("uuid")
        import merrow_sdk.logging.trace_key as tk
        sys.modules["uuid"] = REAL["uuid"]
        g = tk.LogIDGenerator("camera-front-01", 3)
        try:
            g.generate_session_id()
            raised = None
        except RuntimeError as exc:
            raised = failure(exc, "merrow_sdk.logging.trace_key.LogIDGenerator.generate_session_id")
        after = [g.get_session_id(), g._lock.locked(), g.generate_error_id()]
        tk.uuid = REAL["uuid"]
        print(json.dumps([raised, after, len(g.generate_session_id())]))
    """)
    assert result == [["RuntimeError", "broken uuid", 1], [None, False, "ERR-GEN-camera-f-3-1"], 23]


FLOW = "merrow_sdk.patchbay.flow"
FLOW_FAULTS = {
    "blocked": ("None", ["ModuleNotFoundError", f"import of {FLOW} halted; None in sys.modules", 1]),
    "broken": (f"Broken({FLOW!r})", ["RuntimeError", f"broken {FLOW}", 1]),
}


@pytest.mark.parametrize("fault, expected", FLOW_FAULTS.values(), ids=FLOW_FAULTS.keys())
def test_faulty_flow_fails_every_package_import_until_repaired(fault, expected):
    result, stderr = run(f"""
        import merrow_sdk
        sys.modules[{FLOW!r}] = {fault}
        tries = [attempt("merrow_sdk.patchbay", "init merrow_sdk.patchbay") for _ in range(3)]
        del sys.modules[{FLOW!r}]
        import merrow_sdk.patchbay as p
        print(json.dumps([tries, p.MerrowFlow is p.flow.FlowAPIWrapper]))
    """)
    assert result == [[[expected, False]] * 3, True]
    assert "Exception ignored" not in stderr


def test_every_operation_with_warnings_as_errors_in_development_mode():
    # -X dev adds the debug hooks of the memory allocators, which catch
    # writes past a block and memory handled without the interpreter lock
    result, stderr = run(f"""
        import warnings
        sys.path.insert(0, {str(TESTS)!r})
        import merrow_sdk.patchbay as p
        from operation_cases import CASES, make_args
        args = make_args()
        for _ in range(3):
            for label, case in CASES:
                case(args)
        print(json.dumps([sys.flags.dev_mode, warnings.filters[0][0], len(CASES),
                          p.MerrowFlow is p.flow.FlowAPIWrapper]))
    """, "-X", "dev", "-W", "error")
    assert result[0] is True and result[1] == "error" and result[3] is True
    assert result[2] > 50
    assert stderr == ""
