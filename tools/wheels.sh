#!/usr/bin/env bash
# `make wheels`: in dist/, a manylinux wheel of every series where it runs,
# one of every foreign root (cross-built) and the sdist; all checked, then
# each wheel's suite run where its interpreter is (tools/suite.sh).
# docs/target-platform.md says more. PYTEST_ARGS as for `make test`;
# MERROW_SERIES and MERROW_ARM_ROOTS ("bullseye/armhf forky/arm64", or ""
# for none) narrow it.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"
ARM_ROOTS=${MERROW_ARM_ROOTS-$(matrix roots | grep -v "/$(dpkg --print-architecture)$" | sort -t/ -k2,2r -s | xargs)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p dist
# dist/ holds this run's files only, so a wheel of a tag no longer made
# cannot be shipped along with the new ones.
rm -f dist/merrow_sdk-*.whl dist/merrow_sdk-*.tar.gz
tools=$(tools/packaging-venv.sh)

# Each wheel, and where its suite runs: "host SERIES" or "RELEASE ARCH [LIBS]".
declare -a wheels=() places=() libs=()
for series in $SERIES; do
  if ! place=$(place_of "$series"); then
    say "skipping CPython $series: neither pyenv nor PATH has it, nor a known root"
    continue
  fi
  where=""
  [ "$place" = host ] || where=" in the ${place/ //} root"
  say "building the CPython $series wheel$where"
  built=$(build_series_wheel "$series" "build/wheels/cp${series/./}-x86_64")
  wheels+=("$(tools/manylinux.sh "$built" dist)")
  places+=("${place/#host/host $series}")
done
[ ${#wheels[@]} -gt 0 ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }

for entry in $ARM_ROOTS; do
  release=${entry%/*} arch=${entry#*/}
  say "building the $arch wheel for Debian $release"
  wheels+=("$(tools/cross-wheel.sh "$arch" "$release" dist)")
  libs+=("$REPO/build/target/$release-$arch")
  places+=("$release $arch ${libs[-1]}")
done

say "building the sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log" >&2; say "error: building the sdist failed"; exit 1; }
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { say "error: expected one sdist, got: ${sdists[*]}"; exit 1; }
mv -f "${sdists[0]}" dist/
sdist="dist/$(basename "${sdists[0]}")"

say "checking the contents of the wheels"
"$tools/bin/python" tools/check_wheel.py "${wheels[@]}"
say "checking the metadata of the wheels and the sdist"
"$tools/bin/twine" check --strict "${wheels[@]}" "$sdist"

# The suite as the wheels' users would run it: no src/ on any path.
suite="$work/suite"
mkdir -p "$suite"
cp -r tests pyproject.toml examples "$suite/"
find "$suite" -name __pycache__ -prune -exec rm -rf {} +
# Here the target library tests read every cross build just made.
MERROW_TARGET_LIBS=$(IFS=:; echo "${libs[*]}")
export MERROW_TARGET_LIBS

size_of() { echo "$(( ($(stat -c %s "$1") + 512) / 1024 )) KiB"; }
declare -a summary=()
failed=0
for i in "${!wheels[@]}"; do
  wheel=${wheels[$i]} rc=0
  read -r release arch lib <<<"${places[$i]}"
  if [ "$release" = host ]; then
    where="in a fresh venv"
    series=$arch
    command=(tools/suite.sh "$suite" "$series" "$wheel" pytest hypothesis pyelftools)
  else
    where="in the $release/$arch root"
    command=(tools/debian-root/debian-root suite ${lib:+--libs "$lib"} "$release" "$arch" "$wheel")
  fi
  say "testing $(basename "$wheel") $where"
  "${command[@]}" 2>&1 | tee "$work/pytest-$i.log" || rc=$?
  verdict=ok
  [ "$rc" -eq 0 ] || { verdict=FAILED; failed=1; }
  summary+=("$(basename "$wheel") ($(size_of "$wheel")): $verdict $where, $(last_summary "$work/pytest-$i.log")")
done
summary+=("$(basename "$sdist") ($(size_of "$sdist")): twine check passed")

say "summary:"
printf '  %s\n' "${summary[@]}" >&2
exit "$failed"
