#!/bin/sh
# What --retry costs: a 4 MiB file at 2 ms per reply, through a device that
# closes every connection after 500 replies (--retry 20), against the same
# download without faults; median of 3 runs, both modes.  Runs inside the
# test namespace:  tests/netns.sh sh bench/retry.sh BUILD_DIR
set -eu
build=$1
dir=$(mktemp -d)
pids=""
trap 'kill $pids 2>/dev/null; rm -rf "$dir"' EXIT
head -c 4194304 /dev/urandom >"$dir/f.dat"

median() { sort -n | sed -n 2p; }

# run PORT ARGS...: seconds the download took; the file must come out exact.
run() {
    port=$1; shift
    t0=$(date +%s.%N)
    TAVIK_DEVICE=127.0.0.1:$port "$build/tavik" -g f.dat -o "$dir/out" "$@" >/dev/null 2>"$dir/err" ||
        { cat "$dir/err" >&2; exit 1; }
    t1=$(date +%s.%N)
    cmp -s "$dir/f.dat" "$dir/out" || { echo "download differs" >&2; exit 1; }
    echo "$t0 $t1" | awk '{ printf "%.2f\n", $2 - $1 }'
}

"$build/tavik-device" --root "$dir" --listen 127.0.0.1:15501 --delay 2 >/dev/null 2>&1 &
pids="$pids $!"
"$build/tavik-device" --root "$dir" --listen 127.0.0.1:15502 --delay 2 --close-after 500 >/dev/null 2>&1 &
pids="$pids $!"
sleep 0.5
printf '%-10s %12s %22s\n' mode "no faults" "close every 500"
for mode in block pipelined; do
    extra=""
    [ $mode = pipelined ] && extra=-b
    clean=$(for i in 1 2 3; do run 15501 $extra; done | median)
    faulty=$(for i in 1 2 3; do run 15502 $extra --retry 20; done | median)
    printf '%-10s %10s s %20s s\n' $mode "$clean" "$faulty"
done
