#!/usr/bin/env bash
# Runs kxipc's benchmarks from a Release build tree and counts the wineserver requests of a fixed
# workload. Called by `./kx bench` as: tools/bench.sh BUILD_DIR [--quick] [--rounds N], with Wine's
# environment (WINEPREFIX, WINEDEBUG) set and a persistent wineserver running.
#   BUILD_DIR/bench/kxipc-bench.json     every round's lines and ratios, the ratios over the rounds
#   BUILD_DIR/bench/kxipc-requests.json  server requests per operation and side, and the figures
#   BUILD_DIR/bench/server-trace.log     the WINEDEBUG=+server trace the counts come from
#   BUILD_DIR/bench/trace-phases.txt     the traced workload's phases (see KxBenchLines.h)
#   BUILD_DIR/bench/kxipc-bench.txt      everything printed, ending with the figures and targets
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
phases="$out/trace-phases.txt"
printed="$out/kxipc-bench.txt"
traced_operations=100
mkdir -p "$out"

# Wine maps the whole Unix tree on drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# A request line is "TID: name( ...)"; replies ("name() = ...") and "*wakeup*" lines are not
# requests. Threads map to processes through init_first_thread's reply (pid, tid) and through
# new_thread replies of a process creating a thread in itself. The marks are opens of the events
# "kxbench-mark LABEL" (see KxServerTraceMark): the workload's process marks "caller", each peer
# process "peer"; a phase's caller requests count from PHASE-begin to PHASE-sent, its peers' from
# PHASE-begin to PHASE-end (their last drain may end after the caller's part returned). Requests
# of any other process (Wine's own services) in a window are shown apart as "others". "wake-ups"
# counts the peers' waits on more than one object (a waiting thread coming out of its wait);
# "blocked" the waits of both sides that the server answered PENDING: each is a sleep and a
# wake-up, which costs time but no request of its own.
count_requests() {
    awk -v json="$out/kxipc-requests.json" '
function field(line, key,    s) {
    if (!match(line, key "=[0-9a-f]+")) return ""
    s = substr(line, RSTART, RLENGTH); sub(/^[a-z_]+=/, "", s); return s
}
function per(ph, side) { return ops[ph] ? count[ph, side] / ops[ph] : 0 }
function total(ph) { return per(ph, "caller") + per(ph, "peers") }
# The requests of one side of a phase by name, most frequent first, per operation; with "minus"
# (a phase) and "over" (a divisor), the difference to that phase divided by over.
function breakdown(ph, side, minus, over,    k, r, n, i, j, name, num, value, tmp, text) {
    n = 0
    for (k in seen) {
        split(k, r, SUBSEP)
        if (r[1] != side) continue
        value = names[ph, side, r[2]] / ops[ph]
        if (minus != "") value = (value - names[minus, side, r[2]] / ops[minus]) / over
        if (value < 0.005 && value > -0.005) continue
        name[++n] = r[2]; num[n] = value
    }
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && num[j] > num[j - 1]; j--) {
            tmp = num[j]; num[j] = num[j - 1]; num[j - 1] = tmp
            tmp = name[j]; name[j] = name[j - 1]; name[j - 1] = tmp
        }
    text = ""
    for (i = 1; i <= n; i++) text = text sprintf("%s%s %.2f", i > 1 ? ", " : "", name[i], num[i])
    return text == "" ? "-" : text
}
# The same columns as KxPrintFigure (bench/KxBenchStats.cpp).
function figure(what, value, op, limit,    target, verdict) {
    target = op == "" ? "-" : op " " limit
    verdict = op == "" ? "" : (op == "<=" ? value <= limit : value >= limit) ? "met" : "MISSED"
    printf "figure  %-72s %9.2f  %-8s %s\n", what, value, target, verdict
    figures = figures sprintf("%s    {\"figure\": \"%s\", \"value\": %.3f, \"target\": \"%s\", \"verdict\": \"%s\"}", \
        figures == "" ? "" : ",\n", what, value, target, verdict)
}
# Figures of a phase against another with fewer members: per member more, in all and per side.
function growth(what, ph, base, members, op, limit, callerLimit, peersLimit) {
    if (!ops[ph] || !ops[base]) return
    figure(what ", in all", (total(ph) - total(base)) / members, op, limit)
    figure(what ", " caller_name[ph], (per(ph, "caller") - per(base, "caller")) / members, \
        callerLimit == "" ? "" : op, callerLimit)
    figure(what ", " peers_name[ph], (per(ph, "peers") - per(base, "peers")) / members, \
        peersLimit == "" ? "" : op, peersLimit)
    printf "    %s: %s\n    %s: %s\n", caller_name[ph], breakdown(ph, "caller", base, members), \
        peers_name[ph], breakdown(ph, "peers", base, members)
}
# First file: the phases, "phase LABEL OPERATIONS CALLER PEERS TITLE".
FNR == NR {
    if ($1 != "phase") next
    ops[$2] = $3; caller_name[$2] = $4; peers_name[$2] = $5
    t = $0; sub(/^phase +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +/, "", t); title[$2] = t
    order[++phases] = $2
    next
}
{
    if (!match($0, /^[0-9a-f]+: /)) next
    tid = substr($0, 1, RLENGTH - 2); rest = substr($0, RLENGTH + 1)
    if (rest ~ /^init_first_thread\(\) = /) { proc[tid] = field(rest, "pid"); next }
    if (rest ~ /^new_thread\( process=ffffffff/) { self_create[tid] = 1 }
    if (rest ~ /^new_thread\(\) = 0/ && self_create[tid]) { proc[field(rest, "tid")] = proc[tid]; self_create[tid] = 0 }
    p = proc[tid]
    side = p != "" && p == caller ? "caller" : (p in peer) ? "peers" : "others"
    if (rest ~ /^select\(\) = PENDING/) {
        for (ph in open_p) if (side == "caller" ? open_c[ph] : open_p[ph]) blocked[ph, side]++
        next
    }
    if (rest !~ /^[a-z_]+\( /) next
    request = rest; sub(/\(.*/, "", request)
    if (match(rest, /name=L"kxbench-mark [a-z0-9-]+"/)) {
        label = substr(rest, RSTART + 20, RLENGTH - 21)
        if (label == "caller") caller = proc[tid]
        else if (label == "peer") peer[proc[tid]] = 1
        else {
            split(label, part, "-")
            if (part[2] == "begin") { open_c[part[1]] = 1; open_p[part[1]] = 1 }
            if (part[2] == "sent") open_c[part[1]] = 0
            if (part[2] == "end") { open_c[part[1]] = 0; open_p[part[1]] = 0 }
        }
        next
    }
    for (ph in open_p) {
        if (!(side == "caller" ? open_c[ph] : open_p[ph])) continue
        count[ph, side]++; names[ph, side, request]++; seen[side, request] = 1
        if (side == "peers" && request == "select" && rest ~ /handles=\{[0-9a-f]+,/) wakes[ph]++
    }
}
END {
    printf "\n== wineserver requests per operation (WINEDEBUG=+server)\n"
    printf "%-8s %-60s %5s %7s %7s %7s %8s %7s %7s\n", "phase", "workload (requests per operation)", \
        "ops", "caller", "peers", "total", "wake-ups", "blocked", "others"
    printf "{\n  \"workloads\": [\n" > json
    for (i = 1; i <= phases; i++) {
        ph = order[i]
        printf "%-8s %-60s %5d %7.2f %7.2f %7.2f %8.2f %7.2f %7.2f\n", ph, title[ph], ops[ph], \
            per(ph, "caller"), per(ph, "peers"), total(ph), wakes[ph] / ops[ph], \
            (blocked[ph, "caller"] + blocked[ph, "peers"]) / ops[ph], per(ph, "others")
        printf "    %s: %s; blocked %.2f\n    %s: %s; blocked %.2f\n", caller_name[ph], \
            breakdown(ph, "caller"), blocked[ph, "caller"] / ops[ph], peers_name[ph], \
            breakdown(ph, "peers"), blocked[ph, "peers"] / ops[ph]
        if (count[ph, "others"]) printf "    others: %s\n", breakdown(ph, "others")
        printf "    {\"workload\": \"%s\", \"operations\": %d, \"caller\": \"%s\", \"peers\": \"%s\", " \
            "\"caller_requests\": %.3f, \"peer_requests\": %.3f, \"other_requests\": %.3f, " \
            "\"wake_ups\": %.3f, \"caller_blocked\": %.3f, \"peers_blocked\": %.3f}%s\n", ph, \
            ops[ph], caller_name[ph], peers_name[ph], per(ph, "caller"), per(ph, "peers"), \
            per(ph, "others"), wakes[ph] / ops[ph], blocked[ph, "caller"] / ops[ph], \
            blocked[ph, "peers"] / ops[ph], i < phases ? "," : "" > json
    }
    printf "\n"
    figure("baseline: bare event round trip (line 1): requests in all", total("events"))
    figure("baseline: named pipe round trip (line 2): requests in all", total("pipe"))
    figure("sync send to 1 member, application thread: requests in all", total("sync"), "<=", 9)
    figure("sync send to 1 member, application thread: sender", per("sync", "caller"), "<=", 3)
    figure("baseline: bare event round trip: waits that blocked, both sides", \
        (blocked["events", "caller"] + blocked["events", "peers"]) / ops["events"])
    figure("sync send to 1 member, application thread: waits that blocked, both sides", \
        (blocked["sync", "caller"] + blocked["sync", "peers"]) / ops["sync"], "<=", 2.2)
    figure("sync send to 1 member from a handler: requests in all", total("handler"))
    figure("nesting (send from a handler - from an application thread), in all", \
        total("handler") - total("sync"))
    figure("nesting (send from a handler - from an application thread), sender", \
        per("handler", "caller") - per("sync", "caller"))
    figure("nesting (send from a handler - from an application thread), receiver", \
        per("handler", "peers") - per("sync", "peers"))
    figure("post back to back: receiver per message", per("burst", "peers"), "<=", 1)
    figure("post back to back: sender per message", per("burst", "caller"), "<=", 2.2)
    growth("sync send to all 8 others: requests per recipient beyond 1", "fan8", "fan1", 7, "<=", 6, 1, 5)
    growth("sync send to all 49 others: requests per recipient beyond 1", "fan49", "fan1", 48, "<=", 6, 1, 5)
    figure("InitializeParticipant, 49 members present: requests in all", total("join49"))
    figure("InitializeParticipant, 49 members present: joiner", per("join49", "caller"))
    figure("InitializeParticipant, 49 members present: members", per("join49", "peers"))
    growth("InitializeParticipant: requests per member present (49 against 0)", "join49", "join0", 49)
    printf "  ],\n  \"figures\": [\n%s\n  ]\n}\n", figures > json
}' "$phases" "$trace"
}

run_all() {
    echo "== kxipc benchmarks (times in microseconds; $(nproc) CPUs; $("$wine" --version);" \
        "load average $(cut -d' ' -f1-3 /proc/loadavg))"
    "$wine" "$bench" run "$(windows_path "$out/kxipc-bench.json")" "${run_options[@]}"
    echo
    "$wine" "$build/bin/kxipc_bench_alloc.exe" 1000

    # The server writes its request trace to its own stderr: restart it with that going to a file,
    # start Wine's services untraced, run the workload traced, then give kx an untraced server back.
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -f "$trace"
    # (No server may keep the pipe into tee open: its output goes elsewhere.)
    "$wineserver" -p >/dev/null 2>>"$trace"
    WINEDEBUG=-all "$wine" wineboot >/dev/null 2>&1 </dev/null || true
    # Only the server channel: Wine's own error lines (no display) would mix into the output.
    WINEDEBUG=-all,+server "$wine" "$bench" trace "$traced_operations" >"$phases"
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    "$wineserver" -p >/dev/null 2>&1
    count_requests
}

run_all 2>&1 | tee "$printed"
figures=$(grep '^figure ' "$printed" | sed 's/^figure  //')
{
    echo
    echo "== figures and targets, same run (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
    printf '%s\n' "$figures"
    echo
    echo "JSON: $out/kxipc-bench.json and $out/kxipc-requests.json; trace: $trace"
} | tee -a "$printed"
