# What each Debian root holds: the series tools/matrix says it ships, and
# what building and testing there needs. Sourced by debian-root, not run.
. "$TOOL_DIR/../matrix.sh"

root_series() { matrix root-series "$1/$2"; }
known_root() { matrix roots | grep -qx -- "$1/$2"; }

# The packages of root ($1 release, $2 arch), comma-separated for mmdebstrap.
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
  # shellcheck disable=SC2207  # package names have no blanks
  packages+=($(matrix packages "$release/$arch"))
  local IFS=,
  echo "${packages[*]}"
}

# Python run by each series of a root to call it intact.
ROOT_PROBE='import sys, venv, pip, pytest, hypothesis, elftools'
# The allocation sweeps need the interpreter's test hooks wherever they run.
NATIVE_PROBE='import _testcapi'
