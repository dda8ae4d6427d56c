# Shared settings and helpers of the armhf scripts; sourced, not run.
# Everything here is safe to repeat: each step checks before it acts.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ARMHF_TOOLS="$REPO/tools/armhf"
TRIPLET=arm-linux-gnueabihf

log() { printf '[armhf %s] %s\n' "$SUITE" "$*" >&2; }
die() { printf '[armhf %s] error: %s\n' "$SUITE" "$*" >&2; exit 1; }

# The Debian releases the nodes run, each with the one CPython it ships.
ARMHF_RELEASES="bullseye bookworm trixie"
SUITE=${ARMHF_RELEASE:-bullseye}
case $SUITE in
  bullseye) PY_SERIES=3.9 ;;
  bookworm) PY_SERIES=3.11 ;;
  trixie) PY_SERIES=3.13 ;;
  *) die "unknown ARMHF_RELEASE '$SUITE' (known: $ARMHF_RELEASES)" ;;
esac
# The release's CPython names its extension files this way.
SOABI=cpython-${PY_SERIES/./}-$TRIPLET
CACHE_DIR=${MERROW_ARMHF_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/merrow-armhf}
ROOT="$CACHE_DIR/$SUITE-root"
# Cross-built libraries, installed in the package's layout; the target
# library tests read them from here (MERROW_ARMHF_LIBS).
BUILD_DIR="$REPO/build/armhf/$SUITE"
STAGE_DIR="$BUILD_DIR/stage"
DIST_DIR="$REPO/dist"
CMAKE=${CMAKE:-/usr/bin/cmake}

need_root() {
  [ "$(id -u)" -eq 0 ] || die "must run as root (apt, binfmt_misc, debootstrap and chroot need it)"
}

# Mount points at or below $1, deepest first (mountinfo escapes spaces as \040).
mounts_under() {
  local dir=$1
  awk -v d="$dir" '{ gsub(/\\040/, " ", $5); if ($5 == d || index($5, d "/") == 1) print $5 }' \
    /proc/self/mountinfo | sort -r
}

# Never delete through a live bind mount of the host's /dev or /proc.
unmount_under() {
  local dir=$1 mp
  while read -r mp; do
    [ -n "$mp" ] || continue
    umount "$mp" 2>/dev/null || umount -l "$mp" || true
  done < <(mounts_under "$dir")
  if [ -n "$(mounts_under "$dir")" ]; then
    die "could not unmount everything below $dir:"$'\n'"$(mounts_under "$dir")"
  fi
}

safe_remove() {
  local dir=$1
  [ -e "$dir" ] || return 0
  unmount_under "$dir"
  rm -rf --one-file-system "$dir"
}

# Serialises concurrent runs on the shared root; held until the shell exits.
take_lock() {
  mkdir -p "$CACHE_DIR"
  exec 9>"$CACHE_DIR/$SUITE.lock"
  flock 9
}

# Without the kernel's fix-binary flag, qemu is looked up inside the chroot.
provide_qemu_in() {
  local dir=$1 entry=/proc/sys/fs/binfmt_misc/qemu-arm interp
  grep -q '^flags:.*F' "$entry" && return 0
  interp=$(awk '$1 == "interpreter" { print $2 }' "$entry")
  mkdir -p "$dir$(dirname "$interp")"
  cp -L /usr/bin/qemu-arm-static "$dir$interp"
}

# Releases leave the main mirror for the archive some time after their end
# of life; the first of these that still serves the release is used.
DEBIAN_MIRRORS=(http://deb.debian.org/debian http://archive.debian.org/debian)

# The mirror to bootstrap release $1 for architecture $2 from, unless the
# variable named $3 names one.
pick_mirror() {
  local suite=$1 arch=$2 override=$3 mirror
  if [ -n "${!override:-}" ]; then
    echo "${!override}"
    return 0
  fi
  for mirror in "${DEBIAN_MIRRORS[@]}"; do
    if wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/$suite/main/binary-$arch/Release" </dev/null; then
      echo "$mirror"
      return 0
    fi
  done
  die "no mirror serves $suite for $arch (tried ${DEBIAN_MIRRORS[*]}); set $override"
}
