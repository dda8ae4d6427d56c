#!/usr/bin/env bash
# Builds both modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of their own and runs the whole test suite with
# the sanitizer runtimes preloaded into the (uninstrumented) interpreter and
# every interpreter it starts. Fails on any sanitizer report of any process.
#
#   tools/sanitize/check.sh [pytest arguments]
#   SANITIZE=address,undefined (default)  PY_SERIES (default: as `make test`)
#   SANITIZE_FULL_STACKS=1: unwind every allocation through the interpreter's
#   frames too (complete stacks in reports; the run takes some 20 times longer)
set -euo pipefail
cd "$(dirname "$0")/../.."

series=${PY_SERIES:-}
sanitizers=${SANITIZE:-address,undefined}
root=build/asan
venv=$root/venv
python=$venv/bin/python
logs=$root/logs

tools/venv.sh "$venv" "$series"
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  --config-settings=build-dir="$root/cmake" \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.MERROW_SANITIZE="$sanitizers" .

# The run proves nothing unless the installed modules are the instrumented ones.
site=$("$python" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
for lib in "$site"/merrow_sdk/logging/trace_key.*.so "$site"/merrow_sdk/patchbay/__init__.*.so; do
  grep -q libasan "$lib" || { echo "error: $lib is not built with AddressSanitizer" >&2; exit 1; }
done

# The interpreter is not instrumented: the runtimes must be loaded first.
preload=$(g++ -print-file-name=libasan.so)
case ",$sanitizers," in
  *,undefined,*) preload="$preload $(g++ -print-file-name=libubsan.so)" ;;
esac
for lib in $preload; do
  [ -e "$lib" ] || { echo "error: sanitizer runtime $lib not found" >&2; exit 1; }
done

rm -rf "$logs" "$logs-probes"
mkdir -p "$logs" "$logs-probes"
here=$(pwd)
export LD_PRELOAD="$preload"
# Object memory through malloc, so that ASan sees every object.
export PYTHONMALLOC=malloc
unwind=1
[ "${SANITIZE_FULL_STACKS:-0}" = 1 ] && unwind=0
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=$unwind:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:log_path=$here/$logs/asan"
export LSAN_OPTIONS="suppressions=$here/tools/sanitize/lsan.supp:print_suppressions=0:log_path=$here/$logs/lsan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$here/$logs/ubsan"
# The interpreter probes of the allocation sweeps crash plain Python on
# purpose (tests/allocation_sweep.py); their reports are kept apart.
export MERROW_SANITIZER_PROBE_LOGS="$here/$logs-probes/probe"

status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

unset LD_PRELOAD
reports=$(find "$logs" -type f -size +0 | sort)
if [ -n "$reports" ]; then
  echo "sanitizer reports:" >&2
  for report in $reports; do
    echo "== $report" >&2
    head -n 60 "$report" >&2
  done
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "test suite failed under the sanitizers (exit $status)" >&2
  exit "$status"
fi
echo "sanitizers ($sanitizers): no report"
