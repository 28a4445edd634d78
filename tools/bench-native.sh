#!/usr/bin/env bash
# Runs kxipc's benchmarks natively from a Release build tree: the same lines as under Wine, against
# the native baselines (a futex ping-pong between two processes, a Unix-domain socket round trip, a
# POSIX message queue), with the ratios and their targets. Called by `./kx bench --native` as:
# tools/bench-native.sh BUILD_DIR [--quick] [--rounds N]. Writes BUILD_DIR/bench/kxipc-bench.json
# (every round) and BUILD_DIR/bench/kxipc-bench.txt (everything printed).
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: tools/bench-native.sh BUILD_DIR [--quick] [--rounds N]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
out="$build/bench"
mkdir -p "$out"
{
    echo "== kxipc benchmarks, native (times in microseconds; $(nproc) CPUs; $(uname -sr);" \
        "load average $(cut -d' ' -f1-3 /proc/loadavg))"
    "$build/bin/kxipc_bench" run "$out/kxipc-bench.json" "$@"
} 2>&1 | tee "$out/kxipc-bench.txt"
