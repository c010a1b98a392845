#!/bin/sh
# What `kestrel compress` (the daemon's snapshot.compress = zstd) keeps on
# disk, against `zstd -3` on the same image, and that no image ever takes
# more blocks compressed than it took as the sparse file the archiver wrote.
# Not run by ctest.
#
#   bench/compress_bench.sh [build directory, or path/to/kestrel]
#
# Images:
#   small   a real core image of a small program, from gdb's
#           generate-core-file, stored sparse; also zstd at other levels
#   half    1 GiB, every other MiB a hole, the rest the system's own
#           libraries and programs (SIZE_MIB changes the size)
#   noise   256 MiB of random bytes, which must stay plain
# Figures: bytes on disk (st_blocks * 512) before and after, the ratio to
# zstd -3's output on disk, wall seconds and peak memory of the compression.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
kestrel=${1:-$here/../build}
[ -d "$kestrel" ] && kestrel=$kestrel/kestrel
size_mib=${SIZE_MIB:-1024}
work=$(mktemp -d /tmp/ks-compress-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

[ -x "$kestrel" ] || { echo "no kestrel binary at $kestrel" >&2; exit 1; }
for tool in gdb zstd cc python3; do
    command -v $tool >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

root=$work/archive
kept=$root/committed/coredump
mkdir -p "$kept" "$root/committed/snapshot"
printf '[archive]\ndump.root = %s\n[daemon]\nsnapshot.command = /bin/true %%c\nsend.command = /bin/true %%S\n' \
    "$root" >"$work/kestrel.conf"

disk() { echo $(( $(stat -c %b "$1") * 512 )); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# The small crash: a program stopped in main, its core written by gdb.
cat >"$work/tiny.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
    char *p = malloc(4096);
    snprintf(p, 4096, "%d %s", argc, argv[0]);
    puts(p);
    abort();
}
C
cc -g -O0 -o "$work/tiny" "$work/tiny.c"
gdb -batch -ex 'break main' -ex run -ex "generate-core-file $work/tiny.core" "$work/tiny" >/dev/null 2>&1
[ -s "$work/tiny.core" ] || { echo "gdb wrote no core image" >&2; exit 1; }

# The half-zero image: pieces of the system's own files, and holes.
python3 - "$work/half" "$size_mib" <<'PY'
import os, sys
path, mib = sys.argv[1], int(sys.argv[2])
sources = []
for d in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib"):
    if os.path.isdir(d):
        sources += [os.path.join(d, n) for n in sorted(os.listdir(d))]
def chunks():
    while True:
        for s in sources:
            try:
                if os.path.isfile(s) and not os.path.islink(s):
                    with open(s, "rb") as f:
                        while True:
                            b = f.read(1 << 20)
                            if not b:
                                break
                            yield b
            except OSError:
                pass
fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
it, buf = chunks(), b""
for m in range(0, mib, 2):
    while len(buf) < (1 << 20):
        buf += next(it)
    os.pwrite(fd, buf[:1 << 20], m << 20)
    buf = buf[1 << 20:]
os.ftruncate(fd, mib << 20)
os.close(fd)
PY
head -c $((256 << 20)) /dev/urandom >"$work/noise"

printf '%-6s %12s %12s %12s %7s %8s %8s %9s %s\n' image size "plain disk" "kept disk" "blocks" "seconds" "MiB max" "x zstd-3" "zstd -3 disk, seconds"
fail=0
for image in tiny.core half noise; do
    name=${image%.core}
    [ "$name" = tiny ] && name=small
    cp --sparse=always "$work/$image" "$kept/$name"
    before=$(disk "$kept/$name")
    size=$(stat -c %s "$kept/$name")
    /usr/bin/time -f '%e %M' -o "$work/time" "$kestrel" -c "$work/kestrel.conf" compress "$name" >"$work/out"
    read -r seconds kib <"$work/time"
    after=$(disk "$kept/$name")
    start=$(date +%s.%N)
    zstd -3 -q -f -o "$work/$name.zst" "$work/$image"
    zstd_seconds=$(echo "$start $(date +%s.%N)" | awk '{ printf "%.2f", $2 - $1 }')
    zstd_disk=$(disk "$work/$name.zst")
    verdict=ok
    [ "$after" -le "$before" ] || { verdict=MORE; fail=1; }
    printf '%-6s %12s %12s %12s %7s %8s %8s %9s %s\n' "$name" "$size" "$before" "$after" "$verdict" "$seconds" \
        $((kib / 1024)) "$(ratio "$after" "$zstd_disk")" "$zstd_disk, $zstd_seconds"
    # The kept image is the same image.
    if head -c 4 "$kept/$name" | od -An -tx1 | grep -q '28 b5 2f fd'; then
        zstd -q -dc "$kept/$name" | cmp -s - "$work/$image" || { echo "$name: not the same image" >&2; fail=1; }
    else
        cmp -s "$kept/$name" "$work/$image" || { echo "$name: changed, yet plain" >&2; fail=1; }
    fi
    sed 's/^/    /' "$work/out"
    rm -f "$work/$name.zst"
done

echo
echo "the small image with zstd's other levels (bytes on disk, seconds for 20 runs):"
for level in 1 3 6 9 19; do
    start=$(date +%s.%N)
    i=0
    while [ $i -lt 20 ]; do
        zstd -$level -q -f -o "$work/small.zst" "$work/tiny.core"
        i=$((i + 1))
    done
    printf '    -%-3s %9s %6s\n' "$level" "$(disk "$work/small.zst")" \
        "$(echo "$start $(date +%s.%N)" | awk '{ printf "%.2f", $2 - $1 }')"
done
exit $fail
