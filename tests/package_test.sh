#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR [ARCHITECTURE EMULATOR]
#
# The .deb as a user gets it: built from this build tree and passed by
# lintian, with no tag at all (--pedantic -I); unpacked into a scratch root,
# with the licence and a changelog of this version; its programs hardened
# (hardening-check) and run from there; its manual pages formatted without a
# warning; its beacon units verified by systemd-analyze, and the beacon
# service's own command line, as systemd would build it from the unit and
# the shipped example configuration pointed at a test port, run: the frames
# must arrive. A cross-built one (ARCHITECTURE arm64, say) has its programs
# run under EMULATOR (qemu-aarch64-static).
set -euo pipefail
build=$1
source_dir=$2
architecture=${3:-$(dpkg --print-architecture)}
emulator=(${4:-})
scratch=$(mktemp -d)
monitor=
cleanup() {
    [ -z "$monitor" ] || kill "$monitor" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "package_test: $*" >&2
    exit 1
}

for page in "$build"/man/*.1; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
done
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" ||
    fail "cpack: $(cat "$scratch/cpack.log")"
version=$(sed -n 's/^project(uipacer VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
deb=$scratch/out/uipacer_${version}_$architecture.deb
dpkg -x "$deb" "$scratch/root" || fail "no $(basename "$deb") but: $(ls "$scratch/out")"

# lintian, as Debian checks its own packages, and more: any tag fails, even
# an informative or pedantic one.
lintian --fail-on error,warning,info,pedantic --pedantic -I "$deb" >"$scratch/lintian.txt" 2>&1 ||
    fail "lintian: $(grep -v 'running with root privileges' "$scratch/lintian.txt")"

# The C library (with GCC's helpers on armhf), and not the C++ runtime.
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == "libc6 ("* && $depends != *libstdc++* ]] || fail "the package depends on $depends"
root=$scratch/root/usr
for file in bin/kissmon share/man/man1/kissmon.1.gz share/doc/uipacer/examples/position.txt \
    lib/systemd/system/uipacer-beacon@.service lib/systemd/system/uipacer-beacon@.timer \
    ../etc/uipacer/example.conf; do
    [ -e "$root/$file" ] || fail "no /usr/$file in the package"
done

# The licence, in Debian's form.
doc=$root/share/doc/uipacer
grep -q '^License: Expat$' "$doc/copyright" || fail "the copyright file names no MIT (Expat) licence"
# The changelog says what this version is.
gzip -dc "$doc/changelog.gz" >"$scratch/changelog"
changelog_version=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest entry is $changelog_version, not $version (packaging/changelog)"

# Hardened: hardening-check finds PIE, the stack protector, fortified
# functions, RELRO and immediate binding. Not its control-flow check: it
# looks for the x86 IBT/SHSTK marking, which the linker gives only if every
# object has it, and Debian 12's C start files (crt1.o, crti.o) lack it.
hardening-check --nocfprotection "$root/bin/uipacer" "$root/bin/kissmon" >"$scratch/hardening.txt" ||
    fail "hardening-check: $(cat "$scratch/hardening.txt")"

# The version in its banner and page.
"${emulator[@]}" "$root/bin/uipacer" --version >"$scratch/banner.txt" ||
    fail "the installed uipacer failed"
grep -q "^Uipacer version $version by Tobrin\$" "$scratch/banner.txt" || fail "no banner"
page=$(man -l "$root/share/man/man1/uipacer.1.gz" 2>/dev/null)  # whole: see grep -q and pipefail
grep -q "$version" <<<"$page" || fail "no version in the page"

# The beacon's units, as systemd reads them: in a root of their own that
# holds the system's units, the package's, and the program they start.
units=$root/lib/systemd/system
verify_root=$scratch/verify
mkdir -p "$verify_root/usr/lib/systemd" "$verify_root/usr/bin"
cp -r /usr/lib/systemd/system "$verify_root/usr/lib/systemd/"
cp "$units"/uipacer-beacon@.* "$verify_root/usr/lib/systemd/system/"
cp "$root/bin/uipacer" "$verify_root/usr/bin/"
MANPATH=$root/share/man systemd-analyze --root="$verify_root" verify \
    "$verify_root/usr/lib/systemd/system/uipacer-beacon@.service" \
    "$verify_root/usr/lib/systemd/system/uipacer-beacon@.timer" >"$scratch/verify.txt" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$scratch/verify.txt")"

# The beacon service's command line from the unit itself, for the instance
# "example": its EnvironmentFile= read, then its ExecStart= with each
# ${NAME} given NAME's value (the shell reads both as systemd does for the
# plain values the shipped files hold). The port is a kissmon's; files of
# the system are taken from the unpacked package.
service=$units/uipacer-beacon@.service
environment_file=$(sed -n 's/^EnvironmentFile=//p' "$service")
exec_start=$(sed -n 's/^ExecStart=//p' "$service")
read -r -a command <<<"$(
    set -a
    . "$scratch/root${environment_file//%i/example}"
    UIPACER_FILE=$scratch/root$UIPACER_FILE UIPACER_PORT=$scratch/tnc
    eval "echo $exec_start"
)"
[ "${command[0]}" = /usr/bin/uipacer ] || fail "the service starts ${command[0]}, not uipacer"
command[0]=$root/bin/uipacer

"${emulator[@]}" "$root/bin/kissmon" -n 1 -l "$scratch/tnc" >"$scratch/frames.txt" 2>&1 &
monitor=$!
for _ in $(seq 100); do [ -e "$scratch/tnc" ] && break; sleep 0.1; done
[ -e "$scratch/tnc" ] || fail "kissmon made no link: $(cat "$scratch/frames.txt")"
"${emulator[@]}" "${command[@]}" >"$scratch/beacon.txt" 2>&1 ||
    fail "the beacon service's command failed: ${command[*]}: $(cat "$scratch/beacon.txt")"
wait "$monitor" || fail "kissmon: $(cat "$scratch/frames.txt")"
monitor=
beacon=$(head -n 1 "${command[1]}")
grep -q -F "$beacon<0x0A>" "$scratch/frames.txt" ||
    fail "the beacon '$beacon' did not arrive; kissmon saw: $(cat "$scratch/frames.txt")"
echo "package_test: $(basename "$deb") passes lintian, installs, runs and beacons"
