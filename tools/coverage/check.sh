#!/usr/bin/env bash
# Line coverage of src/native (the modules, shared helpers and inline header
# code) by the whole suite, per run from its own unoptimised gcov build under
# build/coverage-<run>: the total and the lines never run per file, reports
# under build/coverage/<run>/. Fails if the suite fails or a run is below the
# minimum.
#
#   tools/coverage/check.sh [pytest arguments]
#   COVERAGE_MIN=97 (default; percent of lines)
#   COVERAGE_SERIES="3.9 3.13@trixie" (default): the runs. X.Y is that series
#   from tools/find-python.sh here; X.Y@RELEASE that of the release's native
#   root (as root), the modules built here and their counts written back into
#   the build here. 3.13 is measured in trixie by default: the state code
#   that needs complete dictionary watchers runs only from 3.13.1, and pyenv
#   may hold an older 3.13.
#   GCOV=gcov (default): must match the compiler's version
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/series.sh

minimum=${COVERAGE_MIN:-97}
reports=build/coverage
tools_venv=build/coverage-tools/venv
gcov=${GCOV:-gcov}
arch=$(dpkg --print-architecture)
measured=${COVERAGE_SERIES:-3.9 3.13@trixie}

for run in $measured; do
  case $run in
    *@*) matrix root-series "${run#*@}/$arch" | grep -qw -- "${run%@*}" ||
           { echo "error: $run: no ${run#*@}/$arch root ships CPython ${run%@*}" >&2; exit 1; }
         [ "$(id -u)" -eq 0 ] || { echo "error: $run needs root (chroot and mounts)" >&2; exit 1; } ;;
    *) tools/find-python.sh "$run" >/dev/null ;;
  esac
done

tools/venv.sh "$tools_venv" "" 'gcovr>=8'

build_options=(--no-build-isolation --no-deps
  --config-settings=cmake.build-type=Debug
  --config-settings=cmake.define.MERROW_COVERAGE=ON)

# The figures mean nothing unless the modules loaded are the counted ones.
require_counting() {
  local lib
  for lib in "$@"; do
    [ -f "$lib" ] || { echo "error: no module at $lib" >&2; exit 1; }
    grep -q '\.gcda' "$lib" || { echo "error: $lib is not built for coverage" >&2; exit 1; }
  done
}

# Run $1 (series $2): a wheel of the package built for coverage; prints its
# path.
build_instrumented_wheel() {
  local root=build/coverage-$1 series=$2 python built
  python=$root/venv/bin/python
  tools/venv.sh "$root/venv" "$series" >&2
  rm -rf "$root/wheel"
  "$python" -m pip wheel -q --disable-pip-version-check "${build_options[@]}" \
    --config-settings=build-dir="$root/cmake" -w "$root/wheel" . >&2
  built=("$root"/wheel/*.whl)
  [ ${#built[@]} -eq 1 ] || { echo "error: expected one wheel in $root/wheel, got: ${built[*]}" >&2; exit 1; }
  # The wheel holds what the build directory holds.
  require_counting "$root"/cmake/trace_key.*.so "$root"/cmake/__init__.*.so
  "$python" - "${built[0]}" "$root"/cmake/trace_key.*.so "$root"/cmake/__init__.*.so <<'PY' >&2
import hashlib, os, sys, zipfile
wheel, libs = sys.argv[1], sys.argv[2:]
digest = lambda data: hashlib.sha256(data).hexdigest()
with zipfile.ZipFile(wheel) as z:
    packed = {os.path.basename(n): digest(z.read(n)) for n in z.namelist() if n.endswith(".so")}
for lib in libs:
    if packed.get(os.path.basename(lib)) != digest(open(lib, "rb").read()):
        sys.exit("error: %s in %s is not the instrumented build" % (os.path.basename(lib), wheel))
PY
  echo "${built[0]}"
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

# Counts of build directory $1 from earlier runs would add to this one's, and
# notes of sources removed since the last build would be reported as theirs.
reset_counts() {
  local objects=$1 note source
  find "$objects/CMakeFiles" -name '*.gcno' | while read -r note; do
    source=${note#*.dir/}
    [ -e "${source%.gcno}" ] || rm -f "$note" "${note%.gcno}.o"
  done
  find "$objects" -name '*.gcda' -delete
}

rm -rf "$reports"
mkdir -p "$reports"
failed=0
summary=()
for run in $measured; do
  series=${run%@*}
  label=${run/@/-}
  objects=build/coverage-$label/cmake
  status=0 release=${run#"$series"}
  release=${release#@}
  name="CPython $series${release:+ in $release}"
  say "$name: instrumented build here"
  wheel=$(build_instrumented_wheel "$label" "$series")
  check_gcov "$objects"
  reset_counts "$objects"
  say "$name: test suite"
  if [ -n "$release" ]; then
    # The modules write their counts beside their notes, by absolute path:
    # the build directory is mounted at that path in the root.
    PYTEST_ARGS="$*" tools/debian-root/debian-root suite --bind "$PWD/$objects" \
      "$release" "$arch" "$wheel" || status=$?
  else
    suite=build/coverage-$label/suite
    rm -rf "$suite" && mkdir -p "$suite" && cp -r tests pyproject.toml examples "$suite/"
    PYTEST_ARGS="$*" tools/suite.sh "$suite" "$series" "$wheel" pytest hypothesis || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    echo "error: the test suite failed on $name (exit $status)" >&2
    failed=1
  fi
  if [ -z "$(find "$objects" -name '*.gcda' -print -quit)" ]; then
    echo "error: no counts written on $name: the suite did not load the instrumented modules" >&2
    exit 1
  fi

  out=$reports/$label
  mkdir -p "$out"
  # Lines of an inline function of a header count in every object that
  # expands it: the report merges them.
  "$tools_venv/bin/gcovr" --root . --filter 'src/native/' --gcov-executable "$gcov" \
    --merge-mode-functions=separate \
    --txt "$out/coverage.txt" --html-details "$out/index.html" --json-summary "$out/summary.json" \
    "$objects"
  echo "== $name: line coverage of src/native (Missing: lines never run)"
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
  summary+=("$name: $percent% of lines ($covered of $total) - $verdict")
done

{
  echo "line coverage of src/native (minimum $minimum%):"
  printf '  %s\n' "${summary[@]}"
  echo "reports: $reports/<run>/coverage.txt, index.html"
} | tee "$reports/summary.txt"
exit "$failed"
