#!/usr/bin/env bash
# arm_guest.sh ARCH PROGRAM EXPECTED_STREAM WORK_DIR [COM_PORT]
#
# The program on Linux's PL011 driver, the Raspberry Pi's UART: a QEMU
# "virt" machine (TCG, no KVM) whose one PL011, /dev/ttyAMA0 in the guest,
# is the port under test and is written to a file on this side.
#
#   ARCH             arm64 (qemu-system-aarch64, Cortex-A57, Debian's
#                    linux-image-arm64) or armhf (qemu-system-arm, Cortex-A15,
#                    linux-image-armmp); both from Debian package qemu-system-arm
#   PROGRAM          uipacer for ARCH, linked statically (for COM_PORT 1, with
#                    -DUIPACER_DEVICE_FAMILY=/dev/ttyAMA, so that Com1 is the PL011)
#   EXPECTED_STREAM  tests/vm/expected_stream, built for this machine: the
#                    shared input file, its octets and the speeds
#   WORK_DIR         downloads, the guest's files and what it left
#   COM_PORT         what the program is given for the PL011: /dev/ttyAMA0, or
#                    1 (Com1, the default)
#
# The kernel and busybox-static come from Debian's packages for ARCH (dpkg
# must know the architecture: dpkg --add-architecture ARCH; apt-get update),
# downloaded with apt-get download and unpacked here, never installed. The
# PL011 driver and the virtio core are built into both kernels; the virtio
# console, which is the guest's console so that the PL011 stays free, needs
# virtio_mmio.ko and virtio_console.ko (plain .ko files in these packages, so
# busybox's insmod loads them as they are).
#
# One boot runs every case, and the guest powers off:
#   - the input file sent at 110 Bd: its octets arrive exactly;
#   - sent again at 14400 Bd while a second instance tries the port: the
#     second is refused as busy, the first sends the octets exactly;
#   - every speed set on an empty file: each run ends with status 0 (the
#     program reads the settings back), and QEMU's trace of the PL011's
#     divisor registers shows each speed within 2 %, so the driver really
#     programmed the UART.
# QEMU's PL011 model ignores the line rate and writes to its file without
# ever blocking, so nothing here can show a stalled line.
#
# Measured on a 2-core machine shared with other builds and guests: the kernel
# reaches init in 1 to 3 s, a whole boot takes 8 to 12 s; downloading the two
# packages about 5 s (60 MB for arm64, 44 MB for armhf) and unpacking what is
# needed about 3 s.
set -euo pipefail
arch=$1
program=$2
expected_stream=$3
work=$4
port=${5:-1}

case "$arch" in
arm64) qemu=(qemu-system-aarch64 -cpu cortex-a57) flavour=arm64 ;;
armhf) qemu=(qemu-system-arm -cpu cortex-a15) flavour=armmp ;;
*) echo "arm_guest: no architecture '$arch'" >&2; exit 2 ;;
esac
# The UART clock of the virt machine's PL011, as its device tree gives it
# to the driver.
uart_clock=24000000

fail() {
    echo "arm_guest ($arch): $*" >&2
    exit 1
}

# linux-image-arm64 only depends on the kernel of the day; that one holds it.
mkdir -p "$work/debs"
kernel_package=$(apt-cache depends "linux-image-$flavour:$arch" |
    awk '/Depends: linux-image-[0-9]/ { sub(/:.*/, "", $2); print $2; exit }')
[ -n "$kernel_package" ] || fail "no kernel package behind linux-image-$flavour:$arch"
as_root=()
[ "$(id -u)" -ne 0 ] || as_root=(-o APT::Sandbox::User=root)  # _apt may not write here
for package in "$kernel_package" busybox-static; do
    if ! compgen -G "$work/debs/${package}_*_$arch.deb" >/dev/null; then
        (cd "$work/debs" && apt-get download -q "${as_root[@]}" "$package:$arch" >/dev/null)
    fi
done

