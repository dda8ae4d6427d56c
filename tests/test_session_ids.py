"""Generator state and session identifiers."""

import builtins
import re
import sys
import threading
import time
import types
import uuid

import pytest

from conftest import (LOCK_LACKING_IDS, LOCKS_LACKING_PROTOCOL, assert_one_entry, entry_names,
                      qualified, value_id)

SESSION_RE = re.compile(r"SES-camera-n-3-[0-9a-f]{8}")
STATE_ORDER = ["node_id", "source_idx", "_session_id", "_error_counter", "_event_counter", "_lock"]
PLAIN_LOCK = type(threading.Lock())


class FakeUUID:
    """Stands in for the ``uuid`` module: hands out known texts and counts calls."""

    def __init__(self, *values, log=None):
        self.values = list(values)
        self.calls = 0
        self.log = log

    def uuid4(self):
        self.calls += 1
        if self.log is not None:
            self.log.append("uuid4")
        if self.values:
            return self.values.pop(0)
        return uuid.uuid4()


@pytest.fixture
def fake_uuid(tk, monkeypatch):
    def install(*values, log=None):
        fake = FakeUUID(*values, log=log)
        monkeypatch.setattr(tk, "uuid", fake)
        return fake

    return install


@pytest.fixture
def sg(tk):
    return tk.LogIDGenerator("camera-node-01", 3)


# --------------------------------------------------------------------------
# Construction


def test_new_generator_state(tk):
    node = "camera-node-01"
    gen = tk.LogIDGenerator(node, 3)
    state = vars(gen)
    assert list(state) == STATE_ORDER
    assert state["node_id"] is node
    assert type(state["source_idx"]) is int and state["source_idx"] == 3
    assert state["_session_id"] is None
    assert type(state["_error_counter"]) is int and state["_error_counter"] == 0
    assert type(state["_event_counter"]) is int and state["_event_counter"] == 0
    assert type(state["_lock"]) is PLAIN_LOCK
    assert not state["_lock"].locked()
    assert gen.get_session_id() is None


def test_each_generator_has_its_own_lock(tk):
    a, b = tk.LogIDGenerator("a", 1), tk.LogIDGenerator("b", 1)
    assert a._lock is not b._lock


@pytest.mark.parametrize("source_idx, held, text", [
    (True, 1, "1"),
    (False, 0, "0"),
    (2.9, 2, "2"),
    (-2.5, -2, "-2"),
    (-1, -1, "-1"),
    (2**40, 2**40, str(2**40)),
])
def test_source_idx_conversion(tk, fake_uuid, source_idx, held, text):
    fake_uuid("abcdef0123456789")
    gen = tk.LogIDGenerator("camera-node-01", source_idx)
    assert type(gen.source_idx) is int
    assert gen.source_idx == held
    assert gen.generate_session_id() == f"SES-camera-n-{text}-abcdef01"


def test_source_idx_with_index_method(tk):
    class Index:
        def __index__(self):
            return 11

    gen = tk.LogIDGenerator("n", Index())
    assert type(gen.source_idx) is int and gen.source_idx == 11


def test_source_idx_int_subclass_becomes_exact_int(tk):
    class Number(int):
        pass

    gen = tk.LogIDGenerator("n", Number(4))
    assert type(gen.source_idx) is int and gen.source_idx == 4


def test_source_idx_exact_int_kept(tk):
    big = 10**30
    gen = tk.LogIDGenerator("n", big)
    assert gen.source_idx is big


@pytest.mark.parametrize("value, type_name", [("3", "str"), (None, "NoneType"), ([3], "list")])
def test_source_idx_not_a_number(tk, value, type_name):
    gen = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
    with pytest.raises(TypeError) as info:
        gen.__init__("camera-node-01", value)
    assert str(info.value) == (
        f"Argument 'source_idx' has incorrect type (expected int, got {type_name})"
    )
    assert vars(gen) == {}


def test_source_idx_conversion_error_propagates(tk):
    class Bad:
        def __int__(self):
            raise ZeroDivisionError("no int")

    gen = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
    with pytest.raises(ZeroDivisionError, match="^no int$"):
        gen.__init__("n", Bad())
    assert vars(gen) == {}


