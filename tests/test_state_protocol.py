"""State reads and writes give what the ordinary attribute protocol gives at
the moment of the call, whatever callers do to classes, descriptors and
their types, instances and their dictionaries.

The oracle is Reference: the algorithm written as plain Python, whose every
attribute access is the protocol's. Each scenario runs the same steps on a
subclass of LogIDGenerator and on a subclass of Reference and compares what
they return and what they leave in the instance."""

import gc
import re
import sys
import threading
import weakref

import pytest

from merrow_sdk.logging.trace_key import LogIDGenerator


class Reference:
    def __init__(self, node_id, source_idx):
        self.node_id = node_id
        self.source_idx = source_idx
        self._session_id = None
        self._error_counter = 0
        self._event_counter = 0
        self._lock = threading.Lock()

    def generate_session_id(self, force=False):
        with self._lock:
            if self._session_id is None or force:
                self._session_id = f"SES-{self.node_id[:8]}-{self.source_idx}-0123abcd"
            return self._session_id

    def generate_error_id(self, error_type="GEN"):
        with self._lock:
            self._error_counter += 1
            counter = self._error_counter
        return f"ERR-{error_type}-{self.node_id[:8]}-{self.source_idx}-{counter}"

    def get_session_id(self):
        return self._session_id

    def format_log_with_session(self, message):
        if not self._session_id:
            return message
        return f"[{self._session_id}] {message}"


NEW_SESSION = re.compile(r"(SES-\S*-)[0-9a-f]{8}(?![0-9a-f])")


def masked(value):
    """A result with the random part of new session identifiers fixed."""
    if isinstance(value, str):
        return NEW_SESSION.sub(r"\g<1>0123abcd", value)
    return value


def outcome(step, g):
    try:
        return ("value", masked(step(g)))
    except Exception as exc:  # the protocol's own errors are compared too
        return ("raised", type(exc).__name__, str(exc))


CALLS = [
    ("error id", lambda g: g.generate_error_id()),
    ("session id", lambda g: g.generate_session_id()),
    ("forced session id", lambda g: g.generate_session_id(True)),
    ("get", lambda g: g.get_session_id()),
    ("tag", lambda g: g.format_log_with_session("m")),
]


def run_both(change, calls=CALLS, rounds=2):
    """Each call, on a warmed instance of each implementation, after `change`
    has been applied to (class, instance); returns both records."""
    records = []
    for base in (LogIDGenerator, Reference):
        middle = type("Middle", (base,), {})  # a base class the change may alter
        cls = type("Sub", (middle,), {})
        g = cls("camera-node-01", 3)
        for _, call in calls:  # every name read once: anything remembered is stale now
            outcome(call, g)
        change(cls, g)
        records.append([outcome(call, g) for _ in range(rounds) for _, call in calls]
                       + [sorted(((k, masked(v)) for k, v in vars(g).items() if k != "_lock"), key=repr)])
    return records


def turn_data_descriptor(cls, g):
    class Describe:
        def __get__(self, obj, tp=None):
            return "DESCRIPTOR"

    cls.node_id = Describe()   # not a data descriptor: the instance still wins
    outcome(CALLS[0][1], g)
    Describe.__set__ = lambda self, obj, value: None  # now it is, on its own type


def reclass_descriptor(cls, g):
    class Plain:
        def __get__(self, obj, tp=None):
            return 41

    class Data(Plain):
        def __set__(self, obj, value):
            pass

    cls._error_counter = Plain()
    outcome(CALLS[0][1], g)
    vars(cls)["_error_counter"].__class__ = Data  # __set__ now swallows every write


def base_gains_property(cls, g):
    cls.__bases__[0]._session_id = property(lambda self: "SES-from-property")


def new_base_in_mro(cls, g):
    class Mixin:
        source_idx = property(lambda self: 99)

    cls.__bases__ = (Mixin,) + cls.__bases__


def instance_changes_class(cls, g):
    class Other(cls):
        node_id = "other-class-node"

    g.__class__ = Other


