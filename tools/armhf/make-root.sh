#!/usr/bin/env bash
# Makes (or reuses) the emulated target root of one Debian release
# (ARMHF_RELEASE, default bullseye): its own CPython with headers and the
# test tools. It is cached outside the work tree, one per release, and
# rebuilt only when it is broken or its recipe changed. Expects
# tools/armhf/setup-host.sh to have run.
set -euo pipefail
. "$(dirname "$0")/common.sh"
need_root

# libc6-dev: the root doubles as the cross compiler's sysroot, so the
# libraries link against the target's own C library and its symbol versions.
ROOT_PACKAGES=python$PY_SERIES,python$PY_SERIES-dev,libc6-dev,python3-pytest,python3-hypothesis,python3-pip
RECIPE="suite=$SUITE arch=armhf variant=minbase packages=$ROOT_PACKAGES"
STAMP=.merrow-root-stamp

root_is_intact() {
  local dir=$1
  [ -f "$dir/$STAMP" ] && [ "$(cat "$dir/$STAMP")" = "$RECIPE" ] || return 1
  [ -f "$dir/usr/include/python$PY_SERIES/Python.h" ] || return 1
  [ -f "$dir/usr/include/$TRIPLET/python$PY_SERIES/pyconfig.h" ] || return 1
  chroot "$dir" /usr/bin/python$PY_SERIES -c \
    "import sys, pytest, hypothesis; assert '%d.%d' % sys.version_info[:2] == '$PY_SERIES'" >/dev/null 2>&1
}

take_lock
if root_is_intact "$ROOT"; then
  log "reusing root $ROOT"
  exit 0
fi

started=$SECONDS
mirror=$(pick_mirror "$SUITE" armhf MERROW_ARMHF_MIRROR)
log "making the $SUITE armhf root in $ROOT from $mirror (runs its package scripts under emulation; takes minutes)"
safe_remove "$ROOT"
partial="$ROOT.partial"
safe_remove "$partial"
mkdir -p "$CACHE_DIR"
bootstrap_log="$CACHE_DIR/$SUITE-debootstrap.log"
trap 'unmount_under "$partial"' EXIT
failed() {
  tail -n 30 "$bootstrap_log" >&2
  if [ -f "$partial/debootstrap/debootstrap.log" ]; then
    tail -n 30 "$partial/debootstrap/debootstrap.log" >&2
  fi
  die "debootstrap failed ($1); full log in $bootstrap_log"
}
debootstrap --arch=armhf --variant=minbase --foreign --include="$ROOT_PACKAGES" \
  "$SUITE" "$partial" "$mirror" </dev/null >"$bootstrap_log" 2>&1 ||
  failed "download"
provide_qemu_in "$partial"
chroot "$partial" /debootstrap/debootstrap --second-stage </dev/null >>"$bootstrap_log" 2>&1 ||
  failed "second stage"
unmount_under "$partial"
# Package caches are of no use to the tests and only make the root larger.
rm -rf "$partial"/var/cache/apt/archives/*.deb "$partial"/var/lib/apt/lists/*_Packages
echo "$RECIPE" >"$partial/$STAMP"
root_is_intact "$partial" || die "the new root does not run python$PY_SERIES with pytest and hypothesis"
mv "$partial" "$ROOT"
log "root ready in $((SECONDS - started)) s: $(chroot "$ROOT" /usr/bin/python$PY_SERIES -c 'import sys, platform; print(sys.version.split()[0], platform.machine())')"
