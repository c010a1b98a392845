#!/bin/sh
# make e2e-fleet: crashes shipped to a real S3 store. Root only, not part of
# make check.
#
#   sh scripts/e2e-fleet.sh [build directory]
#
# It installs Debian's radosgw, ceph-mon and ceph-osd when missing, starts a
# one-node Ceph with its S3 gateway on 127.0.0.1 in a temporary directory
# (scripts/ceph-lib.sh), makes a user and a bucket, and runs kestreld with
# the example send command and kestrel-s3 against it:
#
# 1. Two programs crash; each crash's report, asset and compressed core
#    image arrive under fleet/<host>/<day>/<signature>/<name>.* byte for
#    byte (the core image once decompressed equals the kept one). The
#    larger core image goes up in parts.
# 2. With a wrong secret key every send is refused with the store's
#    SignatureDoesNotMatch; the crash is retried and ends in failed/sending.
# 3. With the gateway stopped the send fails and is retried; when the
#    gateway is back the crash is delivered.
#
# Every daemon it starts is stopped by its PID and its directory removed on
# every way out; the kernel's core pattern, when the crashes go through it,
# is restored. Everything runs under the lock that all changes to this
# machine take, /tmp/kestrel-global.lock.
set -eu

if [ "$(id -u)" != 0 ]; then
    echo "make e2e-fleet needs root: it installs packages and runs a Ceph cluster" >&2
    exit 1
fi
if [ "${KESTREL_GLOBAL_LOCK:-}" != held ]; then
    exec flock /tmp/kestrel-global.lock env KESTREL_GLOBAL_LOCK=held sh "$0" "$@"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
. "$root/scripts/crash-lib.sh"
. "$root/scripts/ceph-lib.sh"

missing=""
for p in radosgw ceph-mon ceph-osd zstd gdb; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "== installing:$missing"
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing >/dev/null
fi

pattern=/proc/sys/kernel/core_pattern
original=$(cat "$pattern")
# kestreld sets a core pipe limit where there is none: put back as found.
pipe_limit=/proc/sys/kernel/core_pipe_limit
original_limit=$(cat "$pipe_limit")
work=$(mktemp -d /tmp/kestrel-fleet.XXXXXX)
daemon=""

cleanup() {
    status=$?
    crash_cleanup_begin
    ceph_stop
    if [ "$mode" = kernel ] && [ "$(cat "$pattern")" != "$original" ]; then
        printf '%s\n' "$original" >"$pattern"
    fi
    if [ "$(cat "$pipe_limit")" != "$original_limit" ]; then
        printf '%s\n' "$original_limit" >"$pipe_limit"
    fi
    rm -rf "$work"
    [ "$mode" = kernel ] && echo "core pattern restored: $(cat "$pattern"); core pipe limit: $(cat "$pipe_limit")"
    exit "$status"
}
mode=gdb
crash_on_exit cleanup
# Through the kernel where the pattern can be written (not in every container).
if printf '%s\n' "$original" >"$pattern" 2>/dev/null; then
    mode=kernel
fi

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -e "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

echo "== a one-node Ceph on 127.0.0.1 (crashes through the $mode)"
started=$(date +%s)
ceph_start "$work/ceph" || fail "Ceph did not start (logs in $work/ceph/log)"
echo "ok: Ceph with its S3 gateway at $ceph_endpoint after $(($(date +%s) - started)) s"
user=kstest-fleet-$$
access=KSFLEET$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n' | tr a-f A-F)
secret=$(head -c 30 /dev/urandom | base64 | tr -d '/+=\n')
bucket=crashes
ceph_user "$user" "$access" "$secret" || fail "radosgw-admin user create"
ceph_s3 -f -X PUT "$ceph_endpoint/$bucket" >/dev/null || fail "cannot create the bucket"
# The expiry rule the README gives, set with curl as it says.
cat >"$work/lifecycle.xml" <<'XML'
<LifecycleConfiguration>
  <Rule>
    <ID>crashes</ID>
    <Filter><Prefix>fleet/</Prefix></Filter>
    <Status>Enabled</Status>
    <Expiration><Days>30</Days></Expiration>
    <AbortIncompleteMultipartUpload><DaysAfterInitiation>1</DaysAfterInitiation></AbortIncompleteMultipartUpload>
  </Rule>
</LifecycleConfiguration>
XML
md5=$(python3 -c 'import base64, hashlib, sys; print(base64.b64encode(hashlib.md5(sys.stdin.buffer.read()).digest()).decode())' \
    <"$work/lifecycle.xml")