class StrSub(str):
    pass


@pytest.mark.parametrize("node_id, type_name", [
    (None, "NoneType"),
    (b"camera", "bytes"),
    (StrSub("camera"), "StrSub"),
])
def test_node_id_must_be_exact_str(tk, node_id, type_name):
    gen = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
    with pytest.raises(TypeError) as info:
        gen.__init__(node_id, 1)
    assert str(info.value).startswith(
        f"Argument 'node_id' has incorrect type (expected str, got {type_name})"
    )
    assert vars(gen) == {}


@pytest.mark.parametrize("source_idx, reported", [("x", "source_idx"), (2.5, "node_id")])
def test_both_arguments_wrong(tk, source_idx, reported):
    with pytest.raises(TypeError, match=f"^Argument '{reported}' has incorrect type"):
        tk.LogIDGenerator(None, source_idx)


def test_init_looks_up_threading_at_call_time(tk, monkeypatch, lock_type):
    lock = lock_type()()
    monkeypatch.setattr(tk, "threading", types.SimpleNamespace(Lock=lambda: lock))
    gen = tk.LogIDGenerator("n", 1)
    assert gen._lock is lock


def test_init_falls_back_to_builtins_for_threading(tk, monkeypatch):
    marker = object()
    monkeypatch.delattr(tk, "threading")
    monkeypatch.setattr(builtins, "threading", types.SimpleNamespace(Lock=lambda: marker), raising=False)
    assert tk.LogIDGenerator("n", 1)._lock is marker


def test_init_without_threading(tk, monkeypatch):
    monkeypatch.delattr(tk, "threading")
    monkeypatch.delattr(builtins, "threading", raising=False)
    gen = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
    with pytest.raises(NameError) as info:
        gen.__init__("camera-node-01", 3)
    assert str(info.value) == "name 'threading' is not defined"
    assert list(vars(gen)) == STATE_ORDER[:5]
    assert_one_entry(info.value, "__init__")


@pytest.mark.parametrize("threading_stub, error", [
    (types.SimpleNamespace(), AttributeError),
    (types.SimpleNamespace(Lock=lambda: 1 / 0), ZeroDivisionError),
])
def test_init_lock_factory_failures(tk, monkeypatch, threading_stub, error):
    monkeypatch.setattr(tk, "threading", threading_stub)
    gen = tk.LogIDGenerator.__new__(tk.LogIDGenerator)
    with pytest.raises(error) as info:
        gen.__init__("n", 1)
    assert list(vars(gen)) == STATE_ORDER[:5]
    assert qualified("__init__") in entry_names(info.value)


def test_init_attribute_write_failure_keeps_earlier_ones(tk):
    class Refusing(tk.LogIDGenerator):
        def __setattr__(self, name, value):
            if name == "_error_counter":
                raise PermissionError(name)
            object.__setattr__(self, name, value)

    gen = Refusing.__new__(Refusing)
    with pytest.raises(PermissionError):
        gen.__init__("n", 1)
    assert list(vars(gen)) == STATE_ORDER[:3]


def test_init_writes_in_order(recording_generator):
    gen, log = recording_generator()
    init = gen.__init__
    log.clear()
    init("other", 5)
    assert log == [("set", name) for name in STATE_ORDER]


def test_init_again_resets_state(g):
    g.generate_session_id()
    g.generate_error_id()
    g.generate_event_id()
    old_lock = g._lock
    assert g.__init__("camera-rear-02", 7) is None
    assert list(vars(g)) == STATE_ORDER
    assert (g.node_id, g.source_idx, g._session_id, g._error_counter, g._event_counter) == (
        "camera-rear-02", 7, None, 0, 0)
    assert g._lock is not old_lock
    assert g.generate_error_id() == "ERR-GEN-camera-r-7-1"


# --------------------------------------------------------------------------
# Format and caching


def test_session_id_format(sg):
    sid = sg.generate_session_id()
    assert type(sid) is str
    assert len(sid) == 23
    assert SESSION_RE.fullmatch(sid), sid


