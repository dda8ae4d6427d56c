"""Total throughput of generate_error_id() with 1, 2, 4 and 8 threads
sharing one generator, native and pure Python, by the wall clock; and of
its inline limit with nothing shared, which shows what the interpreter's
own thread switching costs.

    python benchmarks/bench_threads.py [pyperf options]

Writes benchmarks/results/threads.json; bench_trace_key.py runs it and
folds the figures into its own table and results.
"""

import json
import os
import threading
import time

import bench_common as common
import pure_python_trace_key as pure
from merrow_sdk.logging import trace_key as native

THREAD_COUNTS = (1, 2, 4, 8)
KINDS = ("native", "pure", "limit")
MODULES = {"native": native, "pure": pure}

CALL = ("g = shared[0]", "g.generate_error_id()")
# The limit shares nothing: each thread has its own lock and counter, so all
# that the thread count adds is the interpreter's own switching between them.
LIMIT = ("lock = threading.Lock()\nc = 0\nt = 'GEN'\nnode = NODE\nidx = IDX",
         "with lock:\n    c += 1\nf\"ERR-{t}-{node[:8]}-{idx}-{c}\"")


def make_timer(kind, nthreads):
    """A function of `loops` timing nthreads threads that each run the
    statement loops * UNROLL times (on one shared generator but for the
    limit); seconds from the first thread's start to the last one's end."""
    shared = []
    setup, stmt = LIMIT if kind == "limit" else CALL
    calls = common.compile_timer(setup, stmt, dict(common.base_namespace(None), shared=shared))

    def time_func(loops):
        g = MODULES[kind].LogIDGenerator(common.NODE, common.IDX) if kind in MODULES else None
        shared[:] = [g]
        barrier = threading.Barrier(nthreads)
        spans = []

        def worker():
            barrier.wait()
            start = time.perf_counter()
            calls(loops)
            spans.append((start, time.perf_counter()))

        threads = [threading.Thread(target=worker) for _ in range(nthreads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = max(end for _, end in spans) - min(start for start, _ in spans)
        # Every call counted once, or the figure is meaningless.
        expected = nthreads * loops * common.UNROLL
        if g is not None and g._error_counter != expected:
            raise RuntimeError(f"error counter {g._error_counter}, expected {expected}")
        return elapsed

    return time_func


def variants():
    for n in THREAD_COUNTS:
        for kind in KINDS:
            yield f"threads={n} {kind}: generate_error_id()", kind, n, make_timer(kind, n)


def build_rows(seconds_per_call):
    """seconds_per_call[(label, n)] -> table rows of calls per second."""
    rows = []
    for n in THREAD_COUNTS:
        row = {"threads": n}
        for label in KINDS:
            if (label, n) in seconds_per_call and (label, 1) in seconds_per_call:
                rate = 1.0 / seconds_per_call[(label, n)]
                row[f"{label}_calls_per_s"] = rate
                row[f"{label}_vs_one"] = rate * seconds_per_call[(label, 1)]
        if len(row) > 1:
            rows.append(row)
    return rows


def render(rows):
    def rate(value):
        return "-" if value is None else f"{value / 1e6:.2f} M"

    headers, cells = ["threads"], [[r["threads"]] for r in rows]
    for kind in KINDS:
        headers += [f"{kind} calls/s", "vs 1 thread"]
        for row, r in zip(cells, rows):
            row += [rate(r.get(f"{kind}_calls_per_s")), common.fmt_ratio(r.get(f"{kind}_vs_one"))]
    return common.format_table(headers, cells, ">" * len(headers))


def run_quick():
    seconds = {}
    found = list(variants())
    for (_, label, n, _), per_loop in zip(found, common.quick_seconds_per_loop(*(v[3] for v in found))):
        seconds[(label, n)] = per_loop / (n * common.UNROLL)
    return build_rows(seconds)


def main():
    import pyperf

    runner = pyperf.Runner(**common.PYPERF_DEFAULTS)
    runner.argparser.add_argument("--part-only", action="store_true",
                                  help="write the results file but print no table")
    args = runner.parse_args()
    seconds = {}
    for name, label, n, time_func in variants():
        bench = runner.bench_time_func(name, time_func, inner_loops=n * common.UNROLL)
        if bench is not None and not args.worker:
            seconds[(label, n)] = bench.median()
    if args.worker:
        return
    rows = build_rows(seconds)
    os.makedirs(common.RESULTS_DIR, exist_ok=True)
    with open(common.THREADS_PART, "w", encoding="utf-8") as f:
        json.dump({"threads": rows}, f, indent=2)
        f.write("\n")
    if not args.part_only:
        print()
        print(render(rows))


if __name__ == "__main__":
    main()
