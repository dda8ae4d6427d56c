#!/usr/bin/env bash
# `make test-all`: the whole suite on every supported CPython series that
# pyenv or PATH offers, each in its own venv (.venv-X.Y) through `make test`.
# A missing series is skipped with a message; any failing one fails the run.
# PYTEST_ARGS is passed on as for `make test`.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"

logs=build/test-all
mkdir -p "$logs"
declare -a summary=()
failed=0 ran=0
for series in $SERIES; do
  if ! tools/find-python.sh "$series" >/dev/null 2>&1; then
    say "skipping CPython $series: neither pyenv nor PATH has it"
    summary+=("$series: skipped (not installed)")
    continue
  fi
  say "CPython $series in $(venv_of "$series")"
  ran=$((ran + 1))
  rc=0
  make --no-print-directory test PY_SERIES="$series" VENV="$(venv_of "$series")" 2>&1 |
    tee "$logs/$series.log" || rc=$?
  # pytest's closing line, e.g. "1750 passed, 10 skipped in 9.47s".
  result=$(grep -E '^[0-9]+ (passed|failed|error)' "$logs/$series.log" | tail -n 1 || true)
  if [ "$rc" -eq 0 ]; then
    summary+=("$series: ok, ${result:-no pytest summary}")
  else
    summary+=("$series: FAILED, ${result:-no pytest summary; see $logs/$series.log}")
    failed=1
  fi
done

say "summary (logs in $logs/):"
printf '  %s\n' "${summary[@]}" >&2
if [ "$ran" -eq 0 ]; then
  say "error: none of the CPython series $SERIES is installed"
  exit 1
fi
exit "$failed"
