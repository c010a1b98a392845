#!/bin/sh
# make demo: one real crash through every stage of kestrel.
#
#   sh scripts/demo.sh [build directory]
#
# As root (unless KESTREL_DEMO=gdb), kestreld registers the archiver in the
# kernel's core pattern for the demonstration; the previous pattern is put
# back on every way out, Ctrl-C included. Otherwise gdb holds the crashed
# program while its core image is piped into the archiver, as the kernel
# would pipe it.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
. "$root/scripts/crash-lib.sh"

pattern=/proc/sys/kernel/core_pattern
pipe_limit=/proc/sys/kernel/core_pipe_limit
work=$(mktemp -d /tmp/kestrel-demo.XXXXXX)
daemon=""
previous=""
previous_limit=$(cat "$pipe_limit" 2>/dev/null || true)

# Every way out comes here: the end, an error, Ctrl-C, a closed terminal or
# pipe. Nothing is printed before the pattern is back, since printing may be
# what failed.
cleanup() {
    status=$?
    crash_cleanup_begin
    restored=""
    if [ -n "$previous" ]; then
        printf '%s\n' "$previous" >"$pattern" && restored=yes
        # kestreld sets a core pipe limit where there was none.
        if [ -n "$previous_limit" ] && [ "$(cat "$pipe_limit")" != "$previous_limit" ]; then
            printf '%s\n' "$previous_limit" >"$pipe_limit" || restored=""
        fi
    fi
    rm -rf "$work"
    if [ -n "$previous" ]; then
        if [ -n "$restored" ]; then
            echo "== restored the previous core pattern: $previous"
        else
            echo "!! could not restore the core pattern; it was: $previous" >&2
        fi
    fi
    exit "$status"
}
crash_on_exit cleanup

step() { printf '\n== %s\n' "$*"; }

list_or_none() {
    listing=$(crash_list)
    if [ -n "$listing" ]; then
        printf '%s\n' "$listing"
    else
        echo "  (no crash in the pipeline)"
    fi
}

mode=gdb
if [ "$(id -u)" = 0 ] && [ "${KESTREL_DEMO:-}" != gdb ]; then
    current=$(cat "$pattern")
    # Only where the pattern can be written back (not in every container).
    if printf '%s\n' "$current" >"$pattern" 2>/dev/null; then
        mode=kernel
    fi
fi

crash_setup "$([ "$mode" = kernel ] && echo false || echo true)"

if [ "$mode" = kernel ]; then
    step "as root: the archiver is registered with the kernel for this demonstration"
    echo "previous core pattern: $current (restored when the demo ends, also on Ctrl-C)"
    previous=$current
fi

start_daemon() {
    "$build/kestreld" -f -c "$conf" >>"$work/kestreld.log" 2>&1 &
    daemon=$!
}

stop_daemon() {
    kill "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=""
}

step "kestrel list before the crash:"
list_or_none

if [ "$mode" = kernel ]; then
    # kestreld writes the pattern at start-up and never takes it back; it is
    # stopped again so that the crash is seen waiting in pending.
    start_daemon
    tries=50
    until [ "$(cat "$pattern")" = "|$work/bin/archive -c $conf -p%p -P%P -l%c" ]; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ] || ! kill -0 "$daemon" 2>/dev/null; then
            echo "kestreld did not register the archiver:" >&2
            cat "$work/kestreld.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    stop_daemon
    echo "kestreld registered the archiver: $(cat "$pattern")"
    step "crashing examples/crash.c; the kernel pipes its core image to the archiver"
    crash_by_kernel
else
    step "crashing examples/crash.c under gdb, which pipes its core image to the archiver"
    if ! crash_by_gdb; then
        echo "gdb could not produce the crash:" >&2
        tail -n 20 "$work/gdb.log" >&2
        exit 1
    fi
fi
grep -h -m1 -E '^(crash:|Program received|Thread .* received)' "$work/crash.out" "$work/gdb.log" 2>/dev/null || true

step "kestrel list: the crash waits in pending (kestreld is not running yet)"
list_or_none

step "starting kestreld on $work/archive: snapshot, send, commit"
start_daemon
if ! delivered=$(crash_wait_delivery 60); then
    echo "no snapshot was delivered within 60 seconds; kestrel list:" >&2
    crash_list >&2 || true
    cat "$work/kestreld.log" >&2
    exit 1
fi
# The commit follows the delivery at once; wait for the pipeline to empty.
tries=50
while [ -n "$(crash_list)" ] && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done

step "kestrel list after: nothing left in the pipeline; the kept files:"
list_or_none
base=$(basename "$delivered" .txt)
(cd "$work/archive" && for f in committed/coredump/"$base" committed/snapshot/"$base" assets/"$base"; do
    [ -e "$f" ] && printf '  %-58s %10s bytes, %6s kB on disk\n' "$f" "$(stat -c %s "$f")" "$(du -k "$f" | cut -f1)"
done)

snapshot=$work/archive/committed/snapshot/$base
step "the snapshot ($snapshot), backtrace of the crashed thread:"
grep -m1 '^signal:' "$snapshot" || true
crash_backtrace "$snapshot"

step "delivered into the outbox: $delivered ($(wc -c <"$delivered") bytes), its head:"
sed -n '1,12p' "$delivered"
