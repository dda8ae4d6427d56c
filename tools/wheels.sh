#!/usr/bin/env bash
# `make wheels`: in dist/, a manylinux wheel for every supported CPython
# series (built here, or in the native Debian root that ships the series),
# one ARM manylinux wheel for each target Debian release and architecture
# (cross-built against that release's root), and the sdist. Checks what each
# wheel holds and runs `twine check` over all of them, then installs every
# wheel into a fresh venv and runs the suite against it from a copy of the
# tests, away from the source tree: x86_64 wheels here or in their root, ARM
# wheels in their emulated root.
# PYTEST_ARGS is passed on as for `make test`; MERROW_SERIES and
# MERROW_ARM_ROOTS (e.g. "bullseye/armhf forky/arm64") narrow the lists.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"
ARM_ROOTS=${MERROW_ARM_ROOTS:-$(matrix roots | grep -v "/$(dpkg --print-architecture)$" | sort -t/ -k2,2r -s | xargs)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p dist
# dist/ holds this run's files only, so a wheel of a tag no longer made
# cannot be shipped along with the new ones.
rm -f dist/merrow_sdk-*.whl dist/merrow_sdk-*.tar.gz
tools=$(tools/packaging-venv.sh)

declare -a x86_series=() x86_places=() x86_wheels=()
for series in $SERIES; do
  if ! place=$(place_of "$series"); then
    say "skipping CPython $series: neither pyenv nor PATH has it, nor a known root"
    continue
  fi
  where=""
  [ "$place" = host ] || where=" in the ${place/ //} root"
  say "building the CPython $series wheel$where"
  built=$(build_series_wheel "$series" "build/wheels/cp${series/./}-x86_64")
  x86_series+=("$series")
  x86_places+=("$place")
  x86_wheels+=("$(tools/manylinux.sh "$built" dist)")
done
[ ${#x86_wheels[@]} -gt 0 ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }

declare -a arm_roots=() arm_wheels=() arm_libs=()
for entry in $ARM_ROOTS; do
  release=${entry%/*} arch=${entry#*/}
  say "building the $arch wheel for Debian $release"
  arm_roots+=("$entry")
  arm_wheels+=("$(tools/cross-wheel.sh "$arch" "$release" dist)")
  arm_libs+=("$REPO/build/target/$release-$arch")
done

say "building the sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log" >&2; say "error: building the sdist failed"; exit 1; }
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { say "error: expected one sdist, got: ${sdists[*]}"; exit 1; }
mv -f "${sdists[0]}" dist/
sdist="dist/$(basename "${sdists[0]}")"

say "checking the contents of the wheels"
"$tools/bin/python" tools/check_wheel.py "${x86_wheels[@]}" "${arm_wheels[@]}"
say "checking the metadata of the wheels and the sdist"
"$tools/bin/twine" check --strict "${x86_wheels[@]}" "${arm_wheels[@]}" "$sdist"

# The suite as the wheels' users would run it: no src/ on any path.
suite="$work/suite"
mkdir -p "$suite"
cp -r tests pyproject.toml examples "$suite/"
find "$suite" -name __pycache__ -prune -exec rm -rf {} +
# Here the target library tests read every cross build just made.
MERROW_TARGET_LIBS=$(IFS=:; echo "${arm_libs[*]}")
export MERROW_TARGET_LIBS

size_of() { echo "$(( ($(stat -c %s "$1") + 512) / 1024 )) KiB"; }
last_summary() { grep -E '^=* *[0-9]+ (passed|failed|error)' "$1" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//' || true; }

declare -a summary=()
failed=0
# The summary line of wheel $1, whose suite exited with $2 and logged to $3
# where $4 says.
record_result() {
  local wheel=$1 rc=$2 log=$3 where=$4 verdict=ok
  if [ "$rc" -ne 0 ]; then verdict=FAILED; failed=1; fi
  summary+=("$(basename "$wheel") ($(size_of "$wheel")): $verdict $where, $(last_summary "$log")")
}

for i in "${!x86_wheels[@]}"; do
  series=${x86_series[$i]} place=${x86_places[$i]} wheel=${x86_wheels[$i]} rc=0
  log="$work/pytest-$series.log"
  if [ "$place" = host ]; then
    say "testing $(basename "$wheel") in a fresh venv"
    tools/suite.sh "$suite" "$series" "$wheel" pytest hypothesis pyelftools 2>&1 | tee "$log" || rc=$?
    record_result "$wheel" "$rc" "$log" "in a fresh venv"
  else
    say "testing $(basename "$wheel") in the ${place/ //} root"
    # shellcheck disable=SC2086  # "RELEASE ARCH"
    tools/debian-root/debian-root suite $place "$wheel" 2>&1 | tee "$log" || rc=$?
    record_result "$wheel" "$rc" "$log" "in the ${place/ //} root"
  fi
done

for i in "${!arm_wheels[@]}"; do
  entry=${arm_roots[$i]} wheel=${arm_wheels[$i]} rc=0
  log="$work/pytest-${entry/\//-}.log"
  say "testing $(basename "$wheel") in the emulated $entry root"
  tools/debian-root/debian-root suite --libs "${arm_libs[$i]}" "${entry%/*}" "${entry#*/}" "$wheel" 2>&1 |
    tee "$log" || rc=$?
  record_result "$wheel" "$rc" "$log" "in the emulated $entry root"
done
summary+=("$(basename "$sdist") ($(size_of "$sdist")): twine check passed")

say "summary:"
printf '  %s\n' "${summary[@]}" >&2
exit "$failed"
