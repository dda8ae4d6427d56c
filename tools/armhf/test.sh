#!/usr/bin/env bash
# `make test-armhf`: prepares the host and the target root of ARMHF_RELEASE
# (default bullseye) as needed, builds the target wheel and runs the test
# suite inside the root under emulation.
set -euo pipefail
here=$(dirname "$0")
"$here/setup-host.sh"
"$here/make-root.sh"
wheel=$("$here/build.sh")
exec "$here/run-tests.sh" "$wheel"
