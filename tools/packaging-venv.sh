#!/usr/bin/env bash
# Makes (or reuses) .venv-tools with the packaging tools pinned in
# tools/packaging-requirements.txt, from the newest supported CPython found;
# prints the venv's path. Safe to run again and from concurrent runs.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"

venv="$REPO/.venv-tools"
requirements="$REPO/tools/packaging-requirements.txt"
stamp="$venv/.requirements"

mkdir -p "$REPO/build"
exec 8>"$REPO/build/.venv-tools.lock"
flock 8

if [ -x "$venv/bin/python" ] && cmp -s "$requirements" "$stamp" &&
   "$venv/bin/python" -c "import auditwheel, twine, build, scikit_build_core, elftools, installer" 2>/dev/null; then
  echo "$venv"
  exit 0
fi

base=""
for series in $(printf '%s\n' $SERIES | sort -V -r); do
  base=$(tools/find-python.sh "$series" 2>/dev/null) && break
done
[ -n "$base" ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }
say "making $venv with $("$base" -V 2>&1)"
rm -rf "$venv"
"$base" -m venv "$venv"
log="$REPO/build/.venv-tools.log"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" </dev/null >"$log" 2>&1 ||
  { tail -n 30 "$log" >&2; say "error: installing the packaging tools failed; full log in $log"; exit 1; }
cp "$requirements" "$stamp"
echo "$venv"