def test_session_id_short_uuid_from_uuid4(tk, sg, fake_uuid):
    value = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
    fake = fake_uuid(value)
    assert sg.generate_session_id() == "SES-camera-n-3-12345678"
    assert fake.calls == 1


@pytest.mark.parametrize("uuid_result, short", [
    ("0123456789abcdef", "01234567"),
    ("abc", "abc"),
    ("", ""),
    ("ÄÖÜäöüßéèê", "ÄÖÜäöüßé"),
])
def test_short_uuid_is_text_prefix(sg, fake_uuid, uuid_result, short):
    fake_uuid(uuid_result)
    assert sg.generate_session_id() == "SES-camera-n-3-" + short


def test_short_uuid_uses_str(sg, fake_uuid):
    class Custom:
        def __str__(self):
            return "fedcba9876543210"

        def __format__(self, spec):
            raise AssertionError("str(), not format()")

    fake_uuid(Custom())
    assert sg.generate_session_id() == "SES-camera-n-3-fedcba98"


def test_session_id_cached(sg, fake_uuid):
    fake = fake_uuid()
    first = sg.generate_session_id()
    assert sg.generate_session_id() is first
    assert sg.get_session_id() is first
    assert sg._session_id is first
    assert fake.calls == 1


def test_uuid4_not_called_when_cached(tk, sg, monkeypatch):
    first = sg.generate_session_id()
    monkeypatch.setattr(tk, "uuid", types.SimpleNamespace())  # no uuid4 at all
    assert sg.generate_session_id() is first
    assert sg.generate_session_id(False) is first
    monkeypatch.delattr(tk, "uuid")
    assert sg.generate_session_id(force=0) is first


@pytest.mark.parametrize("call", [
    lambda gen: gen.generate_session_id(force=True),
    lambda gen: gen.generate_session_id(True),
], ids=["keyword", "positional"])
def test_force_regenerates(sg, fake_uuid, call):
    fake_uuid("11111111-x", "22222222-y")
    first = sg.generate_session_id()
    second = call(sg)
    assert first == "SES-camera-n-3-11111111"
    assert second == "SES-camera-n-3-22222222"
    assert second[:15] == first[:15]
    assert sg.get_session_id() is second
    assert sg.generate_session_id() is second


def test_force_with_real_uuid_gives_new_id(sg):
    first = sg.generate_session_id()
    second = sg.generate_session_id(force=True)
    assert SESSION_RE.fullmatch(second)
    assert second != first
    assert second[:15] == first[:15]


FALSY = [0, None, "", False, 0.0, [], {}, ()]
TRUTHY = [1, True, "False", "0", "no", [0], 0.5, object()]


@pytest.mark.parametrize("force", FALSY, ids=value_id)
def test_falsy_force_keeps_identifier(sg, fake_uuid, force):
    fake = fake_uuid()
    first = sg.generate_session_id()
    assert sg.generate_session_id(force) is first
    assert sg.generate_session_id(force=force) is first
    assert fake.calls == 1


@pytest.mark.parametrize("force", TRUTHY, ids=value_id)
def test_truthy_force_makes_new_identifier(sg, fake_uuid, force):
    fake = fake_uuid("aaaaaaaa", "bbbbbbbb", "cccccccc")
    sg.generate_session_id()
    assert sg.generate_session_id(force) == "SES-camera-n-3-bbbbbbbb"
    assert sg.generate_session_id(force=force) == "SES-camera-n-3-cccccccc"
    assert fake.calls == 3


def test_force_on_first_call(sg, fake_uuid):
    fake_uuid("99999999")
    assert sg.generate_session_id(force=True) == "SES-camera-n-3-99999999"


def test_force_object_is_not_kept(sg):
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            return True

    flag = Flag()
    sg.generate_session_id(flag)
    assert Flag.calls == 1
    assert all(v is not flag for v in vars(sg).values())


def test_force_truth_test_raising(sg, fake_uuid):
    class Broken:
        def __bool__(self):
            raise ValueError("no truth")

    fake = fake_uuid()
    with pytest.raises(ValueError, match="^no truth$"):
        sg.generate_session_id(Broken())
    assert fake.calls == 0
    assert not sg._lock.locked()
    assert sg._session_id is None


# --------------------------------------------------------------------------
# Node prefix and index text


