#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the series given as $1 (for
# example 3.9): pyenv's first, then one on PATH. Fails with a message.
#
# Without $1: CPython 3.9, the nodes' target series, when there is one;
# else the newest supported series found (3.9 and later), with a note on
# standard error saying which.
set -euo pipefail

# The series the package supports, newest last.
SUPPORTED="3.9 3.10 3.11 3.12 3.13 3.14 3.15"
TARGET=3.9

works() {
  [ -n "$2" ] && "$2" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$1'" 2>/dev/null
}

# The interpreter of series $1, or nothing.
find_series() {
  local series=$1 candidate root version
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(pyenv which "python$series" 2>/dev/null || true)
    if works "$series" "$candidate"; then echo "$candidate"; return 0; fi
    root=$(pyenv root)
    for version in $(pyenv versions --bare 2>/dev/null | grep -E "^$series(\.[0-9]+)?$" | sort -V -r); do
      candidate="$root/versions/$version/bin/python$series"
      if works "$series" "$candidate"; then echo "$candidate"; return 0; fi
    done
  fi
  candidate=$(command -v "python$series" 2>/dev/null || true)
  if works "$series" "$candidate"; then echo "$candidate"; return 0; fi
  return 1
}

if [ $# -gt 0 ] && [ -n "$1" ]; then
  series=$1
  find_series "$series" && exit 0
  echo "error: no CPython $series found (tried pyenv and python$series on PATH); install one, e.g. 'pyenv install $series'" >&2
  exit 1
fi

find_series "$TARGET" && exit 0
for series in $(printf '%s\n' $SUPPORTED | sort -V -r); do
  if found=$(find_series "$series"); then
    echo "note: no CPython $TARGET (the nodes' series) found; using CPython $series ($found); PY_SERIES=X.Y picks another" >&2
    echo "$found"
    exit 0
  fi
done
echo "error: no CPython $SUPPORTED found (tried pyenv and python3.X on PATH); install one, e.g. 'apt install python3' or 'pyenv install $TARGET'" >&2
exit 1
