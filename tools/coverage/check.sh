#!/usr/bin/env bash
# Line coverage of src/native (both modules, the shared helpers and the inline
# code of their headers) by the whole test suite, on CPython 3.9 here and on
# the newest series inside the Debian trixie root (tools/debian-root), each from
# its own unoptimised gcov build under build/coverage-<run>. Prints the total
# and, per file, the lines never run; writes text, HTML and JSON reports
# under build/coverage/<run>/. Fails if the suite fails or a run is below the
# minimum.
#
#   tools/coverage/check.sh [pytest arguments]
#   COVERAGE_MIN=97 (default; percent of lines)
#   COVERAGE_SERIES="3.9 3.13@trixie" (default): the runs. X.Y is that series
#   from tools/find-python.sh here; X.Y@trixie is the trixie root's CPython
#   (3.13 only), with the modules built here and their counts written back
#   into the build here. The root is why 3.13 is measured there by default:
#   the state code that needs complete dictionary watchers runs only from
#   3.13.1, and pyenv may hold an older 3.13. Runs in the root need root.
#   GCOV=gcov (default): must match the compiler's version
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/series.sh

minimum=${COVERAGE_MIN:-97}
reports=build/coverage
tools_venv=build/coverage-tools/venv
gcov=${GCOV:-gcov}
trixie_series=3.13
measured=${COVERAGE_SERIES:-3.9 $trixie_series@trixie}

tools_series=
for series in $SERIES; do
  tools/find-python.sh "$series" >/dev/null 2>&1 && tools_series=$series
done
[ -n "$tools_series" ] || { tools/find-python.sh 3.9 >/dev/null; exit 1; }

for run in $measured; do
  case $run in
    "$trixie_series@trixie") [ "$(id -u)" -eq 0 ] ||
      { echo "error: $run needs root (chroot and mounts); set COVERAGE_SERIES to host series only" >&2; exit 1; } ;;
    *@*) echo "error: $run: only $trixie_series@trixie runs in a root" >&2; exit 1 ;;
    *) tools/find-python.sh "$run" >/dev/null ;;
  esac
done

# A venv of series $2 at $1, made again if missing or of another series.
make_venv() {
  local venv=$1 series=$2 base
  base=$(tools/find-python.sh "$series")
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$series'" 2>/dev/null; then
    rm -rf "$venv"
    "$base" -m venv "$venv"
  fi
}

make_venv "$tools_venv" "$tools_series"
if ! "$tools_venv/bin/gcovr" --version >/dev/null 2>&1; then
  "$tools_venv/bin/python" -m pip install -q --disable-pip-version-check 'gcovr>=8'
fi

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

# Run $1 (series $2): the package built for coverage into its venv.
install_instrumented() {
  local root=build/coverage-$1 series=$2 python site
  python=$root/venv/bin/python
  make_venv "$root/venv" "$series"
  "$python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis
  "$python" -m pip install -q --disable-pip-version-check "${build_options[@]}" \
    --config-settings=build-dir="$root/cmake" .
  site=$("$python" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
  require_counting "$site"/merrow_sdk/logging/trace_key.*.so "$site"/merrow_sdk/patchbay/__init__.*.so
}

# Run $1 (series $2): a wheel of the package built for coverage, for the
# root; prints its path.
build_instrumented_wheel() {
  local root=build/coverage-$1 series=$2 python built
  python=$root/venv/bin/python
  make_venv "$root/venv" "$series"
  "$python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja >&2
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
  status=0
  case $run in
    *@trixie)
      name="CPython $series in trixie"
      say "$name: instrumented build here"
      tools/debian-root/debian-root make trixie amd64 >/dev/null
      wheel=$(build_instrumented_wheel "$label" "$series")
      check_gcov "$objects"
      reset_counts "$objects"
      say "$name: test suite"
      # The modules write their counts beside their notes, by absolute path:
      # the build directory is mounted at that path in the root.
      PYTEST_ARGS="$*" tools/debian-root/debian-root suite --bind "$PWD/$objects" \
        trixie amd64 "$wheel" || status=$?
      ;;
    *)
      name="CPython $series"
      say "$name: instrumented build"
      install_instrumented "$label" "$series"
      check_gcov "$objects"
      reset_counts "$objects"
      say "$name: test suite"
      "build/coverage-$label/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
      ;;
  esac
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
