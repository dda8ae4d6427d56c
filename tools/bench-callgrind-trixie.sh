#!/usr/bin/env bash
# `make bench-callgrind-trixie`: benchmarks/callgrind_goals.py on the CPython
# 3.13 Debian trixie ships, valgrind and the plain-Python baseline included,
# with the cp313 wheel built here, in the trixie root (tools/debian-root).
# The table goes to stdout and the JSON to
# benchmarks/results/callgrind-3.13-trixie.json (-partial when narrowed).
#   bench-callgrind-trixie.sh [callgrind_goals.py options but --series/--python]
set -euo pipefail
. "$(dirname "$0")/series.sh"
for arg in "$@"; do
  case $arg in --series* | --python*) say "error: $arg: the interpreter measured is the root's"; exit 1 ;; esac
done
cd "$REPO"
wheel=$(build_series_wheel 3.13 build/wheels/cp313-bench)
results=build/bench-trixie
rm -rf "$results"
mkdir -p "$results" benchmarks/results

# The work tree read-only, so that the tree state the script records (git,
# in the root) is the host's; only its results directory is the root's own.
# shellcheck disable=SC2016  # expanded inside the root
"$DEBIAN_ROOT" run --ro-bind "$REPO:/srv/tree" --bind "$REPO/$results:/srv/tree/benchmarks/results" \
  --ro-bind "$(dirname "$wheel"):/srv/wheel" trixie amd64 -- /bin/sh -euc '
    cd /srv
    rm -rf venv
    python3.13 -m venv --system-site-packages --without-pip venv
    venv/bin/python -m pip install -q --no-index --no-deps "wheel/$1"
    shift
    echo "measuring under callgrind with $(valgrind --version)" >&2
    exec venv/bin/python tree/benchmarks/callgrind_goals.py --python venv/bin/python "$@"' \
  bench "$(basename "$wheel")" "$@" </dev/null
for json in "$results"/callgrind-*.json; do
  [ -e "$json" ] || continue
  name=$(basename "$json" | sed -E 's/^(callgrind-[0-9]+\.[0-9]+)/\1-trixie/')
  cp "$json" "benchmarks/results/$name"
  say "wrote benchmarks/results/$name"
done