curl -sS -f --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" \
    -H "x-amz-content-sha256: $(sha256sum <"$work/lifecycle.xml" | cut -d' ' -f1)" -H "Content-MD5: $md5" \
    -T "$work/lifecycle.xml" "$ceph_endpoint/$bucket?lifecycle=" >"$work/lifecycle.out" 2>&1 ||
    fail "cannot set the lifecycle rule: $(cat "$work/lifecycle.out")"
ceph_s3 -f "$ceph_endpoint/$bucket?lifecycle=" | grep -q '<Days>30</Days>' || fail "the lifecycle rule did not stay"
echo "ok: bucket $bucket with a 30-day expiry rule"

crash_setup "$([ "$mode" = kernel ] && echo false || echo true)"
# The second program: a larger core image that does not compress.
cat >"$work/bulky.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
int main(void)
{
    size_t n = 12u << 20;
    unsigned char *p = malloc(n);
    FILE *f = fopen("/dev/urandom", "rb");
    if (p == NULL || f == NULL || fread(p, 1, n, f) != n)
        return 1;
    abort();
}
C
cc -O0 -o "$work/bin/bulky" "$work/bulky.c"

s3conf() {
    install -m 600 /dev/null "$work/$1"
    cat >"$work/$1" <<EOF
endpoint = $ceph_endpoint
region = us-east-1
access.key = $access
secret.key = $2
upload.asset = yes
upload.core = yes
part.size = 5M
timeout = 30s
connect.timeout = 2s
retry.limit = 1
EOF
}
s3conf s3.conf "$secret"
s3conf s3-wrong.conf "not-$secret"

# One daemon per phase, each on its own tree; the archiver reads the same
# configuration file, so the core pattern stays the same throughout.
start_phase() {
    phase=$1
    cat >"$conf" <<CONF
[archive]
dump.root = $work/$phase
archive.command = $work/bin/archive -c $conf -p%p -P%P -l%c
archive.disabled = $([ "$mode" = kernel ] && echo false || echo true)

[daemon]
defaults.command = $root/examples/defaults %e
snapshot.command = $root/examples/snapshot %e %c %S
snapshot.concurrency = 1
snapshot.retry.interval = 2s
snapshot.commit = archive
send.command = $root/examples/send %S %B s3://$bucket/fleet -C $work/$2
send.concurrency = 1
send.retry.interval = 2s
send.retry.limit = $3
send.retry.action = archive
send.commit = archive
send.output = append $work/$phase-send.log
CONF
    # With no syslog daemon here, the tests' stand-in (when built) puts the
    # daemon's messages into its log file.
    shim=$build/tests/libks_syslog_shim.so
    [ -e "$shim" ] || shim=""
    LD_PRELOAD=$shim KESTREL_S3=$build/kestrel-s3 "$build/kestreld" -f -c "$conf" >"$work/$phase-kestreld.log" 2>&1 &
    daemon=$!
    # Registered (the pattern stays the same from phase to phase) and past
    # making its tree.
    tries=100
    until [ -d "$work/$phase/failed/sending" ] &&
        { [ "$mode" = gdb ] || [ "$(cat "$pattern")" = "|$work/bin/archive -c $conf -p%p -P%P -l%c" ]; }; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] && kill -0 "$daemon" 2>/dev/null || fail "kestreld did not start"
        sleep 0.1
    done
}

stop_phase() {
    kill "$daemon"
    wait "$daemon" 2>/dev/null || true
    daemon=""
}

crash() {
    if [ "$mode" = kernel ]; then crash_by_kernel "$work/bin/$1"; else crash_by_gdb "$work/bin/$1"; fi
}

# Waits up to $2 seconds for $1 files matching a glob ($3).
wait_files() {
    tries=$(($2 * 5))
    while [ "$(ls $3 2>/dev/null | wc -l)" -lt "$1" ]; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
    done
}

keys() {
    ceph_s3 -f "$ceph_endpoint/$bucket?list-type=2&prefix=fleet%2F" | grep -o '<Key>[^<]*</Key>' |
        sed 's/<Key>\(.*\)<\/Key>/\1/'
}

