"""Every allocation failing in turn on paths that the operation sweeps of
test_memory_failures reach only by chance or not at all: the first state
read of an instance whose values are still kept inline (from 3.11 its
dictionary is made then), also of a name missing there; and, before 3.12,
texts not yet in their compact form, made so (an allocation) on first use.

Whatever allocation fails, the caller sees MemoryError or the right value,
the lock is free afterwards and the next call, with memory back, gives what
the state says."""

import sys

import pytest

import test_memory_failures as sweeps

try:
    import _testcapi
except ImportError:  # a distribution's interpreter may ship without it
    _testcapi = None

pytestmark = sweeps.pytestmark

CASES = sweeps.COMMON + """
from merrow_sdk.logging.trace_key import LogIDGenerator

try:
    from _testcapi import unicode_legacy_string as not_ready
except ImportError:
    not_ready = None

NODE = "camera-front-01"
PREFIX = "ERR-GEN-camera-f-"


def unlocked(g):
    if g._lock.locked():
        g._lock.release()
        yield LOCK_HELD


def check_count(g, call, prefix):
    before = g._error_counter

    def check(outcome):
        yield from memory_error_only(outcome, OP_PREFIX + "generate_error_id")
        yield from unlocked(g)
        after = g._error_counter
        if isinstance(outcome, Returned):
            if outcome.value != prefix + str(before + 1) or after != before + 1:
                yield "made %r with counter %r" % (outcome.value, after)
        elif after not in (before, before + 1):
            yield "counter %r after failure from %r" % (after, before)
        following = call()
        if following != prefix + str(after + 1):
            yield "next identifier " + following
    return check


def check_value(call, expected, entry, allowed=()):
    '''`expected`: what the call gives with memory, or the type it raises.'''
    def check(outcome):
        yield from memory_error_only(outcome, entry, allowed)
        if isinstance(outcome, Returned) and outcome.value != expected:
            yield "made " + repr(outcome.value)
        try:
            again = call()
        except Exception as exc:
            if type(exc) is not expected:
                yield "then raised " + repr(exc)
        else:
            if again != expected:
                yield "then made " + repr(again)
    return check


def inline():
    '''An instance made by the protocol alone (no dictionary yet) of a class
    whose layout the state cache has learnt.'''
    cls = type("Inline", (LogIDGenerator,), {})
    cls(NODE, 3).generate_error_id()
    return cls(NODE, 3)


def case_inline_count():
    g = inline()
    return g.generate_error_id, check_count(g, g.generate_error_id, PREFIX + "3-")


def case_inline_read():
    g = inline()
    return g.get_session_id, check_value(g.get_session_id, None, OP_PREFIX + "get_session_id")


def case_inline_missing():
    g = inline()
    del g._session_id
    # The message is empty where the interpreter could not make it.
    return g.get_session_id, check_value(g.get_session_id, AttributeError,
                                         OP_PREFIX + "get_session_id", ((AttributeError, None),))


# Texts not yet compact: each made in this process and used first in a child.

def case_message_not_ready(with_session):
    message = not_ready("frame lost")
    if with_session:
        g = LogIDGenerator(NODE, 3)
        g._session_id = "SES-1"
        call = lambda: g.format_log_with_session(message)
        entry, expected = "format_log_with_session", "[SES-1] frame lost"
    else:
        call = lambda: LogIDGenerator.format_log_with_id(message, "K")
        entry, expected = "format_log_with_id", "[K] frame lost"
    return call, check_value(call, expected, OP_PREFIX + entry)


def case_count_field_not_ready(field):
    g = LogIDGenerator(NODE, 3)
    g.generate_error_id()
    if field == "token":
        token = not_ready("FRAME")
        call = lambda: g.generate_error_id(token)
        return call, check_count(g, call, "ERR-FRAME-camera-f-3-")
    if field == "node_id":
        g.node_id = not_ready(NODE)
        return g.generate_error_id, check_count(g, g.generate_error_id, PREFIX + "3-")
    g.source_idx = not_ready("7")
    return g.generate_error_id, check_count(g, g.generate_error_id, PREFIX + "7-")


class Formats:
    def __format__(self, spec):
        return not_ready("SES-formatted")


def case_formatted_session_not_ready():
    g = LogIDGenerator(NODE, 3)
    g._session_id = Formats()
    call = lambda: g.format_log_with_session("m")
    return call, check_value(call, "[SES-formatted] m", OP_PREFIX + "format_log_with_session")


CASES = {
    "count": case_inline_count,
    "read": case_inline_read,
    "read of a missing name": case_inline_missing,
    "tag by id": lambda: case_message_not_ready(False),
    "tag by session": lambda: case_message_not_ready(True),
    "token": lambda: case_count_field_not_ready("token"),
    "node_id": lambda: case_count_field_not_ready("node_id"),
    "source_idx": lambda: case_count_field_not_ready("source_idx"),
    "formatted session": case_formatted_session_not_ready,
}
print(json.dumps({"interpreter": interpreter_faults(),
                  "cases": {name: sweep(*CASES[name]()) for name in sys.argv[1:]}}))
"""

# Before 3.11 every instance has its dictionary from the start: a read
# allocates nothing.
INLINE = ["count"] + (["read", "read of a missing name"] if sys.version_info >= (3, 11) else [])
NOT_READY = ["tag by id", "tag by session", "token", "node_id", "source_idx", "formatted session"]
HAS_NOT_READY = hasattr(_testcapi, "unicode_legacy_string")


@pytest.fixture(scope="module")
def batch():
    return sweeps.run_batch(CASES, INLINE + (NOT_READY if HAS_NOT_READY else []))


def assert_clean(batch, case):
    # A sweep that never ended is a fault too.
    assert sweeps.faults_of(batch, case) == []
    if batch["cases"][case]["allocations"] == 0:
        # Without the state cache (3.13.0) the values are read where they are kept.
        pytest.skip("the call allocates nothing on this interpreter")


@pytest.mark.parametrize("case", INLINE)
def test_first_use_of_an_instance_made_by_the_protocol(batch, case):
    assert_clean(batch, case)


@pytest.mark.skipif(not HAS_NOT_READY, reason="from 3.12 every str is compact")
@pytest.mark.parametrize("case", NOT_READY)
def test_text_made_compact_on_first_use(batch, case):
    assert_clean(batch, case)
