#!/usr/bin/env bash
# Scripted session of three kxipc peers on one channel, printed as a narrated transcript.
#
# Usage: tools/demo.sh BUILD_DIR   (run by `./kx demo`, which builds and starts the wineserver, and
# by `./kx demo --native`: a native tree's bin/kxipc runs as it is, a Windows tree's under Wine)
#
# Each peer runs `kxipc join` under Wine with its stdin and stdout on fifos. The script writes a
# command to a peer and then waits, with a time limit, for the lines it expects from each peer;
# every line a peer prints is shown as it is read. Exit status 0 only when every expected line
# came in time.
set -euo pipefail

build=${1:?usage: demo.sh BUILD_DIR}
if [ -x "$build/bin/kxipc" ]; then
    run=("$build/bin/kxipc")
else
    run=(/usr/lib/wine/wine64 "$build/bin/kxipc.exe")
    export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
fi

limit=20         # seconds any single expected line may take
sync_delay=1500  # ms that C holds every synchronous message in its handler
channel="kxdemo_$$"
work=$(mktemp -d)

declare -A pid=() in_fd=() out_fd=() id=()
expected=0

cleanup() {
    for peer in "${!pid[@]}"; do kill -9 "${pid[$peer]}" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*"
    exit 1
}

# start NAME [kxipc join options...]: a peer whose Linux process is the peer itself (under Wine, the
# Wine process of kxipc.exe), so that killing it kills that peer and nothing else.
start() {
    local name=$1 fd
    shift
    mkfifo "$work/$name.in" "$work/$name.out"
    "${run[@]}" join "$channel" "$@" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" &
    pid[$name]=$!
    exec {fd}>"$work/$name.in"
    in_fd[$name]=$fd
    exec {fd}<"$work/$name.out"
    out_fd[$name]=$fd
    printf '   %s$ kxipc join %s\n' "$name" "$channel${*:+ $*}"
}

# tell NAME LINE: one command to a peer.
tell() {
    printf '   %s< %s\n' "$1" "$2"
    printf '%s\n' "$2" >&"${in_fd[$1]}"
}

# expect NAME REGEX: reads NAME's lines until one matches ^REGEX$; it is left in $line.
expect() {
    local name=$1 pattern=$2 deadline=$((SECONDS + limit))
    while :; do
        local left=$((deadline - SECONDS))
        ((left > 0)) || fail "$name did not print '$pattern' within ${limit}s"
        if ! IFS= read -r -t "$left" -u "${out_fd[$name]}" line; then
            fail "$name ended or stayed silent while '$pattern' was expected"
        fi
        line=${line%$'\r'}
        printf '   %s> %s\n' "$name" "$line"
        if [[ $line =~ ^$pattern$ ]]; then
            expected=$((expected + 1))
            return 0
        fi
    done
}

# expect_each NAME REGEX...: expect for each REGEX, in whatever order NAME prints them (a reply and
# a handler's line come from two threads of the peer).
expect_each() {
    local name=$1 pattern
    shift
    local pending=("$@")
    while ((${#pending[@]} > 0)); do
        expect "$name" "($(IFS='|'; echo "${pending[*]}"))"
        local left=()
        for pattern in "${pending[@]}"; do [[ $line =~ ^$pattern$ ]] || left+=("$pattern"); done
        pending=("${left[@]}")
    done
}

now_ms() { date +%s%3N; }

[ -f "${run[-1]}" ] || fail "no ${run[-1]} (build first)"
printf 'kxipc demo: three peers on channel %s\n' "$channel"

say "A joins an empty channel; it is the first member and gets its identifier"
start A
expect A 'id ([0-9]+)'
id[A]=${BASH_REMATCH[1]}

say "B joins: it is told of A (joined before, 0); A is told of B (joined later, 1)"
start B
expect B "join ${id[A]} 0"
expect B 'id ([0-9]+)'
id[B]=${BASH_REMATCH[1]}
expect A "join ${id[B]} 1"

say "C joins, holding every synchronous message ${sync_delay} ms in its handler"
start C --sync-delay "$sync_delay"
expect C "join ${id[A]} 0"
expect C "join ${id[B]} 0"
expect C 'id ([0-9]+)'
id[C]=${BASH_REMATCH[1]}
expect A "join ${id[C]} 1"
expect B "join ${id[C]} 1"
tell C members
expect C "members ${id[A]} ${id[B]}"
printf '   $ kxipc members %s\n' "$channel"
line=$("${run[@]}" members "$channel" | tr -d '\r')
printf '   | %s\n' "$line"
[ "$line" = "members ${id[A]} ${id[B]} ${id[C]}" ] || fail "the channel lists '$line'"
expected=$((expected + 1))

say "A posts a broadcast: post returns once queued; B and C receive it (no sync step)"
tell A 'post * 1 100'
expect A ok
expect B "recv ${id[A]} 1 100"
expect C "recv ${id[A]} 1 100"

say "A sends synchronously to all: send returns only after B and C acknowledged (C takes ${sync_delay} ms)"
started=$(now_ms)
tell A 'send * 2 200'
expect B "sync ${id[A]} 2 200"
expect C "sync ${id[A]} 2 200"
expect A ok
elapsed=$(($(now_ms) - started))
printf '   (the send returned after %d ms)\n' "$elapsed"
((elapsed >= sync_delay)) || fail "A's send returned before C acknowledged"
expect B "recv ${id[A]} 2 200"
expect C "recv ${id[A]} 2 200"

say "B arms a synchronous send to all, made from inside its next OnReceive; A posts to B"
tell B "on-recv send * 3 300"
expect B armed
tell A "post ${id[B]} 4 400"
expect_each A ok "sync ${id[B]} 3 300"
expect B "recv ${id[A]} 4 400"
expect C "sync ${id[B]} 3 300"
expect B 'handler-send ok'
expect A "recv ${id[B]} 3 300"
expect C "recv ${id[B]} 3 300"

say "the channel's queue, read under its mutex without joining: every record given back"
printf '   $ kxipc stat %s\n' "$channel"
"${run[@]}" stat "$channel" | tr -d '\r' | sed 's/^/   | /'

say "C's process is killed (SIGKILL, Linux pid ${pid[C]}): A and B notice its end"
disown "${pid[C]}"  # its death by signal is the point, not a job failure to report
kill -9 "${pid[C]}"
unset 'pid[C]'
expect A "quit ${id[C]}"
expect B "quit ${id[C]}"
tell A members
expect A "members ${id[B]}"

say "B leaves in order: A is told"
tell B leave
expect B left
expect A "quit ${id[B]}"
tell B exit
tell A exit
for peer in A B; do
    wait "${pid[$peer]}" || fail "$peer exited with status $?"
    unset "pid[$peer]"
done

printf '\nDEMO OK: all %d expected events seen\n' "$expected"
