#!/bin/sh
# The crash archiver against `cat > file` on the same 1 GiB core image: half
# of its pages are zero (in runs, as untouched memory is in a real core), the
# other half random. Both read the image from a pipe, as the archiver reads it
# from the kernel, with the image in the page cache. Not run by ctest.
#
#   sh bench/archive_bench.sh [build directory, or path/to/archive]
#
# Each figure is the best of five runs, wall-clock and CPU (user + system of
# the whole pipeline) apart, the latter being less disturbed by other load;
# the page cache is written back (sync, not timed) between runs so that one
# run's writeback does not slow the next. Disk use is the blocks the output
# file occupies.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
archive=${1:-$here/../build}
[ -d "$archive" ] && archive=$archive/archive
[ -x "$archive" ] || { echo "no archive binary at $archive" >&2; exit 1; }
python=${PYTHON:-python3}
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-archive-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

image=$work/image
"$python" "$here/core_image.py" "$image"

mkdir -p "$work/root"
conf=$work/kestrel.conf
printf '[archive]\ndump.root = %s\n[daemon]\nsnapshot.command = /bin/true %%c\nsend.command = /bin/true %%S\n' \
    "$work/root" >"$conf"
cat "$image" >/dev/null

# "wall cpu" seconds of one shell pipeline.
timed() {
    "$python" -c 'import os, subprocess, sys, time
before = os.times()
start = time.monotonic()
subprocess.run(sys.argv[1], shell=True, check=True)
wall = time.monotonic() - start
after = os.times()
cpu = after.children_user - before.children_user + after.children_system - before.children_system
print("%.3f:%.3f" % (wall, cpu))' "$1"
}

# The best of the runs, wall-clock (field 1) or CPU (field 2).
best() { field=$1; shift; printf '%s\n' "$@" | cut -d: -f"$field" | sort -n | head -n 1; }

cat_runs="" archive_runs=""
for run in 1 2 3 4 5; do
    rm -rf "$work/out" "$work/root"/*/*
    sync
    cat_runs="$cat_runs $(timed "cat '$image' | cat > '$work/out'")"
    rm -f "$work/out"
    sync
    archive_runs="$archive_runs $(timed "cat '$image' | '$archive' -c '$conf' -p$$ -P$$ -l18446744073709551615")"
done
cat "$image" | cat >"$work/out"

core=$(ls "$work/root/pending/"*)
cmp "$image" "$core" || { echo "the archived image differs from the input" >&2; exit 1; }
sync
cat_blocks=$(stat -c %b "$work/out")
archive_blocks=$(stat -c %b "$core")

"$python" - "$(best 1 $cat_runs)" "$(best 1 $archive_runs)" "$(best 2 $cat_runs)" "$(best 2 $archive_runs)" \
    "$cat_blocks" "$archive_blocks" <<'PY'
import sys
cat_s, arch_s, cat_cpu, arch_cpu = (float(a) for a in sys.argv[1:5])
cat_b, arch_b = int(sys.argv[5]), int(sys.argv[6])
size = 1 << 30
print("%-10s %10s %10s %12s %14s" % ("", "wall s", "cpu s", "MiB/s", "disk MiB"))
for name, wall, cpu, blocks in (("cat", cat_s, cat_cpu, cat_b), ("archive", arch_s, arch_cpu, arch_b)):
    print("%-10s %10.3f %10.3f %12.0f %14.1f" % (name, wall, cpu, size / wall / 2**20, blocks * 512 / 2**20))
print("throughput ratio archive/cat: %.2f wall-clock, %.2f by CPU time (aim: at least 0.9)"
      % (cat_s / arch_s, cat_cpu / arch_cpu))
print("disk blocks: cat %d, archive %d (512-byte blocks): %.0f%% of cat's" % (cat_b, arch_b, 100.0 * arch_b / cat_b))
PY
