# Shared settings and helpers of the trixie scripts; sourced, not run.
# The root is a native amd64 Debian trixie with the CPython 3.13 that
# release ships, so the package's 3.13 wheel is tested and measured on the
# patch level users have rather than on whatever 3.13 pyenv holds here. The
# mount, lock and removal helpers are the armhf scripts' own.

TRIXIE_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ARMHF_RELEASE=trixie . "$TRIXIE_TOOLS/../armhf/common.sh"

# What the armhf helpers (take_lock) read, set for this root.
SUITE=trixie-amd64
PY_SERIES=3.13
CACHE_DIR=${MERROW_TRIXIE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/merrow-trixie-amd64}
ROOT="$CACHE_DIR/root"
# Inside the root: the suite's copy and the venv the wheel goes into.
WORK=/srv/merrow
VENV=$WORK/venv

log() { printf '[trixie] %s\n' "$*" >&2; }
die() { printf '[trixie] error: %s\n' "$*" >&2; exit 1; }

need_root() {
  [ "$(id -u)" -eq 0 ] || die "must run as root (debootstrap, mount and chroot need it)"
}

in_root() {
  chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
    PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
}

# Locks the root and mounts what programs inside expect; all of it is undone
# when the shell exits.
enter_root() {
  [ -x "$ROOT/usr/bin/python$PY_SERIES" ] || die "no root at $ROOT; run tools/trixie/make-root.sh"
  take_lock
  trap 'unmount_under "$ROOT"' EXIT
  trap 'exit 130' INT TERM
  unmount_under "$ROOT"   # left over from a run that was killed outright
  mount -t proc proc "$ROOT/proc"
  mount --bind /dev "$ROOT/dev"
  # Mounts made below the bind must not show up in the host's /dev.
  mount --make-slave "$ROOT/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$ROOT/dev/shm"
  mount -t tmpfs -o mode=1777 tmpfs "$ROOT/tmp"
}

# A fresh venv in the root, over the system packages (pytest, hypothesis),
# with the wheel $1 installed; the root itself is left as it was made.
install_wheel() {
  local wheel=$1 name
  [ -f "$wheel" ] || die "no wheel at $wheel"
  name=$(basename "$wheel")
  rm -rf --one-file-system "${ROOT:?}$WORK"
  mkdir -p "$ROOT$WORK/wheel"
  cp "$wheel" "$ROOT$WORK/wheel/"
  in_root /usr/bin/python$PY_SERIES -m venv --system-site-packages --without-pip "$VENV" </dev/null
  log "installing $name into $VENV"
  in_root "$VENV/bin/python" -m pip install -q --no-index --no-deps "$WORK/wheel/$name" </dev/null
  # Both modules must come from the venv: nothing else in the root has them.
  in_root "$VENV/bin/python" -W ignore::RuntimeWarning -c '
import sys
import merrow_sdk.logging.trace_key as t, merrow_sdk.patchbay as p
for m in (t, p):
    if not m.__file__.startswith(sys.prefix + "/"):
        sys.exit("%s was imported from %s, not from %s" % (m.__name__, m.__file__, sys.prefix))
print("CPython", sys.version.split()[0], "with", sys.argv[1])
' "$name" </dev/null >&2
}
