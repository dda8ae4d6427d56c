#!/usr/bin/env bash
# `make wheels`: in dist/, a manylinux wheel for every supported CPython
# series found on this machine, one 32-bit ARM manylinux wheel for each target
# Debian release (each built against that release's root), and the sdist.
# Checks what each wheel holds and runs `twine check` over all of them, then
# installs every host wheel into a fresh venv and runs the suite against it
# from a copy of the tests, away from the source tree, and runs the suite
# with each ARM wheel installed in its emulated root.
# PYTEST_ARGS is passed on as for `make test`; MERROW_SERIES and
# MERROW_ARMHF_RELEASES (e.g. "bullseye trixie") narrow the lists.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"
RELEASES=${MERROW_ARMHF_RELEASES:-bullseye bookworm trixie}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p dist
# dist/ holds this run's files only, so a wheel of a tag no longer made
# cannot be shipped along with the new ones.
rm -f dist/merrow_sdk-*.whl dist/merrow_sdk-*.tar.gz
tools=$(tools/packaging-venv.sh)

declare -a host_series=() host_wheels=()
for series in $SERIES; do
  if ! tools/find-python.sh "$series" >/dev/null 2>&1; then
    say "skipping CPython $series: neither pyenv nor PATH has it"
    continue
  fi
  say "building the CPython $series wheel"
  prepare_venv "$series"
  # Built apart first, so that the one wheel just made is known by name.
  out="$work/built-$series"
  "$(venv_of "$series")/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-build-isolation --no-deps --config-settings=build-dir='build/{wheel_tag}' -w "$out" .
  built=("$out"/*.whl)
  [ ${#built[@]} -eq 1 ] || { say "error: expected one wheel in $out, got: ${built[*]}"; exit 1; }
  host_series+=("$series")
  host_wheels+=("$(tools/manylinux.sh "${built[0]}" dist)")
done
[ ${#host_wheels[@]} -gt 0 ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }

declare -a arm_releases=() arm_wheels=() arm_stages=()
tools/armhf/setup-host.sh
for release in $RELEASES; do
  say "building the 32-bit ARM wheel for Debian $release"
  ARMHF_RELEASE=$release tools/armhf/make-root.sh
  arm_releases+=("$release")
  arm_wheels+=("$(ARMHF_RELEASE=$release tools/armhf/build.sh)")
  arm_stages+=("$REPO/build/armhf/$release/stage")
done

say "building the sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log" >&2; say "error: building the sdist failed"; exit 1; }
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { say "error: expected one sdist, got: ${sdists[*]}"; exit 1; }
mv -f "${sdists[0]}" dist/
sdist="dist/$(basename "${sdists[0]}")"

say "checking the contents of the wheels"
"$tools/bin/python" tools/check_wheel.py "${host_wheels[@]}" "${arm_wheels[@]}"
say "checking the metadata of the wheels and the sdist"
"$tools/bin/twine" check --strict "${host_wheels[@]}" "${arm_wheels[@]}" "$sdist"

# The suite as the wheels' users would run it: no src/ on any path.
suite="$work/suite"
mkdir -p "$suite"
# The target library tests read the cross builds just made, as in the tree.
MERROW_ARMHF_LIBS=$(IFS=:; echo "${arm_stages[*]}")
export MERROW_ARMHF_LIBS
cp -r tests pyproject.toml "$suite/"
# Some tests run the examples.
[ -d examples ] && cp -r examples "$suite/"
find "$suite" -name __pycache__ -prune -exec rm -rf {} +

size_of() { echo "$(( ($(stat -c %s "$1") + 512) / 1024 )) KiB"; }
last_summary() { grep -E '^=* *[0-9]+ (passed|failed|error)' "$1" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//' || true; }

declare -a summary=()
failed=0
# The summary line of wheel $1, whose suite exited with $2 and logged to
# $3; $4 says where it ran, if not on the host.
record_result() {
  local wheel=$1 rc=$2 log=$3 where=${4:-} verdict=ok result
  result=$(last_summary "$log")
  if [ "$rc" -ne 0 ]; then
    verdict=FAILED
    failed=1
  fi
  summary+=("$(basename "$wheel") ($(size_of "$wheel")): $verdict$where, ${result:-no pytest summary}")
}
for i in "${!host_wheels[@]}"; do
  series=${host_series[$i]} wheel=${host_wheels[$i]}
  venv="$work/venv-$series"
  say "testing $(basename "$wheel") in a fresh venv"
  "$(tools/find-python.sh "$series")" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis
  # Both modules must come from the venv, never from the work tree.
  (cd "$suite" && "$venv/bin/python" -W ignore::RuntimeWarning -c '
import sys
import merrow_sdk.logging.trace_key as t, merrow_sdk.patchbay as p
for m in (t, p):
    if not m.__file__.startswith(sys.prefix + "/"):
        sys.exit("%s was imported from %s, not from %s" % (m.__name__, m.__file__, sys.prefix))
')
  rc=0
  # shellcheck disable=SC2086  # PYTEST_ARGS is a list of words, as for `make test`
  (cd "$suite" && "$venv/bin/python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-}) 2>&1 |
    tee "$work/pytest-$series.log" || rc=$?
  record_result "$wheel" "$rc" "$work/pytest-$series.log"
done

for i in "${!arm_wheels[@]}"; do
  release=${arm_releases[$i]} wheel=${arm_wheels[$i]}
  say "testing $(basename "$wheel") in the emulated $release root"
  rc=0
  ARMHF_RELEASE=$release tools/armhf/run-tests.sh "$wheel" 2>&1 | tee "$work/pytest-$release.log" || rc=$?
  record_result "$wheel" "$rc" "$work/pytest-$release.log" " in the $release root"
done
summary+=("$(basename "$sdist") ($(size_of "$sdist")): twine check passed")

say "summary:"
printf '  %s\n' "${summary[@]}" >&2
exit "$failed"
