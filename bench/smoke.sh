#!/bin/sh
# Smoke test of the benchmark: a tiny run (--quick) must finish, print its
# table with a row per delay and mode, and write the same rows as CSV.
# Nothing about speed is judged here.
set -eu
bench=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/tavik-bench-smoke-XXXXXX")
trap 'rm -rf "$out"' EXIT

status=0
"$bench" --quick --csv "$out/results.csv" >"$out/table.txt" || status=$?
cat "$out/table.txt"
[ "$status" -eq 0 ] || { echo "smoke: tavik-bench exited with status $status"; exit 1; }

# Delays 0 and 0.5 ms, both modes: four rows in each.
rows=$(grep -Ec '^ +(0|0\.5) +(block|pipelined) +64 KiB ' "$out/table.txt" || true)
[ "$rows" -eq 4 ] || { echo "smoke: expected 4 table rows, found $rows"; exit 1; }
grep -q '^ *D ms  mode' "$out/table.txt" || { echo "smoke: no table header"; exit 1; }
lines=$(wc -l <"$out/results.csv")
[ "$lines" -eq 5 ] || { echo "smoke: expected 5 CSV lines, found $lines"; exit 1; }
echo "smoke: benchmark ran and printed its table"
