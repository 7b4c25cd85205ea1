#!/bin/sh
# cmake --install into a temporary prefix, and once more under DESTDIR with
# the configured prefix: the programs and pages must be where they belong,
# and the installed programs must run (the client in its own network
# namespace).
#   install.sh CMAKE BUILD_DIR PREFIX BINDIR MANDIR SOURCE_DIR NETNS_SH
# The data folder (CMAKE_INSTALL_DATADIR) comes in TAVIK_INSTALL_DATADIR,
# share when unset.
set -u
cmake=$1 build=$2 prefix=$3 bindir=$4 mandir=$5 src=$6 netns=$7
datadir=${TAVIK_INSTALL_DATADIR:-share}
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "$*" >&2; status=1; }

# check ROOT: what an install into the prefix ROOT must have put there.
check() {
    bin=$1/$bindir
    for p in tavik tavik-device; do
        [ -x "$bin/$p" ] || fail "$bin/$p is missing or not executable"
        cmp -s "$src/man/$p.1" "$1/$mandir/man1/$p.1" ||
            fail "$1/$mandir/man1/$p.1 is missing or differs from man/$p.1"
    done
    # Every completion file of the tree, where bash-completion finds it,
    # and usable: sourced, it registers a function for its program.
    comp=$1/$datadir/bash-completion/completions
    [ -e "$src/completion/tavik" ] || fail "$src/completion/tavik is missing from the tree"
    for f in "$src"/completion/*; do
        p=${f##*/}
        cmp -s "$f" "$comp/$p" || fail "$comp/$p is missing or differs from completion/$p"
        bash -c '. "$1" && complete -p "$2"' sh "$comp/$p" "$p" >/dev/null 2>&1 ||
            fail "installed $comp/$p does not register a completion for $p"
    done
    lua=$1/$datadir/tavik/wireshark/tavik.lua
    cmp -s "$src/tools/wireshark/tavik.lua" "$lua" ||
        fail "$lua is missing or differs from tools/wireshark/tavik.lua"
    out=$("$netns" "$bin/tavik" -h 2>&1); rc=$?
    [ "$rc" = 1 ] || fail "installed tavik -h: exit status $rc, 1 expected"
    case $out in *"Usage:"*"$bin/tavik -l "*) ;; *) fail "installed tavik -h printed: $out" ;; esac
    out=$("$bin/tavik-device" --help 2>&1); rc=$?
    [ "$rc" = 0 ] || fail "installed tavik-device --help: exit status $rc, 0 expected"
    case $out in "Usage: tavik-device "*) ;; *) fail "installed tavik-device --help printed: $out" ;; esac
}

"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null || fail "cmake --install --prefix failed"
check "$tmp/prefix"
DESTDIR=$tmp/dest "$cmake" --install "$build" >/dev/null || fail "cmake --install with DESTDIR failed"
check "$tmp/dest$prefix"
exit $status
