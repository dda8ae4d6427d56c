#!/usr/bin/env bash
# Runs tools/valgrind/workout.py under memcheck with the installed modules
# and fails on any invalid access, and on any uninitialised read or
# definitely lost block that involves our libraries (tools/valgrind/report.py).
#
#   tools/valgrind/check.sh PYTHON [workout repeats]
set -euo pipefail
cd "$(dirname "$0")/../.."
python=${1:?usage: check.sh PYTHON [repeats]}
repeats=${2:-20}
out=build/valgrind

command -v valgrind >/dev/null 2>&1 || tools/host-packages.sh --apt valgrind

rm -rf "$out"
mkdir -p "$out"
# Object memory through malloc: pymalloc's arenas hide blocks from memcheck
# and its address checks read memory memcheck takes as uninitialised.
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --xml=yes --xml-file="$out/memcheck.xml" \
  --log-file="$out/memcheck.log" --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --track-origins=yes --num-callers=50 \
  "$python" tools/valgrind/workout.py "$repeats" || status=$?
if [ "$status" -ne 0 ]; then
  echo "the workout failed under memcheck (exit $status)" >&2
  cat "$out/memcheck.log" >&2
  exit 1
fi
"$python" tools/valgrind/report.py "$out/memcheck.xml"
