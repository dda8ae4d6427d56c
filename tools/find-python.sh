#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the series given as $1 (for
# example 3.9): pyenv's first, then one on PATH. Fails with a message.
set -euo pipefail
series=${1:?usage: find-python.sh MAJOR.MINOR}

works() { [ -n "$1" ] && "$1" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$series'" 2>/dev/null; }

if command -v pyenv >/dev/null 2>&1; then
  candidate=$(pyenv which "python$series" 2>/dev/null || true)
  if works "$candidate"; then echo "$candidate"; exit 0; fi
  root=$(pyenv root)
  for version in $(pyenv versions --bare 2>/dev/null | grep -E "^$series(\.[0-9]+)?$" | sort -V -r); do
    candidate="$root/versions/$version/bin/python$series"
    if works "$candidate"; then echo "$candidate"; exit 0; fi
  done
fi
candidate=$(command -v "python$series" 2>/dev/null || true)
if works "$candidate"; then echo "$candidate"; exit 0; fi
echo "error: no CPython $series found (tried pyenv and python$series on PATH); install one, e.g. 'pyenv install $series'" >&2
exit 1
