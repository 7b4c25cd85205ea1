#!/bin/sh
# Smoke test of the benchmark: a tiny run (--quick, and one window row) must
# finish, print its table with a row per delay and mode, and write the same
# rows as CSV.  Nothing about speed is judged here.
set -eu
bench=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/tavik-bench-smoke-XXXXXX")
trap 'rm -rf "$out"' EXIT

status=0
"$bench" --quick --rows classic,window --window-delays 0.5 --window-size 64K --windows 64 \
    --csv "$out/results.csv" >"$out/table.txt" || status=$?
cat "$out/table.txt"
[ "$status" -eq 0 ] || { echo "smoke: tavik-bench exited with status $status"; exit 1; }

# Delays 0 and 0.5 ms, both modes: four classic rows.
rows=$(grep -Ec '^ +(0|0\.5) +(block|pipelined) +64 KiB ' "$out/table.txt" || true)
[ "$rows" -eq 4 ] || { echo "smoke: expected 4 table rows, found $rows"; exit 1; }
# The window row, with its bound of 64 KiB per 0.5 ms.
grep -Eq '^ +0\.5 +window 64 +64 KiB +1 +[0-9.]+ +125\.000 ' "$out/table.txt" ||
    { echo "smoke: no window row"; exit 1; }
grep -q '^ *D ms  mode' "$out/table.txt" || { echo "smoke: no table header"; exit 1; }
lines=$(wc -l <"$out/results.csv")
[ "$lines" -eq 6 ] || { echo "smoke: expected 6 CSV lines, found $lines"; exit 1; }
tail -n 1 "$out/results.csv" | grep -q '^0\.5,pipelined,65536,.*,64$' ||
    { echo "smoke: the window row is not the CSV's last"; exit 1; }
echo "smoke: benchmark ran and printed its table"