@pytest.mark.parametrize("node_id, prefix", [
    ("cam", "cam"),
    ("", ""),
    ("exactly8", "exactly8"),
    ("ninechars", "ninechar"),
    ("kämera-nœud-01", "kämera-n"),
    ("相机节点前端零一号", "相机节点前端零一"),
    ("\U0001f4f7\U0001f4f7-node-01", "\U0001f4f7\U0001f4f7-node-"),
])
def test_node_prefix(tk, fake_uuid, node_id, prefix):
    fake_uuid("01234567")
    assert tk.LogIDGenerator(node_id, 3).generate_session_id() == f"SES-{prefix}-3-01234567"


def test_empty_node_id_gives_adjacent_dashes(tk):
    sid = tk.LogIDGenerator("", 3).generate_session_id()
    assert sid.startswith("SES--3-")


def test_negative_index_shows_sign(tk):
    sid = tk.LogIDGenerator("camera-node-01", -1).generate_session_id()
    assert sid.startswith("SES-camera-n--1-")
    assert re.fullmatch(r"SES-camera-n--1-[0-9a-f]{8}", sid)


@pytest.mark.parametrize("node_id, text", [
    (list(range(10)), "[0, 1, 2, 3, 4, 5, 6, 7]"),
    (tuple("abcdefghij"), "('a', 'b', 'c', 'd', 'e', 'f', 'g', 'h')"),
    (b"camera-node-01", "b'camera-n'"),
    (["x"], "['x']"),
], ids=["list", "tuple", "bytes", "short-list"])
def test_replaced_node_id_any_subscriptable(sg, fake_uuid, node_id, text):
    fake_uuid("01234567")
    sg.node_id = node_id
    assert sg.generate_session_id() == f"SES-{text}-3-01234567"


def test_node_id_subscripted_with_slice_to_8(sg, fake_uuid):
    seen = []

    class Field:
        def __format__(self, spec):
            seen.append(("format", spec))
            return "FIELD"

    class Node:
        def __getitem__(self, key):
            seen.append(("key", key))
            return Field()

    fake_uuid("01234567")
    sg.node_id = Node()
    assert sg.generate_session_id() == "SES-FIELD-3-01234567"
    assert len(seen) == 2
    key = seen[0][1]
    assert type(key) is slice
    assert (key.start, key.stop, key.step) == (None, 8, None)
    assert seen[1] == ("format", "")


def test_replaced_node_id_text(sg):
    first = sg.generate_session_id()
    sg.node_id = "lobby-cam-9"
    second = sg.generate_session_id(force=True)
    assert second.startswith("SES-lobby-ca-3-")
    assert first.startswith("SES-camera-n-3-")


@pytest.mark.parametrize("source_idx, text", [
    ("seven", "seven"),
    (2.5, "2.5"),
    (-40, "-40"),
    (None, "None"),
])
def test_replaced_source_idx(sg, fake_uuid, source_idx, text):
    fake_uuid("01234567")
    sg.source_idx = source_idx
    assert sg.generate_session_id() == f"SES-camera-n-{text}-01234567"


def test_source_idx_formatted_with_empty_format(sg, fake_uuid):
    specs = []

    class Index:
        def __format__(self, spec):
            specs.append(spec)
            return "IDX"

        def __str__(self):
            raise AssertionError("format(), not str()")

    fake_uuid("01234567")
    sg.source_idx = Index()
    assert sg.generate_session_id() == "SES-camera-n-IDX-01234567"
    assert specs == [""]


def test_str_subclass_fields_go_through_format(sg, fake_uuid):
    class Fancy(str):
        def __format__(self, spec):
            return "fancy"

    fake_uuid("01234567")
    sg.source_idx = Fancy("7")
    assert sg.generate_session_id() == "SES-camera-n-fancy-01234567"


# --------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize("node_id, type_name", [(42, "int"), (None, "NoneType"), (object(), "object")])
def test_unsliceable_node_id(sg, node_id, type_name):
    first = sg.generate_session_id()
    sg.node_id = node_id
    with pytest.raises(TypeError) as info:
        sg.generate_session_id(force=True)
    assert str(info.value) == f"'{type_name}' object is unsliceable"
    assert sg._session_id is first
    assert not sg._lock.locked()
    assert_one_entry(info.value, "generate_session_id")
    sg.node_id = "camera-node-01"
    assert sg.generate_session_id(force=True) != first


