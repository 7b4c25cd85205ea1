#!/bin/sh
# Smoke test of the benchmark: a tiny run of every kind of row (--quick,
# one window row, the two retry rows, small downloads of 0 B and 1 KiB,
# a listing of 300 entries, batches of 5 files) must finish, print its
# tables with a row per case and the target lines beside them, and write
# the same rows as CSV, every column filled that the kind of row has.
# Nothing about speed is judged here.
set -eu
bench=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/tavik-bench-smoke-XXXXXX")
trap 'rm -rf "$out"' EXIT

fail() { echo "smoke: $*"; exit 1; }

status=0
"$bench" --quick --rows classic,window,retry,small,listing,batch \
    --window-delays 0.5 --window-size 64K --windows 64 \
    --retry-delay 0.5 --retry-size 32K --close-after 24 \
    --small-sizes 0,1K --small-delays 0 --list-entries 300 --list-delay 0.5 \
    --batch-files 5 --batch-size 4K --batch-delay 0.5 \
    --csv "$out/results.csv" >"$out/table.txt" || status=$?
cat "$out/table.txt"
[ "$status" -eq 0 ] || fail "tavik-bench exited with status $status"

table=$out/table.txt
n='-?[0-9][0-9.]*'
count() { grep -Ec "$1" "$table" || true; }
grep -q '^ *D ms  mode' "$table" || fail "no table header"
# Delays 0 and 0.5 ms, both modes: four classic rows.
rows=$(count '^ +(0|0\.5) +(block|pipelined) +64 KiB ')
[ "$rows" -eq 4 ] || fail "expected 4 classic rows, found $rows"
# The window row: tavik against its bound of 64 KiB per 0.5 ms, then the
# ideal client and tavik's time over its time with the range of that, the
# same for the writing ideal client, both clients' CPU per MiB, and the
# target of peak RSS beneath.
grep -q '^Window rows:' "$table" || fail "no window table"
grep -Eq "^ +0\.5 +window 64 +64 KiB +1 +$n +$n% +125\.000 +$n +$n +$n% +$n +$n-$n +$n +$n% +$n +$n-$n +$n +$n +$n +$n% +$n%\$" \
    "$table" || fail "no window row with both ideal clients beside it"
grep -Eq '^  window 64, 64 KiB, D=0\.5 ms: peak RSS <= 2\.3 MiB +[0-9]+ KiB +(reached|NOT REACHED)$' "$table" ||
    fail "no peak RSS target under the window row"
# The retry rows: both modes, the times without and with faults and their ratio.
grep -q '^Retry rows: .*--close-after 24' "$table" || fail "no retry table"
rows=$(count "^ +0\.5 +(block|pipelined) +32 KiB +1 +$n +$n% +$n +$n% +$n +$n-$n +$n +($n|-) +$n +$n\$")
[ "$rows" -eq 2 ] || fail "expected 2 retry rows, found $rows"
# The small rows: 0 B and 1 KiB in both modes, each with its wall time,
# range, spread and the time of tavik --version; the 1 KiB rows' target.
grep -q '^Small rows:' "$table" || fail "no small table"
rows=$(count "^ +0 +(block|pipelined) +(0 B|1 KiB) +1 +$n +$n-$n +$n% +$n +$n +$n +$n%\$")
[ "$rows" -eq 4 ] || fail "expected 4 small rows, found $rows"
rows=$(count '^  small, (block|pipelined), 1 KiB, D=0 ms: <= 1\.3 x 5\.7 ms = 7\.41 ms +[0-9.]+ ms +(reached|NOT REACHED)$')
[ "$rows" -eq 2 ] || fail "expected 2 small target lines, found $rows"
# The listing row: its time, the pages and connections counted, its bound
# of 3 pages x 0.5 ms and the ratio to it, and its target.
grep -q '^Listing rows:' "$table" || fail "no listing table"
grep -Eq "^ +0\.5 +300 +1 +$n +$n-$n +$n% +[0-9]+ +[0-9]+ +0\.002 +$n +$n +$n +$n +$n%\$" "$table" ||
    fail "no listing row"
