"""Import lifecycle, each case in a fresh interpreter."""

import re
import sys
import textwrap

import pytest

PRELUDE = """
import importlib
import importlib.util
import json
import sys
import traceback
import types

NAME = "merrow_sdk.logging.trace_key"
INIT = "init merrow_sdk.logging.trace_key"


def entries(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def failure(exc):
    return [type(exc).__name__, str(exc), entries(exc).count(INIT)]


def smoke(module):
    gen = module.LogIDGenerator("camera-front-01", 3)
    return [gen.generate_error_id(), gen.generate_event_id(), len(gen.generate_session_id())]


SMOKE = ["ERR-GEN-camera-f-3-1", "EVT-EVT-camera-f-3-1", 23]
"""

SMOKE = ["ERR-GEN-camera-f-3-1", "EVT-EVT-camera-f-3-1", 23]
REINIT_MESSAGE = "Module 'trace_key' has already been imported. Re-initialisation is not supported."
INTERP_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def run(python, body, prelude="", **kwargs):
    return python(PRELUDE + prelude + textwrap.dedent(body), **kwargs).value


def test_import_twice_gives_same_module(python):
    result = run(python, """
        import merrow_sdk.logging.trace_key as first
        first.__test__["marker"] = 1
        first.threading = "rebound"
        import merrow_sdk.logging.trace_key as second
        from merrow_sdk.logging import trace_key as third
        again = importlib.import_module(NAME)
        print(json.dumps([second is first, third is first, again is first,
                          first.__test__, first.threading]))
    """)
    assert result == [True, True, True, {"marker": 1}, "rebound"]


def test_reimport_after_removal_from_sys_modules(python):
    result = run(python, """
        import merrow_sdk.logging.trace_key as first
        generator_class = first.LogIDGenerator
        test_dict = first.__test__
        test_dict["marker"] = 1
        first.threading = "rebound"
        del sys.modules[NAME]
        second = importlib.import_module(NAME)
        print(json.dumps([second is first, sys.modules[NAME] is first,
                          second.LogIDGenerator is generator_class,
                          second.__test__ is test_dict, second.threading]))
    """)
    assert result == [True, True, True, True, "rebound"]


def test_reload_keeps_module(python):
    result = run(python, """
        import merrow_sdk.logging.trace_key as first
        test_dict = first.__test__
        generator_class = first.LogIDGenerator
        reloaded = importlib.reload(first)
        print(json.dumps([reloaded is first, first.__test__ is test_dict,
                          first.LogIDGenerator is generator_class]))
    """)
    assert result == [True, True, True]


def test_exec_module_registers_in_sys_modules(python):
    result = run(python, """
        spec = importlib.util.find_spec(NAME)
        module = importlib.util.module_from_spec(spec)
        before = NAME in sys.modules
        spec.loader.exec_module(module)
        print(json.dumps([before, sys.modules.get(NAME) is module, smoke(module)]))
    """)
    assert result == [False, True, SMOKE]


def test_second_module_object_from_one_spec_refused(python):
    result = run(python, """
        spec = importlib.util.find_spec(NAME)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        distinct = first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            refused = None
        except BaseException as exc:
            refused = failure(exc)
        spec.loader.exec_module(first)  # same object again: nothing happens
        third = importlib.util.module_from_spec(spec)
        imported = importlib.import_module(NAME)
        print(json.dumps([distinct, refused, "LogIDGenerator" in vars(second),
                          third is first, imported is first, smoke(first)]))
    """)
    assert result == [True, ["RuntimeError", REINIT_MESSAGE, 0], False, True, True, SMOKE]


def test_typing_without_optional_fails_and_retry_succeeds(python):
    result = run(python, """
        import threading, uuid
        real_typing = sys.modules.get("typing")
        sys.modules["typing"] = types.ModuleType("typing")
        try:
            import merrow_sdk.logging.trace_key
            first = None
        except BaseException as exc:
            first = failure(exc)
        left_in_sys_modules = NAME in sys.modules
        if real_typing is None:
            del sys.modules["typing"]
        else:
            sys.modules["typing"] = real_typing
        import merrow_sdk.logging.trace_key as tk
        import typing
        print(json.dumps([first, left_in_sys_modules, tk.Optional is typing.Optional, smoke(tk)]))
    """)
    assert result == [["ImportError", "cannot import name Optional", 1], False, True, SMOKE]


def test_failed_execution_releases_module(python):
    result = run(python, """
        import threading, uuid
        real_typing = sys.modules.get("typing")
        spec = importlib.util.find_spec(NAME)
        sys.modules["typing"] = types.ModuleType("typing")
        first = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(first)
            outcome = None
        except ImportError as exc:
            outcome = failure(exc)
        if real_typing is None:
            del sys.modules["typing"]
        else:
            sys.modules["typing"] = real_typing
        sys.modules.pop(NAME, None)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        print(json.dumps([outcome, second is not first, smoke(second)]))
    """)
    assert result == [["ImportError", "cannot import name Optional", 1], True, SMOKE]


@pytest.mark.parametrize("fake_name, attribute, key, bound", [
    ("typing", True, None, True),
    ("typing", False, "typing.Optional", True),
    ("other_typing", False, "other_typing.Optional", True),
    ("other_typing", False, "typing.Optional", False),
], ids=["attribute", "sys-modules-entry", "entry-by-module-name", "entry-under-wrong-name"])
def test_optional_resolution(python, fake_name, attribute, key, bound):
    result = run(python, f"""
        import threading, uuid
        sentinel = object()
        fake = types.ModuleType({fake_name!r})
        if {attribute!r}:
            fake.Optional = sentinel
        sys.modules["typing"] = fake
        if {key!r} is not None:
            sys.modules[{key!r}] = sentinel
        try:
            import merrow_sdk.logging.trace_key as tk
            outcome = [tk.Optional is sentinel, tk.LogIDGenerator.get_session_id.__annotations__]
        except ImportError as exc:
            outcome = failure(exc)
        print(json.dumps(outcome))
    """)
    if bound:
        assert result == [True, {"return": "Optional[str]"}]
    else:
        assert result == ["ImportError", "cannot import name Optional", 1]


