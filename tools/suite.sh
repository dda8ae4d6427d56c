#!/usr/bin/env bash
# The suite against a wheel as its users would have it: the wheel in a
# fresh venv of CPython SERIES (tools/venv.sh) in DIR, a copy of tests/,
# pyproject.toml and examples/ and nothing of src/; both modules checked to
# come from that venv, then pytest in DIR (PYTEST_ARGS as for `make test`),
# whose exit status is this one's. Here (`make wheels`) and in the Debian
# roots (debian-root suite).
#   suite.sh [--system] DIR SERIES PIP-INSTALL-ARGUMENTS...   (--system: as for venv.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
system=()
[ "${1:-}" = --system ] && { system=(--system); shift; }
dir=${1:?usage: suite.sh [--system] DIR SERIES PIP-INSTALL-ARGUMENTS...} series=${2:?series missing}
shift 2
# Files named from where this was started, found again from DIR.
for arg; do [ -e "$arg" ] && arg=$(realpath "$arg"); set -- "$@" "$arg"; shift; done
cd "$dir"
venv=venv-$series
"$here/venv.sh" "${system[@]}" "$venv" "$series" "$@"
[ ${#system[@]} -gt 0 ] || "$venv/bin/python" -m pip check
"$venv/bin/python" -W ignore::RuntimeWarning -c '
import sys
import merrow_sdk.logging.trace_key as t, merrow_sdk.patchbay as p
for m in (t, p):
    if not m.__file__.startswith(sys.prefix + "/"):
        sys.exit("%s was imported from %s, not from %s" % (m.__name__, m.__file__, sys.prefix))
print("CPython", sys.version.split()[0], "in", sys.prefix)
'
# shellcheck disable=SC2086  # a list of words, as for `make test`
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-}
