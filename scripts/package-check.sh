#!/bin/sh
# make package-check: builds the .deb and checks it as Debian's tools would.
#
#   sh scripts/package-check.sh [build directory]
#
# 1. lintian: no error and no warning, but for the overrides the package
#    carries with their reasons (dist/kestrel.lintian-overrides).
# 2. systemd-analyze verify on the package's units, against the package's own
#    files: in a private mount namespace its /opt tree is put in place (the
#    host's /opt is not touched) and its man pages are searched first.
# 3. systemd-analyze security --offline=true on kestreld.service: the
#    exposure must be 4.5 or lower, and the sandbox keeps its floor of
#    settings.
# 4. man --warnings on every page the package ships, as lintian runs it.
# Needs no root where user namespaces are allowed; changes nothing outside
# the build directory and a temporary directory.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
threshold=4.5

work=$(mktemp -d /tmp/kestrel-package-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

(cd "$build" && rm -f kestrel_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
deb=$(ls "$build"/kestrel_*.deb)
echo "== $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"

echo "== lintian"
# Informational tags are shown, not counted.
if lintian --display-level '>=info' --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1; then
    grep -v '^running with root privileges' "$work/lintian.log" || true
    echo "ok: no error or warning"
else
    cat "$work/lintian.log" >&2
    fail "lintian"
fi

echo "== systemd-analyze verify"
units="kestreld.service kestrel-metrics.service kestrel-metrics.timer"
as_root=""
[ "$(id -u)" = 0 ] || as_root=--map-root-user
# The units name /opt/quellon/... and their man pages: both from the package.
if unshare $as_root --mount sh -c '
        mount -t tmpfs tmpfs /opt && cp -a "$1/opt/." /opt/ &&
        export MANPATH="$1/usr/share/man:$(manpath 2>/dev/null)" &&
        cd "$1/lib/systemd/system" && shift &&
        systemd-analyze verify "$@"' sh "$work/root" $units \
        >"$work/verify.log" 2>&1 && [ ! -s "$work/verify.log" ]; then
    echo "ok: $units"
else
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify"
fi

echo "== systemd-analyze security"
unit=$work/root/lib/systemd/system/kestreld.service
systemd-analyze security --offline=true "$unit" >"$work/security.log" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for kestreld.service: \([0-9.]*\) .*/\1/p' "$work/security.log")
if [ -z "$exposure" ]; then
    cat "$work/security.log" >&2
    fail "no exposure level for kestreld.service"
elif awk -v e="$exposure" -v t="$threshold" 'BEGIN { exit !(e <= t) }'; then
    grep -v '^✓' "$work/security.log" | grep -v '^$' || true
    echo "ok: kestreld.service exposure $exposure (at most $threshold)"
else
    cat "$work/security.log" >&2
    fail "kestreld.service exposure $exposure is above $threshold"
fi

# The sandbox's floor, whatever the figure: each of these stays.
for setting in ProtectSystem=strict ProtectHome=read-only PrivateTmp=yes NoNewPrivileges=yes \
    ProtectKernelModules=yes ProtectControlGroups=yes RestrictNamespaces=yes \
    LockPersonality=yes RestrictRealtime=yes SystemCallArchitectures=native; do
    grep -qx "$setting" "$unit" || fail "kestreld.service lacks $setting"
done
grep -q '^CapabilityBoundingSet=CAP_' "$unit" || fail "kestreld.service has no capability bounding set"

echo "== man --warnings"
for page in "$work"/root/usr/share/man/man*/*; do
    name=${page#"$work/root/"}
    # As lintian runs it: every warning of groff is a finding.
    if ! LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>"$work/man.log" ||
        [ -s "$work/man.log" ]; then
        cat "$work/man.log" >&2
        fail "man --warnings $name"
    else
        echo "ok: $name"
    fi
done

if [ "$failures" -gt 0 ]; then
    echo "package-check: $failures check(s) failed" >&2
    exit 1
fi
echo "package-check: all checks passed"