BROKEN_FINDER = """
class Broken:
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name == BROKEN:
            raise LookupError("broken " + name)
        return None
"""


@pytest.mark.parametrize("module", ["threading", "uuid", "typing"])
def test_broken_dependency_exception_propagates(python, module):
    result = run(python, f"""
        BROKEN = {module!r}
        import threading, uuid, typing
        saved = sys.modules.pop(BROKEN)
        sys.meta_path.insert(0, Broken)
        try:
            import merrow_sdk.logging.trace_key
            first = None
        except BaseException as exc:
            first = failure(exc)
        sys.meta_path.remove(Broken)
        sys.modules[BROKEN] = saved
        import merrow_sdk.logging.trace_key as tk
        print(json.dumps([first, getattr(tk, BROKEN, None) is saved if BROKEN != "typing"
                          else tk.Optional is saved.Optional, smoke(tk)]))
    """, prelude=BROKEN_FINDER)
    assert result == [["LookupError", f"broken {module}", 1], True, SMOKE]


@pytest.mark.parametrize("module", ["threading", "uuid"])
def test_dependency_blocked_in_sys_modules(python, module):
    result = run(python, f"""
        import threading, uuid
        saved = sys.modules[{module!r}]
        sys.modules[{module!r}] = None
        try:
            import {module}
        except ImportError as exc:
            expected = [type(exc).__name__, str(exc), 1]
        try:
            import merrow_sdk.logging.trace_key
            first = None
        except BaseException as exc:
            first = failure(exc)
        sys.modules[{module!r}] = saved
        import merrow_sdk.logging.trace_key as tk
        print(json.dumps([first == expected, first, smoke(tk)]))
    """)
    assert result[0], result[1]
    assert result[2] == SMOKE


def test_builtins_import_hook_is_not_needed(python):
    # the module imports through the interpreter, not through a replaced
    # builtins.__import__, so a hook that refuses everything does not matter
    result = run(python, """
        import builtins
        import threading, uuid, typing
        real_import = builtins.__import__
        def refuse(name, *args, **kwargs):
            if name in ("threading", "uuid", "typing"):
                raise AssertionError("hook used for " + name)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = refuse
        try:
            import merrow_sdk.logging.trace_key as tk
        finally:
            builtins.__import__ = real_import
        print(json.dumps([tk.threading is threading, tk.uuid is uuid, smoke(tk)]))
    """)
    assert result == [True, True, SMOKE]


SUBINTERP = """
import os

def in_subinterpreter(code):
    try:
        import _testcapi
        runner = getattr(_testcapi, "run_in_subinterp", None)
    except ImportError:
        runner = None
    if runner is not None:
        runner(code)
        return True
    if sys.version_info < (3, 12):
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            return False
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return True
    return False

def sub_import(path):
    code = (
        "import json\\n"
        "try:\\n"
        "    import merrow_sdk.logging.trace_key\\n"
        "    r = ['ok']\\n"
        "except BaseException as e:\\n"
        "    r = [type(e).__name__, str(e)]\\n"
        "with open(%r, 'w') as f:\\n"
        "    json.dump(r, f)\\n" % path
    )
    if not in_subinterpreter(code):
        print(json.dumps("skip"))
        sys.exit(0)
    with open(path) as f:
        return json.load(f)
"""


def test_second_interpreter_refused(python):
    path = python.tmp_path / "sub.json"
    result = run(python, f"""
        import merrow_sdk.logging.trace_key as tk
        sub = sub_import({str(path)!r})
        print(json.dumps([sub, smoke(tk)]))
    """, prelude=SUBINTERP)
    if result == "skip":
        pytest.skip("no way to start a second interpreter here")
    assert result == [["ImportError", INTERP_MESSAGE], SMOKE]


def test_main_interpreter_refused_after_subinterpreter(python):
    path = python.tmp_path / "sub.json"
    result = run(python, f"""
        sub = sub_import({str(path)!r})
        sys.modules.pop(NAME, None)
        try:
            import merrow_sdk.logging.trace_key
            main = ["ok"]
        except BaseException as exc:
            main = [type(exc).__name__, str(exc)]
        print(json.dumps([sub, main]))
    """, prelude=SUBINTERP)
    if result == "skip":
        pytest.skip("no way to start a second interpreter here")
    assert result == [["ok"], ["ImportError", INTERP_MESSAGE]]


def _compiled_series(tk):
    match = re.search(r"\.cpython-(\d)(\d+)", tk.__file__)
    if not match:
        pytest.skip("extension file name carries no interpreter tag")
    return int(match.group(1)), int(match.group(2))


def test_no_runtime_warning_on_compiled_series(python, tk):
    if _compiled_series(tk) != sys.version_info[:2]:
        pytest.skip("runs only on the series the module was built for")
    result = run(python, """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import merrow_sdk.logging.trace_key as tk
        print(json.dumps([[w.category.__name__, str(w.message)] for w in caught
                          if issubclass(w.category, RuntimeWarning)]))
    """)
    assert result == []
    # and with the warning made an error the import still goes through
    strict = run(python, """
        import merrow_sdk.logging.trace_key as tk
        print(json.dumps(smoke(tk)))
    """, extra=("-W", "error::RuntimeWarning"))
    assert strict == SMOKE
