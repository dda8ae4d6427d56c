# Helpers of test-all.sh, wheels.sh and test-in-root.sh: the CPython series
# the package supports, where each runs and one virtual environment per
# series. Sourced, not run.
#
# A series runs here when pyenv or PATH has it (tools/find-python.sh), else
# in the native Debian root that ships it (tools/debian-root), with the work
# tree mounted at its own path; its venv and build directory are then
# .venv-RELEASE-X.Y and build/RELEASE-{wheel_tag}, which no host one can be.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# MERROW_SERIES narrows the list, e.g. MERROW_SERIES="3.9 3.13".
SERIES=${MERROW_SERIES:-3.9 3.10 3.11 3.12 3.13 3.14 3.15}
DEBIAN_ROOT="$REPO/tools/debian-root/debian-root"

say() { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*" >&2; }

# "host", or "RELEASE ARCH" of the root that ships series $1; fails if none.
place_of() {
  if "$REPO/tools/find-python.sh" "$1" >/dev/null 2>&1; then
    echo host
  else
    "$DEBIAN_ROOT" shipping "$1"
  fi
}

# The venv of a series, with the build and test tools, as `make` makes it.
venv_of() {
  local place
  place=$(place_of "$1") || place=host
  if [ "$place" = host ]; then echo ".venv-$1"; else echo ".venv-${place%% *}-$1"; fi
}

# Its build directory, for the backend's build-dir setting.
build_dir_of() {
  local place
  place=$(place_of "$1") || place=host
  # shellcheck disable=SC2016  # {wheel_tag} is the backend's
  if [ "$place" = host ]; then echo 'build/{wheel_tag}'; else echo "build/${place%% *}-{wheel_tag}"; fi
}

# Runs a command for series $1 in the work tree, where that series is.
in_place_of() {
  local series=$1 place
  shift
  place=$(place_of "$series") || { say "error: CPython $series is neither here nor in a known root"; return 1; }
  if [ "$place" = host ]; then
    (cd "$REPO" && "$@")
  else
    # shellcheck disable=SC2086  # "RELEASE ARCH"
    "$DEBIAN_ROOT" run --tree $place -- "$@"
  fi
}

# Makes (or reuses) the venv of series $1 through the Makefile's own rule.
prepare_venv() {
  local venv
  venv=$(venv_of "$1")
  in_place_of "$1" make -C "$REPO" --no-print-directory PY_SERIES="$1" VENV="$venv" "$venv/.deps" >&2
}

# Builds the plain linux_* wheel of series $1 where that series is, into
# the empty directory $2 of the work tree; prints its path.
build_series_wheel() {
  local series=$1 out=$2 venv built
  prepare_venv "$series"
  venv=$(venv_of "$series")
  rm -rf "${out:?}"
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  # The build directory is the one `make install` uses, so an up-to-date
  # build is reused.
  in_place_of "$series" "$venv/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-build-isolation --no-deps --config-settings=build-dir="$(build_dir_of "$series")" -w "$out" . >&2
  built=("$out"/*.whl)
  [ ${#built[@]} -eq 1 ] && [ -f "${built[0]}" ] ||
    { say "error: expected one wheel in $out, got: ${built[*]}"; return 1; }
  echo "${built[0]}"
}
