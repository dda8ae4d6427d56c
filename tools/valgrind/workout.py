"""A scripted workout of both modules for memcheck: failed and repeated
imports, then every case of tests/operation_cases.py (each operation on its
success and failure paths) a number of times, and a few threads sharing
one generator. Prints one line per stage; exits non-zero if any case did
not take the path it names.

    python tools/valgrind/workout.py [repeats]
"""
import gc
import importlib
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

TRACE_KEY = "merrow_sdk.logging.trace_key"
PATCHBAY = "merrow_sdk.patchbay"
FLOW = PATCHBAY + ".flow"


def failed_import(name, key, fault, expected):
    saved = sys.modules.get(key)
    sys.modules[key] = fault
    try:
        importlib.import_module(name)
    except expected:
        pass
    else:
        raise AssertionError(f"importing {name} with {key} = {fault!r} succeeded")
    finally:
        if saved is None:
            del sys.modules[key]
        else:
            sys.modules[key] = saved


def imports():
    import typing  # noqa: F401 - the real one, restored after each fault
    import merrow_sdk

    failed_import(TRACE_KEY, "typing", None, ImportError)
    failed_import(TRACE_KEY, "typing", type(sys)("typing"), ImportError)
    failed_import(PATCHBAY, FLOW, None, ImportError)
    first = importlib.import_module(TRACE_KEY)
    del sys.modules[TRACE_KEY]
    assert importlib.import_module(TRACE_KEY) is first
    package = importlib.import_module(PATCHBAY)
    importlib.reload(package)
    assert package.MerrowFlow is package.flow.FlowAPIWrapper
    del merrow_sdk


def cases(repeats):
    from operation_cases import CASES, make_args

    args = make_args()
    for _ in range(repeats):
        for _, case in CASES:
            case(args)
    return len(CASES)


def threads(count=4, calls=200):
    from merrow_sdk.logging.trace_key import LogIDGenerator

    g = LogIDGenerator("camera-front-01", 3)

    def body():
        for i in range(calls):
            g.generate_error_id()
            if i % 20 == 0:
                g.generate_session_id(force=True)
            g.format_log_with_session("line")

    workers = [threading.Thread(target=body) for _ in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert g._error_counter == count * calls


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    imports()
    print("imports: failed, retried, repeated")
    print(f"cases: {cases(repeats)} cases x {repeats}")
    threads()
    print("threads: 4 x 200 calls on one generator")
    gc.collect()


if __name__ == "__main__":
    main()
