#!/bin/bash
# The bash completion of both programs, sourced into a plain bash (no
# bash-completion package) and driven as readline would drive it: set
# COMP_WORDS and COMP_CWORD, call the registered function, read COMPREPLY.
# Every option a program accepts must be offered, and nothing else.
#   completion.sh SOURCE_DIR [TAVIK_DEVICE_BINARY]
# tavik's options are every -x and --name its --help shows; tavik-device's
# those in the option column of its --help, when the binary is given.
# Nothing here touches the network.
#   completion.sh SOURCE_DIR TAVIK_BINARY [TAVIK_DEVICE_BINARY]
set -u
export LC_ALL=C
src=$1 tavik=$2 device=${3:-}
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "$*" >&2; status=1; }

# offered PROGRAM WORD...: what the completion offers for the last word of
# "PROGRAM WORD...", sorted, one per line.
offered() {
    local fn
    fn=$(complete -p "$1" 2>/dev/null | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    [ -n "$fn" ] || { echo "(no completion function for $1)"; return; }
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# expect WANT PROGRAM WORD...: WANT is the list offered, space separated
# ("" for nothing).
expect() {
    local want=$1 got
    shift
    got=$(offered "$@" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$want" ] || fail "'$*<TAB>' offered [$got], expected [$want]"
}

# The options of a program, sorted, space separated; and those of them that
# begin with a prefix.
words() { sort -u | tr '\n' ' ' | sed 's/ $//'; }
starting() { tr ' ' '\n' <<<"$1" | grep -e "^$2" | words; }

# ---- tavik ----------------------------------------------------------------
file=$src/completion/tavik
if [ -r "$file" ] && . "$file"; then
    opts=$("$tavik" --help | grep -oE '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' |
        sed 's/^[^-]*//' | sort -u)
    short=$(grep -v -e '^--' <<<"$opts")
    long=$(grep -e '^--' <<<"$opts")
    [ -n "$short" ] && [ -n "$long" ] || fail "no options found in $tavik --help"
    all=$(printf '%s\n%s\n' "$short" "$long" | words)
    longs=$(words <<<"$long")

    complete -p tavik | grep -q -- '-o default' &&
        fail "tavik: registered with -o default, so an empty reply falls back to file names"
    expect "$all" tavik -
    expect "$longs" tavik --
    expect "$(starting "$longs" --re)" tavik --re
    expect "$(starting "$longs" --ver)" tavik -g --ver
    expect "--continue" tavik -g -b --co
    expect "--window" tavik -g -b --w
    expect "-l" tavik -c 1442 -l
    # Each option the program has must be offered on its own.
    for o in $all; do
        expect "$o" tavik -g "$o"
    done

    # -o takes a local file name; the rest take numbers or remote names.
    mkdir -p "$tmp/here/logs" && : >"$tmp/here/trace.dat" && : >"$tmp/here/trace.old" &&
        : >"$tmp/here/-odd" || fail "cannot make scratch files"
    (
        cd "$tmp/here" || exit 1
        status=0
        expect "trace.dat trace.old" tavik -g -o tr
        expect "-odd logs trace.dat trace.old" tavik -g -b -o ''
        for o in -c -t --retry --window; do
            expect "" tavik -g -b "$o" ''
            expect "" tavik -g -b "$o" t
        done
        expect "" tavik -g ''          # remote names: not asked of the device
        expect "" tavik -g t
        expect "" tavik -g -- -        # after --, names only
        expect "" tavik -- -o -
        exit $status
    ) || status=1
else
    fail "$file: missing or does not source"
fi

# ---- tavik-device ---------------------------------------------------------
file=$src/completion/tavik-device
if [ -r "$file" ] && . "$file"; then
    if [ -n "$device" ]; then
        # The option column of --help: lines indented a little that begin
        # with a dash, up to the gap before the description.
        all=$("$device" --help | sed -n 's/^ \{1,8\}\(-.*\)$/\1/p' | sed 's/   *.*//' |
            grep -oE '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' | sed 's/^[^-]*//' | words)
        [ -n "$all" ] || fail "no options in $device --help"
        longs=$(starting "$all" --)
        expect "$longs" tavik-device --
        # Each option completes to every option it begins (--chaos to
        # --chaos, --chaos-bytes and --chaos-rate).
        for o in $all; do
            expect "$(starting "$all" "$o")" tavik-device "$o"
        done
    fi
    got=$(offered tavik-device --ro)
    [ "$got" = "--root" ] || fail "'tavik-device --ro<TAB>' offered [$got], expected [--root]"
    got=$(offered tavik-device --root /srv --li | tr '\n' ' ')
    case $got in *--listen*) ;; *) fail "'tavik-device --li<TAB>' offered [$got], no --listen" ;; esac
elif [ -e "$file" ]; then
    fail "$file does not source"
else
    echo "completion.sh: $file not there yet; only tavik checked" >&2
fi
exit $status
