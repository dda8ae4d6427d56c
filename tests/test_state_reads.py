"""Reads of a generator's state always see the instance as it is now, whatever
changed it since the last call: the module may remember values between
calls, and these are the changes it must notice."""

import ast
import gc
import subprocess
import sys
import threading

import pytest

from merrow_sdk.logging.trace_key import LogIDGenerator


def warmed(node="camera-node-01", idx=3):
    g = LogIDGenerator(node, idx)
    g.generate_session_id()
    # Every state value read at least once, so any remembered value is stale
    # after the change under test.
    g.get_session_id()
    g.generate_error_id()
    g.format_log_with_session("m")
    return g


def replace_dict(g):
    g.__dict__ = dict(vars(g), _session_id="SES-new")


def add_other_key_first(g):
    vars(g)[1] = "not a str key"
    g._session_id = "SES-new"


SESSION_CHANGES = [
    ("item assignment", lambda g: vars(g).__setitem__("_session_id", "SES-new")),
    ("update", lambda g: vars(g).update(_session_id="SES-new")),
    ("attribute assignment", lambda g: setattr(g, "_session_id", "SES-new")),
    ("setdefault after pop", lambda g: (vars(g).pop("_session_id"),
                                        vars(g).setdefault("_session_id", "SES-new"))),
    ("new dictionary", replace_dict),
    ("non-str key added", add_other_key_first),
]


@pytest.mark.parametrize("change", [c[1] for c in SESSION_CHANGES],
                         ids=[c[0] for c in SESSION_CHANGES])
def test_session_reads_see_changes(change):
    g = warmed()
    change(g)
    assert g.get_session_id() == "SES-new"
    assert g.generate_session_id() == "SES-new"
    assert g.format_log_with_session("m") == "[SES-new] m"


REMOVALS = [
    ("del attribute", lambda g: delattr(g, "_session_id")),
    ("pop", lambda g: vars(g).pop("_session_id")),
    ("clear", lambda g: vars(g).clear()),
    ("popitem of the last", lambda g: [vars(g).popitem() for _ in range(len(vars(g)) - 2)]),
]


@pytest.mark.parametrize("remove", [r[1] for r in REMOVALS], ids=[r[0] for r in REMOVALS])
def test_removed_state_is_missing(remove):
    g = warmed()
    remove(g)
    with pytest.raises(AttributeError, match="_session_id"):
        g.get_session_id()


@pytest.mark.parametrize("attr, value, expected", [
    ("_error_counter", 41, "ERR-GEN-camera-n-3-42"),
    ("node_id", "other-node-7", "ERR-GEN-other-no-3-2"),
    ("source_idx", -5, "ERR-GEN-camera-n--5-2"),
])
def test_counter_reads_see_item_assignment(attr, value, expected):
    g = warmed()
    vars(g)[attr] = value
    assert g.generate_error_id() == expected


def test_generators_in_turn_keep_their_own_state():
    gens = [warmed(f"node-{i}", i) for i in range(3)]
    for round_ in range(2, 5):
        for i, g in enumerate(gens):
            assert g.generate_error_id() == f"ERR-GEN-node-{i}-{i}-{round_}"
            assert g.format_log_with_session("m").startswith(f"[SES-node-{i}-{i}-")


def test_new_generator_in_freed_memory_reads_its_own_state():
    # A dictionary made where a freed one was must not be taken for it.
    for i in range(200):
        g = warmed(f"n{i}", i)
        assert g.generate_error_id() == f"ERR-GEN-n{i}-{i}-2"
        del g
        gc.collect(0)


def test_release_of_the_old_counter_may_change_state():
    g = warmed()

    class Counter:
        def __iadd__(self, other):
            return 7

        def __del__(self):
            g.node_id = "changed-by-del"

    g._error_counter = Counter()
    assert g.generate_error_id() == "ERR-GEN-changed--3-7"
    assert g._error_counter == 7


def test_a_data_descriptor_added_later_takes_over():
    class Sub(LogIDGenerator):
        pass

    g = Sub("camera-node-01", 3)
    g.generate_session_id()
    g.get_session_id()
    Sub._session_id = property(lambda self: "from-property")
    assert g.get_session_id() == "from-property"
    del Sub._session_id
    assert g.get_session_id().startswith("SES-camera-n-3-")


SHARING_CHECK = """
import sys, threading
from merrow_sdk.logging.trace_key import LogIDGenerator

class Plain:
    def __init__(self, node_id, source_idx):
        self.node_id = node_id
        self.source_idx = source_idx
        self._session_id = None
        self._error_counter = 0
        self._event_counter = 0
        self._lock = threading.Lock()

plain = [Plain("camera-node-01", 3) for _ in range(3)]
gens = [LogIDGenerator("camera-node-01", 3) for _ in range(3)]
for g in gens:
    g.generate_error_id()
print(repr(([sys.getsizeof(vars(o)) for o in plain], [sys.getsizeof(vars(o)) for o in gens])))
"""


def test_instances_share_one_key_table_as_plain_classes_do():
    # In a fresh interpreter: a class stops sharing keys for good once any
    # instance sets its attributes in another order, as tests here do.
    out = subprocess.run([sys.executable, "-c", SHARING_CHECK], check=True,
                         capture_output=True, text=True).stdout
    plain, gens = ast.literal_eval(out)
    assert gens == plain


def test_state_stored_after_the_type_was_first_read():
    # The class's shared key table lacks most names when a read first
    # learns the class; they are found once stored.
    class Late(LogIDGenerator):
        pass

    g = Late.__new__(Late)
    g.node_id, g.source_idx = "camera-node-01", 3
    with pytest.raises(AttributeError, match="_session_id"):
        g.get_session_id()
    g._session_id = "SES-late"
    assert g.get_session_id() == "SES-late"
    g._error_counter, g._lock = 5, threading.Lock()
    assert g.generate_error_id() == "ERR-GEN-camera-n-3-6"
    assert g._error_counter == 6


def has_dictionary(obj):
    return any(type(r) is dict for r in gc.get_referents(obj))


@pytest.mark.skipif(sys.version_info[:2] != (3, 12),
                    reason="3.12 alone specialises method loads only on values kept inline")
def test_calls_keep_the_values_inline():
    g = warmed()
    g.generate_event_id()
    g._error_counter = 7
    assert g.generate_error_id() == "ERR-GEN-camera-n-3-8"
    assert not has_dictionary(g)
    vars(g)
    assert has_dictionary(g)
    assert g.generate_error_id() == "ERR-GEN-camera-n-3-9"
