#!/bin/sh
# Smoke test of the benchmark: a tiny run (--quick, one window row and the
# two retry rows) must finish, print its tables with a row per delay and
# mode, and write the same rows as CSV, every column filled that the kind
# of row has.  Nothing about speed is judged here.
set -eu
bench=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/tavik-bench-smoke-XXXXXX")
trap 'rm -rf "$out"' EXIT

fail() { echo "smoke: $*"; exit 1; }

status=0
"$bench" --quick --rows classic,window,retry --window-delays 0.5 --window-size 64K --windows 64 \
    --retry-delay 0.5 --retry-size 32K --close-after 24 \
    --csv "$out/results.csv" >"$out/table.txt" || status=$?
cat "$out/table.txt"
[ "$status" -eq 0 ] || fail "tavik-bench exited with status $status"

n='[0-9][0-9.]*'
grep -q '^ *D ms  mode' "$out/table.txt" || fail "no table header"
# Delays 0 and 0.5 ms, both modes: four classic rows.
rows=$(grep -Ec '^ +(0|0\.5) +(block|pipelined) +64 KiB ' "$out/table.txt" || true)
[ "$rows" -eq 4 ] || fail "expected 4 classic rows, found $rows"
# The window row: tavik against its bound of 64 KiB per 0.5 ms, then the
# ideal client, tavik's ratio to it and the range of that ratio.
grep -q '^Window rows:' "$out/table.txt" || fail "no window table"
grep -Eq "^ +0\.5 +window 64 +64 KiB +1 +$n +$n% +125\.000 +$n +$n +$n% +$n +$n +$n-$n +$n +$n +$n% +$n%\$" \
    "$out/table.txt" || fail "no window row with the ideal client beside it"
# The retry rows: both modes, the times without and with faults and their ratio.
grep -q '^Retry rows: .*--close-after 24' "$out/table.txt" || fail "no retry table"
rows=$(grep -Ec "^ +0\.5 +(block|pipelined) +32 KiB +1 +$n +$n% +$n +$n% +$n +$n-$n +$n +(-?$n|-) +$n +$n\$" \
    "$out/table.txt" || true)
[ "$rows" -eq 2 ] || fail "expected 2 retry rows, found $rows"

# The CSV: a header and seven rows, each with every column of the header.
csv=$out/results.csv
lines=$(wc -l <"$csv")
[ "$lines" -eq 8 ] || fail "expected 8 CSV lines, found $lines"
head -n 1 "$csv" | grep -q '^delay_ms,mode,size_bytes,.*,window,row,.*,vs_ideal,.*,fault_time_ratio,.*,retries,s_per_retry$' ||
    fail "the CSV header lacks its columns"
awk -F, 'NR == 1 { n = NF } NF != n { bad = 1 } END { exit bad }' "$csv" ||
    fail "CSV lines of different lengths"
col() { head -n 1 "$csv" | tr , '\n' | grep -nx "$1" | cut -d: -f1; }
row=$(col row) window=$(col window) vs=$(col vs_ideal) ratio=$(col fault_time_ratio)
[ "$(awk -F, -v c="$row" 'NR > 1 { print $c }' "$csv" | sort | uniq -c | tr -s ' ' | tr '\n' ';')" = \
  " 4 classic; 2 retry; 1 window;" ] || fail "not 4 classic, 1 window and 2 retry rows in the CSV"
awk -F, -v r="$row" -v w="$window" -v v="$vs" '$r == "window" && $w == 64 && $v ~ /^[0-9.]+$/ { ok = 1 }
    END { exit !ok }' "$csv" || fail "the window row has no ratio to the ideal client"
[ "$(awk -F, -v r="$row" -v t="$ratio" '$r == "retry" && $t ~ /^[0-9.]+$/' "$csv" | wc -l)" -eq 2 ] ||
    fail "the retry rows have no time ratio"
tail -n 1 "$csv" | grep -q '^0\.5,pipelined,32768,1,.*,retry,' || fail "the retry rows are not the CSV's last"
echo "smoke: benchmark ran and printed its tables"
