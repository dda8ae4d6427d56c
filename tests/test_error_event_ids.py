"""Numbered error and event identifiers."""

import sys
import threading
import traceback
import types

import pytest

from conftest import (LOCK_LACKING_IDS, LOCKS_LACKING_PROTOCOL, assert_one_entry, entry_names,
                      qualified, value_id)

# operation, prefix, counter attribute, default token, the other kind's counter
KINDS = [
    ("generate_error_id", "ERR", "_error_counter", "GEN", "_event_counter"),
    ("generate_event_id", "EVT", "_event_counter", "EVT", "_error_counter"),
]
KIND_IDS = ["error", "event"]


@pytest.fixture(params=KINDS, ids=KIND_IDS)
def kind(request):
    operation, prefix, counter, default, other = request.param
    return types.SimpleNamespace(
        operation=operation, prefix=prefix, counter=counter, default=default, other=other,
        make=lambda gen, *args, **kw: getattr(gen, operation)(*args, **kw),
    )


class StrSub(str):
    pass


# --------------------------------------------------------------------------
# Identifiers


def test_examples(tk, g):
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-1"
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-2"
    assert g.generate_event_id(tk.EventType.START) == "EVT-START-camera-f-3-1"
    assert g.generate_error_id(tk.ErrorType.FRAME_CAPTURE) == "ERR-FRAME-camera-f-3-3"
    assert g.generate_event_id() == "EVT-EVT-camera-f-3-2"
    assert (g._error_counter, g._event_counter) == (3, 2)


def test_defaults(kind, g):
    ident = kind.make(g)
    assert ident == f"{kind.prefix}-{kind.default}-camera-f-3-1"
    assert type(ident) is str


def test_token_by_keyword(tk, g):
    assert g.generate_error_id(error_type="CUSTOM") == "ERR-CUSTOM-camera-f-3-1"
    assert g.generate_event_id(event_type="CUSTOM") == "EVT-CUSTOM-camera-f-3-1"


def test_counters_separate_per_kind(kind, g):
    for n in range(1, 6):
        assert kind.make(g, "T").endswith(f"-{n}")
    assert getattr(g, kind.counter) == 5
    assert getattr(g, kind.other) == 0


def test_counters_separate_per_generator(tk, kind):
    a = tk.LogIDGenerator("node-a", 1)
    b = tk.LogIDGenerator("node-b", 2)
    assert kind.make(a, "X") == f"{kind.prefix}-X-node-a-1-1"
    assert kind.make(a, "X") == f"{kind.prefix}-X-node-a-1-2"
    assert kind.make(b, "X") == f"{kind.prefix}-X-node-b-2-1"


def test_session_does_not_count(g):
    g.generate_session_id()
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-1"
    assert g.generate_event_id() == "EVT-EVT-camera-f-3-1"


@pytest.mark.parametrize("token", [
    "CUSTOM", "", "with-dash", "lower", "spa ce", "[bracket]", "ünïcødé", "\U0001f525", "X" * 300,
])
def test_any_text_token_accepted_unchanged(kind, g, token):
    assert kind.make(g, token) == f"{kind.prefix}-{token}-camera-f-3-1"


def test_empty_token(g):
    assert g.generate_error_id("").startswith("ERR--")
    assert g.generate_error_id("") == "ERR--camera-f-3-2"


@pytest.mark.parametrize("token, type_name", [
    (None, "NoneType"), (42, "int"), (b"GEN", "bytes"), (StrSub("GEN"), "StrSub"), (["GEN"], "list"),
])
def test_token_must_be_exact_str(kind, g, token, type_name):
    parameter = "error_type" if kind.prefix == "ERR" else "event_type"
    with pytest.raises(TypeError) as info:
        kind.make(g, token)
    assert str(info.value).startswith(
        f"Argument '{parameter}' has incorrect type (expected str, got {type_name})")
    assert getattr(g, kind.counter) == 0
    assert not g._lock.locked()
    assert kind.make(g).endswith("-1")


@pytest.mark.parametrize("node_id, prefix", [
    ("cam", "cam"),
    ("", ""),
    ("exactly8", "exactly8"),
    ("ninechars", "ninechar"),
    ("kämera-nœud-01", "kämera-n"),
    ("相机节点前端零一号", "相机节点前端零一"),
])
def test_node_prefix(tk, kind, node_id, prefix):
    gen = tk.LogIDGenerator(node_id, 3)
    assert kind.make(gen, "T") == f"{kind.prefix}-T-{prefix}-3-1"


def test_empty_node_id_example(tk):
    assert tk.LogIDGenerator("", 3).generate_error_id() == "ERR-GEN--3-1"