# The three objects of a committed crash of tree $1, named $2, byte for byte.
check_crash() {
    tree=$work/$1 name=$2
    signature=$(tar -xOf "$tree/assets/$name" kestrel/facts 2>/dev/null | sed -n 's/^signature=//p')
    key=fleet/$(hostname)/$(date -u -r "$tree/assets/$name" +%F)/${signature:-unknown}/$name
    keys | grep -qx "$key.txt" || fail "no object $key.txt in: $(keys | tr '\n' ' ')"
    ceph_s3 -f -o "$work/got.txt" "$ceph_endpoint/$bucket/$key.txt" || fail "GET $key.txt"
    cmp -s "$work/got.txt" "$tree/committed/snapshot/$name" || fail "$key.txt differs from the snapshot"
    ceph_s3 -f -o "$work/got.asset" "$ceph_endpoint/$bucket/$key.asset" || fail "GET $key.asset"
    cmp -s "$work/got.asset" "$tree/assets/$name" || fail "$key.asset differs from the asset"
    ceph_s3 -f -o "$work/got.core.zst" "$ceph_endpoint/$bucket/$key.core.zst" || fail "GET $key.core.zst"
    zstd -q -dc "$work/got.core.zst" >"$work/got.core" || fail "$key.core.zst does not decompress"
    kept=$tree/committed/coredump/$name
    if [ -e "$kept.zst" ]; then
        zstd -q -dc "$kept.zst" | cmp -s - "$work/got.core" || fail "$key.core.zst differs from the kept core"
    else
        cmp -s "$kept" "$work/got.core" || fail "$key.core.zst differs from the kept core image"
    fi
    echo "ok: $key.{txt,asset,core.zst} ($(stat -c %s "$work/got.core") bytes of core image in $(stat -c %s "$work/got.core.zst"))"
}

echo "== two crashes shipped to the bucket"
start_phase fleet s3.conf 5
crash crash
crash bulky
wait_files 2 120 "$work/fleet/committed/snapshot/*" ||
    { crash_list >&2 || true; fail "the two crashes were not delivered"; }
stop_phase
for name in $(ls "$work/fleet/committed/snapshot"); do
    check_crash fleet "$name"
done
[ "$(keys | wc -l)" = 6 ] || fail "the bucket should hold 6 objects: $(keys | tr '\n' ' ')"
grep -Eq '[0-9]+ parts\)' "$work/fleet-send.log" || fail "the larger core image did not go up in parts"
# As an engineer would on a workstation: the crash fetched from the bucket,
# opened without any archive tree.
name=$(grep -l kestrel_demo_fault "$work/fleet/committed/snapshot/"* | head -n 1 | xargs basename)
check_crash fleet "$name" >/dev/null
"$build/kestrel" debug --core "$work/got.core.zst" --asset "$work/got.asset" -- -batch -ex bt \
    >"$work/debug.out" 2>&1 || fail "kestrel debug --core on the fetched crash: $(cat "$work/debug.out")"
grep -q kestrel_demo_fault "$work/debug.out" || fail "no kestrel_demo_fault in the fetched crash's backtrace"
echo "ok: kestrel debug --core opens the crash fetched from the bucket"

echo "== a wrong secret key"
start_phase refused s3-wrong.conf 2
crash crash
wait_files 1 120 "$work/refused/failed/sending/*" || { crash_list >&2 || true; fail "the crash was not given up"; }
stop_phase
grep -q 'HTTP 403 SignatureDoesNotMatch' "$work/refused-send.log" ||
    fail "no SignatureDoesNotMatch in the send output"
[ "$(grep -c 'SignatureDoesNotMatch' "$work/refused-send.log")" -ge 2 ] || fail "the refused send was not retried"
[ "$(keys | wc -l)" = 6 ] || fail "a refused send stored something: $(keys | tr '\n' ' ')"
echo "ok: refused with SignatureDoesNotMatch, retried, given up into failed/sending"

echo "== the gateway stopped while a crash is sent"
ceph_gateway_stop
start_phase outage s3.conf 60
crash crash
tries=300
until grep -q "Couldn't connect to server" "$work/outage-send.log" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || fail "no failed send while the gateway was down"
    sleep 0.2
done
[ -z "$(ls "$work/outage/committed/snapshot" 2>/dev/null)" ] || fail "delivered with the gateway down"
ceph_gateway_start || fail "the gateway did not come back"
wait_files 1 120 "$work/outage/committed/snapshot/*" || { crash_list >&2 || true; fail "not delivered after the outage"; }
stop_phase
check_crash outage "$(ls "$work/outage/committed/snapshot")"
echo "ok: delivered once the gateway was back"
echo "ok: make e2e-fleet passed in $(($(date +%s) - started)) s"
