"""Import-time behaviour of the ``merrow_sdk.patchbay`` extension.

Every case runs in a fresh interpreter over a package tree of its own: a
copy of the built extension as the package's ``__init__`` next to the
``flow`` submodule that the case needs.
"""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

INIT_ENTRY = ["init merrow_sdk.patchbay", "merrow_sdk/patchbay/__init__.py", 1]
REINIT_MESSAGE = "Module 'patchbay' has already been imported. Re-initialisation is not supported."
INTERPRETER_MESSAGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
CANNOT_IMPORT = "cannot import name FlowAPIWrapper"

FLOW_SOURCES = {
    "plain": """
        class FlowAPIWrapper:
            pass
    """,
    "without_wrapper": """
        OTHER = 1
    """,
    "with_fallback_entry": """
        import sys
        sys.modules[__name__ + ".FlowAPIWrapper"] = ("fallback", __name__)
    """,
    "raising_getattr": """
        def __getattr__(name):
            if name == "FlowAPIWrapper":
                raise ValueError("flow wrapper unavailable")
            raise AttributeError(name)
    """,
    "raising_body": """
        raise LookupError("flow failed to start")
    """,
    # Fails on its first execution only; keeps the package module object of
    # that attempt so a later attempt can compare.
    "failing_once": """
        import builtins, sys
        if not hasattr(builtins, "first_package"):
            builtins.first_package = sys.modules["merrow_sdk.patchbay"]
            raise RuntimeError("first attempt")

        class FlowAPIWrapper:
            pass
    """,
}

# Runs ahead of every script.
PRELUDE = """
import importlib, json, sys, traceback

def failure(exc):
    entries = [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)]
    return {
        "type": type(exc).__name__,
        "message": str(exc),
        "init_entries": [e for e in entries if e[0] == "init merrow_sdk.patchbay"],
        "context": None if exc.__context__ is None else type(exc.__context__).__name__,
    }

def attempt(name="merrow_sdk.patchbay"):
    try:
        importlib.import_module(name)
    except Exception as exc:
        return failure(exc)
    return None

def report(**values):
    print(json.dumps(values))
"""


def built_extension():
    spec = importlib.util.find_spec("merrow_sdk.patchbay")
    assert spec is not None and spec.origin, "merrow_sdk.patchbay is not installed"
    assert os.path.basename(spec.origin).startswith("__init__."), spec.origin
    assert not spec.origin.endswith(".py"), f"not the extension: {spec.origin}"
    return spec.origin


def make_tree(root, flow="plain", package="merrow_sdk"):
    """Writes ``<package>/__init__.py`` and ``<package>/patchbay/`` holding the
    extension and the ``flow`` variant (none when ``flow`` is None)."""
    package_dir = root / package / "patchbay"
    package_dir.mkdir(parents=True)
    (root / package / "__init__.py").write_text("")
    shutil.copy(built_extension(), package_dir)
    if flow is not None:
        (package_dir / "flow.py").write_text(textwrap.dedent(FLOW_SOURCES[flow]))
    return root