@pytest.mark.parametrize("source_idx, text", [
    (-1, "-1"), (True, "1"), (2.9, "2"), (-2.5, "-2"), (0, "0"), (2**64, str(2**64)),
])
def test_index_text(tk, kind, source_idx, text):
    gen = tk.LogIDGenerator("camera-front-01", source_idx)
    assert kind.make(gen, "T") == f"{kind.prefix}-T-camera-f-{text}-1"


def test_negative_index_example(tk):
    assert tk.LogIDGenerator("camera-front-01", -1).generate_error_id() == "ERR-GEN-camera-f--1-1"


@pytest.mark.parametrize("node_id, text", [
    (list("abcdefghij"), "['a', 'b', 'c', 'd', 'e', 'f', 'g', 'h']"),
    (b"camera-front-01", "b'camera-f'"),
    ("other-node-77", "other-no"),
], ids=["list", "bytes", "text"])
def test_replaced_node_id(kind, g, node_id, text):
    g.node_id = node_id
    assert kind.make(g, "T") == f"{kind.prefix}-T-{text}-3-1"


@pytest.mark.parametrize("source_idx, text", [("seven", "seven"), (1.5, "1.5"), (None, "None")])
def test_replaced_source_idx(kind, g, source_idx, text):
    g.source_idx = source_idx
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-{text}-1"


def test_fields_formatted_with_empty_format(kind, g):
    seen = []

    class Field:
        def __init__(self, text):
            self.text = text

        def __add__(self, other):
            return Field("NUM")

        def __format__(self, spec):
            seen.append((self.text, spec))
            return self.text

        def __str__(self):
            raise AssertionError("format(), not str()")

    class Node:
        def __getitem__(self, key):
            seen.append(("key", (key.start, key.stop, key.step)))
            return Field("NODE")

    g.node_id = Node()
    g.source_idx = Field("IDX")
    setattr(g, kind.counter, Field("OLD"))
    assert kind.make(g, "T") == f"{kind.prefix}-T-NODE-IDX-NUM"
    assert seen == [("key", (None, 8, None)), ("NODE", ""), ("IDX", ""), ("NUM", "")]


# --------------------------------------------------------------------------
# Counter arithmetic


@pytest.mark.parametrize("start, expected", [
    (41, "42"),
    (-5, "-4"),
    (2**31 - 1, str(2**31)),
    (2**32 - 1, str(2**32)),
    (2**63 - 1, str(2**63)),
    (2**64, str(2**64 + 1)),
    (True, "2"),
    (1.5, "2.5"),
])
def test_counter_continues_from_written_value(kind, g, start, expected):
    setattr(g, kind.counter, start)
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-3-{expected}"
    assert str(getattr(g, kind.counter)) == expected


def test_counter_41_gives_42(g):
    g._error_counter = 41
    assert g.generate_error_id() == "ERR-GEN-camera-f-3-42"
    assert g._error_counter == 42


def test_counter_uses_in_place_addition(kind, g):
    class Counter:
        def __init__(self):
            self.value = 0
            self.ops = []

        def __iadd__(self, other):
            self.ops.append(("iadd", other))
            self.value += other
            return self

        def __add__(self, other):
            raise AssertionError("in-place addition expected")

        def __format__(self, spec):
            return f"c{self.value}"

    counter = Counter()
    setattr(g, kind.counter, counter)
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-3-c1"
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-3-c2"
    assert counter.ops == [("iadd", 1), ("iadd", 1)]
    assert getattr(g, kind.counter) is counter


def test_running_number_is_read_back(kind, recording_generator):
    gen, log = recording_generator()
    make = getattr(gen, kind.operation)
    log.clear()
    make("T")
    assert log == [
        ("get", "_lock"),
        ("get", kind.counter), ("set", kind.counter), ("get", kind.counter),
        ("get", "node_id"), ("get", "source_idx"),
    ]


def test_counter_not_addable(kind, g):
    setattr(g, kind.counter, "x")
    expected = None
    try:
        probe = "x"
        probe += 1
    except TypeError as exc:
        expected = str(exc)
    with pytest.raises(TypeError) as info:
        kind.make(g, "T")
    assert str(info.value) == expected
    assert getattr(g, kind.counter) == "x"
    assert not g._lock.locked()
    assert_one_entry(info.value, kind.operation)


def test_counter_missing(kind, g):
    delattr(g, kind.counter)
    with pytest.raises(AttributeError) as info:
        kind.make(g, "T")
    assert str(info.value) == f"'LogIDGenerator' object has no attribute '{kind.counter}'"
    assert not g._lock.locked()
    assert_one_entry(info.value, kind.operation)


