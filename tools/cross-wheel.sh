#!/usr/bin/env bash
# The wheel of one ARM Debian root, cross-built against it through
# tools/cross-toolchain.cmake, stripped, tagged (tools/manylinux.sh) and
# unpacked into build/target/<release>-<arch> for the target library tests.
# Prints the wheel's path.
#   cross-wheel.sh ARCH RELEASE OUTDIR     ARCH: armhf or arm64
set -euo pipefail
. "$(dirname "$0")/series.sh"
arch=${1:?usage: cross-wheel.sh ARCH RELEASE OUTDIR} release=${2:?release missing} out=${3:?outdir missing}
case $arch in
  armhf) machine=armv7l ;;
  arm64) machine=aarch64 ;;
  *) say "error: no cross build for $arch (armhf or arm64)"; exit 1 ;;
esac
cd "$REPO"

root=$(tools/debian-root/debian-root make "$release" "$arch")
series=$(tools/debian-root/debian-root series "$release" "$arch")
[ "$(wc -w <<<"$series")" -eq 1 ] || { say "error: $release/$arch holds CPython $series, not one"; exit 1; }
tag="cp${series/./}-cp${series/./}-linux_$machine"
tools=$(tools/packaging-venv.sh)
build="build/cross/$release-$arch"
built=$(mktemp -d)
trap 'rm -rf "$built"' EXIT

say "building $tag against $root"
# The host interpreter only runs the backend: the tags, the headers and the
# extension suffix are the target's (wheel.tags, the toolchain file).
# shellcheck disable=SC2016  # {wheel_tag} is the backend's
PATH="$tools/bin:$PATH" "$tools/bin/python" -m pip wheel -q --disable-pip-version-check \
  --no-build-isolation --no-deps -w "$built" \
  --config-settings=build-dir="$build" \
  --config-settings=cmake.toolchain-file="$REPO/tools/cross-toolchain.cmake" \
  --config-settings=cmake.python-hints=false \
  --config-settings=cmake.define.MERROW_TARGET_ARCH="$arch" \
  --config-settings=cmake.define.MERROW_TARGET_ROOT="$root" \
  --config-settings=cmake.define.MERROW_TARGET_PYTHON="$series" \
  --config-settings=wheel.tags="$tag" \
  --config-settings=install.strip=true \
  . >"$built/pip.log" 2>&1 ||
  { tail -n 40 "$built/pip.log" >&2; say "error: the $release/$arch build failed"; exit 1; }
wheels=("$built"/*.whl)
[ ${#wheels[@]} -eq 1 ] || { say "error: expected one wheel, got: ${wheels[*]}"; exit 1; }
wheel=$(tools/manylinux.sh "${wheels[0]}" "$out")

libs="build/target/$release-$arch"
rm -rf "$libs"
"$tools/bin/python" -m zipfile -e "$wheel" "$libs"
echo "$wheel"
