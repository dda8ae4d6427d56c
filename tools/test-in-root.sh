#!/usr/bin/env bash
# `make test-armhf`, `make test-arm64`, `make test-trixie`: the wheel of one
# Debian root, checked (tools/check_wheel.py) and tested there: cross-built
# for a foreign root; for a native one, each series built where it runs (the
# ABI is the same at every patch level).
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
