#!/usr/bin/env bash
# Installs the target wheel into the emulated root of ARMHF_RELEASE and runs
# the project's test suite there; exits with pytest's own status.
#   run-tests.sh WHEEL   (PYTEST_ARGS as for `make test`)
set -euo pipefail
. "$(dirname "$0")/common.sh"
need_root

wheel=${1:?usage: run-tests.sh WHEEL}
[ -f "$wheel" ] || die "no wheel at $wheel"
[ -x "$ROOT/usr/bin/python$PY_SERIES" ] || die "no target root at $ROOT; run tools/armhf/make-root.sh"

take_lock
trap 'unmount_under "$ROOT"' EXIT
trap 'exit 130' INT TERM
unmount_under "$ROOT"   # left over from a run that was killed outright
provide_qemu_in "$ROOT"

mount -t proc proc "$ROOT/proc"
mount --bind /dev "$ROOT/dev"
# Mounts made below the bind must not show up in the host's /dev.
mount --make-slave "$ROOT/dev"
mount -t tmpfs -o mode=1777 tmpfs "$ROOT/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$ROOT/tmp"

# A fresh copy of what the suite reads, in the same layout as the work tree.
work=/srv/merrow
rm -rf "${ROOT:?}$work"
mkdir -p "$ROOT$work/wheel"
cp -r "$REPO/tests" "$REPO/pyproject.toml" "$ROOT$work/"
for extra in conftest.py examples; do
  if [ -e "$REPO/$extra" ]; then cp -r "$REPO/$extra" "$ROOT$work/"; fi
done
cp -r "$STAGE_DIR" "$ROOT$work/stage"
cp "$wheel" "$ROOT$work/wheel/"

# From bookworm on, the system CPython is marked as managed by apt; this root
# exists to have the wheel installed into it.
in_root() {
  chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
    MERROW_ARMHF_LIBS="$work/stage" MERROW_EMULATED=1 PIP_BREAK_SYSTEM_PACKAGES=1 PIP_ROOT_USER_ACTION=ignore "$@"
}

log "installing $(basename "$wheel") into the root"
in_root /usr/bin/python$PY_SERIES -m pip install -q --disable-pip-version-check \
  --no-index --no-deps --force-reinstall "$work/wheel/$(basename "$wheel")" </dev/null

log "running the test suite under emulation"
rc=0
# shellcheck disable=SC2086  # PYTEST_ARGS is a list of words, as for `make test`
in_root /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$work" \
  /usr/bin/python$PY_SERIES -m pytest -q ${PYTEST_ARGS:-} </dev/null || rc=$?
exit "$rc"
