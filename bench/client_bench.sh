#!/bin/sh
# Times `kestrel list` on archive trees of 10,000 and 100,000 crashes, and
# `find` over the same trees for scale. Not run by ctest.
#
#   bench/client_bench.sh [build directory, or path/to/kestrel]
#
# Each figure is the best of three warm runs: wall-clock seconds and CPU
# seconds (user + system), the latter being less disturbed by other load.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
kestrel=${1:-$here/../build}
[ -d "$kestrel" ] && kestrel=$kestrel/kestrel
python=${PYTHON:-python3}
work=$(mktemp -d /tmp/ks-client-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

[ -x "$kestrel" ] || { echo "no kestrel binary at $kestrel" >&2; exit 1; }

# Prints "wall cpu": the best of three runs of the command, output discarded.
best_of_three() {
    "$python" - "$@" <<'PY'
import os, subprocess, sys, time
best_wall = best_cpu = None
for _ in range(3):
    before = os.times()
    start = time.monotonic()
    subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
    wall = time.monotonic() - start
    after = os.times()
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    best_wall = wall if best_wall is None else min(best_wall, wall)
    best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
print("%.3f %.3f" % (best_wall, best_cpu))
PY
}

printf '%8s %10s %10s %10s %10s %10s\n' crashes "list wall" "list cpu" "find wall" "find cpu" "us/crash"
for count in 10000 100000; do
    root=$work/$count/archive
    conf=$work/$count/kestrel.conf
    "$python" "$here/client_tree.py" "$root" "$count"
    printf '[archive]\ndump.root = %s\n[daemon]\nsnapshot.command = /bin/true %%c\nsend.command = /bin/true %%S\n' \
        "$root" >"$conf"

    lines=$("$kestrel" -c "$conf" list | wc -l)
    [ "$lines" -eq $((count + 2)) ] || { echo "list printed $lines lines for $count crashes" >&2; exit 1; }

    set -- $(best_of_three "$kestrel" -c "$conf" list)
    list_wall=$1 list_cpu=$2
    set -- $(best_of_three find "$root" -type f -printf '%s %C@ %p\n')
    per=$(echo "$list_wall $count" | awk '{ printf "%.1f", $1 * 1e6 / $2 }')
    printf '%8s %10s %10s %10s %10s %10s\n' "$count" "$list_wall" "$list_cpu" "$1" "$2" "$per"
    rm -rf "$work/$count"
done
