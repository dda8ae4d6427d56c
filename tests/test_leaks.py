"""No call leaks: every case of operation_cases.CASES, repeated thousands of
times, leaves the interpreter's count of live memory blocks where it was and
the reference counts of the argument objects unchanged.

With pymalloc the blocks are sys.getallocatedblocks(); under another
allocator (PYTHONMALLOC=malloc, as the sanitizer run uses) they are the
blocks that tracemalloc sees allocated during the calls and still alive.
"""
import gc
import os
import platform
import sys
import tracemalloc

import pytest

from operation_cases import CASES, make_args

CALLS = int(os.environ.get("MERROW_LEAK_CALLS", "0")) or (
    500 if platform.machine().startswith("arm") else 5000)
WARM_UP = 50
# Blocks that may come and go around the measurement whatever the count:
# free lists and caches of the interpreter settling.
TOLERANCE = 16

PYMALLOC = sys.getallocatedblocks() > 0


def repeat(case, args, n):
    for _ in range(n):
        case(args)


def block_growth(case, args):
    gc.collect()
    if PYMALLOC:
        before = sys.getallocatedblocks()
        repeat(case, args, CALLS)
        gc.collect()
        return sys.getallocatedblocks() - before
    tracemalloc.start()
    try:
        repeat(case, args, CALLS)
        gc.collect()
        return len(tracemalloc.take_snapshot().traces)
    finally:
        tracemalloc.stop()


def refcounts(args):
    return {name: sys.getrefcount(value) for name, value in vars(args).items()}


@pytest.fixture(autouse=True)
def own_tracing():
    if not PYMALLOC and tracemalloc.is_tracing():
        pytest.skip("tracemalloc is already tracing in this process")


@pytest.mark.parametrize("case", [case for _, case in CASES], ids=[label for label, _ in CASES])
def test_repeated_call_leaks_nothing(case):
    args = make_args()
    repeat(case, args, WARM_UP)
    gc.collect()
    counts = refcounts(args)
    growth = block_growth(case, args)
    assert growth <= TOLERANCE, f"{growth} blocks more after {CALLS} calls"
    assert refcounts(args) == counts
