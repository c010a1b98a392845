#!/bin/sh
# make e2e: a real crash on this machine's kernel, checked end to end. Root
# only; it writes the real core pattern and restores it on every way out.
#
#   sh scripts/e2e.sh [build directory]
#
# 1. The build tree: kestreld registers the archiver, a program crashes, and
#    the delivered snapshot must hold a backtrace naming the crashing
#    function.
# 2. The installed layout (skipped with E2E_PACKAGE=0, or when kestrel is
#    already installed here): the .deb is built and installed, which starts
#    kestreld through the init script (there is no systemd here); the
#    installed kestreld with the installed configuration and example commands
#    handles a crash the same way. Reinstalling it mends a tree left by an
#    earlier version and restarts the daemon. Then the unit's own command
#    line runs in a stand-in for the unit's sandbox (its capability bounding
#    set, no new privileges, its umask, everything read-only but its
#    writable paths, a private /tmp) and handles a second crash. Purging the
#    package, under the machine's own policy for starting services, must
#    stop the daemon and restore the core pattern and pipe limit.
#
# It changes the machine (the core pattern, packages, users, /var/kestrel):
# where others share it, run it under flock /tmp/kestrel-global.lock.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
. "$root/scripts/crash-lib.sh"

if [ "$(id -u)" != 0 ]; then
    echo "make e2e needs root: it registers the archiver in the kernel's core pattern" >&2
    exit 1
fi

pattern=/proc/sys/kernel/core_pattern
original=$(cat "$pattern")
pipe_limit=/proc/sys/kernel/core_pipe_limit
original_limit=$(cat "$pipe_limit")
policy=/usr/sbin/policy-rc.d
work=$(mktemp -d /tmp/kestrel-e2e.XXXXXX)
daemon=""
package_installed=""
user_created=""
var_created=""
policy_saved=""
policy_replaced=""
bindir=""

# Every way out comes here; the pattern goes back before anything is printed.
cleanup() {
    status=$?
    crash_cleanup_begin
    policy_restore
    if [ -n "$package_installed" ]; then
        dpkg -P kestrel >/dev/null 2>&1 || echo "FAIL: could not purge the kestrel package" >&2
    fi
    [ -n "$bindir" ] && rm -rf "$bindir"
    [ -n "$var_created" ] && rm -rf /var/kestrel
    if [ -n "$user_created" ]; then
        userdel kestrel 2>/dev/null
        groupdel kestrel 2>/dev/null
    fi
    if [ "$(cat "$pattern")" != "$original" ]; then
        printf '%s\n' "$original" >"$pattern"
    fi
    if [ "$(cat "$pipe_limit")" != "$original_limit" ]; then
        printf '%s\n' "$original_limit" >"$pipe_limit"
    fi
    rm -rf "$work"
    echo "core pattern restored: $(cat "$pattern"); core pipe limit: $(cat "$pipe_limit")"
    exit "$status"
}
crash_on_exit cleanup

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The machine's policy for starting services (policy-rc.d), set aside while
# the package is installed so that the init script may start kestreld, and
# put back for the purge.
policy_allow() {
    [ -n "$policy_replaced" ] && return 0
    if [ -e "$policy" ]; then
        mv "$policy" "$work/policy-rc.d"
        policy_saved=yes
    fi
    policy_replaced=yes
    printf '#!/bin/sh\nexit 0\n' >"$policy"
    chmod 755 "$policy"
}
policy_restore() {
    [ -n "$policy_replaced" ] || return 0
    rm -f "$policy"
    [ -n "$policy_saved" ] && mv "$work/policy-rc.d" "$policy"
    policy_saved=""
    policy_replaced=""
}

# The snapshot of a delivered crash must name the crashing function in the
# backtrace of the crashed thread.
check_snapshot() {
    [ -s "$1" ] || fail "empty snapshot $1"
    grep -q '^signal: *11 (SIGSEGV)' "$1" || fail "no signal in $1"
    crash_backtrace "$1" | grep -q '^#0 .*kestrel_demo_fault' || fail "no backtrace naming kestrel_demo_fault in $1"
    crash_backtrace "$1" | grep -q 'process_order' || fail "no caller process_order in $1"
}

wait_pattern() {
    tries=100
    until [ "$(cat "$pattern")" = "$1" ]; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] && kill -0 "$daemon" 2>/dev/null || return 1
        sleep 0.1
    done
}

