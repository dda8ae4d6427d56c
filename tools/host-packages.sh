#!/usr/bin/env bash
# Makes sure this machine can build the package: a C++ compiler, a
# supported CPython and its venv module and headers. What is missing is
# installed with apt where there is apt and the right to use it (root, or
# sudo without a password); otherwise the script says what to install.
# Safe to run again; reads no standard input.
#   host-packages.sh [X.Y]             the CPython series wanted (default: as find-python.sh)
#   host-packages.sh --apt PACKAGE...  those Debian packages, where missing
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

say() { printf '[host-packages] %s\n' "$*" >&2; }

apt_install() {
  local runner=() missing=() pkg log
  for pkg; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null ||
      { say "error: missing ${missing[*]}; install them (apt install ${missing[*]}) or run as root"; return 1; }
    runner=(sudo -n)
  fi
  command -v apt-get >/dev/null 2>&1 || { say "error: missing ${missing[*]}, and no apt-get to install them with"; return 1; }
  say "installing ${missing[*]}"
  log=$(mktemp)
  if ! { "${runner[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
         "${runner[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
       </dev/null >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    say "error: installing ${missing[*]} failed"
    return 1
  fi
  rm -f "$log"
}

if [ "${1:-}" = --apt ]; then
  shift
  apt_install "$@"
  exit
fi
series=${1:-}

command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || apt_install g++

# shellcheck disable=SC2086  # no series: the default one
if ! python=$("$here/find-python.sh" $series 2>/dev/null); then
  if [ -n "$series" ]; then
    apt_install "python$series" "python$series-venv" "python$series-dev"
  else
    apt_install python3 python3-venv python3-dev
  fi
  # shellcheck disable=SC2086
  python=$("$here/find-python.sh" $series)
fi

# Debian ships ensurepip, and with it venv's pip, apart; and the headers.
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
missing=()
"$python" -c 'import ensurepip' 2>/dev/null || missing+=("python$version-venv")
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$include/Python.h" ] || missing+=("python$version-dev")
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
