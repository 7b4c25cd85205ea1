#!/bin/sh
# What --retry costs: the retry rows of tavik-bench, on their own.  A 4 MiB
# file at 2 ms per reply, through a device that closes every connection
# after 500 replies (tavik --retry 20), against the same download from the
# same device without that fault; alternated, medians of 5, both modes.
# tavik-bench starts its devices on ports the system picks and waits for
# each one's "listening on ADDR:PORT" line; any run that fails, or any
# download that differs from the served file, ends it with a message and
# a non-zero status, which this script passes on.
#
#   bench/retry.sh BUILD_DIR [tavik-bench options]
#   tests/netns.sh sh bench/retry.sh BUILD_DIR     (in the test namespace)
#
# BUILD_DIR is a configured build folder with tavik, tavik-device and
# bench/tavik-bench built in it (bench/run uses build/bench-release).
# Further options go to tavik-bench, e.g. --runs 7, --retry-modes
# pipelined, --close-after 200; the CSV goes to bench/retry.csv unless
# --csv says otherwise.
set -eu
[ $# -ge 1 ] || { echo "usage: bench/retry.sh BUILD_DIR [tavik-bench options]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
top=$(cd "$(dirname "$0")/.." && pwd)
for bin in tavik tavik-device bench/tavik-bench; do
    [ -x "$build/$bin" ] || { echo "retry.sh: no $build/$bin; build it first" >&2; exit 2; }
done
cd "$top"
exec "$build/bench/tavik-bench" --rows retry --tavik "$build/tavik" --device "$build/tavik-device" \
    --csv bench/retry.csv "$@"
