#!/usr/bin/env bash
# `make wheels`: a wheel for every supported CPython series found on this
# machine and the 32-bit ARM target wheel, all in dist/; checks what each one
# holds, then installs every host wheel into a fresh venv and runs the suite
# against it from a copy of the tests, away from the source tree.
# PYTEST_ARGS is passed on as for `make test`.
set -euo pipefail
. "$(dirname "$0")/series.sh"
cd "$REPO"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p dist

declare -a host_series=() host_wheels=()
for series in $SERIES; do
  if ! tools/find-python.sh "$series" >/dev/null 2>&1; then
    say "skipping CPython $series: neither pyenv nor PATH has it"
    continue
  fi
  say "building the CPython $series wheel"
  prepare_venv "$series"
  # Built apart first, so that the one wheel just made is known by name.
  out="$work/built-$series"
  "$(venv_of "$series")/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-build-isolation --no-deps --config-settings=build-dir='build/{wheel_tag}' -w "$out" .
  built=("$out"/*.whl)
  [ ${#built[@]} -eq 1 ] || { say "error: expected one wheel in $out, got: ${built[*]}"; exit 1; }
  mv -f "${built[0]}" dist/
  host_series+=("$series")
  host_wheels+=("dist/$(basename "${built[0]}")")
done
[ ${#host_wheels[@]} -gt 0 ] || { say "error: none of the CPython series $SERIES is installed"; exit 1; }

say "building the 32-bit ARM wheel"
tools/armhf/setup-host.sh
tools/armhf/make-root.sh
arm_wheel=$(tools/armhf/build.sh)

say "checking the contents of the wheels"
"$(venv_of "${host_series[0]}")/bin/python" tools/check_wheel.py "${host_wheels[@]}" "$arm_wheel"

# The suite as the wheels' users would run it: no src/ on any path.
suite="$work/suite"
mkdir -p "$suite"
# The target library tests read the cross build just made, as in the tree.
export MERROW_ARMHF_LIBS=${MERROW_ARMHF_LIBS:-$REPO/build/armhf/stage}
cp -r tests pyproject.toml "$suite/"
# Some tests run the examples.
[ -d examples ] && cp -r examples "$suite/"
find "$suite" -name __pycache__ -prune -exec rm -rf {} +

declare -a summary=()
failed=0
for i in "${!host_wheels[@]}"; do
  series=${host_series[$i]} wheel=${host_wheels[$i]}
  venv="$work/venv-$series"
  say "testing $(basename "$wheel") in a fresh venv"
  "$(tools/find-python.sh "$series")" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis
  # Both modules must come from the venv, never from the work tree.
  (cd "$suite" && "$venv/bin/python" -W ignore::RuntimeWarning -c '
import sys
import merrow_sdk.logging.trace_key as t, merrow_sdk.patchbay as p
for m in (t, p):
    if not m.__file__.startswith(sys.prefix + "/"):
        sys.exit("%s was imported from %s, not from %s" % (m.__name__, m.__file__, sys.prefix))
')
  rc=0
  # shellcheck disable=SC2086  # PYTEST_ARGS is a list of words, as for `make test`
  (cd "$suite" && "$venv/bin/python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-}) 2>&1 |
    tee "$work/pytest-$series.log" || rc=$?
  result=$(grep -E '^[0-9]+ (passed|failed|error)' "$work/pytest-$series.log" | tail -n 1 || true)
  if [ "$rc" -eq 0 ]; then
    summary+=("$(basename "$wheel"): ok, ${result:-no pytest summary}")
  else
    summary+=("$(basename "$wheel"): FAILED, ${result:-no pytest summary}")
    failed=1
  fi
done

say "testing $(basename "$arm_wheel") in the emulated target root"
if tools/armhf/run-tests.sh "$arm_wheel"; then
  summary+=("$(basename "$arm_wheel"): ok, in the emulated target root")
else
  summary+=("$(basename "$arm_wheel"): FAILED in the emulated target root")
  failed=1
fi

say "summary:"
printf '  %s\n' "${summary[@]}" >&2
exit "$failed"