def test_counter_write_refused(tk, kind):
    class Refusing(tk.LogIDGenerator):
        refuse = False

        def __setattr__(self, name, value):
            if self.refuse and name == kind.counter:
                raise PermissionError(name)
            object.__setattr__(self, name, value)

    gen = Refusing("camera-front-01", 3)
    gen.refuse = True
    with pytest.raises(PermissionError):
        kind.make(gen, "T")
    assert getattr(gen, kind.counter) == 0
    assert not gen._lock.locked()


def test_counter_read_back_failure_after_write(tk, kind):
    class ForgetfulRead(tk.LogIDGenerator):
        reads = 0

        def __getattribute__(self, name):
            if name == kind.counter:
                type(self).reads += 1
                if type(self).reads == 2:
                    raise LookupError("read-back")
            return object.__getattribute__(self, name)

    gen = ForgetfulRead("camera-front-01", 3)
    with pytest.raises(LookupError):
        kind.make(gen, "T")
    assert object.__getattribute__(gen, kind.counter) == 1
    assert not object.__getattribute__(gen, "_lock").locked()


# --------------------------------------------------------------------------
# Failures after the counter step


@pytest.mark.parametrize("node_id, type_name", [(None, "NoneType"), (7, "int"), (object(), "object")])
def test_unsliceable_node_id_still_counts(kind, g, node_id, type_name):
    g.node_id = node_id
    with pytest.raises(TypeError) as info:
        kind.make(g)
    assert str(info.value) == f"'{type_name}' object is unsliceable"
    assert getattr(g, kind.counter) == 1
    assert not g._lock.locked()
    assert_one_entry(info.value, kind.operation)
    g.node_id = "camera-front-01"
    # the number taken by the failed call is never handed out
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-3-2"


@pytest.mark.parametrize("missing", ["node_id", "source_idx"])
def test_missing_field_attribute_still_counts(kind, g, missing):
    delattr(g, missing)
    with pytest.raises(AttributeError) as info:
        kind.make(g)
    assert str(info.value) == f"'LogIDGenerator' object has no attribute '{missing}'"
    assert getattr(g, kind.counter) == 1
    assert_one_entry(info.value, kind.operation)


def test_field_format_failure_still_counts(kind, g):
    class Unformattable:
        def __format__(self, spec):
            raise ValueError("no text")

    g.source_idx = Unformattable()
    with pytest.raises(ValueError, match="^no text$") as info:
        kind.make(g)
    assert getattr(g, kind.counter) == 1
    assert entry_names(info.value).count(qualified(kind.operation)) == 1


def test_fields_read_after_lock_released(kind, g, lock_type):
    lock = lock_type()()
    g._lock = lock
    held = {}

    class Node:
        def __getitem__(self, key):
            held["node"] = lock.locked()
            return "NODE"

    class Counter(int):
        def __iadd__(self, other):
            held["counter"] = lock.locked()
            return int(self) + other

    g.node_id = Node()
    setattr(g, kind.counter, Counter(0))
    assert kind.make(g, "T") == f"{kind.prefix}-T-NODE-3-1"
    assert held == {"counter": True, "node": False}


# --------------------------------------------------------------------------
# The lock protocol


@pytest.mark.parametrize("lock, missing", [*LOCKS_LACKING_PROTOCOL, (None, "__exit__")],
                         ids=[*LOCK_LACKING_IDS, "none"])
def test_lock_lacking_protocol(kind, g, lock, missing):
    g._lock = lock
    with pytest.raises(AttributeError) as info:
        kind.make(g)
    assert type(info.value) is AttributeError
    assert info.value.args == (missing,)
    assert getattr(g, kind.counter) == 0
    assert_one_entry(info.value, kind.operation)


def test_lock_missing(kind, g):
    del g._lock
    with pytest.raises(AttributeError) as info:
        kind.make(g)
    assert str(info.value) == "'LogIDGenerator' object has no attribute '_lock'"
    assert getattr(g, kind.counter) == 0


def test_lock_calls_on_success(kind, g, lock_type):
    lock = lock_type()()
    g._lock = lock
    kind.make(g)
    assert lock.record.names() == ["enter", "exit"]
    assert lock.record.exits() == [(None, None, None)]
    assert not lock.locked()


@pytest.mark.parametrize("exit_result", [True, 1, "yes", object()], ids=value_id)
def test_true_exit_with_counter_missing_gives_unbound_local(kind, g, lock_type, exit_result):
    lock = lock_type(exit_result=exit_result)()
    g._lock = lock
    delattr(g, kind.counter)
    with pytest.raises(UnboundLocalError) as info:
        kind.make(g)
    assert type(info.value) is UnboundLocalError
    assert str(info.value) == "local variable 'counter' referenced before assignment"
    assert not hasattr(g, kind.counter)
    assert_one_entry(info.value, kind.operation)


