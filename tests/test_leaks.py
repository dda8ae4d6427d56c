"""No call leaks: every case of operation_cases.CASES, repeated in rounds
as CPython's own reference-leak run does (warm-up rounds, then measured
ones), leaves the interpreter's count of live memory blocks, and on a debug
interpreter its total of references, where they were; the reference counts
of the argument objects are unchanged.

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
WARM_UP_ROUNDS, MEASURED_ROUNDS = 3, 3
ROUND = max(CALLS // (WARM_UP_ROUNDS + MEASURED_ROUNDS), 1)
# Blocks that may come and go in a round whatever the count: free lists
# and caches of the interpreter settling.
TOLERANCE = 16

PYMALLOC = sys.getallocatedblocks() > 0
DEBUG = hasattr(sys, "gettotalrefcount")


def repeat(case, args, n):
    for _ in range(n):
        case(args)


# Deltas are kept as ints that exist already, so that keeping them adds no
# reference or block to the next round's count.
POOL = {n: n for n in range(-1000, 1000)}


def blocks_now():
    gc.collect()
    return sys.getallocatedblocks() if PYMALLOC else len(tracemalloc.take_snapshot().traces)


def refs_now():
    return sys.gettotalrefcount() if DEBUG else 0


def growth_per_round(case, args):
    """(blocks, references) gained in each measured round."""
    blocks, refs = [0] * MEASURED_ROUNDS, [0] * MEASURED_ROUNDS
    if not PYMALLOC:
        tracemalloc.start()
    try:
        repeat(case, args, WARM_UP_ROUNDS * ROUND)
        blocks_before, refs_before = blocks_now(), refs_now()
        for i in range(MEASURED_ROUNDS):
            repeat(case, args, ROUND)
            blocks_after, refs_after = blocks_now(), refs_now()
            blocks[i] = POOL.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
            refs[i] = POOL.setdefault(refs_after - refs_before, refs_after - refs_before)
            blocks_before, refs_before = blocks_after, refs_after
    finally:
        if not PYMALLOC:
            tracemalloc.stop()
    return list(zip(blocks, refs))


def refcounts(args):
    return {name: sys.getrefcount(value) for name, value in vars(args).items()}


@pytest.fixture(autouse=True)
def own_tracing():
    if not PYMALLOC and tracemalloc.is_tracing():
        pytest.skip("tracemalloc is already tracing in this process")


@pytest.mark.parametrize("case", [case for _, case in CASES], ids=[label for label, _ in CASES])
def test_repeated_call_leaks_nothing(case):
    args = make_args()
    repeat(case, args, 1)
    before = refcounts(args)
    rounds = growth_per_round(case, args)
    blocks, refs = zip(*rounds)
    # A leak grows every round; settling caches do not.
    assert not (all(b >= 1 for b in blocks) and sum(blocks) > TOLERANCE), \
        f"blocks gained per round of {ROUND} calls: {blocks}"
    assert not all(r >= 1 for r in refs), f"references gained per round of {ROUND} calls: {refs}"
    assert refcounts(args) == before
