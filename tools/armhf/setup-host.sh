#!/usr/bin/env bash
# Installs the cross tools and makes the kernel run 32-bit ARM programs
# through qemu. Safe to run again; reads no standard input.
set -euo pipefail
. "$(dirname "$0")/common.sh"
need_root

PACKAGES=(g++-$TRIPLET binutils-$TRIPLET qemu-user-static debootstrap binfmt-support
          cmake make python3 ca-certificates)

install_packages() {
  local missing=() pkg
  for pkg in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  mkdir -p "$CACHE_DIR"
  local apt_log="$CACHE_DIR/apt.log"
  { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
    </dev/null >"$apt_log" 2>&1 ||
    { tail -n 30 "$apt_log" >&2; die "installing ${missing[*]} failed; full log in $apt_log"; }
}

BINFMT=/proc/sys/fs/binfmt_misc

mount_binfmt() {
  [ -e "$BINFMT/register" ] && return 0
  grep -qw binfmt_misc /proc/filesystems ||
    modprobe binfmt_misc 2>/dev/null ||
    die "this kernel has no binfmt_misc support, so it cannot run ARM programs through qemu"
  mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
    die "cannot mount binfmt_misc at $BINFMT (a container without the privilege to do so?);" \
        "mount it on the host, or run there: mount -t binfmt_misc binfmt_misc $BINFMT"
}

enable_qemu_arm() {
  local entry=$BINFMT/qemu-arm
  if [ ! -e "$entry" ]; then
    update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
  fi
  if [ ! -e "$entry" ]; then
    # Fall back to the registration line the qemu package ships.
    local conf=/usr/lib/binfmt.d/qemu-arm.conf
    [ -r "$conf" ] || die "no binfmt registration for qemu-arm found ($conf missing)"
    grep -v '^#' "$conf" | head -n 1 >"$BINFMT/register" ||
      die "the kernel refused the qemu-arm registration from $conf"
  fi
  if ! grep -qx enabled "$entry"; then
    echo 1 >"$entry" || die "cannot enable $entry"
  fi
}

# A static ARM program proves the whole chain: registration, qemu and flags.
check_arm_runs() {
  local dir
  dir=$(mktemp -d)
  printf 'int main(void) { return 42; }\n' >"$dir/probe.c"
  $TRIPLET-gcc -static -O0 -o "$dir/probe" "$dir/probe.c" || die "the cross compiler does not work"
  local rc=0
  "$dir/probe" || rc=$?
  rm -rf "$dir"
  [ "$rc" -eq 42 ] ||
    die "this machine does not run 32-bit ARM programs (exit $rc); check $BINFMT/qemu-arm"
}

install_packages
mount_binfmt
enable_qemu_arm
check_arm_runs
log "host ready: cross compiler $($TRIPLET-g++ -dumpversion), $(qemu-arm-static --version | head -n 1)"
