#!/usr/bin/env bash
# Every venv of the project: makes the venv DIR of CPython SERIES (as
# tools/find-python.sh finds it; empty: its default) and pip-installs the
# ARGUMENTS there, by default the build and test tools; keeps it while its
# stamp DIR/.deps (interpreter, arguments, the files they name) still holds.
# What the machine lacks to build the package is installed first
# (tools/host-packages.sh). Safe to run again; reads no standard input.
#   venv.sh [--system] DIR SERIES [PIP-INSTALL-ARGUMENTS...]
# --system: over the interpreter's own packages, pip included (the roots'
# suites, where Debian ships the test tools), and nothing installed first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
system=()
[ "${1:-}" = --system ] && { system=(--system-site-packages --without-pip); shift; }
venv=${1:?usage: venv.sh [--system] DIR SERIES [PIP-INSTALL-ARGUMENTS...]} series=${2-}
shift $(($# < 2 ? $# : 2))
[ $# -gt 0 ] || set -- scikit-build-core cmake ninja pytest hypothesis pyelftools

stamp() {
  local arg
  echo "${system[*]} $*"
  for arg in "${@:2}"; do [ ! -f "$arg" ] || sha256sum "$arg"; done
}
note=$(mktemp)
trap 'rm -f "$note"' EXIT
# shellcheck disable=SC2086  # no series: the default one
if base=$("$here/find-python.sh" $series 2>"$note"); then
  cat "$note" >&2
  [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.deps" 2>/dev/null)" = "$(stamp "$base" "$@")" ] && exit 0
fi
# shellcheck disable=SC2086
[ ${#system[@]} -gt 0 ] || "$here/host-packages.sh" $series
# shellcheck disable=SC2086
base=$("$here/find-python.sh" $series 2>/dev/null)
rm -rf "$venv"
"$base" -m venv "${system[@]}" "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" </dev/null >&2
stamp "$base" "$@" >"$venv/.deps"
