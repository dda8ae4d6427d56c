#!/usr/bin/env bash
# Builds the cp313 wheel with the host's CPython 3.13 into build/trixie/wheel
# and prints its path. The 3.13 ABI is the same at every patch level, and the
# modules pick their code paths from the running interpreter's version, so
# the wheel serves trixie's CPython as it is.
set -euo pipefail
. "$(dirname "$0")/../series.sh"
cd "$REPO"
series=3.13
out="$REPO/build/trixie/wheel"
say "building the CPython $series wheel"
prepare_venv "$series"
rm -rf "$out"
# The build directory is the one `make install` uses, so an up-to-date
# build is reused.
"$(venv_of "$series")/bin/python" -m pip wheel -q --disable-pip-version-check \
  --no-build-isolation --no-deps --config-settings=build-dir='build/{wheel_tag}' -w "$out" . >&2
built=("$out"/*.whl)
[ ${#built[@]} -eq 1 ] || { say "error: expected one wheel in $out, got: ${built[*]}"; exit 1; }
echo "${built[0]}"
