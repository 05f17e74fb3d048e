#!/usr/bin/env bash
# emulated_test.sh EMULATOR PROGRAM DEVICE KISSMON EXAMPLE
#
# The program under user-mode emulation (qemu-aarch64-static), which has no
# termios2 calls: the standard calls set 9600 Bd and the example's frame
# arrives at kissmon, listening on a pseudo-terminal at DEVICE (the program's
# Com1); 7200 Bd, which has no Bxxxx constant, is refused with the reason.
set -euo pipefail
emulator=$1
program=$2
device=$3
kissmon=$4
example=$5
scratch=$(mktemp -d)
monitor=
trap '[ -z "$monitor" ] || kill "$monitor" 2>/dev/null; rm -rf "$scratch"' EXIT

fail() {
    echo "emulated_test: $*" >&2
    exit 1
}

mkdir -p "$(dirname "$device")"
"$kissmon" -n 1 -l "$device" >"$scratch/monitor.txt" &
monitor=$!
for _ in {1..500}; do
    [ -e "$device" ] && break
    sleep 0.01
done

status=0
"$emulator" "$program" "$example" 1 7200 1 >"$scratch/console.txt" || status=$?
[ "$status" -eq 1 ] || fail "7200 Bd ended with $status"
grep -q -x -F "Unable to configure serial port Com1 ($device: the system lacks the termios2 calls that this speed needs)." \
    "$scratch/console.txt" || fail "7200 Bd refused otherwise: $(cat "$scratch/console.txt")"

"$emulator" "$program" "$example" 1 9600 1 >"$scratch/console.txt" ||
    fail "9600 Bd ended with $?: $(cat "$scratch/console.txt")"
wait "$monitor" || fail "kissmon ended with $?"
monitor=
# After the line that names the link, the frame behind its time of arrival.
[ "$(sed -n '2s/^.\{13\}//p' "$scratch/monitor.txt")" = "$(cat "$example")<0x0A>" ] ||
    fail "kissmon saw: $(cat "$scratch/monitor.txt")"
echo "emulated_test: $(basename "$emulator") sets 9600 Bd without termios2 and refuses 7200 Bd"
