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
#    already installed here): the .deb is built and installed, the installed
#    kestreld with the installed configuration and example commands handles a
#    crash the same way, and purging the package must restore the pattern.
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
work=$(mktemp -d /tmp/kestrel-e2e.XXXXXX)
daemon=""
package_installed=""
user_created=""
var_created=""

# Every way out comes here; the pattern goes back before anything is printed.
cleanup() {
    status=$?
    crash_cleanup_begin
    if [ -n "$package_installed" ]; then
        dpkg -P kestrel >/dev/null 2>&1 || echo "FAIL: could not purge the kestrel package" >&2
    fi
    [ -n "$var_created" ] && rm -rf /var/kestrel
    if [ -n "$user_created" ]; then
        userdel kestrel 2>/dev/null
        groupdel kestrel 2>/dev/null
    fi
    if [ "$(cat "$pattern")" != "$original" ]; then
        printf '%s\n' "$original" >"$pattern"
    fi
    rm -rf "$work"
    echo "core pattern restored: $(cat "$pattern")"
    exit "$status"
}
crash_on_exit cleanup

fail() {
    echo "FAIL: $*" >&2
    exit 1
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

if [ "${E2E_PACKAGE:-1}" = 0 ]; then
    echo "== installed layout: skipped (E2E_PACKAGE=0)"
    exit 0
fi
if dpkg-query -W -f='${Status}' kestrel 2>/dev/null | grep -q 'install ok' || [ -e /etc/kestrel/kestrel.conf ]; then
    echo "== installed layout: skipped (kestrel is installed or configured on this machine)"
    exit 0
fi

echo "== installed layout"
# The package records the pattern it finds, to put it back on removal.
printf '%s\n' "$original" >"$pattern"
getent passwd kestrel >/dev/null || user_created=yes
[ -e /var/kestrel ] || var_created=yes
(cd "$build" && rm -f kestrel_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
package_installed=yes
dpkg -i "$build"/kestrel_*.deb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
[ -x /opt/quellon/kestrel/sbin/archive ] || fail "archiver not installed"
[ -r /etc/kestrel/kestrel.conf ] || fail "configuration not installed"
/opt/quellon/kestrel/sbin/kestreld -f -p /run/kestreld.pid >"$work/installed.log" 2>&1 &
daemon=$!
wait_pattern "|/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c" ||
    { cat "$work/installed.log" >&2; fail "the installed kestreld did not register the archiver"; }
crash_by_kernel
tries=300
delivered=""
while [ -z "$delivered" ] && [ "$tries" -gt 0 ]; do
    delivered=$(ls /var/kestrel/outbox/*.txt 2>/dev/null | head -n 1 || true)
    sleep 0.2
    tries=$((tries - 1))
done
[ -n "$delivered" ] || { /opt/quellon/kestrel/sbin/kestrel list >&2 || true; fail "no snapshot in /var/kestrel/outbox"; }
check_snapshot "$delivered"
grep -q '^host=' "$delivered" || fail "no host facts from the defaults command in $delivered"
# Removal stops the daemon (through its PID file, there being no systemd here).
dpkg -P kestrel >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -P"; }
package_installed=""
wait "$daemon" 2>/dev/null || true
daemon=""
[ "$(cat "$pattern")" = "$original" ] || fail "removal left the core pattern at: $(cat "$pattern")"
echo "ok: the installed kestreld delivered $delivered; removal restored the core pattern"
