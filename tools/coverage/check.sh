#!/usr/bin/env bash
# Line coverage of src/native (both modules, the shared helpers and the inline
# code of their headers) by the whole test suite, on CPython 3.9 and on the
# newest supported series found, each from its own unoptimised gcov build in
# its own virtual environment under build/coverage-X.Y. Prints the total and,
# per file, the lines never run; writes text, HTML and JSON reports under
# build/coverage/. Fails if the suite fails or a series is below the minimum.
#
#   tools/coverage/check.sh [pytest arguments]
#   COVERAGE_MIN=97 (default; percent of lines)
#   COVERAGE_SERIES="3.9 3.13": the series to measure (default: 3.9 and the
#   newest of tools/series.sh that tools/find-python.sh finds)
#   GCOV=gcov (default): must match the compiler's version
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/series.sh

minimum=${COVERAGE_MIN:-97}
reports=build/coverage
tools_venv=build/coverage-tools/venv
gcov=${GCOV:-gcov}

newest=
for series in $SERIES; do
  tools/find-python.sh "$series" >/dev/null 2>&1 && newest=$series
done
[ -n "$newest" ] || { tools/find-python.sh 3.9 >/dev/null; exit 1; }
measured=${COVERAGE_SERIES:-$(printf '%s\n' 3.9 "$newest" | awk '!seen[$0]++' | tr '\n' ' ')}

# A venv of series $2 at $1, made again if missing or of another series.
make_venv() {
  local venv=$1 series=$2 base
  base=$(tools/find-python.sh "$series")
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$series'" 2>/dev/null; then
    rm -rf "$venv"
    "$base" -m venv "$venv"
  fi
}

make_venv "$tools_venv" "$newest"
if ! "$tools_venv/bin/gcovr" --version >/dev/null 2>&1; then
  "$tools_venv/bin/python" -m pip install -q --disable-pip-version-check 'gcovr>=8'
fi

# The venv python of series $1 with the package built for coverage.
install_instrumented() {
  local series=$1 root=build/coverage-$1 python site lib
  python=$root/venv/bin/python
  make_venv "$root/venv" "$series"
  "$python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis
  "$python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$root/cmake" \
    --config-settings=cmake.build-type=Debug \
    --config-settings=cmake.define.MERROW_COVERAGE=ON .
  # The figures mean nothing unless the installed modules are the counted ones.
  site=$("$python" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
  for lib in "$site"/merrow_sdk/logging/trace_key.*.so "$site"/merrow_sdk/patchbay/__init__.*.so; do
    grep -q '\.gcda' "$lib" || { echo "error: $lib is not built for coverage" >&2; exit 1; }
  done
}

# gcov reads notes of its own compiler's version only.
check_gcov() {
  local cxx want have
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$1/CMakeCache.txt")
  want=$("$cxx" -dumpfullversion -dumpversion)
  have=$("$gcov" --version | head -n 1)
  case "$have" in
    *" $want"*) ;;
    *) echo "error: $gcov is '$have', the modules were built by $cxx $want; set GCOV" >&2; exit 1 ;;
  esac
}

rm -rf "$reports"
mkdir -p "$reports"
failed=0
summary=()
for series in $measured; do
  say "CPython $series: instrumented build"
  install_instrumented "$series"
  objects=build/coverage-$series/cmake
  check_gcov "$objects"
  # Notes of sources removed since the last build would be reported as theirs.
  find "$objects/CMakeFiles" -name '*.gcno' | while read -r note; do
    source=${note#*.dir/}
    [ -e "${source%.gcno}" ] || rm -f "$note" "${note%.gcno}.o"
  done
  # Counts from earlier runs would add to this one's.
  find "$objects" -name '*.gcda' -delete

  say "CPython $series: test suite"
  status=0
  "build/coverage-$series/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "error: the test suite failed on CPython $series (exit $status)" >&2
    failed=1
  fi
  if [ -z "$(find "$objects" -name '*.gcda' -print -quit)" ]; then
    echo "error: no counts written on CPython $series: the suite did not load the instrumented modules" >&2
    exit 1
  fi

  out=$reports/$series
  mkdir -p "$out"
  # Lines of an inline function of a header count in every object that
  # expands it: the report merges them.
  "$tools_venv/bin/gcovr" --root . --filter 'src/native/' --gcov-executable "$gcov" \
    --merge-mode-functions=separate \
    --txt "$out/coverage.txt" --html-details "$out/index.html" --json-summary "$out/summary.json" \
    "$objects"
  echo "== CPython $series: line coverage of src/native (Missing: lines never run)"
  cat "$out/coverage.txt"
  read -r percent covered total < <("$tools_venv/bin/python" -c '
import json, sys
s = json.load(open(sys.argv[1]))
print(s["line_percent"], s["line_covered"], s["line_total"])' "$out/summary.json")
  verdict=ok
  if ! awk -v p="$percent" -v m="$minimum" 'BEGIN { exit !(p >= m) }'; then
    verdict="below $minimum%"
    failed=1
  fi
  [ "$status" -eq 0 ] || verdict="$verdict; test suite failed"
  summary+=("CPython $series: $percent% of lines ($covered of $total) - $verdict")
done

{
  echo "line coverage of src/native (minimum $minimum%):"
  printf '  %s\n' "${summary[@]}"
  echo "reports: $reports/<series>/coverage.txt, index.html"
} | tee "$reports/summary.txt"
exit "$failed"
