#!/usr/bin/env bash
# Builds the native fuzz target of the ring and member-list logic with the machine's clang and runs
# it. Usage: tools/fuzz.sh <build dir> [--seconds N] [--seed S] [--jobs J]
# The committed corpus (fuzz/corpus) is read, never written: new inputs go to <build dir>/corpus,
# crashes to <build dir>/artifacts. Exit status: 0 when libFuzzer found nothing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 <build dir> [--seconds N] [--seed S]" >&2; exit 2; }
build=$1
shift
seconds=60
seed=0  # 0: libFuzzer picks one
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        *) echo "fuzz.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

cxx=clang++
# libFuzzer and the sanitiser runtimes come with clang's runtime package.
if ! command -v "$cxx" >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a \
        >/dev/null 2>&1; then
    echo "[fuzz] installing clang and libFuzzer" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
fi

mkdir -p "$build/corpus" "$build/artifacts"
target="$build/kx_shared_logic_fuzz"
sources=("$root/fuzz/KxSharedLogicFuzz.cpp" "$root/shared/KxMessageRing.cpp"
         "$root/shared/KxParticipantIdList.cpp")
rebuild=0
[ -x "$target" ] || rebuild=1
for file in "${sources[@]}" "$root/shared/KxMessageRing.h" "$root/shared/KxParticipantIdList.h" \
            "$root/shared/KxChannelLayout.h" "$root/shared/KxSharedWord.h" \
            "$root/kernel/KxKillPoint.h" "$root/kernel/KxObjectNames.h" \
            "$root/kernel/KxPlatformTypes.h"; do
    [ "$file" -nt "$target" ] && rebuild=1
done
if [ $rebuild -eq 1 ]; then
    echo "[fuzz] building $target" >&2
    # The shared logic needs no Windows header; the kernel folder only gives its Windows-free
    # headers (KxKillPoint.h, empty outside kill-point builds, the object names and neutral types).
    "$cxx" -std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=all -I"$root/shared" -I"$root/kernel" "${sources[@]}" -o "$target"
fi

echo "[fuzz] running for ${seconds}s (seed $seed)" >&2
# -timeout: a walk that does not end shows as a time-out crash. -use_value_profile guides the
# fuzzer through the comparisons of words read from the segment.
exec "$target" "$build/corpus" "$root/fuzz/corpus" \
    -max_total_time="$seconds" -seed="$seed" -timeout=5 -rss_limit_mb=2048 -max_len=4096 \
    -use_value_profile=1 -print_final_stats=1 -artifact_prefix="$build/artifacts/"
