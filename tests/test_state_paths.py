"""State on the paths that the state cache leaves to the ordinary protocol: state
gone while the lock is held, a lock that fails on the way out, a value
whose truth test removes it, a dictionary reshaped during a call, class
dictionaries with keys that are not str, methods bound before their class
changed, more instances in use than the cache holds, and the cache turned off
because no dictionary watcher was free. Held to the oracle of
test_state_protocol: Reference, the algorithm as plain Python."""

import functools
import os
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from conftest import make_lock_type
from merrow_sdk.logging.trace_key import LogIDGenerator
from test_state_protocol import Reference, masked, outcome

try:
    import _testcapi
except ImportError:  # a distribution's interpreter may ship without it
    _testcapi = None

TESTS = Path(__file__).resolve().parent


def subclass(base, namespace=()):
    # One class name for both, so that the protocol's messages compare.
    with warnings.catch_warnings():
        # From 3.13 a class dictionary key that is not a str is warned of.
        warnings.simplefilter("ignore", RuntimeWarning)
        return type("Sub", (base,), dict(namespace))


def warmed(cls):
    """An instance whose every state name has been read: remembered where
    the state cache remembers."""
    g = cls("camera-node-01", 3)
    g.generate_session_id()
    g.generate_error_id()
    g.format_log_with_session("m")
    return g


def record(g, calls):
    """What each call gives, then the instance's state and its lock."""
    results = [outcome(call, g) for call in calls]
    lock = g._lock  # (read after the calls: a read looks the class up)
    return results + [sorted((k, masked(v)) for k, v in vars(g).items() if k != "_lock"),
                      lock.locked(), getattr(getattr(lock, "record", None), "calls", None)]


SESSION = lambda g: g.generate_session_id()
FORCED = lambda g: g.generate_session_id(True)
COUNT = lambda g: g.generate_error_id()
GET = lambda g: g.get_session_id()
TAG = lambda g: g.format_log_with_session("m")
ALL = [COUNT, SESSION, FORCED, GET, TAG]


def session_missing_under_the_lock(base):
    g = warmed(subclass(base))
    del g._session_id
    return record(g, [SESSION, FORCED, TAG])


def exit_fails_after(state, call):
    def scenario(base):
        g = warmed(subclass(base))
        g._lock = make_lock_type(exit_error=OSError("exit failed"))()
        for name, value in state.items():
            setattr(g, name, value)
        before = vars(g)["_session_id"]
        return record(g, [call]) + [vars(g)["_session_id"] is before]
    return scenario


class Vanishing:
    """A session value whose truth test removes it from the instance."""

    def __init__(self, owner):
        self.owner = owner

    def __bool__(self):
        del self.owner._session_id
        return True


def session_removed_by_its_truth_test(base):
    g = warmed(subclass(base))
    g._session_id = Vanishing(g)
    return record(g, [TAG])


class Reshaping:
    """A node_id whose slicing adds a name to the instance, or removes the
    session identifier that is then written back."""

    def __init__(self, owner, change):
        self.owner, self.change = owner, change

    def __getitem__(self, key):
        self.change(self.owner)
        return "reshaped"

    def __eq__(self, other):  # the two implementations' records compare
        return type(other) is Reshaping

    __hash__ = None


def dictionary_reshaped_before_the_write(change):
    def scenario(base):
        cls = subclass(base)
        g = warmed(cls)
        g.node_id = Reshaping(g, change)
        result = record(g, [FORCED, GET])
        # Whether later instances still share their class's key table.
        return result + [sys.getsizeof(vars(cls("camera-node-02", 4)))]
    return scenario


class StateKey:
    """A class dictionary key that is not a str, hashing as a state name
    does; `equal` says whether it compares equal to that name."""

    def __init__(self, name, equal):
        self.name, self.equal = name, equal

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.equal and other == self.name


def counter_property():
    # Reads give 41; writes are swallowed, so no instance ever holds one.
    return property(lambda self: 41, lambda self, value: None)