def getattribute_added(cls, g):
    cls.__getattribute__ = lambda self, name: (
        "SES-intercepted" if name == "_session_id" else object.__getattribute__(self, name))


CLASS_CHANGES = {
    "descriptor type gains __set__": turn_data_descriptor,
    "descriptor __class__ reassigned": reclass_descriptor,
    "base class gains a property": base_gains_property,
    "__bases__ reassigned": new_base_in_mro,
    "instance __class__ reassigned": instance_changes_class,
    "__getattribute__ added": getattribute_added,
    "attribute dict replaced": lambda cls, g: setattr(g, "__dict__", dict(vars(g), node_id="x")),
    "dict item set": lambda cls, g: vars(g).__setitem__("_session_id", "SES-set-in-dict"),
    "dict cleared then refilled": lambda cls, g: (
        lambda saved: (vars(g).clear(), vars(g).update(saved)))(dict(vars(g))),
    "non-str key added": lambda cls, g: vars(g).__setitem__(7, "seven"),
    "type cache cleared": lambda cls, g: (sys._clear_type_cache(), setattr(
        cls, "_session_id", property(lambda self: "SES-after-clear"))),
}


@pytest.mark.parametrize("change", CLASS_CHANGES.values(), ids=CLASS_CHANGES.keys())
def test_state_follows_the_protocol_after_changes(change):
    native, reference = run_both(change)
    assert native == reference


def test_generators_of_several_classes_in_turn():
    """Instances of different classes, one of them changing its descriptors
    between calls, used in turn."""
    def run(base):
        classes = [type(f"C{i}", (base,), {}) for i in range(3)]
        gens = [classes[i % 3](f"node-{i}", i) for i in range(9)]
        seen = []
        for turn in range(4):
            if turn == 2:
                classes[1].node_id = property(lambda self: "PROPERTY")
            if turn == 3:
                del classes[1].node_id
            for g in gens:
                seen.append([outcome(call, g) for _, call in CALLS])
        return seen

    assert run(LogIDGenerator) == run(Reference)


class Releases:
    """A value whose release runs caller code that changes the generator."""

    def __init__(self, action, *, result=7, truth=True):
        self.action, self.result, self.truth = action, result, truth

    def __iadd__(self, other):
        return self.result

    def __bool__(self):
        return self.truth

    def __del__(self):
        self.action()


def release_cases():
    # (state attribute, value to put there given g, call)
    def counter(g):
        return Releases(lambda: setattr(g, "_error_counter", 100))

    def session(g):
        return Releases(lambda: setattr(g, "_session_id", "SES-from-del"))

    def tested_session(g):
        # The truth test itself drops the instance's reference: the value
        # then goes right after the test, before the second read.
        class Tested(Releases):
            def __bool__(self):
                g._session_id = "SES-replaced"
                return True

        return Tested(lambda: setattr(g, "_session_id", "SES-from-del"))

    return {
        "old counter at the write-back": ("_error_counter", counter, CALLS[0][1]),
        "old session at a forced write-back": ("_session_id", session, CALLS[2][1]),
        "tested session right after the test": ("_session_id", tested_session, CALLS[4][1]),
    }


RELEASES = release_cases()


@pytest.mark.parametrize("attr, make, call", RELEASES.values(), ids=RELEASES.keys())
def test_values_are_released_where_the_plain_algorithm_releases_them(attr, make, call):
    results = []
    for base in (LogIDGenerator, Reference):
        g = base("camera-node-01", 3)
        g.generate_session_id()
        setattr(g, attr, make(g))
        results.append((outcome(call, g), masked(getattr(g, attr))))
        gc.collect()
    assert results[0] == results[1]


STATE_PATHS = {
    "read": lambda g: (g.get_session_id(), g.format_log_with_session("m")),
    "counted": lambda g: g.generate_error_id(),
    "session made": lambda g: g.generate_session_id(),
    "layout changed": lambda g: (g.generate_error_id(), setattr(type(g), "extra", 1),
                                 g.generate_error_id()),
}


