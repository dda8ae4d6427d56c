#!/usr/bin/env bash
# `make test-trixie`: makes the trixie root as needed, builds the 3.13 wheel
# on the host and runs the test suite with it on trixie's CPython.
set -euo pipefail
here=$(dirname "$0")
"$here/make-root.sh"
wheel=$("$here/build-wheel.sh")
exec "$here/run-tests.sh" "$wheel"
