#!/bin/sh
# kestrel-s3 storing a 1 GiB core image (half of its pages zero, in runs,
# the other half random, as in archive_bench.sh) against the shell pipeline
# `zstd -T0 -3 -c core | curl -T -` on the same file in the same run. Both
# send to the same sink on 127.0.0.1 that reads and drops what it gets (a
# real store would only add its own time to both). Not run by ctest.
#
#   sh bench/s3_bench.sh [build directory, or path/to/kestrel-s3]
#
# Each figure is the best of three interleaved runs: wall-clock time, and
# the peak resident memory of the processes (for the pipeline, zstd's and
# curl's added up, as both run at once). The image is in the page cache.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
send=${1:-$here/../build}
[ -d "$send" ] && send=$send/kestrel-s3
[ -x "$send" ] || { echo "no kestrel-s3 at $send" >&2; exit 1; }
for tool in zstd curl /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "s3_bench needs $tool" >&2; exit 1; }
done
python=${PYTHON:-python3}
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-s3-bench-XXXXXX")
sink=""
trap '[ -n "$sink" ] && kill "$sink" 2>/dev/null; rm -rf "$work"' EXIT INT TERM

mkdir -p "$work/root/sending" "$work/root/pending" "$work/root/assets"
name=bench-crash
image=$work/root/pending/$name
echo "a report" >"$work/root/sending/$name"
"$python" "$here/core_image.py" "$image"
cat "$image" >/dev/null

# The sink: HTTP/1.1 with keep-alive, bodies by length or chunked, the
# answers of a store to a PUT and to the three steps of a multipart upload.
# It writes the bytes of the last body it read, and of all bodies so far,
# into the file named last.
"$python" - "$work/port" "$work/last" <<'PY' &
import os, socket, sys, threading

class Connection:
    # Bytes come in by the MiB; the body's bytes are counted and dropped.
    def __init__(self, sock):
        self.sock, self.pending, self.pos = sock, bytearray(), 0
        self.buf = bytearray(1 << 20)
        self.view = memoryview(self.buf)

    def fill(self):
        n = self.sock.recv_into(self.buf)
        if n == 0:
            raise EOFError
        if self.pos == len(self.pending):
            self.pending, self.pos = bytearray(), 0
        self.pending += self.view[:n]

    def line(self):
        while True:
            i = self.pending.find(b"\n", self.pos)
            if i >= 0:
                text = bytes(self.pending[self.pos:i + 1])
                self.pos = i + 1
                return text
            self.fill()

    def skip(self, n):
        take = min(n, len(self.pending) - self.pos)
        self.pos += take
        n -= take
        while n > 0:
            got = self.sock.recv_into(self.view, min(n, len(self.buf)))
            if got == 0:
                raise EOFError
            n -= got

    def body(self, headers):
        if headers.get("transfer-encoding") == "chunked":
            total = 0
            while True:
                size = int(self.line().split(b";")[0], 16)
                self.skip(size)
                self.line()
                total += size
                if size == 0:
                    return total
        n = int(headers.get("content-length", "0"))
        self.skip(n)
        return n

    def serve(self):
        try:
            while True:
                method, target = self.line().split()[:2]
                headers = {}
                while True:
                    h = self.line()
                    if h in (b"\r\n", b"\n"):
                        break
                    k, v = h.decode().split(":", 1)
                    headers[k.strip().lower()] = v.strip()
                n = self.body(headers)
                received[0] += n
                with open(sys.argv[2], "w") as f:
                    f.write("%d %d" % (n, received[0]))
                text = b""
                if method == b"POST" and b"uploads" in target:
                    text = b"<InitiateMultipartUploadResult><UploadId>bench</UploadId></InitiateMultipartUploadResult>"
                elif method == b"POST":
                    text = b"<CompleteMultipartUploadResult></CompleteMultipartUploadResult>"
                self.sock.sendall(b"HTTP/1.1 200 OK\r\nETag: \"e\"\r\nContent-Length: %d\r\n\r\n%s" % (len(text), text))
        except (EOFError, ConnectionError, ValueError):
            pass
        self.sock.close()

received = [0]  # bytes of every body so far
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    sock, _ = listener.accept()
    threading.Thread(target=Connection(sock).serve, daemon=True).start()
PY
sink=$!
tries=100
until [ -s "$work/port" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "the sink did not start" >&2; exit 1; }
    sleep 0.1
done
port=$(cat "$work/port")