root=$work/root
rm -rf "$root" "$work/kernel"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$work/kernel"
# Only the files the guest needs, which is quicker than the whole package.
dpkg-deb --fsys-tarfile "$(compgen -G "$work/debs/${kernel_package}_*_$arch.deb")" |
    tar -x -C "$work/kernel" --wildcards './boot/vmlinuz-*' '*/virtio_mmio.ko' '*/virtio_console.ko'
dpkg-deb --fsys-tarfile "$(compgen -G "$work/debs/busybox-static_*_$arch.deb")" |
    tar -x -C "$root" ./bin/busybox
find "$work/kernel" -name '*.ko' -exec cp {} "$root" \;
cp "$program" "$root/bin/uipacer"
{
    read -r octets
    read -r speeds
} < <("$expected_stream" "$root/frames.txt")
: >"$root/empty.txt"

cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
insmod /virtio_mmio.ko
insmod /virtio_console.ko
while [ ! -e /dev/hvc0 ]; do sleep 0.01; done
exec >/dev/hvc0 2>&1
echo "init after \$(cut -d' ' -f1 /proc/uptime) s"
uipacer /frames.txt $port 110 1
echo "sent: \$?"
uipacer /frames.txt $port 14400 1 >/first.txt &
i=0
until grep -q Sending /first.txt || [ \$((i += 1)) -gt 200 ]; do sleep 0.05; done
uipacer /frames.txt $port 9600 1
echo "second: \$?"
wait \$!
echo "first: \$?"
for speed in $speeds; do
    uipacer /empty.txt $port \$speed 1
    echo "speed \$speed: \$?"
done
echo "done after \$(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

rm -f "$work/port.bin" "$work/console.txt" "$work/trace.txt"
started=$SECONDS
timeout 180 "${qemu[@]}" -M virt -m 256 -nographic -no-reboot -monitor none \
    -kernel "$(compgen -G "$work/kernel/boot/vmlinuz-*")" -initrd "$work/initrd.gz" \
    -append "console=hvc0 quiet panic=-1" \
    -serial "file:$work/port.bin" \
    -device virtio-serial-device -chardev "file,id=console,path=$work/console.txt" \
    -device virtconsole,chardev=console \
    -trace pl011_baudrate_change -D "$work/trace.txt" ||
    fail "QEMU ended with $?; console in $work/console.txt"
# The guest's console ends its lines with CR LF.
tr -d '\r' <"$work/console.txt" >"$work/console"
grep -q '^done after' "$work/console" || fail "the guest did not finish: $(cat "$work/console")"

expect() {
    grep -q -x -F "$1" "$work/console" || fail "no '$1' on the console: $(cat "$work/console")"
}
expect "sent: 0"
expect "second: 1"
expect "first: 0"
grep -q "^Unable to open serial port .*Device or resource busy).\$" \
    "$work/console" || fail "the second instance was not refused as busy"
received=$(od -An -v -tx1 "$work/port.bin" | tr a-f A-F | xargs)
[ "$received" = "$octets $octets" ] || fail "the port received: $received"
for speed in $speeds; do
    expect "speed $speed: 0"
    # QEMU traces each divisor the driver writes; one of them must give the
    # speed: clock / (16 * (IBRD + FBRD / 64)).
    awk -v clock=$uart_clock -v speed="$speed" '
        match($0, /ibrd: [0-9]+, fbrd: [0-9]+/) {
            split(substr($0, RSTART, RLENGTH), field, /[ ,]+/)
            divisor = field[2] * 64 + field[4]
            if (divisor > 0) {
                rate = clock * 4 / divisor
                if (rate > speed * 0.98 && rate < speed * 1.02) found = 1
            }
        }
        END { exit !found }' "$work/trace.txt" ||
        fail "the PL011 was never set to $speed Bd: $(cat "$work/trace.txt")"
done
echo "arm_guest ($arch): every case holds on the PL011 driver;" \
    "$(grep '^init after' "$work/console"), the run took $((SECONDS - started)) s"
