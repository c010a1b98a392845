# Shared by demo.sh and e2e.sh (sourced): a configuration on a temporary
# archive tree that uses the example commands, the sample crashing program,
# and the two ways of feeding the archiver a real crash.

# Paths: $root (the repository), $build (the build tree), $work (temporary).
crash_setup() {
    mkdir -p "$work/bin" "$work/outbox"
    # World-readable: the kernel's archiver and gdb read the program from here.
    chmod 755 "$work" "$work/bin"
    cc -g -O0 -pthread -o "$work/bin/crash" "$root/examples/crash.c"
    # A short path: the kernel keeps at most 127 characters of core pattern.
    cp "$build/archive" "$work/bin/archive"
    conf=$work/kestrel.conf
    cat >"$conf" <<CONF
[archive]
dump.root = $work/archive
archive.command = $work/bin/archive -c $conf -p%p -P%P -l%c
archive.disabled = $1

[daemon]
defaults.command = $root/examples/defaults %e
# The asset (%a) gives the snapshot the crash's facts.
snapshot.command = $root/examples/snapshot %e %c %S %a
snapshot.concurrency = 1
snapshot.retry.interval = 2s
snapshot.commit = archive
send.command = $root/examples/send %S %B $work/outbox
send.concurrency = 1
send.retry.interval = 2s
send.commit = archive
CONF
}

# Every way out of the script runs the handler $1: the end, an error, Ctrl-C,
# a closed terminal or pipe. The handler keeps $? first, then calls
# crash_cleanup_begin.
crash_on_exit() {
    trap "$1" EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 141' PIPE
    trap 'exit 143' TERM
}

# No second way out while cleaning up, and the daemon ($daemon) stopped.
crash_cleanup_begin() {
    trap '' INT TERM HUP PIPE
    trap - EXIT
    set +e
    if [ -n "$daemon" ]; then
        kill "$daemon" 2>/dev/null
        wait "$daemon" 2>/dev/null
    fi
}

crash_list() {
    "$build/kestrel" -c "$conf" list
}

# The kernel path: the core pattern names the archiver; the crash needs a
# core size limit, which it passes as %c. $1 names another program to crash.
crash_by_kernel() {
    (ulimit -c unlimited 2>/dev/null; exec "${1:-$work/bin/crash}") >"$work/crash.out" 2>&1 || true
}

# Without the kernel: gdb holds the program at its fatal signal, writes its
# core image, and pipes that into the archiver while the process (and its
# /proc entry) still exists, with the same arguments the kernel would give.
# $1 names another program to crash.
crash_by_gdb() {
    cat >"$work/crash.gdb" <<GDB
set pagination off
set confirm off
run
generate-core-file $work/core.image
python
import subprocess
pid = gdb.selected_inferior().pid
limit = "18446744073709551615"
for line in open("/proc/%d/limits" % pid):
    if line.startswith("Max core file size"):
        soft = line.split()[4]
        limit = limit if soft == "unlimited" else soft
subprocess.run(["sh", "-c", 'cat "\$0" | "\$1" -c "\$2" -p"\$3" -P"\$3" -l"\$4"',
                "$work/core.image", "$work/bin/archive", "$conf", str(pid), limit], check=True)
end
kill
GDB
    (ulimit -c unlimited 2>/dev/null; exec gdb -batch -nx -q -x "$work/crash.gdb" "${1:-$work/bin/crash}") \
        >"$work/gdb.log" 2>&1
}

# Waits up to $1 seconds for the delivered snapshot; prints its path.
crash_wait_delivery() {
    tries=$(($1 * 5))
    while [ "$tries" -gt 0 ]; do
        for f in "$work/outbox"/*.txt; do
            [ -e "$f" ] && { echo "$f"; return 0; }
        done
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

# The frames of the thread that crashed, from a snapshot: its section comes
# first, gdb's lines indented by two blanks (taken off here).
crash_backtrace() {
    awk '/^== crashing thread ==$/ { on = 1; next }
         /^== / { on = 0 }
         on && /^  #[0-9]/ { print substr($0, 3) }' "$1"
}
