# Host preparation for the Debian roots: mmdebstrap, and for foreign
# architectures the cross compiler and qemu through binfmt_misc. Sourced by
# debian-root, not run. Safe to repeat; reads no standard input.

host_arch() { dpkg --print-architecture; }
is_foreign() { [ "$1" != "$(host_arch)" ]; }

ensure_packages() { "$REPO/tools/host-packages.sh" --apt "$@" || die "installing $* on the host failed"; }

BINFMT=/proc/sys/fs/binfmt_misc

mount_binfmt() {
  [ -e "$BINFMT/register" ] && return 0
  grep -qw binfmt_misc /proc/filesystems || modprobe binfmt_misc 2>/dev/null ||
    die "this kernel has no binfmt_misc, so it cannot run foreign programs through qemu"
  mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
    die "cannot mount binfmt_misc at $BINFMT (a container without the privilege?);" \
        "mount it on the host: mount -t binfmt_misc binfmt_misc $BINFMT"
}

enable_qemu() {
  local name=$1 entry=$BINFMT/qemu-$1 conf=/usr/lib/binfmt.d/qemu-$1.conf
  [ -e "$entry" ] || update-binfmts --enable "qemu-$name" >/dev/null 2>&1 || true
  if [ ! -e "$entry" ]; then
    # The registration line the qemu package ships.
    [ -r "$conf" ] || die "no binfmt registration for qemu-$name ($conf missing)"
    grep -v '^#' "$conf" | head -n 1 >"$BINFMT/register" ||
      die "the kernel refused the qemu-$name registration from $conf"
  fi
  grep -qx enabled "$entry" || echo 1 >"$entry" || die "cannot enable $entry"
  # Opened by the kernel itself, qemu needs no copy in the roots.
  grep -q '^flags:.*F' "$entry" || die "qemu-$name is registered without the F flag ($entry)"
}

# Makes the host able to make roots of architecture $1, and to cross-build
# for it and run its programs when it is foreign.
prepare_host() {
  local arch=$1 triplet
  ensure_packages mmdebstrap ca-certificates wget dpkg-dev
  is_foreign "$arch" || return 0
  # The GNU triplet; its processor is qemu's name for the machine.
  triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  ensure_packages "g++-$triplet" "binutils-$triplet" qemu-user-static binfmt-support arch-test
  mount_binfmt
  enable_qemu "$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"
  arch-test "$arch" >/dev/null || die "this machine does not run $arch programs (arch-test); check $BINFMT"
}
