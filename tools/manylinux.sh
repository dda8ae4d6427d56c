#!/usr/bin/env bash
# Gives a wheel built with the plain linux_* tag the manylinux tag that
# `auditwheel show` finds for it, with its legacy alias, through `wheel
# tags`, which changes the tags and nothing else (no library grafted or
# patched), and checks that auditwheel finds the result consistent with
# that same tag.
#   manylinux.sh WHEEL OUTDIR    prints the path of the retagged wheel
set -euo pipefail
. "$(dirname "$0")/series.sh"

wheel=${1:?usage: manylinux.sh WHEEL OUTDIR}
out=${2:?usage: manylinux.sh WHEEL OUTDIR}
[ -f "$wheel" ] || { say "error: no wheel at $wheel"; exit 1; }
venv=$("$REPO/tools/packaging-venv.sh")
# The rewritten entries are stamped with this time, else with the current one.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH

# The tag auditwheel reports, e.g. manylinux_2_17_x86_64 (the most widely
# compatible one the wheel's libraries allow).
reported_tag() {
  local report tag
  report=$("$venv/bin/auditwheel" show "$1" 2>&1) || { printf '%s\n' "$report" >&2; return 1; }
  tag=$(printf '%s\n' "$report" | tr -s ' \n' ' ' |
        sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
  [ -n "$tag" ] || { printf '%s\n' "$report" >&2; say "error: auditwheel show named no platform tag for $1"; return 1; }
  echo "$tag"
}

tag=$(reported_tag "$wheel")
case $tag in
  manylinux_2_5_*) platforms="manylinux1_${tag#manylinux_2_5_}.$tag" ;;
  manylinux_2_12_*) platforms="manylinux2010_${tag#manylinux_2_12_}.$tag" ;;
  manylinux_2_17_*) platforms="manylinux2014_${tag#manylinux_2_17_}.$tag" ;;
  manylinux_*) platforms=$tag ;;
  *) say "error: auditwheel finds $(basename "$wheel") consistent only with $tag, not with a manylinux tag"
     exit 1 ;;
esac

mkdir -p "$out"
cp -f "$wheel" "$out/"
retagged=$(cd "$out" && "$venv/bin/wheel" tags --remove --platform-tag "$platforms" "$(basename "$wheel")")
again=$(reported_tag "$out/$retagged")
[ "$again" = "$tag" ] || { say "error: $retagged is consistent with $again, not $tag"; exit 1; }
say "$(basename "$wheel") -> $retagged"
echo "$out/$retagged"
