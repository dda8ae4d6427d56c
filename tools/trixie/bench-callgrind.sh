#!/usr/bin/env bash
# `make bench-callgrind-trixie`: benchmarks/callgrind_goals.py on trixie's
# CPython 3.13, valgrind and the plain-Python baseline included, with the
# wheel built on the host. The table goes to stdout and the JSON to
# benchmarks/results/callgrind-3.13-trixie.json (-partial when narrowed).
#   bench-callgrind.sh [callgrind_goals.py options other than --series/--python]
set -euo pipefail
here=$(dirname "$0")
. "$here/common.sh"
need_root
for arg in "$@"; do
  case $arg in --series* | --python*) die "$arg: the interpreter measured is the root's" ;; esac
done
"$here/make-root.sh"
wheel=$("$here/build-wheel.sh")

enter_root
install_wheel "$wheel"

# The work tree itself, read-only, so that the tree state the script records
# (git, in the root) is the host's; only its results directory is the
# root's, so the host's callgrind-3.13.json is left alone.
tree=$WORK/tree
results=$WORK/results
mkdir -p "$ROOT$tree" "$ROOT$results" "$REPO/benchmarks/results"
mount --bind "$REPO" "$ROOT$tree"
mount --make-slave "$ROOT$tree"
mount -o remount,bind,ro "$ROOT$tree"
mount --bind "$ROOT$results" "$ROOT$tree/benchmarks/results"

log "measuring under callgrind with $(in_root valgrind --version)"
rc=0
in_root /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$WORK" \
  "$VENV/bin/python" "$tree/benchmarks/callgrind_goals.py" --python "$VENV/bin/python" "$@" \
  </dev/null || rc=$?
for json in "$ROOT$results"/callgrind-*.json; do
  [ -e "$json" ] || continue
  name=$(basename "$json" | sed -E 's/^(callgrind-[0-9]+\.[0-9]+)/\1-trixie/')
  cp "$json" "$REPO/benchmarks/results/$name"
  log "wrote benchmarks/results/$name"
done
exit "$rc"
