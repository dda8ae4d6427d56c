#!/usr/bin/env bash
# Makes (or reuses) .venv-tools with the packaging tools pinned in
# tools/packaging-requirements.txt, from the newest CPython here that can
# install them, whatever series are being built; prints a directory whose
# bin/ runs them. Where no CPython here can (or MERROW_TOOLS_IN_ROOT=1), the
# venv is made in the native Debian root of the newest series and bin/ holds
# wrappers that run its tools there (build/tools-in-root). Safe to run again
# and from concurrent runs.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"
requirements=tools/packaging-requirements.txt
log=build/.venv-tools.log
mkdir -p build
exec 8>build/.venv-tools.lock
flock 8

# Whether venv $1 was made with these pins.
usable() { grep -qF "$(sha256sum "$requirements")" "$1/.deps" 2>/dev/null; }

if [ "${MERROW_TOOLS_IN_ROOT:-0}" != 1 ]; then
  if usable .venv-tools && .venv-tools/bin/python -c 'import auditwheel, twine, build, wheel' 2>/dev/null; then
    echo "$REPO/.venv-tools"
    exit 0
  fi
  for series in $(matrix series | sort -V -r); do
    tools/find-python.sh "$series" >/dev/null 2>&1 || continue
    tools/venv.sh .venv-tools "$series" -r "$requirements" >"$log" 2>&1 && { echo "$REPO/.venv-tools"; exit 0; }
    say "CPython $series here cannot install the packaging tools ($log)"
  done
fi

series=$(matrix series | sort -V | tail -n 1)
place=$(matrix shipping "$series" "$(dpkg --print-architecture)") ||
  { say "error: no CPython here installs the packaging tools, and no root ships CPython $series"; exit 1; }
venv=".venv-tools-${place%% *}"
wrappers=build/tools-in-root/bin
if ! usable "$venv" || [ ! -x "$wrappers/python" ]; then
  say "making $venv in the ${place/ //} root (CPython $series)"
  # shellcheck disable=SC2086  # "RELEASE ARCH"
  "$DEBIAN_ROOT" run --tree $place -- tools/venv.sh "$venv" "$series" -r "$requirements" >"$log" 2>&1 ||
    { tail -n 30 "$log" >&2; say "error: installing the packaging tools failed; full log in $log"; exit 1; }
  mkdir -p "$wrappers"
  for tool in python twine auditwheel wheel; do
    # shellcheck disable=SC2016  # expanded when the wrapper runs
    printf '#!/bin/sh\nexec %s run --tree --bind /tmp --cd "$PWD" ${SOURCE_DATE_EPOCH:+--env SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} --env PATH=%s:/usr/bin:/bin %s -- %s "$@"\n' \
      "$DEBIAN_ROOT" "$REPO/$venv/bin" "$place" "$REPO/$venv/bin/$tool" >"$wrappers/$tool"
    chmod +x "$wrappers/$tool"
  done
fi
echo "$REPO/${wrappers%/bin}"
