# The Debian roots the project tests in: what each (release, architecture)
# ships and holds. Sourced by debian-root, not run.

# The CPython series a root ($1 release, $2 arch) holds: its release's
# default one, and on forky amd64 the next series, which forky ships too.
root_series() {
  case $1/$2 in
    bullseye/*) echo 3.9 ;;
    bookworm/*) echo 3.11 ;;
    trixie/*) echo 3.13 ;;
    forky/amd64) echo 3.14 3.15 ;;
    forky/*) echo 3.14 ;;
    *) return 1 ;;
  esac
}

# The roots that can be made, as "release/arch".
KNOWN_ROOTS="trixie/amd64 forky/amd64
bullseye/armhf bookworm/armhf trixie/armhf forky/armhf
bookworm/arm64 trixie/arm64 forky/arm64"

known_root() { grep -qw -- "$1/$2" <<<"$KNOWN_ROOTS"; }

# The packages of root ($1 release, $2 arch), comma-separated for debootstrap.
root_packages() {
  local release=$1 arch=$2 series packages=()
  for series in $(root_series "$release" "$arch"); do
    packages+=("python$series" "python$series-dev")
    # Native roots build the package themselves (`make test` inside), which
    # makes venvs with pip.
    [ "$arch" = amd64 ] && packages+=("python$series-venv")
  done
  # Foreign roots double as the cross compiler's sysroot.
  packages+=(libc6-dev python3-pip python3-pytest python3-hypothesis python3-pyelftools)
  # valgrind and git: the callgrind tables and the tree state they record.
  [ "$arch" = amd64 ] && packages+=(build-essential valgrind git)
  local IFS=,
  echo "${packages[*]}"
}

# Python run by each series of a root to call it intact.
ROOT_PROBE='import sys, venv, pip, pytest, hypothesis, elftools'
# The allocation sweeps need the interpreter's test hooks wherever they run.
NATIVE_PROBE='import _testcapi'
