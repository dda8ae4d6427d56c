"""Tagging log messages with identifiers."""

import sys
import types

import pytest

from conftest import assert_one_entry, entry_names, qualified, value_id


class StrSub(str):
    pass


# --------------------------------------------------------------------------
# format_log_with_id


def test_example_on_class_and_instance(tk, g):
    expected = "[ERR-FRAME-camera-f-3-1] Frame capture failed"
    assert tk.LogIDGenerator.format_log_with_id("Frame capture failed", "ERR-FRAME-camera-f-3-1") == expected
    assert g.format_log_with_id("Frame capture failed", "ERR-FRAME-camera-f-3-1") == expected


def test_with_generated_identifier(g):
    ident = g.generate_error_id("FRAME")
    assert g.format_log_with_id("Frame capture failed", ident) == f"[{ident}] Frame capture failed"


def test_keywords(tk):
    assert tk.LogIDGenerator.format_log_with_id(trace_key="k", message="m") == "[k] m"


@pytest.mark.parametrize("message, key, expected", [
    ("", "", "[] "),
    ("msg", "", "[] msg"),
    ("", "ID", "[ID] "),
    ("line one\nline two\n", "ID", "[ID] line one\nline two\n"),
    ("  padded  ", " a]b [ ", "[ a]b [ ]   padded  "),
    ("ünïcødé", "ID", "[ID] ünïcødé"),
    ("caméra", "相机", "[相机] caméra"),
    ("fire \U0001f525", "é", "[é] fire \U0001f525"),
    ("\U0001f525", "\u20ac", "[\u20ac] \U0001f525"),
    ("nul\0inside", "a\0b", "[a\0b] nul\0inside"),
], ids=["empty", "empty-key", "empty-message", "newlines", "brackets-spaces",
        "latin1", "ucs2", "ucs4-message", "ucs4-ucs2", "nul"])
def test_tag_layout(tk, message, key, expected):
    result = tk.LogIDGenerator.format_log_with_id(message, key)
    assert type(result) is str
    assert result == expected
    assert len(result) == len(message) + len(key) + 3


def test_long_texts(tk):
    message, key = "m" * 100_000, "k" * 50_000
    assert tk.LogIDGenerator.format_log_with_id(message, key) == f"[{key}] {message}"


def test_instance_not_taken_as_argument(g):
    with pytest.raises(TypeError) as info:
        g.format_log_with_id("only one")
    assert str(info.value) == "format_log_with_id() takes exactly 2 positional arguments (1 given)"


@pytest.mark.parametrize("message, key, reported, type_name", [
    (None, None, "message", "NoneType"),
    ("text", None, "trace_key", "NoneType"),
    (1, 2, "message", "int"),
    ("m", 2, "trace_key", "int"),
    (StrSub("m"), "k", "message", "StrSub"),
    ("m", StrSub("k"), "trace_key", "StrSub"),
])
def test_argument_types(tk, message, key, reported, type_name):
    with pytest.raises(TypeError) as info:
        tk.LogIDGenerator.format_log_with_id(message, key)
    assert str(info.value).startswith(
        f"Argument '{reported}' has incorrect type (expected str, got {type_name})")


def test_takes_no_lock_and_changes_nothing(g):
    g._lock = object()
    before = dict(vars(g))
    assert g.format_log_with_id("m", "k") == "[k] m"
    assert vars(g) == before


# --------------------------------------------------------------------------
# format_log_with_session


def test_untagged_without_session_is_same_object(g):
    message = "".join(["sta", "rted"])
    assert g.format_log_with_session(message) is message


def test_tagged_after_session(g):
    sid = g.generate_session_id()
    assert g.format_log_with_session("started") == "[" + sid + "] started"


def test_follows_forced_regeneration(g):
    g.generate_session_id()
    new = g.generate_session_id(force=True)
    assert g.format_log_with_session("m") == f"[{new}] m"


def test_message_by_keyword(g):
    g._session_id = "S"
    assert g.format_log_with_session(message="m") == "[S] m"


@pytest.mark.parametrize("value", ["", 0, False, 0.0, [], None], ids=value_id)
def test_false_session_values_leave_message_untagged(g, value):
    g._session_id = value
    message = "started"
    assert g.format_log_with_session(message) is message


@pytest.mark.parametrize("value, text", [
    (42, "42"),
    (-7, "-7"),
    (True, "True"),
    (2.5, "2.5"),
    ([1], "[1]"),
    ("S", "S"),
])
def test_session_value_converted_to_text(g, value, text):
    g._session_id = value
    assert g.format_log_with_session("started") == f"[{text}] started"


