#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR [ARCHITECTURE EMULATOR]
#
# The .deb as a user gets it: built from this build tree, unpacked into a
# scratch root, its programs run from there, its manual pages formatted
# without a warning. A cross-built one (ARCHITECTURE arm64, say) has its
# programs run under EMULATOR (qemu-aarch64-static).
set -euo pipefail
build=$1
architecture=${3:-$(dpkg --print-architecture)}
emulator=(${4:-})
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
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
version=$(sed -n 's/^project(uipacer VERSION \([0-9.]*\).*/\1/p' "$2/CMakeLists.txt")
deb=$scratch/out/uipacer_${version}_$architecture.deb
dpkg -x "$deb" "$scratch/root" || fail "no $(basename "$deb") but: $(ls "$scratch/out")"
[[ "$(dpkg-deb -f "$deb" Depends)" == "libc6 ("* ]] || fail "the package depends on no C library"
root=$scratch/root/usr
for file in bin/kissmon share/man/man1/kissmon.1.gz share/doc/uipacer/examples/position.txt; do
    [ -e "$root/$file" ] || fail "no /usr/$file in the package"
done
# Its usage, and the version in its banner and page.
"${emulator[@]}" "$root/bin/uipacer" >"$scratch/usage.txt" || fail "the installed uipacer failed"
grep -q "^Uipacer version $version by Tobrin\$" "$scratch/usage.txt" || fail "no banner"
grep -q '^Usage: uipacer input_file com_port baud_rate pause_time$' "$scratch/usage.txt" || fail "no usage"
man -l "$root/share/man/man1/uipacer.1.gz" 2>/dev/null | grep -q "$version" || fail "no version in the page"
echo "package_test: $(basename "$deb") installs and runs"
