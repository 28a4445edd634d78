#!/usr/bin/env bash
# Runs the random-kill soak under Wine (./kx soak sets up Wine and a persistent wineserver), or
# natively when the build tree is a native one (./kx soak --native).
# Usage: tools/soak.sh <build dir> [--seconds N] [--seed S] [--processes P] [--participants K]
#                     [--post-burst N]
# Writes the workers' logs under <build dir>/soak-logs/<seed> and the figures to
# <build dir>/soak-<seed>.json; exits 0 when every check passed.
set -euo pipefail

[ $# -ge 1 ] || {
    echo "usage: $0 <build dir> [--seconds N] [--seed S] [--processes P] [--participants K]" \
        "[--post-burst N]" >&2
    exit 2
}
build=$(cd "$1" && pwd)
shift
seed=1
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --seed) seed=$2; shift 2 ;;
        --seconds|--processes|--participants|--post-burst) shift 2 ;;
        *) echo "soak.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

logs="$build/soak-logs/$seed"
rm -rf "$logs"
mkdir -p "$logs"
if [ -x "$build/bin/kxipc_soak" ]; then
    # Native: the soak's objects live in /dev/shm, and none may outlive the soak. Objects that
    # only killed processes held go when the next participant joins, which the check makes first.
    "$build/bin/kxipc_soak" "${args[@]}" --out "$build/soak-$seed.json" --logs "$logs"
    "$build/bin/kxipc" join "kxsoak-check-$$" </dev/null >/dev/null
    left=$(find /dev/shm -maxdepth 1 -name 'kxipc.*' -newer "$logs" | wc -l)
    if [ "$left" != 0 ]; then
        echo "soak: $left objects of the soak left in /dev/shm:" >&2
        find /dev/shm -maxdepth 1 -name 'kxipc.*' -newer "$logs" >&2
        exit 1
    fi
    echo "no object of the soak left in /dev/shm"
    exit 0
fi
# Wine maps the Unix root to drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
exec "${WINE:-/usr/lib/wine/wine64}" "$build/bin/kxipc_soak.exe" "${args[@]}" \
    --out "$(winpath "$build/soak-$seed.json")" --logs "$(winpath "$logs")"
