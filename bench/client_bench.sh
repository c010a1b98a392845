#!/bin/sh
# Times `kestrel list` (and `list -j`, and `list -a` with a filter that drops
# every crash) on archive trees of 10,000 and 100,000 crashes against `find`
# over the same trees, which reads the same directories and examines every
# file. Not run by ctest.
#
#   bench/client_bench.sh [build directory, or path/to/kestrel]
#
# COUNTS (default "10000 100000") sets the tree sizes, RUNS the runs per
# figure (by default enough for half a million crashes, at least 5). The commands run in turn, so that a change in the load of
# the machine reaches all of them; each figure is the best run: wall-clock
# seconds and CPU seconds (user + system), the latter less disturbed by other
# load. The ratios divide the listing's figures by find's.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
kestrel=${1:-$here/../build}
[ -d "$kestrel" ] && kestrel=$kestrel/kestrel
python=${PYTHON:-python3}
counts=${COUNTS:-10000 100000}
work=$(mktemp -d /tmp/ks-client-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

[ -x "$kestrel" ] || { echo "no kestrel binary at $kestrel" >&2; exit 1; }

# Prints "wall cpu" for each command given (one shell word each), best of
# $runs runs taken in turn, output discarded.
best_of() {
    "$python" - "$runs" "$@" <<'PY'
import resource, subprocess, sys, time
runs, commands = int(sys.argv[1]), sys.argv[2:]
best = [[None, None] for _ in commands]
def used():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
for _ in range(runs):
    for i, command in enumerate(commands):
        before = used()
        start = time.monotonic()
        subprocess.run(command, shell=True, stdout=subprocess.DEVNULL, check=True)
        wall = time.monotonic() - start
        cpu = used() - before
        best[i] = [wall if best[i][0] is None else min(best[i][0], wall),
                   cpu if best[i][1] is None else min(best[i][1], cpu)]
print(" ".join("%.3f %.3f" % tuple(b) for b in best))
PY
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'
}

printf '%8s %9s %9s %9s %9s %9s %9s %9s %7s %7s %8s\n' crashes "list wall" "list cpu" "-j wall" "-j cpu" \
    "-a wall" "find wall" "find cpu" "wall x" "cpu x" "us/crash"
for count in $counts; do
    root=$work/$count/archive
    conf=$work/$count/kestrel.conf
    "$python" "$here/client_tree.py" "$root" "$count"
    printf '[archive]\ndump.root = %s\n[daemon]\nsnapshot.command = /bin/true %%c\nsend.command = /bin/true %%S\n' \
        "$root" >"$conf"

    lines=$("$kestrel" -c "$conf" list | wc -l)
    [ "$lines" -eq $((count + 2)) ] || { echo "list printed $lines lines for $count crashes" >&2; exit 1; }

    runs=${RUNS:-$(( count < 100000 ? 500000 / count : 5 ))}
    [ "$runs" -ge 5 ] || runs=5
    # A client from before list -j: its columns stay empty.
    json="'$kestrel' -c '$conf' list -j"
    "$kestrel" -c "$conf" list -j >/dev/null 2>&1 || json=true
    set -- $(best_of "'$kestrel' -c '$conf' list" "$json" \
        "'$kestrel' -c '$conf' list -a no-such-application" "find '$root' -type f -printf '%s %C@ %p\n'")
    per=$(echo "$1 $count" | awk '{ printf "%.1f", $1 * 1e6 / $2 }')
    [ "$json" != true ] || set -- "$1" "$2" - - "$5" "$6" "$7" "$8"
    printf '%8s %9s %9s %9s %9s %9s %9s %9s %7s %7s %8s\n' "$count" "$1" "$2" "$3" "$4" "$5" "$7" "$8" \
        "$(ratio "$1" "$7")" "$(ratio "$2" "$8")" "$per"
    rm -rf "$work/$count"
done