def test_unsliceable_node_id_on_first_call(sg):
    sg.node_id = 42
    with pytest.raises(TypeError, match="^'int' object is unsliceable$"):
        sg.generate_session_id()
    assert sg._session_id is None
    assert not sg._lock.locked()


def test_lock_free_for_other_threads_after_failure(sg):
    sg.node_id = 42
    with pytest.raises(TypeError):
        sg.generate_session_id()
    sg.node_id = "camera-node-01"
    assert not sg._lock.locked()
    result = []
    worker = threading.Thread(target=lambda: result.append(sg.generate_session_id()))
    worker.start()
    worker.join()
    assert SESSION_RE.fullmatch(result[0])


class StrSubclass(str):
    pass


@pytest.mark.parametrize("value, type_name", [(42, "int"), (b"SES", "bytes"), (StrSubclass("SES-x"), "StrSubclass")])
def test_session_id_of_wrong_type(sg, value, type_name):
    sg._session_id = value
    message = f"^Expected str, got {type_name}$"
    with pytest.raises(TypeError, match=message) as info:
        sg.get_session_id()
    assert_one_entry(info.value, "get_session_id")
    with pytest.raises(TypeError, match=message) as info:
        sg.generate_session_id()
    assert_one_entry(info.value, "generate_session_id")
    assert sg._session_id is value
    assert not sg._lock.locked()
    fresh = sg.generate_session_id(force=True)
    assert SESSION_RE.fullmatch(fresh)
    assert sg.get_session_id() is fresh


def test_get_session_id_takes_no_lock(sg):
    sid = sg.generate_session_id()
    sg._lock = object()  # any use of it would fail
    assert sg.get_session_id() is sid


@pytest.mark.parametrize("missing", ["uuid4", "module"])
def test_uuid_missing(tk, sg, monkeypatch, missing):
    if missing == "module":
        monkeypatch.delattr(tk, "uuid")
        monkeypatch.delattr(builtins, "uuid", raising=False)
        error, message = NameError, "^name 'uuid' is not defined$"
    else:
        monkeypatch.setattr(tk, "uuid", types.SimpleNamespace())
        error, message = AttributeError, "uuid4"
    with pytest.raises(error, match=message) as info:
        sg.generate_session_id()
    assert sg._session_id is None
    assert not sg._lock.locked()
    assert_one_entry(info.value, "generate_session_id")


def test_uuid4_raising(tk, sg, monkeypatch):
    first = sg.generate_session_id()

    def broken():
        raise OSError("no entropy")

    monkeypatch.setattr(tk, "uuid", types.SimpleNamespace(uuid4=broken))
    with pytest.raises(OSError, match="^no entropy$") as info:
        sg.generate_session_id(True)
    assert sg._session_id is first
    assert not sg._lock.locked()
    assert entry_names(info.value).count(qualified("generate_session_id")) == 1


def test_uuid_falls_back_to_builtins(tk, sg, monkeypatch):
    monkeypatch.delattr(tk, "uuid")
    monkeypatch.setattr(builtins, "uuid", FakeUUID("76543210"), raising=False)
    assert sg.generate_session_id() == "SES-camera-n-3-76543210"


# --------------------------------------------------------------------------
# The lock protocol


@pytest.mark.parametrize("lock, missing", [*LOCKS_LACKING_PROTOCOL, (42, "__exit__")],
                         ids=[*LOCK_LACKING_IDS, "int"])
def test_lock_lacking_protocol(sg, fake_uuid, lock, missing):
    fake = fake_uuid()
    sg._lock = lock
    with pytest.raises(AttributeError) as info:
        sg.generate_session_id()
    assert type(info.value) is AttributeError
    assert info.value.args == (missing,)
    assert sg._session_id is None
    assert fake.calls == 0


def test_lock_missing(sg):
    del sg._lock
    with pytest.raises(AttributeError, match="_lock"):
        sg.generate_session_id()
    assert sg._session_id is None


