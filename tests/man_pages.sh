#!/bin/sh
# The manual pages against the programs: every option a program accepts has
# an entry under OPTIONS in its page and every entry there is an option it
# accepts; and groff has nothing to warn about in either page.
#   man_pages.sh SOURCE_DIR TAVIK_BINARY TAVIK_DEVICE_BINARY
set -u
src=$1 tavik=$2 device=$3
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0

# The options on the entry tags (the line after each .TP) under OPTIONS.
tags() {
    awk '/^\.SH/ { opt = $2 == "OPTIONS" } opt && tp { print } { tp = opt && /^\.TP/ }' "$1" |
        sed 's/\\-/-/g; s/\\f[A-Z]//g' | options
}

# Every -x and --name that stands on its own in the input, one per line.
options() {
    grep -oE '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' | sed 's/^[^-]*//' | sort -u
}

# compare PAGE: $tmp/want against the page's entries.
compare() {
    tags "$src/man/$1" >"$tmp/have"
    [ -s "$tmp/want" ] || { echo "$1: no options found in the program" >&2; status=1; }
    for o in $(grep -vxF -f "$tmp/have" "$tmp/want"); do
        echo "$1: option $o is accepted but has no entry under OPTIONS" >&2; status=1
    done
    for o in $(grep -vxF -f "$tmp/want" "$tmp/have"); do
        echo "$1: entry $o under OPTIONS is no option the program accepts" >&2; status=1
    done
}

# tavik: every -x and --name that its --help shows anywhere: the usage
# text, then the other options, one to a line.
"$tavik" --help | options >"$tmp/want"
compare tavik.1

# tavik-device: every -x and --name its --help shows in the option column
# (lines indented a little that start with a dash, up to the gap before the
# description), not those that its descriptions mention ("as tavik -c and -t
# take them", a continuation line that starts with --chaos-bytes).
"$device" --help | sed -n 's/^ \{1,8\}\(-.*\)$/\1/p' | sed 's/   *.*//' | options >"$tmp/want"
compare tavik-device.1

for page in tavik.1 tavik-device.1; do
    out=$(groff -ww -z -man "$src/man/$page" 2>&1) && [ -z "$out" ] ||
        { echo "groff -ww -z -man $page:" >&2; echo "$out" >&2; status=1; }
done
exit $status
