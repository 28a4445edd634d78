#!/usr/bin/env bash
# Runs kxipc's benchmarks from a Release build tree and counts the wineserver requests of a fixed
# send/post workload. Called by `./kx bench` as: tools/bench.sh BUILD_DIR [--quick] [--rounds N],
# with Wine's environment (WINEPREFIX, WINEDEBUG) set and a persistent wineserver running.
#   BUILD_DIR/bench/kxipc-bench.json     every round's lines and ratios, the ratios over the rounds
#   BUILD_DIR/bench/kxipc-requests.json  server requests per operation and side
#   BUILD_DIR/bench/server-trace.log     the WINEDEBUG=+server trace the counts come from
set -euo pipefail

usage() { echo "usage: tools/bench.sh BUILD_DIR [--quick] [--rounds N]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
shift
run_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) run_options+=(--quick) ;;
        --rounds)
            [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]*$ ]] || usage
            run_options+=(--rounds "$2")
            shift
            ;;
        *) usage ;;
    esac
    shift
done
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
bench="$build/bin/kxipc_bench.exe"
out="$build/bench"
trace="$out/server-trace.log"
traced_operations=100
mkdir -p "$out"

# Wine maps the whole Unix tree on drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

echo "== kxipc benchmarks (times in microseconds; $(nproc) CPUs; $("$wine" --version))"
"$wine" "$bench" run "$(windows_path "$out/kxipc-bench.json")" "${run_options[@]}"
echo
"$wine" "$build/bin/kxipc_bench_alloc.exe" 1000

# The server writes its request trace to its own stderr: restart it with that going to a file,
# start Wine's services untraced, run the workload traced, then give kx an untraced server back.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
rm -f "$trace"
"$wineserver" -p 2>>"$trace"
WINEDEBUG=-all "$wine" wineboot >/dev/null 2>&1 </dev/null || true
WINEDEBUG=+server "$wine" "$bench" trace "$traced_operations" >/dev/null
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p

# A request line is "TID: name( ...)"; replies ("name() = ...") and "*wakeup*" lines are not
# requests. Threads map to processes through init_first_thread's reply (pid, tid) and through
# new_thread replies of a process creating a thread in itself. The marks are opens of the events
# "kxbench-mark LABEL" (see KxServerTraceMark): the sender's requests count from X-begin to X-sent,
# the receiver's from X-begin to X-end (its last drain may end after the send returned).
awk -v n="$traced_operations" -v json="$out/kxipc-requests.json" '
function field(line, key,    s) {
    if (!match(line, key "=[0-9a-f]+")) return ""
    s = substr(line, RSTART, RLENGTH); sub(/^[a-z_]+=/, "", s); return s
}
function breakdown(phase, side,    r, text, k) {
    text = ""
    for (k in names) {
        split(k, r, SUBSEP)
        if (r[1] == phase && r[2] == side) text = text sprintf("%s%s %.2f", text == "" ? "" : ", ", r[3], names[k] / n)
    }
    return text
}
{
    if (!match($0, /^[0-9a-f]+: /)) next
    tid = substr($0, 1, RLENGTH - 2); rest = substr($0, RLENGTH + 1)
    if (rest ~ /^init_first_thread\(\) = /) { proc[tid] = field(rest, "pid"); next }
    if (rest ~ /^new_thread\( process=ffffffff/) { self_create[tid] = 1 }
    if (rest ~ /^new_thread\(\) = 0/ && self_create[tid]) { proc[field(rest, "tid")] = proc[tid]; self_create[tid] = 0 }
    if (rest !~ /^[a-z_]+\( /) next
    request = rest; sub(/\(.*/, "", request)
    if (match(rest, /name=L"kxbench-mark [a-z-]+"/)) {
        label = substr(rest, RSTART + 20, RLENGTH - 21)
        if (label == "sender") sender = proc[tid]
        else if (label == "receiver") receiver = proc[tid]
        else {
            split(label, part, "-")
            if (part[2] == "begin") { open_s[part[1]] = 1; open_r[part[1]] = 1; order[++phases] = part[1] }
            if (part[2] == "sent") open_s[part[1]] = 0
            if (part[2] == "end") open_r[part[1]] = 0
        }
        next
    }
    p = proc[tid]
    for (ph in open_s) {
        if (open_s[ph] && p == sender) { count[ph, "s"]++; names[ph, "s", request]++ }
        if (open_r[ph] && p == receiver) {
            count[ph, "r"]++; names[ph, "r", request]++
            if (request == "select" && rest ~ /handles=\{[0-9a-f]+,/) wakes[ph]++
        }
    }
}
END {
    title["sync"] = "SendIPMessage to 1 member, application thread (per round trip)"
    title["post"] = "PostIPMessage, each handled before the next (per message)"
    title["burst"] = "PostIPMessage, back to back (per message)"
    printf "\n== wineserver requests per operation (WINEDEBUG=+server, %d operations each)\n", n
    printf "%-64s %8s %9s %7s %9s\n", "workload", "sender", "receiver", "total", "wake-ups"
    printf "{\n  \"operations\": %d,\n  \"workloads\": [\n", n > json
    for (i = 1; i <= phases; i++) {
        ph = order[i]; s = count[ph, "s"] / n; r = count[ph, "r"] / n; w = wakes[ph] / n
        printf "%-64s %8.2f %9.2f %7.2f %9.2f\n", title[ph], s, r, s + r, w
        printf "    sender:  %s\n    receiver: %s\n", breakdown(ph, "s"), breakdown(ph, "r")
        printf "    {\"workload\": \"%s\", \"sender\": %.2f, \"receiver\": %.2f, \"wake_ups\": %.2f}%s\n", \
            ph, s, r, w, i < phases ? "," : "" > json
    }
    printf "  ]\n}\n" > json
}' "$trace"
echo
echo "JSON: $out/kxipc-bench.json and $out/kxipc-requests.json; trace: $trace"
