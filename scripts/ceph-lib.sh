# A one-node Ceph with an S3 gateway, for make e2e-fleet (sourced). Root
# only. One monitor, one storage daemon keeping its data in memory, pool
# size 1, no manager; everything listens on 127.0.0.1 only, and every file
# it writes (data, logs, sockets, pid files) stays below one directory. The
# daemons run in the foreground as our children, so that ceph_stop can end
# each one by its own PID; the caller's exit handler must call ceph_stop.
#
#   ceph_start <directory>     starts it all; sets ceph_endpoint
#   ceph_user <uid> <access key> <secret key>
#   ceph_s3 <curl arguments>   curl signed with the key ceph_user made
#   ceph_gateway_stop, ceph_gateway_start
#   ceph_stop                  ends every daemon started, newest first

ceph_dir=""
ceph_mon_pid="" ceph_osd_pid="" ceph_rgw_pid=""
ceph_endpoint="" ceph_access="" ceph_secret=""

ceph_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

ceph_cli() {
    timeout 60 ceph -c "$ceph_dir/ceph.conf" --connect-timeout 20 "$@"
}

# Waits up to $1 seconds for the command in the other arguments to succeed.
ceph_wait() {
    ceph_tries=$(($1 * 4))
    shift
    until "$@" >/dev/null 2>&1; do
        ceph_tries=$((ceph_tries - 1))
        [ "$ceph_tries" -gt 0 ] || return 1
        sleep 0.25
    done
}

# Stops one daemon by PID: SIGTERM, then SIGKILL after 10 seconds.
ceph_end() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || return 0
    ceph_tries=40
    while kill -0 "$1" 2>/dev/null && [ "$ceph_tries" -gt 0 ]; do
        sleep 0.25
        ceph_tries=$((ceph_tries - 1))
    done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

ceph_start() {
    ceph_dir=$1
    mkdir -p "$ceph_dir/run" "$ceph_dir/log" "$ceph_dir/mon" "$ceph_dir/osd" "$ceph_dir/crash" "$ceph_dir/rgw"
    mon_port=$(ceph_free_port)
    rgw_port=$(ceph_free_port)
    fsid=$(cat /proc/sys/kernel/random/uuid)
    # Authentication is off between the daemons (nothing but 127.0.0.1 can
    # reach them); the S3 gateway still checks every request's signature.
    # A client's monitor connection must then allow "crc" mode.
    cat >"$ceph_dir/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
public addr = 127.0.0.1
cluster addr = 127.0.0.1
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon warn on pool no redundancy = false
mon cluster log to file = false
log file = $ceph_dir/log/\$name.log
admin socket = $ceph_dir/run/\$name.asok
pid file = $ceph_dir/run/\$name.pid
run dir = $ceph_dir/run
crash dir = $ceph_dir/crash
exporter sock dir = $ceph_dir/run
keyring = $ceph_dir/keyring
mon data = $ceph_dir/mon/\$name
osd data = $ceph_dir/osd/\$name
osd objectstore = memstore
memstore device bytes = 1073741824

[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $ceph_dir/rgw
EOF
    monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$ceph_dir/monmap" >/dev/null ||
        return 1
    ceph-mon -c "$ceph_dir/ceph.conf" --mkfs -i a --monmap "$ceph_dir/monmap" >"$ceph_dir/log/mkfs.out" 2>&1 ||
        return 1
    ceph-mon -f -c "$ceph_dir/ceph.conf" -i a >"$ceph_dir/log/mon.out" 2>&1 &
    ceph_mon_pid=$!
    ceph_wait 60 ceph_cli mon stat || { echo "ceph: the monitor did not start" >&2; return 1; }

    osd=$(ceph_cli osd create) || return 1
    mkdir -p "$ceph_dir/osd/osd.$osd"
    ceph-osd -c "$ceph_dir/ceph.conf" -i "$osd" --mkfs >"$ceph_dir/log/osd-mkfs.out" 2>&1 || return 1
    ceph-osd -f -c "$ceph_dir/ceph.conf" -i "$osd" >"$ceph_dir/log/osd.out" 2>&1 &
    ceph_osd_pid=$!
    ceph_wait 60 sh -c "ceph -c '$ceph_dir/ceph.conf' --connect-timeout 10 osd stat | grep -q '1 up'" ||
        { echo "ceph: the storage daemon did not come up" >&2; return 1; }

    ceph_endpoint=http://127.0.0.1:$rgw_port
    ceph_gateway_start
}

ceph_gateway_start() {
    radosgw -f -c "$ceph_dir/ceph.conf" -n client.rgw >>"$ceph_dir/log/rgw.out" 2>&1 &
    ceph_rgw_pid=$!
    # The first start creates the gateway's pools, which takes a few seconds.
    ceph_wait 120 curl -sf -o /dev/null "$ceph_endpoint/" ||
        { echo "ceph: the S3 gateway did not answer" >&2; return 1; }
}

ceph_gateway_stop() {
    ceph_end "$ceph_rgw_pid"
    ceph_rgw_pid=""
}

ceph_user() {
    ceph_access=$2 ceph_secret=$3
    radosgw-admin -c "$ceph_dir/ceph.conf" -n client.admin user create --uid="$1" --display-name="$1" \
        --access-key="$2" --secret-key="$3" >"$ceph_dir/log/user.out" 2>&1
}

# curl's own signing leaves out the body's hash; the hash of an empty body
# fits every request that sends none.
ceph_s3() {
    curl -sS --aws-sigv4 "aws:amz:us-east-1:s3" --user "$ceph_access:$ceph_secret" \
        -H "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" "$@"
}

ceph_stop() {
    ceph_end "$ceph_rgw_pid"
    ceph_end "$ceph_osd_pid"
    ceph_end "$ceph_mon_pid"
    ceph_rgw_pid="" ceph_osd_pid="" ceph_mon_pid=""
}