def test_lock_protocol_calls(sg, lock_type, fake_uuid):
    fake_uuid("01234567")
    lock = lock_type()()
    sg._lock = lock
    sid = sg.generate_session_id()
    assert sid == "SES-camera-n-3-01234567"
    assert lock.record.names() == ["enter", "exit"]
    assert lock.record.exits() == [(None, None, None)]
    assert not lock.locked()
    # cached: the lock is still taken and given back
    assert sg.generate_session_id() is sid
    assert lock.record.names() == ["enter", "exit", "enter", "exit"]


def test_uuid4_called_with_lock_held(tk, sg, monkeypatch, lock_type):
    lock = lock_type()()
    sg._lock = lock
    held = []

    def uuid4():
        held.append(lock.locked())
        return "01234567"

    monkeypatch.setattr(tk, "uuid", types.SimpleNamespace(uuid4=uuid4))
    sg.generate_session_id()
    assert held == [True]


def test_attribute_access_sequence(recording_generator, fake_uuid):
    fake_uuid("01234567", "89abcdef")
    gen, log = recording_generator("camera-node-01", 3)
    method = gen.generate_session_id
    log.clear()
    method()
    assert log == [("get", "_lock"), ("get", "_session_id"), ("get", "node_id"),
                   ("get", "source_idx"), ("set", "_session_id"), ("get", "_session_id")]
    log.clear()
    method()
    assert log == [("get", "_lock"), ("get", "_session_id"), ("get", "_session_id")]


def test_exit_returning_true_swallows_failure(sg, lock_type):
    lock = lock_type(exit_result=True)()
    sg._lock = lock
    sg.node_id = 42
    assert sg.generate_session_id() is None
    assert sg._session_id is None
    (exc_type, exc_value, tb), = lock.record.exits()
    assert exc_type is TypeError
    assert isinstance(exc_value, TypeError)
    assert str(exc_value) == "'int' object is unsliceable"
    assert isinstance(tb, types.TracebackType)


def test_exit_sees_failure_and_exception_propagates(sg, lock_type):
    lock = lock_type(exit_result=False)()
    sg._lock = lock
    sg.node_id = None
    with pytest.raises(TypeError) as info:
        sg.generate_session_id()
    (exc_type, exc_value, tb), = lock.record.exits()
    assert exc_type is TypeError
    assert exc_value is info.value
    assert isinstance(tb, types.TracebackType)
    assert not lock.locked()


def test_enter_raising(sg, lock_type, fake_uuid):
    fake = fake_uuid()
    lock = lock_type(enter_error=KeyError("busy"))()
    sg._lock = lock
    with pytest.raises(KeyError):
        sg.generate_session_id()
    assert lock.record.names() == ["enter"]
    assert fake.calls == 0
    assert sg._session_id is None


# --------------------------------------------------------------------------
# Threads


def test_threads_racing_for_first_session_get_same_id(tk, monkeypatch):
    calls = []

    def slow_uuid4():
        calls.append(1)
        time.sleep(0.005)  # widen the window for the other thread
        return uuid.uuid4()

    monkeypatch.setattr(tk, "uuid", types.SimpleNamespace(uuid4=slow_uuid4))
    for _ in range(20):
        calls.clear()
        gen = tk.LogIDGenerator("camera-node-01", 3)
        barrier = threading.Barrier(2)
        results = [None, None]

        def worker(slot):
            barrier.wait()
            results[slot] = gen.generate_session_id()

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results[0] is results[1]
        assert SESSION_RE.fullmatch(results[0])
        assert len(calls) == 1
        assert not gen._lock.locked()


def test_get_session_id_sees_none_or_whole_id(tk):
    gen = tk.LogIDGenerator("camera-node-01", 3)
    first = gen.generate_session_id()
    stop = threading.Event()
    seen = set()

    def reader():
        while True:
            seen.add(gen.get_session_id())
            if stop.is_set():
                break

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        t = threading.Thread(target=reader)
        t.start()
        made = {gen.generate_session_id(force=True) for _ in range(300)}
        stop.set()
        t.join()
    finally:
        sys.setswitchinterval(old)
    assert seen <= made | {first}
