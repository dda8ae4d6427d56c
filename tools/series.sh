# Helpers of test-all.sh and wheels.sh: the CPython series the package
# supports and one virtual environment per series. Sourced, not run.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# MERROW_SERIES narrows the list, e.g. MERROW_SERIES="3.9 3.13".
SERIES=${MERROW_SERIES:-3.9 3.10 3.11 3.12 3.13}

say() { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*" >&2; }

# The venv of a series, with the build and test tools, as `make` makes it.
venv_of() { echo ".venv-$1"; }

# Makes (or reuses) the venv of series $1 through the Makefile's own rule.
prepare_venv() {
  local venv
  venv=$(venv_of "$1")
  make -C "$REPO" --no-print-directory PY_SERIES="$1" VENV="$venv" "$venv/.deps" >&2
}