grep -Eq '^  listing, 300 entries, D=0\.5 ms: <= 1\.3x 3 pages x 0\.5 ms +[0-9.]+x +(reached|NOT REACHED)$' "$table" ||
    fail "no listing target line"
# The batch rows: both batches and the loop, 5 files each, with round trips,
# requests per file, connections, processes and the batches' speed-ups.
grep -q '^Batch rows: 5 files of 4 KiB' "$table" || fail "no batch table"
rows=$(count "^ +0\.5 +batch (pipelined|block) +5 +1 +$n +$n-$n +$n% +$n +$n +$n +[0-9]+ +1 +$n +$n-$n +$n +$n +$n%\$")
[ "$rows" -eq 2 ] || fail "expected 2 batch rows, found $rows"
grep -Eq "^ +0\.5 +loop pipelined +5 +1 +$n +$n-$n +$n% +$n +$n +$n +[0-9]+ +5 +- +- +$n +$n +$n%\$" "$table" ||
    fail "no row of the loop"
rows=$(count '^  batch (pipelined|block), 5 x 4 KiB, D=0\.5 ms: .* +(reached|NOT REACHED)$')
[ "$rows" -eq 5 ] || fail "expected 5 batch target lines, found $rows"

# The CSV: a header and fifteen rows, each with every column of the header.
csv=$out/results.csv
lines=$(wc -l <"$csv")
[ "$lines" -eq 16 ] || fail "expected 16 CSV lines, found $lines"
head -n 1 "$csv" | grep -q '^delay_ms,mode,size_bytes,.*,window,row,.*,vs_ideal,.*,fault_time_ratio,.*,retries,s_per_retry,x_ideal,.*,x_writer,.*,start_wall_s,entries,bound_s,bound_time_ratio,requests,connections,files,processes,.*,speedup_vs_loop_max$' ||
    fail "the CSV header lacks its columns"
awk -F, 'NR == 1 { n = NF } NF != n { bad = 1 } END { exit bad }' "$csv" ||
    fail "CSV lines of different lengths"
col() { head -n 1 "$csv" | tr , '\n' | grep -nx "$1" | cut -d: -f1; }
# The rows in plan order.
[ "$(awk -F, -v c="$(col row)" 'NR > 1 { print $c }' "$csv" | uniq -c | tr -s ' ' | tr '\n' ';')" = \
  " 4 classic; 1 window; 2 retry; 4 small; 1 listing; 3 batch;" ] ||
    fail "not 4 classic, 1 window, 2 retry, 4 small, 1 listing and 3 batch rows in order in the CSV"
# Rows of kind $1 with column $2 a number: at least $3 of them.
numbers() {
    got=$(awk -F, -v r="$(col row)" -v c="$(col "$2")" -v k="$1" '$r == k && $c ~ /^-?[0-9.]+$/' "$csv" | wc -l)
    [ "$got" -ge "$3" ] || fail "$1 rows: $2 is a number in $got, not $3"
}
numbers window vs_ideal 1
numbers window x_ideal 1
numbers window x_writer 1
numbers window writer_cpu_ms_per_mib 1
numbers retry fault_time_ratio 2
numbers small start_wall_s 4
numbers listing bound_time_ratio 1
numbers listing requests 1
numbers batch requests 3
numbers batch connections 3
numbers batch round_trips_per_file 3
numbers batch speedup_vs_loop 2
[ "$(awk -F, -v r="$(col row)" -v p="$(col processes)" '$r == "batch" { print $p }' "$csv" | tr '\n' ' ')" = "1 1 5 " ] ||
    fail "the batch rows do not start 1, 1 and 5 processes"
echo "smoke: benchmark ran and printed its tables"