echo "== build tree"
crash_setup false
"$build/kestreld" -f -c "$conf" >"$work/kestreld.log" 2>&1 &
daemon=$!
wait_pattern "|$work/bin/archive -c $conf -p%p -P%P -l%c" || { cat "$work/kestreld.log" >&2; fail "kestreld did not register the archiver"; }
crash_by_kernel
delivered=$(crash_wait_delivery 60) || { crash_list >&2 || true; fail "no snapshot delivered"; }
base=$(basename "$delivered" .txt)
check_snapshot "$delivered"
cmp -s "$delivered" "$work/archive/committed/snapshot/$base" || fail "delivered file differs from the kept snapshot"
tar -tvf "$work/archive/assets/$base" 2>/dev/null | grep -q "/proc/self/exe -> $work/bin/crash\$" ||
    fail "the asset does not name the crashed executable"
# Committed crashes leave the listing: the pipeline must drain.
tries=100
while [ -n "$(crash_list)" ] && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done
[ -z "$(crash_list)" ] || fail "kestrel list still shows crashes: $(crash_list)"
[ -e "$work/archive/committed/coredump/$base" ] || fail "the core image was not kept"
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=""
echo "ok: crash $base delivered with a backtrace naming kestrel_demo_fault"

echo "== 200 small crashes in a row"
# Images smaller than the archiver's pipe: without a core pipe limit the
# kernel reaped such a process before its /proc entry was read. The daemon
# runs no command here, so that every crash stays in pending with its asset.
small_conf=$work/small.conf
sed -e "s|^dump.root = .*|dump.root = $work/small|" -e 's|^snapshot.concurrency = .*|snapshot.concurrency = 0|' \
    "$conf" >"$small_conf"
sed -i "s|-c $conf |-c $small_conf |" "$small_conf"
printf 'int main(void) { *(volatile int *) 0 = 0; return 0; }\n' | cc -x c -O0 -o "$work/bin/small" -
"$build/kestreld" -f -c "$small_conf" >"$work/small.log" 2>&1 &
daemon=$!
wait_pattern "|$work/bin/archive -c $small_conf -p%p -P%P -l%c" ||
    { cat "$work/small.log" >&2; fail "kestreld did not register the archiver"; }
[ "$original_limit" != 0 ] || [ "$(cat "$pipe_limit")" = 16 ] || fail "kestreld left the core pipe limit at $(cat "$pipe_limit")"
i=0
while [ "$i" -lt 200 ]; do
    (ulimit -c unlimited 2>/dev/null; exec "$work/bin/small") >/dev/null 2>&1 || true
    i=$((i + 1))
done 2>/dev/null
tries=300
while [ "$(ls "$work/small/pending" 2>/dev/null | wc -l)" -lt 200 ] && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done
stored=$(ls "$work/small/pending" | wc -l)
[ "$stored" = 200 ] || fail "$stored of 200 small crashes stored"
"$build/kestrel" -c "$small_conf" list -j >"$work/small.json"
unknown=$(grep -c '"executable":null' "$work/small.json" || true)
[ "$unknown" = 0 ] || fail "$unknown of 200 small crashes stored without their executable"
grep -q '"executable":"'"$work"'/bin/small"' "$work/small.json" || fail "the small crashes name another executable"
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=""
echo "ok: 200 small crashes stored, every one with its executable"

echo "== a crash loop under storm control"
# One program crashing 1,000 times with the example commands and the example
# storm limits: 5 cores stored, 1,000 rows in the ledger, one signature. The
# first 200 crashes are measured: CPU of the whole machine, the tree's disk,
# and how long after the last crash the pipeline is empty.
loop_conf=$work/loop.conf
sed -e "s|^dump.root = .*|dump.root = $work/loop\ndump.storm.window = 1h\ndump.storm.signature = 5\ndump.storm.user = 30|" \
    -e "s|-c $conf |-c $loop_conf |" -e "s|$work/outbox|$work/loop-outbox|" "$conf" >"$loop_conf"
"$build/kestreld" -f -c "$loop_conf" >"$work/loop.log" 2>&1 &
daemon=$!
wait_pattern "|$work/bin/archive -c $loop_conf -p%p -P%P -l%c" ||
    { cat "$work/loop.log" >&2; fail "kestreld did not register the archiver"; }
