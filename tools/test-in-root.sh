#!/usr/bin/env bash
# `make test-armhf`, `make test-arm64`, `make test-trixie`: the wheel of one
# Debian root, tested there (tools/debian-root, the root made as needed).
# For an ARM root it is cross-built against the root and the suite runs
# under emulation; for a native root, each series it holds is built here if
# pyenv or PATH has it (the ABI is the same at every patch level), else in
# the root. Each wheel is checked (tools/check_wheel.py) before its suite.
#   test-in-root.sh RELEASE ARCH      (PYTEST_ARGS as for `make test`)
set -euo pipefail
. "$(dirname "$0")/series.sh"
release=${1:?usage: test-in-root.sh RELEASE ARCH} arch=${2:?architecture missing}
cd "$REPO"
tools=$(tools/packaging-venv.sh)
out="build/wheels/$release-$arch"
mkdir -p "$out"

wheels=() libs=()
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  for series in $("$DEBIAN_ROOT" series "$release" "$arch"); do
    built=$(build_series_wheel "$series" "build/wheels/cp${series/./}-$arch")
    wheels+=("$(tools/manylinux.sh "$built" "$out")")
  done
else
  wheels+=("$(tools/cross-wheel.sh "$arch" "$release" "$out")")
  libs=(--libs "build/target/$release-$arch")
fi
"$tools/bin/python" tools/check_wheel.py "${wheels[@]}" >&2
for wheel in "${wheels[@]}"; do
  "$DEBIAN_ROOT" suite "${libs[@]}" "$release" "$arch" "$wheel"
done
