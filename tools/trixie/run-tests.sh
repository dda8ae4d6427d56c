#!/usr/bin/env bash
# Installs the wheel into a venv in the trixie root and runs the project's
# test suite there with the root's CPython; exits with pytest's own status.
#   run-tests.sh WHEEL   (PYTEST_ARGS as for `make test`; MERROW_TRIXIE_COUNTS below)
set -euo pipefail
. "$(dirname "$0")/common.sh"
need_root

wheel=${1:?usage: run-tests.sh WHEEL}
enter_root

# A wheel built for coverage writes its counts by the absolute path of its
# build directory (MERROW_TRIXIE_COUNTS, on the host): mounted, writable, at
# that same path in the root before the wheel's import check runs; the
# mount points made for it go afterwards.
if [ -n "${MERROW_TRIXIE_COUNTS:-}" ]; then
  counts=$(cd "$MERROW_TRIXIE_COUNTS" && pwd)
  mkdir -p "$ROOT$counts"
  trap 'unmount_under "$ROOT"; rmdir -p --ignore-fail-on-non-empty "$ROOT$counts" 2>/dev/null || true' EXIT
  mount --bind "$counts" "$ROOT$counts"
  log "counts go to $counts"
fi
install_wheel "$wheel"

# A copy of what the suite reads, in the same layout as the work tree.
cp -r "$REPO/tests" "$REPO/pyproject.toml" "$ROOT$WORK/"
for extra in conftest.py examples; do
  if [ -e "$REPO/$extra" ]; then cp -r "$REPO/$extra" "$ROOT$WORK/"; fi
done
find "$ROOT$WORK/tests" -name __pycache__ -prune -exec rm -rf {} +

log "running the test suite"
rc=0
# shellcheck disable=SC2086  # PYTEST_ARGS is a list of words, as for `make test`
in_root /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$WORK" \
  "$VENV/bin/python" -m pytest -q ${PYTEST_ARGS:-} </dev/null || rc=$?
exit "$rc"
