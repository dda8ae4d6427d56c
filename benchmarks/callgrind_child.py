"""What runs under callgrind for callgrind_per_call.py: N calls of a
statement, unrolled as bench_common times it.

    python benchmarks/callgrind_child.py native|pure CALLS GENERATORS STATEMENT

Every import here is start-up that each measured run pays for again, so this
file imports little and parses its arguments by hand.
"""

import re
import sys

import bench_common as common

GENERATOR_NAMES = re.compile(r"\b(g|fresh)\b")


def generator_suffixes(generators):
    return [""] if generators == 1 else [str(i) for i in range(generators)]


def setup_text(generators):
    lines = ["LogIDGenerator = mod.LogIDGenerator", "node = NODE", "idx = IDX",
             "m = MESSAGE", "k = KEY", "t = 'FRAME'"]
    for suffix in generator_suffixes(generators):
        lines += [f"g{suffix} = LogIDGenerator(NODE, IDX)", f"g{suffix}.generate_session_id()",
                  f"fresh{suffix} = LogIDGenerator(NODE, IDX)"]
    return "\n".join(lines)


def uses_generators(statement):
    return bool(GENERATOR_NAMES.search(statement))


def unrolled_body(statement, generators, unroll=common.UNROLL):
    """The statement unroll times; copy i uses generator i mod N, so that
    consecutive calls land on different objects."""
    suffixes = generator_suffixes(generators)
    return "\n".join(
        GENERATOR_NAMES.sub(lambda found: found.group(1) + suffixes[i % len(suffixes)], statement)
        for i in range(unroll))


def run(implementation, calls, generators, statement):
    if implementation == "native":
        from merrow_sdk.logging import trace_key as module
    elif implementation == "pure":
        import pure_python_trace_key as module
    else:
        raise SystemExit(f"unknown implementation {implementation!r}")
    timer = common.compile_timer(setup_text(generators), unrolled_body(statement, generators),
                                 common.base_namespace(module), unroll=1)
    timer(max(1, calls // common.UNROLL))


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__.split("\n\n")[1])
    run(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
