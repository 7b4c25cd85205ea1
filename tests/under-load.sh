#!/usr/bin/env bash
# Runs the test suite on a loaded machine: four CPU-burning processes per
# core run for as long as ctest does, and are killed on the way out however
# this script ends (each one also stops by itself once this script is gone).
# Prints how long each suite took.
#
#   tests/under-load.sh                    both builds as .ci/run makes them
#                                          (build/ci-plain, build/ci-sanitize)
#   tests/under-load.sh BUILD_DIR...       those configured build folders
#   tests/under-load.sh BUILD_DIR -- -R e2e_Resume
#                                          further arguments go to ctest
#
# The builds are made before the load starts; only ctest runs under it.
# What the tests need besides (ip, strace, tshark) is what .ci/run installs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

builds=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    builds+=("$1")
    shift
done
[ $# -gt 0 ] && shift
jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1

if [ ${#builds[@]} -eq 0 ]; then
    for variant in plain sanitize; do
        dir=$top/build/ci-$variant
        flags=(-DTAVIK_WERROR=ON)
        [ "$variant" = sanitize ] && flags+=(-DTAVIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
        echo "== $variant build"
        cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null
        cmake --build "$dir" -j"$jobs"
        builds+=("$dir")
    done
fi

# ctest runs in a process group of its own, so that a signal to this script
# ends it and every test it started, as well as the load.  Not in a session
# of its own: with autogroup scheduling each session gets its share of the
# CPU, and the tests would be spared most of the load.
burners=() tests=
unload() {
    [ -z "$tests" ] || kill -TERM -- "-$tests" 2>/dev/null || true
    [ ${#burners[@]} -eq 0 ] || kill "${burners[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    burners=() tests=
}
trap unload EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
for ((i = 0; i < 4 * jobs; i++)); do
    sh -c 'while kill -0 "$1" 2>/dev/null; do :; done' sh $$ &
    burners+=($!)
done
echo "== load: ${#burners[@]} busy processes on $jobs cores"

status=0
total=$SECONDS
for dir in "${builds[@]}"; do
    echo "== tests in $dir, under load"
    start=$SECONDS
    set -m
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" &
    tests=$!
    set +m
    wait "$tests" || status=1
    tests=
    echo "== $dir: $((SECONDS - start)) s"
done
unload
echo "== under load: $((SECONDS - total)) s in all, $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