cpu_jiffies() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
drained() { [ -z "$("$build/kestrel" -c "$loop_conf" list)" ]; }
crash_loop() {
    i=0
    while [ "$i" -lt "$1" ]; do
        (ulimit -c unlimited 2>/dev/null; exec "$work/bin/small") >/dev/null 2>&1 || true
        i=$((i + 1))
    done 2>/dev/null
}
before=$(cpu_jiffies)
crash_loop 200
last=$(date +%s.%N)
tries=600
until drained && [ "$(ls "$work/loop/committed/coredump" 2>/dev/null | wc -l)" = 5 ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || fail "the pipeline did not drain after 200 crashes: $("$build/kestrel" -c "$loop_conf" list)"
    sleep 0.1
done
drain=$(awk -v now="$(date +%s.%N)" -v last="$last" 'BEGIN { printf "%.1f", now - last }')
cpu=$(awk -v j="$(($(cpu_jiffies) - before))" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", j / hz }')
disk=$(du -sk "$work/loop" | cut -f1)
echo "storm of 200 crashes: $cpu CPU-seconds on the whole machine, ${disk} kB in the tree, drained ${drain} s after the last crash"
crash_loop 800
rows=$("$build/kestrel" -c "$loop_conf" history -j -n 0 | wc -l)
[ "$rows" = 1000 ] || fail "$rows ledger rows for 1,000 crashes"
stored=$("$build/kestrel" -c "$loop_conf" history -j -n 0 | grep -c '"outcome":"stored"' || true)
[ "$stored" = 5 ] || fail "$stored of 1,000 crashes stored under a limit of 5"
"$build/kestrel" -c "$loop_conf" signatures -j >"$work/signatures.json"
[ "$(wc -l <"$work/signatures.json")" = 1 ] || fail "more than one signature: $(cat "$work/signatures.json")"
grep -q '"total":1000' "$work/signatures.json" && grep -q '"stored":5' "$work/signatures.json" ||
    fail "the signature does not count 1,000 crashes and 5 cores: $(cat "$work/signatures.json")"
"$build/kestrel" -c "$loop_conf" signatures
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=""
echo "ok: 1,000 crashes of one program: 5 cores, 1,000 ledger rows, one signature"

if [ "${E2E_PACKAGE:-1}" = 0 ]; then
    echo "== installed layout: skipped (E2E_PACKAGE=0)"
    exit 0
fi
if dpkg-query -W -f='${Status}' kestrel 2>/dev/null | grep -q 'install ok' || [ -e /etc/kestrel/kestrel.conf ]; then
    echo "== installed layout: skipped (kestrel is installed or configured on this machine)"
    exit 0
fi

echo "== installed layout"
# The package records the pattern and pipe limit it finds, to put them back
# on removal.
printf '%s\n' "$original" >"$pattern"
printf '%s\n' "$original_limit" >"$pipe_limit"
getent passwd kestrel >/dev/null || user_created=yes
[ -e /var/kestrel ] || var_created=yes
# Outside /tmp, which the unit's sandbox replaces with its own; readable by
# the archive user, as the crashed programs of a host are.
bindir=$(mktemp -d /var/lib/kestrel-e2e.XXXXXX)
chmod 755 "$bindir"
cp "$work/bin/crash" "$bindir/crash"
(cd "$build" && rm -f kestrel_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
installed_pattern="|/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c"

# The daemon the init script started, by its PID file; empty when none runs.
init_daemon() {
    pid=$(cat /run/kestreld.pid 2>/dev/null) || return 0
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = kestreld ] && echo "$pid"
    return 0
}

# Waits for the pattern $1 while the daemon $2 runs.
wait_pattern_of() {
    tries=100
    until [ "$(cat "$pattern")" = "$1" ]; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] && kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
}

# A crash of the copy outside /tmp, delivered into the installed outbox.
installed_crash() {
    rm -f /var/kestrel/outbox/*.txt
    (ulimit -c unlimited 2>/dev/null; exec "$bindir/crash") >"$work/crash.out" 2>&1 || true
    tries=300
    delivered=""
    while [ -z "$delivered" ] && [ "$tries" -gt 0 ]; do
        delivered=$(ls /var/kestrel/outbox/*.txt 2>/dev/null | head -n 1 || true)
        sleep 0.2
        tries=$((tries - 1))
    done
    [ -n "$delivered" ] || { /opt/quellon/kestrel/sbin/kestrel list >&2 || true; fail "no snapshot in /var/kestrel/outbox ($1)"; }
    check_snapshot "$delivered"
    grep -q '^host=' "$delivered" || fail "no host facts from the defaults command in $delivered"
    echo "ok: $1 delivered $delivered"
}

# owner:group mode of a path.
owner_mode() {
    stat -c '%U:%G %a' "$1"
}
check_tree() {
    [ "$(owner_mode /var/kestrel)" = "root:root 755" ] || fail "/var/kestrel is $(owner_mode /var/kestrel)"
    for dir in /var/kestrel/archive /var/kestrel/outbox; do
        [ "$(owner_mode "$dir")" = "kestrel:kestrel 750" ] || fail "$dir is $(owner_mode "$dir")"
    done
}

policy_allow
package_installed=yes
dpkg -i "$build"/kestrel_*.deb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
[ -x /opt/quellon/kestrel/sbin/archive ] || fail "archiver not installed"
[ -r /etc/kestrel/kestrel.conf ] || fail "configuration not installed"
grep -q 'add administrators to the kestrel group' "$work/dpkg.log" || fail "no word about the kestrel group in: $(cat "$work/dpkg.log")"
grep '^kestrel:' "$work/dpkg.log" || true
daemon=$(init_daemon)
[ -n "$daemon" ] || { cat "$work/dpkg.log" >&2; fail "installing did not start kestreld through the init script"; }
wait_pattern_of "$installed_pattern" "$daemon" || { cat "$work/dpkg.log" >&2; fail "the installed kestreld did not register the archiver"; }
uid=$(awk '/^Uid:/ { print $3 }' "/proc/$daemon/status")
[ "$uid" = "$(id -u kestrel)" ] || fail "the installed kestreld runs as uid $uid"
check_tree
installed_crash "the kestreld that installing started"

# An earlier version gave /var/kestrel to the archive user; reinstalling takes
# it back and restarts the daemon.
chown kestrel:kestrel /var/kestrel
chmod 755 /var/kestrel/archive
dpkg -i "$build"/kestrel_*.deb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i again"; }
check_tree
previous=$daemon
daemon=$(init_daemon)
[ -n "$daemon" ] && [ "$daemon" != "$previous" ] || fail "reinstalling did not restart kestreld"
wait_pattern_of "$installed_pattern" "$daemon" || fail "the restarted kestreld did not register the archiver"
echo "ok: reinstalling mended /var/kestrel and restarted kestreld"

echo "== the unit's command line in a stand-in for its sandbox"
/etc/init.d/kestreld stop >"$work/init.log" 2>&1 || { cat "$work/init.log" >&2; fail "/etc/init.d/kestreld stop"; }
kill -0 "$daemon" 2>/dev/null && fail "the init script did not stop kestreld"
daemon=""
printf '%s\n' "$original" >"$pattern"
unit=/lib/systemd/system/kestreld.service
setting() {
    sed -n "s/^$1=//p" "$unit"
}
exec_start=$(setting ExecStart)
caps=$(setting CapabilityBoundingSet | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_\(.*\)/+\1/p' | paste -sd, -)
[ -n "$caps" ] && [ "$(setting NoNewPrivileges)" = yes ] && [ "$(setting ProtectSystem)" = strict ] &&
    [ "$(setting PrivateTmp)" = yes ] || fail "the unit no longer has the sandbox this stand-in copies"
writable=$(setting ReadWritePaths | tr '\n' ' ')
# In a mount namespace of its own: every mount read-only, then the writable
# paths bound over themselves read-write (the two kernel settings among
# them, under a read-only /proc/sys), and a private /tmp.
unshare --mount --propagation private sh -c '
    umask "$1"; caps=$2; writable=$3; shift 3
    mount --bind /proc/sys /proc/sys || exit 1
    for path in $writable; do mount --bind "$path" "$path" || exit 1; done
    awk "{ print \$5 }" /proc/self/mountinfo | sort -u | while read -r mp; do
        case $mp in /dev | /dev/* | /proc) continue ;; esac
        mount -o remount,bind,ro "$mp" 2>/dev/null || true
    done
    for path in $writable; do mount -o remount,bind,rw "$path" || exit 1; done
    mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
    if [ -w /usr ] || [ -w /proc/sys/kernel/core_uses_pid ] || [ ! -w /var/kestrel ]; then
        echo "the stand-in sandbox is not in place" >&2; exit 1
    fi
    exec setpriv --bounding-set "-all,$caps" --inh-caps -all --no-new-privs "$@"
    ' sh "$(setting UMask)" "$caps" "$writable" $exec_start >"$work/unit.log" 2>&1 &
daemon=$!
wait_pattern_of "$installed_pattern" "$daemon" ||
    { cat "$work/unit.log" >&2; fail "the unit's kestreld did not register the archiver"; }
installed_crash "the unit's kestreld in its sandbox"
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=""
/etc/init.d/kestreld start >"$work/init.log" 2>&1 || { cat "$work/init.log" >&2; fail "/etc/init.d/kestreld start"; }
daemon=$(init_daemon)
[ -n "$daemon" ] || fail "the init script did not start kestreld"

echo "== purge"
# As if the daemon had raised the pipe limit: removal must put it back.
printf '%s\n' "$((original_limit + 1))" >"$pipe_limit"
policy_restore
dpkg -P kestrel >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -P"; }
package_installed=""
grep '^kestrel:' "$work/dpkg.log" || true
tries=100
while kill -0 "$daemon" 2>/dev/null && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done
kill -0 "$daemon" 2>/dev/null && fail "removal left kestreld running"
daemon=""
[ "$(cat "$pattern")" = "$original" ] || fail "removal left the core pattern at: $(cat "$pattern")"
[ "$(cat "$pipe_limit")" = "$original_limit" ] || fail "removal left the core pipe limit at: $(cat "$pipe_limit")"
echo "ok: removal stopped kestreld and restored the core pattern and pipe limit"
