#!/usr/bin/env bash
# `make test-all`: the whole suite on every supported CPython series through
# `make test`, each in its own venv: here when pyenv or PATH has the series,
# else in the native Debian root that ships it (tools/series.sh). A series
# found nowhere is skipped with a message; any failing one fails the run.
# PYTEST_ARGS is passed on as for `make test`.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"

logs=build/test-all
mkdir -p "$logs"
declare -a summary=()
failed=0 ran=0
for series in $SERIES; do
  if ! place=$(place_of "$series"); then
    say "skipping CPython $series: neither pyenv nor PATH has it, nor a known root"
    summary+=("$series: skipped (not installed)")
    continue
  fi
  where=here
  [ "$place" = host ] || where="in the ${place/ //} root"
  say "CPython $series ($where) in $(name_of venv "$series")"
  ran=$((ran + 1)) rc=0
  in_place_of "$series" make --no-print-directory test PY_SERIES="$series" VENV="$(name_of venv "$series")" \
    BUILD_SETTINGS="--config-settings=build-dir=$(name_of build "$series")" PYTEST_ARGS="${PYTEST_ARGS:-}" \
    </dev/null 2>&1 | tee "$logs/$series.log" || rc=$?
  verdict=ok
  [ "$rc" -eq 0 ] || { verdict=FAILED; failed=1; }
  result=$(last_summary "$logs/$series.log")
  summary+=("$series ($where): $verdict, ${result:-no pytest summary; see $logs/$series.log}")
done

say "summary (logs in $logs/):"
printf '  %s\n' "${summary[@]}" >&2
[ "$ran" -gt 0 ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }
exit "$failed"
