#!/bin/sh
# What the crash's notes, the ledger and storm control cost the archiver,
# and what they save. Not run by ctest.
#
#   sh bench/storm_bench.sh [build directory, or path/to/archive] [an older archive to compare]
#
# 1. Ingest: a 1 GiB core image (ELF header, notes naming a signal, a
#    thread and two mapped files, then memory of which half the pages are
#    zero) through the archiver with the ledger on, and through the older
#    archiver when one is given: wall-clock and CPU, best of three, and the
#    hold time (from the first byte written until the archiver has taken
#    the last one, when the kernel would let the crashed process go).
# 2. Release: the same image to an archiver over its storm limit: the
#    writer is let go after the notes; the ratio of the two hold times.
# 3. A storm of 1,000 crashes of one signature (small images, 16 archivers
#    at a time) with storm control at 5 per signature, against 1,000 stored
#    crashes: ledger rows per second and the archivers' total CPU.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
archive=${1:-$here/../build}
[ -d "$archive" ] && archive=$archive/archive
[ -x "$archive" ] || { echo "no archive binary at $archive" >&2; exit 1; }
older=${2:-}
python=${PYTHON:-python3}
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-storm-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

"$python" - "$archive" "$work" "$older" "$here" <<'PY'
import os, shutil, sqlite3, subprocess, sys, time

archive, work, older, here = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
sys.path.insert(0, here)
from core_image import PAGE as page, header, notes, write as big_image

def configure(name, lines=""):
    root = os.path.join(work, name)
    shutil.rmtree(root, ignore_errors=True)
    conf = root + ".conf"
    with open(conf, "w") as f:
        f.write("[archive]\ndump.root = %s\ndump.quota = 0%%\n%s[daemon]\n"
                "snapshot.command = /bin/true %%c\nsend.command = /bin/true %%S\n" % (root, lines))
    return root, conf

def command(binary, conf):
    # A live process that is not dumping: its metadata is skipped, as a
    # stand-in's should be; the timing is the image's.
    return [binary, "-c", conf, "-p%d" % os.getpid(), "-P%d" % os.getpid(), "-l18446744073709551615"]

def feed(argv, path):
    """Writes the image into the archiver's pipe: (wall, cpu, hold)."""
    before = os.times()
    start = time.monotonic()
    child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    hold = None
    with open(path, "rb") as f:
        try:
            while True:
                chunk = f.read(1 << 20)
                if not chunk:
                    break
                child.stdin.write(chunk)
            child.stdin.close()
        except BrokenPipeError:
            pass
    hold = time.monotonic() - start
    child.wait()
    wall = time.monotonic() - start
    after = os.times()
    return wall, after.children_user - before.children_user + after.children_system - before.children_system, hold

def best(runs):
    return tuple(min(r[i] for r in runs) for i in range(3))

image = os.path.join(work, "image")
big_image(image, core=True)
with open(image, "rb") as f:
    while f.read(1 << 24):
        pass

print("1. ingest of a 1 GiB core image (best of 3)")
print("%-22s %8s %8s %8s" % ("", "wall s", "cpu s", "hold s"))
rows = {}
for name, binary in (("archive", archive), ("older archive", older)):
    if not binary:
        continue
    runs = []
    for _ in range(3):
        root, conf = configure("ingest")
        subprocess.run(["sync"])
        runs.append(feed(command(binary, conf), image))
    rows[name] = best(runs)
    print("%-22s %8.3f %8.3f %8.3f" % ((name,) + rows[name]))
if "older archive" in rows:
    a, o = rows["archive"], rows["older archive"]
    print("archive / older: %.3f wall, %.3f cpu, %.3f hold (aims: cpu at most 1.05, hold at most 1.1)"
          % (a[0] / o[0], a[1] / o[1], a[2] / o[2]))

print("\n2. release of the crashed process over a storm limit")
root, conf = configure("release", "dump.storm.window = 1h\ndump.storm.user = 1\n")
feed(command(archive, conf), image)
limited = best([feed(command(archive, conf), image) for _ in range(3)])
stored = rows["archive"]
print("hold: stored %.3f s, over the limit %.4f s: %.0fx sooner (aim: at least 20x)"
      % (stored[2], limited[2], stored[2] / limited[2]))

print("\n3. 1,000 crashes of one signature, 16 archivers at a time")
small = os.path.join(work, "small")
with open(small, "wb") as f:
    f.write(header(notes(0x500123), 64 * page) + os.urandom(32 * page) + bytes(32 * page))

def storm(lines):
    root, conf = configure("storm", lines)
    argv = command(archive, conf)
    before = os.times()
    start = time.monotonic()
    running = []
    for _ in range(1000):
        if len(running) == 16:
            running.pop(0).wait()
        with open(small, "rb") as f:
            running.append(subprocess.Popen(argv, stdin=f, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    for p in running:
        p.wait()
    wall = time.monotonic() - start
    after = os.times()
    cpu = after.children_user - before.children_user + after.children_system - before.children_system
    db = sqlite3.connect("file:%s/ledger.db?mode=ro" % root, uri=True)
    outcomes = dict(db.execute("SELECT outcome, count(*) FROM crashes GROUP BY outcome"))
    stored = len(os.listdir(os.path.join(root, "pending")))
    return wall, cpu, outcomes, stored

for name, lines in (("storm control at 5", "dump.storm.window = 1h\ndump.storm.signature = 5\n"),
                    ("all stored", "")):
    wall, cpu, outcomes, stored = storm(lines)
    rows_total = sum(outcomes.values())
    print("%-20s %6.2f s wall, %6.2f s cpu (%.2f ms a crash), %d rows (%.0f rows/s), %d cores stored, %s"
          % (name, wall, cpu, cpu, rows_total, rows_total / wall, stored, outcomes))
PY
