#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the series given as $1 (for
# example 3.9): pyenv's first, then one on PATH. Fails with a message.
#
# Without $1: the nodes' series (the first of tools/matrix) when there is
# one; else the newest supported series found, with a note on standard
# error saying which.
set -euo pipefail
. "$(dirname "$0")/matrix.sh"

# X.Yd: the debug build of X.Y (Debian's python3.Yd).
works() {
  local debug=""
  [ "${1%d}" = "$1" ] || debug="; assert hasattr(sys, 'gettotalrefcount')"
  [ -n "$2" ] && "$2" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '${1%d}'$debug" 2>/dev/null
}

# The interpreter of series $1, or nothing.
find_series() {
  local series=$1 candidate version
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(pyenv which "python$series" 2>/dev/null || true)
    if works "$series" "$candidate"; then echo "$candidate"; return 0; fi
    for version in $(pyenv versions --bare 2>/dev/null | grep -E "^$series(\.[0-9]+)?$" | sort -V -r); do
      candidate="$(pyenv root)/versions/$version/bin/python$series"
      if works "$series" "$candidate"; then echo "$candidate"; return 0; fi
    done
  fi
  candidate=$(command -v "python$series" 2>/dev/null || true)
  works "$series" "$candidate" && echo "$candidate"
}

if [ -n "${1:-}" ]; then
  find_series "$1" && exit 0
  echo "error: no CPython $1 found (tried pyenv and python$1 on PATH); install one, e.g. 'pyenv install $1'" >&2
  exit 1
fi

supported=$(matrix series)
target=$(head -n 1 <<<"$supported")
find_series "$target" && exit 0
for series in $(sort -V -r <<<"$supported"); do
  if found=$(find_series "$series"); then
    echo "note: no CPython $target (the nodes' series) found; using CPython $series ($found); PY_SERIES=X.Y picks another" >&2
    echo "$found"
    exit 0
  fi
done
echo "error: no CPython $(echo $supported) found (tried pyenv and python3.X on PATH); install one, e.g. 'apt install python3' or 'pyenv install $target'" >&2
exit 1
