#!/usr/bin/env bash
# Builds tavik and tavik-device, serves a sample directory from a stand-in
# device on 127.0.0.1, then lists it, downloads a file both ways, and
# several files in one run.
# Nothing goes to the real device's address: TAVIK_DEVICE points at the
# stand-in.  Leaves nothing running.
set -euo pipefail

top=$(cd "$(dirname "$0")" && pwd)
build=${BUILD_DIR:-$top/build}
delay=${DEMO_DELAY:-0.5}   # emulated round trip, ms

cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tavik tavik-device -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/tavik-demo-XXXXXX)
device_pid=
cleanup() {
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The sample: a trace file of a few MiB, an empty file, a folder of logs.
root=$work/device
mkdir -p "$root/logs" "$work/pc"
head -c $((6 * 1024 * 1024 + 123)) /dev/urandom >"$root/ttiTrace.dat"
: >"$root/empty.dat"
for i in $(seq -w 1 120); do
    printf 'boot %s\n' "$i" >"$root/logs/boot$i.log"
done

"$build/tavik-device" --listen 127.0.0.1:0 --root "$root" --delay "$delay" \
    >"$work/device.out" 2>"$work/device.log" &
device_pid=$!
for _ in $(seq 100); do
    grep -q '^listening on' "$work/device.out" 2>/dev/null && break
    sleep 0.05
done
endpoint=$(sed -n 's/^listening on //p' "$work/device.out")
[ -n "$endpoint" ] || { echo "tavik-device did not start:"; cat "$work/device.log"; exit 1; }
export TAVIK_DEVICE=$endpoint
tavik=$build/tavik

# Headings in bold only on a terminal, and never when NO_COLOR is set.
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then
    bold=$'\033[1m' plain=$'\033[0m'
else
    bold= plain=
fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" -v e="$3" 'BEGIN { printf "%.2f s, %.1f MiB/s", e - s, b / 1048576 / (e - s) }'; }

step "tavik-device serves $root on $endpoint, each reply ${delay} ms after its request"

step "tavik -l"
"$tavik" -l

step "tavik -l logs   (120 entries, fetched in pages of 100; first lines shown)"
"$tavik" -l logs | head -n 8

size=$(stat -c %s "$root/ttiTrace.dat")
cd "$work/pc"

step "tavik -g ttiTrace.dat -o block.dat   (block by block: one request in flight)"
t0=$(now); "$tavik" -g ttiTrace.dat -o block.dat; t1=$(now)
echo "took $(rate "$size" "$t0" "$t1")"

step "tavik -g -b ttiTrace.dat -o piped.dat   (pipelined: 16 requests in flight)"
t0=$(now); "$tavik" -g -b ttiTrace.dat -o piped.dat; t1=$(now)
echo "took $(rate "$size" "$t0" "$t1")"

step "tavik -g -b --output-dir batch --report batch.jsonl ttiTrace.dat empty.dat logs/boot001.log   (three files, one connection)"
mkdir batch
"$tavik" -g -b --output-dir batch --report batch.jsonl ttiTrace.dat empty.dat logs/boot001.log
echo "batch.jsonl, a JSON line for each file:"
cat batch.jsonl

step "tavik -g empty.dat   (local name taken from the remote one)"
"$tavik" -g empty.dat

step "tavik -g nosuch.dat   (a device error is a failure: exit status 1)"
status=0
"$tavik" -g nosuch.dat || status=$?
echo "exit status $status"

step "checking the copies against the originals"
cmp block.dat "$root/ttiTrace.dat"
cmp piped.dat "$root/ttiTrace.dat"
cmp empty.dat "$root/empty.dat"
cmp batch/ttiTrace.dat "$root/ttiTrace.dat"
cmp batch/empty.dat "$root/empty.dat"
cmp batch/boot001.log "$root/logs/boot001.log"
echo "all downloaded files match the originals"
