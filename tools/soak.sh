#!/usr/bin/env bash
# Runs the random-kill soak under Wine (./kx soak sets up Wine and a persistent wineserver).
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
# Wine maps the Unix root to drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
exec "${WINE:-/usr/lib/wine/wine64}" "$build/bin/kxipc_soak.exe" "${args[@]}" \
    --out "$(winpath "$build/soak-$seed.json")" --logs "$(winpath "$logs")"
