#!/usr/bin/env bash
# Cross-compiles both extension modules against the CPython of the target
# root of ARMHF_RELEASE, packs them with the package's Python files into a
# wheel and gives it the manylinux tag auditwheel finds (tools/manylinux.sh).
# Prints the path of the wheel in dist/ on standard output.
set -euo pipefail
. "$(dirname "$0")/common.sh"

[ -f "$ROOT/usr/include/python$PY_SERIES/Python.h" ] ||
  die "no target root at $ROOT; run tools/armhf/make-root.sh first"
HOST_PYTHON=${HOST_PYTHON:-/usr/bin/python3}

cmake_dir="$BUILD_DIR/cmake"
mkdir -p "$BUILD_DIR"
log "configuring in $cmake_dir"
"$CMAKE" -S "$REPO" -B "$cmake_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$ARMHF_TOOLS/toolchain.cmake" \
  -DMERROW_ARMHF_ROOT="$ROOT" \
  -DMERROW_ARMHF_PYTHON="$PY_SERIES" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$STAGE_DIR" >"$BUILD_DIR/configure.log" 2>&1 ||
  { cat "$BUILD_DIR/configure.log" >&2; die "configuring the cross build failed"; }
log "building"
"$CMAKE" --build "$cmake_dir" --parallel "$(nproc)" >"$BUILD_DIR/build.log" 2>&1 ||
  { tail -n 40 "$BUILD_DIR/build.log" >&2; die "the cross build failed; full log in $BUILD_DIR/build.log"; }
# A fresh stage, so that a library no longer built cannot linger in the wheel.
rm -rf "$STAGE_DIR"
"$CMAKE" --install "$cmake_dir" --strip >/dev/null

required=("merrow_sdk/logging/trace_key.$SOABI.so")
if compgen -G "$REPO/src/native/patchbay/*.cpp" >/dev/null; then
  required+=("merrow_sdk/patchbay/__init__.$SOABI.so")
fi
for lib in "${required[@]}"; do
  [ -f "$STAGE_DIR/$lib" ] || die "the build installed no $lib (is the root's SOABI $SOABI?)"
done
rm -rf "$BUILD_DIR/wheel"
plain=$("$HOST_PYTHON" "$ARMHF_TOOLS/make_wheel.py" --soabi "$SOABI" --stage "$STAGE_DIR" \
  --out "$BUILD_DIR/wheel" "${required[@]/#/--require=}")
"$REPO/tools/manylinux.sh" "$plain" "$DIST_DIR"