printf 'endpoint = http://127.0.0.1:%s\naccess.key = bench\nsecret.key = bench\nupload.core = yes\ntimeout = 10m\n' \
    "$port" >"$work/s3.conf"
chmod 600 "$work/s3.conf"

# "wall peak_kib" of one run; the peaks come from GNU time, one file per process.
run_pipeline() {
    start=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/zstd.mem" zstd -q -T0 -3 -c "$image" |
        /usr/bin/time -f %M -o "$work/curl.mem" curl -sS -f -T - -o /dev/null "http://127.0.0.1:$port/bucket/pipeline.zst"
    end=$(date +%s.%N)
    echo "$(awk "BEGIN { print $end - $start }") $(($(cat "$work/zstd.mem") + $(cat "$work/curl.mem")))"
}

# Compression alone, for scale.
run_zstd() {
    start=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/zstd.mem" zstd -q -T0 -3 -c "$image" >/dev/null
    end=$(date +%s.%N)
    echo "$(awk "BEGIN { print $end - $start }") $(cat "$work/zstd.mem")"
}

run_send() {
    start=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/send.mem" "$send" -C "$work/s3.conf" ${1:+-c "$1"} "$work/root/sending/$name" \
        "$name" s3://bucket/fleet >"$work/send.out"
    end=$(date +%s.%N)
    echo "$(awk "BEGIN { print $end - $start }") $(cat "$work/send.mem")"
}

pipeline_runs="" send_runs="" zstd_runs=""
for round in 1 2 3; do
    zstd_runs="$zstd_runs $(run_zstd | tr ' ' :)"
    pipeline_runs="$pipeline_runs $(run_pipeline | tr ' ' :)"
    pipeline_bytes=$(cut -d' ' -f1 "$work/last")
    before=$(cut -d' ' -f2 "$work/last")
    send_runs="$send_runs $(run_send | tr ' ' :)"
    # What the sink received: the parts, the report and the completion.
    received=$(($(cut -d' ' -f2 "$work/last") - before))
done
send_bytes=$(sed -n 's/.*core\.zst (\([0-9]*\) bytes from \([0-9]*\), \([0-9]*\) parts.*/\1 \3/p' "$work/send.out")
report_bytes=$(stat -c %s "$work/root/sending/$name")
extra=$((received - $(echo "$send_bytes" | cut -d' ' -f1) - report_bytes))
[ "$extra" -ge 0 ] && [ "$extra" -lt 65536 ] ||
    { echo "the sink received $received bytes from kestrel-s3, not what it reports: $(cat "$work/send.out")" >&2; exit 1; }

best() { field=$1; shift; printf '%s\n' "$@" | cut -d: -f"$field" | sort -n | head -n 1; }

# Memory does not grow with the image: the same send of its first 128 MiB.
head -c $((128 << 20)) "$image" >"$work/small"
small_mem=$(run_send "$work/small" | cut -d' ' -f2)

"$python" - "$(best 1 $pipeline_runs)" "$(best 2 $pipeline_runs)" "$(best 1 $send_runs)" "$(best 2 $send_runs)" \
    "$pipeline_bytes" $send_bytes "$(best 1 $zstd_runs)" "$(best 2 $zstd_runs)" "$small_mem" <<'PY'
import sys
p_wall, p_mem, s_wall, s_mem = float(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
p_bytes, s_bytes, parts = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
z_wall, z_mem, small_mem = float(sys.argv[8]), int(sys.argv[9]), int(sys.argv[10])
size = 1 << 30
print("%-34s %10s %14s %16s" % ("", "wall s", "peak MiB", "stored MiB"))
print("%-34s %10.3f %14.1f %16s" % ("zstd -T0 -3 -c > /dev/null", z_wall, z_mem / 1024, "-"))
print("%-34s %10.3f %14.1f %16.1f" % ("zstd -T0 -3 -c | curl -T -", p_wall, p_mem / 1024, p_bytes / 2**20))
print("%-34s %10.3f %14.1f %16.1f" % ("kestrel-s3 (%d parts)" % parts, s_wall, s_mem / 1024, s_bytes / 2**20))
print("%-34s %10s %14.1f" % ("kestrel-s3, the first 128 MiB", "", small_mem / 1024))
print("wall-clock ratio kestrel-s3/pipeline: %.2f (aim: at most 1.1)" % (s_wall / p_wall))
print("compressed to %.1f%% of the image" % (100.0 * s_bytes / size))
PY
