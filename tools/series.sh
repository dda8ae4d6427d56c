# Helpers of test-all.sh, wheels.sh and test-in-root.sh: where each series
# of tools/matrix runs and its venv there. Sourced, not run.
#
# A series runs here when pyenv or PATH has it (tools/find-python.sh), else
# in the native Debian root that ships it (tools/debian-root), with the work
# tree mounted at its own path; its venv and build directory are then named
# after the release (tools/matrix), so no host one is touched.

# A function run for its output stops at its first failure, as one run
# directly does.
shopt -s inherit_errexit
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$REPO/tools/matrix.sh"
# MERROW_SERIES narrows the list, e.g. MERROW_SERIES="3.9 3.13".
SERIES=${MERROW_SERIES:-$(echo $(matrix series))}
DEBIAN_ROOT="$REPO/tools/debian-root/debian-root"

say() { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*" >&2; }
# pytest's closing line in log $1, e.g. "1750 passed, 10 skipped in 9.47s".
last_summary() { grep -E '^=* *[0-9]+ (passed|failed|error)' "$1" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//' || true; }

# "host", or "RELEASE ARCH" of the root that ships series $1; fails if none.
place_of() {
  "$REPO/tools/find-python.sh" "$1" >/dev/null 2>&1 && echo host && return
  matrix shipping "$1" "$(dpkg --print-architecture)"
}

# The venv ($1 venv) or build directory ($1 build) of series $2.
name_of() {
  local place
  place=$(place_of "$2") || place=host
  if [ "$place" = host ]; then matrix "$1" host "$2"; else matrix "$1" root "$2" "${place%% *}"; fi
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

# Builds the plain linux_* wheel of series $1 where that series is, into
# the empty directory $2 of the work tree; prints its path.
build_series_wheel() {
  local series=$1 out=$2 venv built
  venv=$(name_of venv "$series")
  in_place_of "$series" tools/venv.sh "$venv" "$series" >&2
  rm -rf "${out:?}"
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  # The build directory is the one `make install` uses, so an up-to-date
  # build is reused.
  in_place_of "$series" "$venv/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-build-isolation --no-deps --config-settings=build-dir="$(name_of build "$series")" -w "$out" . >&2
  built=("$out"/*.whl)
  [ ${#built[@]} -eq 1 ] && [ -f "${built[0]}" ] ||
    { say "error: expected one wheel in $out, got: ${built[*]}"; return 1; }
  echo "${built[0]}"
}