def test_session_value_formatted_with_empty_format(g):
    specs = []

    class Ident:
        def __format__(self, spec):
            specs.append(spec)
            return "FMT"

        def __str__(self):
            raise AssertionError("format(), not str()")

    g._session_id = Ident()
    assert g.format_log_with_session("m") == "[FMT] m"
    assert specs == [""]


def test_str_subclass_session_goes_through_format(g):
    class Fancy(str):
        def __format__(self, spec):
            return "fancy"

    g._session_id = Fancy("plain")
    assert g.format_log_with_session("m") == "[fancy] m"


def test_exact_str_session_used_unchanged(g):
    g._session_id = "SES-x"
    assert g.format_log_with_session("m") == "[SES-x] m"


def test_session_truth_test_raising(g):
    class Broken:
        def __bool__(self):
            raise ValueError("no truth")

        def __format__(self, spec):
            raise AssertionError("not reached")

    g._session_id = Broken()
    with pytest.raises(ValueError, match="^no truth$") as info:
        g.format_log_with_session("m")
    assert entry_names(info.value).count(qualified("format_log_with_session")) == 1


def test_session_format_raising(g):
    class Broken:
        def __format__(self, spec):
            raise LookupError("no text")

    g._session_id = Broken()
    with pytest.raises(LookupError, match="^no text$") as info:
        g.format_log_with_session("m")
    assert entry_names(info.value).count(qualified("format_log_with_session")) == 1


def test_session_missing(g):
    del g._session_id
    with pytest.raises(AttributeError) as info:
        g.format_log_with_session("m")
    assert str(info.value) == "'LogIDGenerator' object has no attribute '_session_id'"
    assert_one_entry(info.value, "format_log_with_session")


def test_session_read_twice(tk):
    values = iter(["first", "second"])

    class Flipping(tk.LogIDGenerator):
        @property
        def _session_id(self):
            return next(values)

        @_session_id.setter
        def _session_id(self, value):
            pass

    gen = Flipping("camera-front-01", 3)
    assert gen.format_log_with_session("m") == "[second] m"


def test_truth_then_text_order(tk):
    log = []

    class Ident:
        def __bool__(self):
            log.append("bool")
            return True

        def __format__(self, spec):
            log.append("format")
            return "I"

    gen = tk.LogIDGenerator("n", 1)
    gen._session_id = Ident()
    assert gen.format_log_with_session("m") == "[I] m"
    assert log == ["bool", "format"]


@pytest.mark.parametrize("session", [None, "SES-x"])
@pytest.mark.parametrize("message, type_name", [(None, "NoneType"), (b"m", "bytes"), (StrSub("m"), "StrSub")])
def test_message_must_be_exact_str(g, session, message, type_name):
    g._session_id = session
    with pytest.raises(TypeError) as info:
        g.format_log_with_session(message)
    assert str(info.value).startswith(
        f"Argument 'message' has incorrect type (expected str, got {type_name})")


def test_session_tagging_takes_no_lock_and_changes_nothing(g):
    g.generate_session_id()
    g._lock = object()
    before = dict(vars(g))
    result = g.format_log_with_session("m")
    assert result == f"[{before['_session_id']}] m"
    assert vars(g) == before


def test_self_not_checked(tk):
    fake = types.SimpleNamespace(_session_id="S")
    assert tk.LogIDGenerator.format_log_with_session(fake, "m") == "[S] m"
    fake._session_id = None
    message = "m2"
    assert tk.LogIDGenerator.format_log_with_session(fake, message) is message


@pytest.mark.parametrize("sid, message", [
    ("相机", "caméra"), ("\U0001f525", "plain"), ("plain", "\U0001f525"), ("é", "€"),
])
def test_session_tag_mixed_widths(g, sid, message):
    g._session_id = sid
    assert g.format_log_with_session(message) == f"[{sid}] {message}"


@pytest.mark.parametrize("make", [
    lambda g: g.format_log_with_id("Frame capture failed", "ERR-FRAME-camera-f-3-1"),
    lambda g: g.format_log_with_session("started"),
    lambda g: g.generate_error_id(),
    lambda g: g.generate_session_id(force=True),
], ids=["tag", "session tag", "error id", "session id"])
def test_results_are_ordinary_str(g, make):
    g.generate_session_id()
    text = make(g)
    twin = "".join(list(text))  # the same characters, made by the interpreter
    assert type(text) is str and text == twin and hash(text) == hash(twin)
    assert text.isascii() and sys.getsizeof(text) == sys.getsizeof(twin)
    assert sys.intern(text) == twin and (text + "!")[:-1] == twin
    assert text.encode() == twin.encode() and repr(text) == repr(twin)