@pytest.mark.parametrize("use", STATE_PATHS.values(), ids=STATE_PATHS.keys())
def test_no_class_outlives_its_instances(use):
    cls = type("Short", (LogIDGenerator,), {})
    g = cls("camera-node-01", 3)
    use(g)
    # An instance of another class passed as self is a caller's class too.
    other = type("Stranger", (), {})()
    vars(other).update(node_id="n", source_idx=1, _session_id=None, _error_counter=0,
                       _event_counter=0, _lock=threading.Lock())
    LogIDGenerator.generate_error_id(other)
    refs = [weakref.ref(cls), weakref.ref(type(other))]
    del cls, g, other, use
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def remove_session(g):
    del g._session_id


def remove_session_and_move_while_looked_up(g):
    """A key compared during the lookup moves the instance to another
    class: the error names the class the series names (the one the lookup
    started with before 3.14, the instance's class from then on)."""
    moved = type("Moved", (type(g),), {})

    class Mover(Colliding):
        __hash__ = Colliding.__hash__

        def __eq__(self, other):
            g.__class__ = moved
            return False

    remove_session(g)
    vars(g)[Mover("_session_id")] = "colliding"


@pytest.mark.parametrize("remove", [remove_session, remove_session_and_move_while_looked_up])
def test_missing_state_raises_the_protocol_error(remove):
    errors = []
    for read in (lambda g: g.get_session_id(), lambda g: getattr(g, "_session_id")):
        g = type("Started", (LogIDGenerator,), {})("camera-node-01", 3)
        g.get_session_id()
        remove(g)
        with pytest.raises(AttributeError) as info:
            read(g)
        error = info.value
        errors.append((str(error), error.args, getattr(error, "name", None),
                       getattr(error, "obj", None) is g))
    assert errors[0] == errors[1]
    if sys.version_info >= (3, 10):
        assert errors[0][2:] == ("_session_id", True)


class Colliding:
    """A dictionary key that compares through caller code, hashing as a
    state name does, so that every lookup of that name meets it."""

    def __init__(self, name):
        self.name, self.compared = name, 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.compared += 1
        return False


@pytest.mark.parametrize("present", [True, False], ids=["present", "missing"])
def test_lookups_run_a_key_comparison_as_often_as_the_protocol(present):
    counts = []
    for read in (lambda g: g.get_session_id(), lambda g: getattr(g, "_session_id")):
        g = LogIDGenerator("camera-node-01", 3)
        key = Colliding("_session_id")
        session = vars(g).pop("_session_id")
        # Inserted first, the key lies first on the name's probe path.
        vars(g)[key] = "colliding"
        if present:
            g._session_id = session
        key.compared = 0
        for _ in range(3):
            try:
                read(g)
            except AttributeError:
                pass
        counts.append(key.compared)
    assert counts[0] == counts[1] > 0


try:
    from _testcapi import unicode_legacy_string as legacy
except ImportError:  # from 3.12 every str is ready; some builds lack the module
    legacy = None
TEXTS = {
    "message": lambda t: LogIDGenerator.format_log_with_id(t("hello"), "k"),
    "trace_key": lambda t: LogIDGenerator.format_log_with_id("m", t("ERR-x")),
    "token": lambda t: LogIDGenerator("camera-node-01", 3).generate_error_id(t("TOKEN")),
    "node_id": lambda t: LogIDGenerator(t("camera-node-01"), 3).generate_error_id(),
    "session in state": lambda t: (
        lambda g: (setattr(g, "_session_id", t("SES-legacy")), g.format_log_with_session("m"),
                   g.generate_session_id())[1:])(LogIDGenerator("n", 1)),
    "tagged message": lambda t: (lambda g: (g.generate_session_id(),
                                            g.format_log_with_session(t("hello")))[1][-5:])(
                                                LogIDGenerator("n", 1)),
}


@pytest.mark.skipif(legacy is None, reason="no legacy str on this interpreter")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("use", TEXTS.values(), ids=TEXTS.keys())
def test_text_not_yet_ready_reads_as_its_value(use):
    assert use(legacy) == use(str)