def run(tree, script, *options):
    """Runs the prelude and ``script`` with the tree first on the path and
    returns the JSON of the last line the script prints, and the stderr."""
    env = dict(os.environ, PYTHONPATH=str(tree), PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONWARNINGS", None)
    env.pop("PYTHONDEVMODE", None)
    proc = subprocess.run(
        [sys.executable, *options, "-c", PRELUDE + textwrap.dedent(script)],
        cwd=str(tree),
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def test_import_binds_wrapper_and_builds_namespace(tmp_path):
    tree = make_tree(tmp_path)
    result, _ = run(
        tree,
        """
        import builtins
        import merrow_sdk.patchbay as p
        ns = vars(p)
        keys = list(ns)
        report(
            file=p.__file__,
            origin=p.__spec__.origin,
            path=p.__path__,
            package=p.__package__,
            name=p.__name__,
            loader_is_spec_loader=p.__loader__ is p.__spec__.loader,
            doc_is_none=p.__doc__ is None,
            builtins_is_module=ns["__builtins__"] is builtins,
            bound=p.MerrowFlow is sys.modules["merrow_sdk.patchbay.flow"].FlowAPIWrapper,
            flow_attribute=ns.get("flow") is sys.modules["merrow_sdk.patchbay.flow"],
            wrapper_in_package="FlowAPIWrapper" in ns,
            test_dict=[type(p.__test__).__name__, len(p.__test__)],
            after_builtins=keys[keys.index("__builtins__") + 1:],
        )
        """,
    )
    package_dir = str(tree / "merrow_sdk" / "patchbay")
    # The copy in the tree, not the installed library, was imported.
    assert os.path.dirname(result["file"]) == package_dir
    assert result.pop("file") == result.pop("origin")
    assert result == {
        "path": [package_dir],
        "package": "merrow_sdk.patchbay",
        "name": "merrow_sdk.patchbay",
        "loader_is_spec_loader": True,
        "doc_is_none": True,
        "builtins_is_module": True,
        "bound": True,
        "flow_attribute": True,
        "wrapper_in_package": False,
        "test_dict": ["dict", 0],
        "after_builtins": ["flow", "MerrowFlow", "__test__"],
    }


def test_fallback_entry_in_sys_modules_becomes_the_binding(tmp_path):
    tree = make_tree(tmp_path, "with_fallback_entry")
    result, _ = run(
        tree,
        """
        import merrow_sdk.patchbay as p
        report(
            value=p.MerrowFlow,
            same=p.MerrowFlow is sys.modules["merrow_sdk.patchbay.flow.FlowAPIWrapper"],
        )
        """,
    )
    assert result == {"value": ["fallback", "merrow_sdk.patchbay.flow"], "same": True}


# Spec objects handed straight to the create step; the test adds `name`
# and `origin` (the loader needs both to find the library).
CREATE_SPECS = {
    "all_set": """
        class Spec:
            loader = object()
            parent = "merrow_sdk.patchbay"
            submodule_search_locations = ["somewhere"]
    """,
    "none_values": """
        class Spec:
            loader = None
            parent = None
            submodule_search_locations = None
    """,
    "missing": """
        class Spec:
            pass
    """,
    "raising": """
        class Spec:
            @property
            def parent(self):
                raise KeyError("no parent")
    """,
}


@pytest.mark.parametrize("case", CREATE_SPECS)
def test_create_step_copies_spec_attributes(tmp_path, case):
    tree = make_tree(tmp_path)
    result, _ = run(
        tree,
        CREATE_SPECS[case]
        + """
        import importlib.machinery, importlib.util
        spec = Spec()
        spec.name = "merrow_sdk.patchbay"
        spec.origin = importlib.util.find_spec(spec.name).origin
        loader = importlib.machinery.ExtensionFileLoader(spec.name, spec.origin)
        try:
            module = loader.create_module(spec)
        except Exception as exc:
            report(error=failure(exc))
        else:
            ns = vars(module)
            def copied(key, attr):
                return key in ns and ns[key] is getattr(spec, attr, None)
            report(
                error=None,
                name=ns["__name__"],
                doc_is_none=ns["__doc__"] is None,
                file=ns.get("__file__") == spec.origin,
                loader=copied("__loader__", "loader"),
                package=copied("__package__", "parent"),
                path=copied("__path__", "submodule_search_locations"),
                executed="MerrowFlow" in ns,
            )
        """,
    )
    if case == "raising":
        no_parent = {"type": "KeyError", "message": "'no parent'", "init_entries": [], "context": None}
        assert result == {"error": no_parent}
        return
    assert result == {
        "error": None,
        "name": "merrow_sdk.patchbay",
        "doc_is_none": True,
        "file": True,
        # A missing attribute leaves what a new module has: None.
        "loader": True,
        "package": True,
        # Only a package's search locations are copied.
        "path": case == "all_set",
        "executed": False,
    }


# (case, flow variant, exception type, message)
FAILURES = [
    ("missing", None, "ModuleNotFoundError", "No module named 'merrow_sdk.patchbay.flow'"),
    ("without_wrapper", "without_wrapper", "ImportError", CANNOT_IMPORT),
    ("raising_getattr", "raising_getattr", "ImportError", CANNOT_IMPORT),
    ("raising_body", "raising_body", "LookupError", "flow failed to start"),
]


@pytest.mark.parametrize("flow, exc_type, message", [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_failed_flow_import_fails_package_with_init_entry(tmp_path, flow, exc_type, message):
    tree = make_tree(tmp_path, flow)
    result, _ = run(
        tree,
        """
        first = attempt()
        registered = "merrow_sdk.patchbay" in sys.modules
        report(first=first, second=attempt(), registered=registered)
        """,
    )
    expected = {
        "type": exc_type,
        "message": message,
        "init_entries": [INIT_ENTRY],
        "context": None,
    }
    # A retry runs the execution step in full again, entry included.
    assert result == {"first": expected, "second": expected, "registered": False}


def test_failed_import_is_retried_with_a_new_module(tmp_path):
    tree = make_tree(tmp_path, "failing_once")
    result, _ = run(
        tree,
        """
        import builtins
        first = attempt()
        import merrow_sdk.patchbay as p
        report(
            first=[first["type"], first["message"]],
            new_module=p is not builtins.first_package,
            first_unbound="MerrowFlow" not in vars(builtins.first_package),
            bound=p.MerrowFlow is p.flow.FlowAPIWrapper,
        )
        """,
    )
    assert result == {
        "first": ["RuntimeError", "first attempt"],
        "new_module": True,
        "first_unbound": True,
        "bound": True,
    }


PRELOADED = {
    # Already loaded and offering the wrapper: taken as it is. The import
    # system, given a from-list, would look for the module's __path__.
    "offering_wrapper": (
        None,
        """
        import types
        consulted = []
        class Flow(types.ModuleType):
            @property
            def __path__(self):
                consulted.append("__path__")
                raise AttributeError("__path__")
        flow = Flow("merrow_sdk.patchbay.flow")
        flow.FlowAPIWrapper = object()
        """,
        "bound",
    ),
    # The lookup's error is swallowed quietly; the import system then hands
    # back the same entry, whose attribute still fails.
    "raising_on_lookup": (
        "plain",
        """
        import types
        class Flow(types.ModuleType):
            @property
            def FlowAPIWrapper(self):
                raise ValueError("not yet")
        flow = Flow("merrow_sdk.patchbay.flow")
        """,
        CANNOT_IMPORT,
    ),
}


@pytest.mark.parametrize("on_disk, setup, outcome", PRELOADED.values(), ids=PRELOADED.keys())
def test_flow_already_in_sys_modules(tmp_path, on_disk, setup, outcome):
    tree = make_tree(tmp_path, on_disk)
    result, stderr = run(
        tree,
        setup
        + """
        sys.modules["merrow_sdk.patchbay.flow"] = flow
        error = attempt()
        if error:
            report(outcome=error["message"], type=error["type"])
        else:
            p = sys.modules["merrow_sdk.patchbay"]
            report(outcome="bound" if p.MerrowFlow is flow.FlowAPIWrapper else "other",
                   type=None, flow_attribute="flow" in vars(p), consulted=consulted)
        """,
    )
    assert result["outcome"] == outcome
    if outcome == "bound":
        assert result["flow_attribute"] is False
        assert result["consulted"] == []
    else:
        assert result["type"] == "ImportError"
    assert "Exception ignored" not in stderr


def test_replaced_builtin_import_is_not_called(tmp_path):
    tree = make_tree(tmp_path)
    result, _ = run(
        tree,
        """
        import builtins
        calls = []
        original = builtins.__import__
        def spy(name, globals=None, *args, **kwargs):
            calls.append([name, (globals or {}).get("__name__")])
            return original(name, globals, *args, **kwargs)
        builtins.__import__ = spy
        try:
            p = importlib.import_module("merrow_sdk.patchbay")
        finally:
            builtins.__import__ = original
        report(calls=calls, bound=p.MerrowFlow is p.flow.FlowAPIWrapper)
        """,
    )
    # The interpreter itself may import through the hook while it reads
    # files; none of the package's own imports may.
    ours = [
        call for call in result["calls"]
        if call[0] in ("flow", "builtins") or call[1] == "merrow_sdk.patchbay"
    ]
    assert ours == []
    assert result["bound"]


@pytest.mark.parametrize("options", [["-W", "error"], ["-W", "error::RuntimeWarning"]])
def test_matching_series_warns_nothing(tmp_path, options):
    tree = make_tree(tmp_path)
    result, stderr = run(
        tree,
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            error = attempt()
        report(error=error, warnings=[str(w.message) for w in caught])
        """,
        *options,
    )
    assert result == {"error": None, "warnings": []}
    assert "compile time Python version" not in stderr


# Each leaves `q` as the package module after the action, and says whether
# it reloads `flow` (which makes a new FlowAPIWrapper) first.
REPEATS = {
    "reimport": ("""
        del sys.modules["merrow_sdk.patchbay"]
        q = importlib.import_module("merrow_sdk.patchbay")
    """, False),
    "reload": ("""
        q = importlib.reload(p)
    """, False),
    "reload_after_flow_reload": ("""
        importlib.reload(p.flow)
        q = importlib.reload(p)
    """, True),
    "reimport_after_flow_reload": ("""
        importlib.reload(p.flow)
        del sys.modules["merrow_sdk.patchbay"]
        q = importlib.import_module("merrow_sdk.patchbay")
    """, True),
}


@pytest.mark.parametrize("action, flow_reloaded", REPEATS.values(), ids=REPEATS.keys())
def test_repeated_import_keeps_module_and_binding(tmp_path, action, flow_reloaded):
    tree = make_tree(tmp_path)
    result, _ = run(
        tree,
        """
        import merrow_sdk.patchbay as p
        original = p.MerrowFlow
        """
        + action
        + """
        report(
            same_module=q is p,
            registered=sys.modules["merrow_sdk.patchbay"] is p,
            kept=q.MerrowFlow is original,
            flow_is_current=p.flow is sys.modules["merrow_sdk.patchbay.flow"],
            flow_reloaded=p.flow.FlowAPIWrapper is not original,
        )
        """,
    )
    assert result == {
        "same_module": True,
        "registered": True,
        "kept": True,
        "flow_is_current": True,
        "flow_reloaded": flow_reloaded,
    }


def test_second_module_from_one_spec_is_refused(tmp_path):
    tree = make_tree(tmp_path)
    result, _ = run(
        tree,
        """
        import importlib.util
        spec = importlib.util.find_spec("merrow_sdk.patchbay")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        sys.modules["merrow_sdk.patchbay"] = first
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except Exception as exc:
            refused = failure(exc)
        else:
            refused = None
        del sys.modules["merrow_sdk.patchbay"]
        again = importlib.import_module("merrow_sdk.patchbay")
        report(
            distinct=first is not second,
            refused=refused,
            second_unbound="MerrowFlow" not in vars(second),
            first_held=again is first,
            first_bound=first.MerrowFlow is first.flow.FlowAPIWrapper,
        )
        """,
    )
    assert result == {
        "distinct": True,
        "refused": {
            "type": "RuntimeError",
            "message": REINIT_MESSAGE,
            "init_entries": [],
            "context": None,
        },
        "second_unbound": True,
        "first_held": True,
        "first_bound": True,
    }


SUBINTERPRETER_IMPORT = """
import json, sys, traceback
try:
    import merrow_sdk.patchbay
except Exception as exc:
    names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    outcome = [type(exc).__name__, str(exc), "init merrow_sdk.patchbay" in names]
else:
    outcome = None
with open(OUTCOME_PATH, "w") as out:
    json.dump(outcome, out)
"""


@pytest.mark.parametrize("flow", ["plain", None], ids=["after_success", "after_failure"])
def test_second_interpreter_is_refused(tmp_path, flow):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter runner in this interpreter")
    tree = make_tree(tmp_path, flow)
    outcome_file = tmp_path / "subinterpreter.json"
    code = f"OUTCOME_PATH = {str(outcome_file)!r}\n" + SUBINTERPRETER_IMPORT
    result, _ = run(
        tree,
        f"""
        import _testcapi
        first = attempt()
        status = _testcapi.run_in_subinterp({code!r})
        report(first=None if first is None else first["type"], status=status)
        """,
    )
    assert result == {"first": None if flow else "ModuleNotFoundError", "status": 0}
    assert json.loads(outcome_file.read_text()) == ["ImportError", INTERPRETER_MESSAGE, False]


@pytest.mark.parametrize("occupied", [False, True], ids=["free_key", "key_taken"])
def test_other_spec_name_registers_under_package_name(tmp_path, occupied):
    tree = make_tree(tmp_path, package="other_sdk")
    result, _ = run(
        tree,
        f"""
        placeholder = object()
        if {occupied!r}:
            sys.modules["merrow_sdk.patchbay"] = placeholder
        import other_sdk.patchbay as p
        entry = sys.modules.get("merrow_sdk.patchbay")
        report(
            name=p.__name__,
            entry="module" if entry is p else "placeholder" if entry is placeholder else None,
            under_spec_name=sys.modules["other_sdk.patchbay"] is p,
            bound=p.MerrowFlow is sys.modules["other_sdk.patchbay.flow"].FlowAPIWrapper,
            foreign_flow="merrow_sdk.patchbay.flow" in sys.modules,
        )
        """,
    )
    assert result == {
        "name": "other_sdk.patchbay",
        "entry": "placeholder" if occupied else "module",
        "under_spec_name": True,
        "bound": True,
        "foreign_flow": False,
    }