def test_true_exit_node_failure_reported_before_unbound_local(kind, g, lock_type):
    g._lock = lock_type(exit_result=True)()
    delattr(g, kind.counter)
    g.node_id = None
    with pytest.raises(TypeError, match="^'NoneType' object is unsliceable$"):
        kind.make(g)


@pytest.mark.parametrize("exit_result", [None, False, 0, ""], ids=value_id)
def test_false_exit_with_counter_missing_gives_attribute_error(kind, g, lock_type, exit_result):
    lock = lock_type(exit_result=exit_result)()
    g._lock = lock
    delattr(g, kind.counter)
    with pytest.raises(AttributeError) as info:
        kind.make(g)
    assert str(info.value) == f"'LogIDGenerator' object has no attribute '{kind.counter}'"
    assert_one_entry(info.value, kind.operation)


def test_exit_sees_exception(kind, g, lock_type):
    lock = lock_type()()
    g._lock = lock
    delattr(g, kind.counter)
    with pytest.raises(AttributeError) as info:
        kind.make(g)
    assert lock.record.names() == ["enter", "exit"]
    (exc_type, exc_value, tb), = lock.record.exits()
    assert exc_type is AttributeError
    assert exc_value is info.value
    assert isinstance(tb, types.TracebackType)
    # handed over with the operation's entry already on it
    names = [frame.name for frame in traceback.extract_tb(tb)]
    assert names.count(qualified(kind.operation)) == 1
    assert not lock.locked()


def test_exit_result_truth_test_raising_on_failure(kind, g, lock_type):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("undecided")

    g._lock = lock_type(exit_result=Undecided())()
    delattr(g, kind.counter)
    with pytest.raises(ArithmeticError, match="^undecided$"):
        kind.make(g)


def test_exit_result_ignored_on_success(kind, g, lock_type):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("must not be asked")

    g._lock = lock_type(exit_result=Undecided())()
    assert kind.make(g, "T") == f"{kind.prefix}-T-camera-f-3-1"


def test_exit_raising_on_failure_path(kind, g, lock_type):
    g._lock = lock_type(exit_error=RuntimeError("exit broke"), exit_error_always=True)()
    delattr(g, kind.counter)
    with pytest.raises(RuntimeError, match="^exit broke$"):
        kind.make(g)


def test_enter_raising(kind, g, lock_type):
    lock = lock_type(enter_error=KeyError("busy"))()
    g._lock = lock
    with pytest.raises(KeyError) as info:
        kind.make(g)
    assert lock.record.names() == ["enter"]
    assert getattr(g, kind.counter) == 0
    assert entry_names(info.value).count(qualified(kind.operation)) == 1


def test_exit_raising_after_success(kind, g, lock_type):
    lock = lock_type(exit_error=RuntimeError("exit broke"))()
    g._lock = lock
    with pytest.raises(RuntimeError, match="^exit broke$") as info:
        kind.make(g)
    assert getattr(g, kind.counter) == 1
    assert lock.record.names() == ["enter", "exit"]
    assert entry_names(info.value).count(qualified(kind.operation)) == 1


def test_errors_events_and_session_share_one_lock(g, lock_type):
    lock = lock_type()()
    g._lock = lock
    g.generate_error_id()
    g.generate_event_id()
    g.generate_session_id()
    assert lock.record.names() == ["enter", "exit"] * 3


# --------------------------------------------------------------------------
# Threads


def _hammer(workers):
    barrier = threading.Barrier(len(workers))
    results = [None] * len(workers)

    def run(slot, fn):
        barrier.wait()
        results[slot] = fn()

    threads = [threading.Thread(target=run, args=(i, fn)) for i, fn in enumerate(workers)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    return results


def _numbers(identifiers):
    return sorted(int(i.rsplit("-", 1)[1]) for i in identifiers)


def test_eight_threads_get_each_number_once(g):
    def work():
        return [g.generate_error_id() for _ in range(1000)]

    results = _hammer([work] * 8)
    all_ids = [i for chunk in results for i in chunk]
    assert len(all_ids) == 8000
    assert _numbers(all_ids) == list(range(1, 8001))
    assert all(i.startswith("ERR-GEN-camera-f-3-") for i in all_ids)
    assert g._error_counter == 8000
    assert g._event_counter == 0
    assert not g._lock.locked()


def test_mixed_kinds_and_sessions_across_threads(g):
    def errors():
        return [g.generate_error_id() for _ in range(500)]

    def events():
        return [g.generate_event_id() for _ in range(500)]

    def sessions():
        return [g.generate_session_id(force=True) for _ in range(100)]

    results = _hammer([errors, events, errors, events, sessions])
    assert _numbers(results[0] + results[2]) == list(range(1, 1001))
    assert _numbers(results[1] + results[3]) == list(range(1, 1001))
    assert (g._error_counter, g._event_counter) == (1000, 1000)
    assert g.get_session_id() in results[4]
