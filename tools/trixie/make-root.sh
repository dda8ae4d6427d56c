#!/usr/bin/env bash
# Makes (or reuses) the Debian trixie amd64 root: its CPython 3.13 with pip,
# the test tools, valgrind for the instruction counts and git for the tree
# state the counts record. Cached outside the work tree and rebuilt only when
# it is broken or its recipe changed. Reads no standard input.
set -euo pipefail
. "$(dirname "$0")/common.sh"
need_root

ROOT_PACKAGES=python$PY_SERIES,python3-pip,python3-pytest,python3-hypothesis,valgrind,git
RECIPE="suite=trixie arch=amd64 variant=minbase packages=$ROOT_PACKAGES"
STAMP=.merrow-root-stamp

root_is_intact() {
  local dir=$1
  [ -f "$dir/$STAMP" ] && [ "$(cat "$dir/$STAMP")" = "$RECIPE" ] || return 1
  # valgrind itself needs /proc, which is mounted only for the runs.
  [ -x "$dir/usr/bin/valgrind" ] && [ -x "$dir/usr/libexec/valgrind/callgrind-amd64-linux" ] || return 1
  chroot "$dir" /usr/bin/git --version >/dev/null 2>&1 || return 1
  chroot "$dir" /usr/bin/python$PY_SERIES -c \
    "import sys, venv, pip, pytest, hypothesis, _testcapi; assert '%d.%d' % sys.version_info[:2] == '$PY_SERIES'" \
    >/dev/null 2>&1
}

ensure_debootstrap() {
  command -v debootstrap >/dev/null 2>&1 && return 0
  log "installing debootstrap"
  mkdir -p "$CACHE_DIR"
  { DEBIAN_FRONTEND=noninteractive apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap ca-certificates; } \
    </dev/null >"$CACHE_DIR/apt.log" 2>&1 ||
    { tail -n 30 "$CACHE_DIR/apt.log" >&2; die "installing debootstrap failed; full log in $CACHE_DIR/apt.log"; }
}

take_lock
if root_is_intact "$ROOT"; then
  log "reusing root $ROOT"
  exit 0
fi

started=$SECONDS
ensure_debootstrap
mirror=$(pick_mirror trixie amd64 MERROW_TRIXIE_MIRROR)
log "making the trixie amd64 root in $ROOT from $mirror (takes minutes)"
safe_remove "$ROOT"
partial="$ROOT.partial"
safe_remove "$partial"
mkdir -p "$CACHE_DIR"
bootstrap_log="$CACHE_DIR/debootstrap.log"
trap 'unmount_under "$partial"' EXIT
if ! debootstrap --arch=amd64 --variant=minbase --include="$ROOT_PACKAGES" \
    trixie "$partial" "$mirror" </dev/null >"$bootstrap_log" 2>&1; then
  tail -n 30 "$bootstrap_log" >&2
  if [ -f "$partial/debootstrap/debootstrap.log" ]; then
    tail -n 30 "$partial/debootstrap/debootstrap.log" >&2
  fi
  die "debootstrap failed; full log in $bootstrap_log"
fi
unmount_under "$partial"
# Package caches are of no use to the tests and only make the root larger.
rm -rf "$partial"/var/cache/apt/archives/*.deb "$partial"/var/lib/apt/lists/*_Packages
echo "$RECIPE" >"$partial/$STAMP"
root_is_intact "$partial" ||
  die "the new root lacks one of python$PY_SERIES with venv, pip, pytest, hypothesis and _testcapi, valgrind or git"
mv "$partial" "$ROOT"
log "root ready in $((SECONDS - started)) s: CPython $(chroot "$ROOT" /usr/bin/python$PY_SERIES -c 'import sys; print(sys.version.split()[0])'), valgrind $(chroot "$ROOT" dpkg-query -W -f='${Version}' valgrind)"
