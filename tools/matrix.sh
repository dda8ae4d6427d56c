#!/usr/bin/env bash
# Reads tools/matrix; sourced for matrix(), or run as `matrix.sh QUERY ...`:
#   series                      the supported series, the nodes' own first
#   targets                     the callgrind targets: series and bench names
#   roots                       every root, RELEASE/ARCH
#   root-series ROOT            the series a root ships
#   shipping SERIES ARCH        "RELEASE ARCH" of the first ARCH root shipping it
#                               (fails if none)
#   packages ROOT               a root's extra packages
#   debug-series                X.Yd for each series a root holds the debug
#                               interpreter of (a python{series}-dbg package)
#   venv|build PLACE SERIES RELEASE [VARIANT]   a name; PLACE host or root
MATRIX=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/matrix

matrix() {
  awk -v q="$1" -v a="${2:-}" -v b="${3:-}" -v c="${4:-}" -v d="${5:-}" '
    BEGIN { if (q !~ /^(series|targets|roots|root-series|shipping|packages|debug-series|venv|build)$/) {
      print "matrix: unknown query " q > "/dev/stderr"; exit 2 } }
    function ships(root,   i) { for (i = 3; i <= NF; i++) if ($i == root) return 1; return 0 }
    { sub(/#.*/, "") }
    NF == 0 { next }
    $1 == "series" && q == "debug-series" { for (i = 3; i <= NF; i++) holders[$2] = holders[$2] " " $i }
    $1 == "packages" && q == "debug-series" && /python\{series\}-dbg/ { debug[$2] = 1 }
    $1 == "series" {
      if (q == "series" || q == "targets") print $2
      if (q == "roots") for (i = 3; i <= NF; i++) if (!seen[$i]++) print $i
      if (q == "root-series" && ships(a)) out = out (out ? " " : "") $2
      if (q == "shipping" && $2 == (a ~ /d$/ ? substr(a, 1, length(a) - 1) : a)) for (i = 3; i <= NF; i++) if ($i ~ "/" b "$") { split($i, r, "/"); print r[1], r[2]; found = 1; exit }
      if (ships(a)) shipped[++n] = $2
    }
    $1 == "bench" && q == "targets" { print $2 }
    $1 == "packages" && q == "packages" && $2 == a {
      for (i = 3; i <= NF; i++) for (j = 1; j <= n; j++) { p = $i; gsub(/\{series\}/, shipped[j], p); print p }
    }
    $1 == q && (q == "venv" || q == "build") && $2 == a {
      name = $3; gsub(/\{series\}/, b, name); gsub(/\{release\}/, c, name); gsub(/\{variant\}/, d, name)
      print name
    }
    END {
      if (q == "debug-series") for (s in holders) for (d in debug) if (index(holders[s] " ", " " d " ")) print s "d"
      if (out) print out; if (q == "shipping" && !found) exit 1 }
  ' "$MATRIX"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  matrix "$@"
fi