def keyed_class(equal):
    def scenario(base):
        g = subclass(base, {StateKey("_error_counter", equal): counter_property()})(
            "camera-node-01", 3)
        return record(g, ALL + ALL)
    return scenario


def keyed_base_inserted(equal):
    def scenario(base):
        cls = subclass(base)
        g = warmed(cls)
        keyed = subclass(object, {StateKey("_error_counter", equal): counter_property()})
        cls.__bases__ = (keyed,) + cls.__bases__
        return record(g, ALL + ALL)
    return scenario


def methods_bound_before_a_class_change(base):
    cls = subclass(base)
    g = warmed(cls)
    bound = [g.generate_error_id, g.generate_session_id, g.get_session_id,
             functools.partial(g.format_log_with_session, "m")]
    cls._session_id = property(lambda self: "SES-from-property", lambda self, value: None)
    cls.node_id = property(lambda self: "node-from-property")
    # Called as they are: nothing looks the class up before the state is read.
    return record(g, [lambda g, method=method: method() for method in bound])


SCENARIOS = {
    "session missing under the lock": session_missing_under_the_lock,
    "lock exit fails after a new session": exit_fails_after({"_session_id": None}, SESSION),
    "lock exit fails after a kept session": exit_fails_after({}, SESSION),
    "lock exit fails after a forced session": exit_fails_after({}, FORCED),
    "lock exit fails after a count": exit_fails_after({}, COUNT),
    "session removed by its truth test": session_removed_by_its_truth_test,
    "name added while the session is made": dictionary_reshaped_before_the_write(
        lambda g: setattr(g, "extra", 1)),
    "session removed while it is made": dictionary_reshaped_before_the_write(
        lambda g: delattr(g, "_session_id")),
    "class key not a str, equal to a state name": keyed_class(True),
    "class key not a str, only hashing alike": keyed_class(False),
    "base with such a key inserted, equal": keyed_base_inserted(True),
    "base with such a key inserted, hashing alike": keyed_base_inserted(False),
    "methods bound before their class changed": methods_bound_before_a_class_change,
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_state_follows_the_protocol(scenario):
    native, reference = scenario(LogIDGenerator), scenario(Reference)
    assert native == reference


def test_more_instances_in_use_than_the_cache_holds():
    # The state cache keeps a few hundred instances' state: with more alive and used
    # in turn, instances keep taking each other's place there.
    def run(base):
        cls = subclass(base)
        gens = [cls(f"node-{i:04}", i) for i in range(1000)]
        seen = []
        for turn in range(3):
            for i, g in enumerate(gens):
                if turn == 1 and i % 3 == 0:
                    vars(g)["_error_counter"] = 100 + i
                seen.append(outcome(COUNT, g))
        return seen

    assert run(LogIDGenerator) == run(Reference)


# Each dictionary watcher the test hook adds takes one of the interpreter's
# few watcher slots; with none left at import, the module does without
# its caches, and the state suites must pass all the same.
WITHOUT_WATCHERS = """
import sys
import _testcapi

taken = []
try:
    while True:
        taken.append(_testcapi.add_dict_watcher(0))
except RuntimeError:
    pass
assert taken, "the test hook added no dictionary watcher"
assert "merrow_sdk.logging.trace_key" not in sys.modules
import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]]))
"""


@pytest.mark.skipif(not hasattr(_testcapi, "add_dict_watcher"),
                    reason="needs dictionary watchers (3.12) and their test hook")
def test_state_suites_pass_with_no_dictionary_watcher_free():
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    suites = [str(TESTS / name) for name in ("test_state_protocol.py", "test_state_reads.py")]
    proc = subprocess.run([sys.executable, "-c", WITHOUT_WATCHERS, *suites,
                           str(TESTS / "test_state_paths.py"), "-k", "not no_dictionary_watcher"],
                          cwd=str(TESTS.parent), env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
