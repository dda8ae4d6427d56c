"""Shared fixtures and helpers for the trace_key tests."""

import types
import json
import os
import subprocess
import sys
import textwrap
import threading
import traceback

import pytest

MODULE_NAME = "merrow_sdk.logging.trace_key"
QUALIFIED_PREFIX = MODULE_NAME + ".LogIDGenerator."

# Token tables in class-body order: (attribute, token value).
ERROR_TOKENS = [
    ("FRAME_CAPTURE", "FRAME"),
    ("REDIS_READ", "REDIS_READ"),
    ("REDIS_WRITE", "REDIS_WRITE"),
    ("INITIALIZATION", "INIT"),
    ("HEALTH_CHECK", "HEALTH"),
    ("CONNECTION", "CONN"),
    ("CONFIGURATION", "CONFIG"),
    ("PROCESSING", "PROC"),
    ("DETECTION", "DETECT"),
    ("FILTERING", "FILTER"),
    ("QUEUE_FULL", "QUEUE_FULL"),
    ("QUEUE_EMPTY", "QUEUE_EMPTY"),
    ("MQTT", "MQTT"),
    ("GENERAL", "GEN"),
]

EVENT_TOKENS = [
    ("START", "START"),
    ("STOP", "STOP"),
    ("RESTART", "RESTART"),
    ("TRIGGER", "TRIGGER"),
    ("HEALTH_OK", "HEALTH_OK"),
    ("METADATA_INIT", "META_INIT"),
    ("FRAME_RECEIVED", "FRAME_RX"),
    ("FRAME_DUPLICATE", "FRAME_DUP"),
    ("DETECTION_COMPLETE", "DETECT_OK"),
    ("GENERAL", "EVT"),
]


def value_id(value):
    """A test id that stays the same from run to run (no addresses)."""
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


def pytest_generate_tests(metafunc):
    if "error_token" in metafunc.fixturenames:
        metafunc.parametrize("error_token", ERROR_TOKENS, ids=[n for n, _ in ERROR_TOKENS])
    if "event_token" in metafunc.fixturenames:
        metafunc.parametrize("event_token", EVENT_TOKENS, ids=[n for n, _ in EVENT_TOKENS])


@pytest.fixture(scope="session")
def tk():
    from merrow_sdk.logging import trace_key

    return trace_key


@pytest.fixture
def g(tk):
    return tk.LogIDGenerator("camera-front-01", 3)


@pytest.fixture
def error_tokens():
    return list(ERROR_TOKENS)


@pytest.fixture
def event_tokens():
    return list(EVENT_TOKENS)


# --------------------------------------------------------------------------
# Traceback entries


def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def qualified(operation):
    return QUALIFIED_PREFIX + operation


def assert_one_entry(exc, operation, last=True):
    """The operation's own entry appears exactly once (and, for failures
    raised by the module itself, as the innermost entry)."""
    names = entry_names(exc)
    assert names.count(qualified(operation)) == 1, names
    if last:
        assert names[-1] == qualified(operation), names


# --------------------------------------------------------------------------
# Replacement locks


class _Recorder:
    """Calls made on a replacement lock, in order."""

    def __init__(self):
        self.calls = []

    def names(self):
        return [c[0] for c in self.calls]

    def exits(self):
        return [c[1:] for c in self.calls if c[0] == "exit"]


def make_lock_type(*, exit_result=None, enter_error=None, exit_error=None, exit_error_always=False):
    """Returns a context-manager class that stands in for a generator's lock.

    Each instance wraps a real lock (so ``locked()`` tells whether the
    generator holds it) and records every ``__enter__``/``__exit__`` call.
    ``exit_error`` is raised from ``__exit__`` after a success only, unless
    ``exit_error_always`` is set.
    """

    class ReplacementLock:
        def __init__(self):
            self.inner = threading.Lock()
            self.record = _Recorder()

        def locked(self):
            return self.inner.locked()

        def __enter__(self):
            self.record.calls.append(("enter",))
            if enter_error is not None:
                raise enter_error
            self.inner.acquire()
            return "ignored"

        def __exit__(self, exc_type, exc_value, tb):
            self.record.calls.append(("exit", exc_type, exc_value, tb))
            self.inner.release()
            if exit_error is not None and (exit_error_always or exc_type is None):
                raise exit_error
            return exit_result

    return ReplacementLock


@pytest.fixture
def lock_type():
    return make_lock_type


# --------------------------------------------------------------------------
# Attribute-access recording


@pytest.fixture
def recording_generator(tk):
    """A generator subclass that logs every attribute read and write on self."""

    def make(node_id="camera-front-01", source_idx=3):
        log = []

        class Recording(tk.LogIDGenerator):
            def __getattribute__(self, name):
                log.append(("get", name))
                return object.__getattribute__(self, name)

            def __setattr__(self, name, value):
                log.append(("set", name))
                object.__setattr__(self, name, value)

            def __delattr__(self, name):
                log.append(("del", name))
                object.__delattr__(self, name)

        gen = Recording(node_id, source_idx)
        log.clear()
        return gen, log

    return make


# --------------------------------------------------------------------------
# Fresh interpreters


def run_python(code, tmp_path, *, args=(), check=True, extra=()):
    """Runs ``code`` in a new interpreter of the running series.

    The last line of standard output is parsed as JSON and returned, with
    the completed process as ``.process`` on a small result object.
    """
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    env.pop("PYTHONDEVMODE", None)
    proc = subprocess.run(
        [sys.executable, *extra, "-c", textwrap.dedent(code), *map(str, args)],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    if check:
        assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    value = json.loads(lines[-1]) if lines and check else None
    return SubprocessResult(proc, value)


class SubprocessResult:
    def __init__(self, process, value):
        self.process = process
        self.value = value


@pytest.fixture
def python(tmp_path):
    def run(code, **kwargs):
        return run_python(code, tmp_path, **kwargs)

    run.tmp_path = tmp_path
    return run


# Objects used as a generator's lock whose type lacks the context-manager
# protocol, with the special method reported missing (__exit__ is looked up
# first, and only on the type).
class ExitOnly:
    def __exit__(self, *args):
        return None


class EnterOnly:
    def __enter__(self):
        return self


class Neither:
    pass


LOCKS_LACKING_PROTOCOL = [
    (Neither(), "__exit__"),
    (EnterOnly(), "__exit__"),
    (ExitOnly(), "__enter__"),
    (types.SimpleNamespace(__enter__=lambda: None, __exit__=lambda *a: None), "__exit__"),
]
LOCK_LACKING_IDS = ["neither", "enter-only", "exit-only", "instance-attributes"]
