#!/usr/bin/env bash
# direwolf_test.sh TEST_PROGRAM DEVICE_DIR EXAMPLES_DIR
#
# Every example, sent through Dire Wolf, a software TNC that puts each frame on
# the air as 1200 Bd audio, must come back exactly, every line of it, from
# that audio. Dire Wolf sends frames that a digipeater has already repeated
# before the others, so the lines are compared as a set.
set -euo pipefail
test_program=$1 # ComN is DEVICE_DIR/ttyS{N-1}
devices=$2
examples=$3
source "$(dirname "$0")/direwolf.sh"
scratch=$(mktemp -d)
trap 'kill "${direwolf_pid:-}" 2>/dev/null || true; rm -rf "$scratch"' EXIT

# The ways of naming the TNC, one row each: send_ROW FILE sends FILE to the
# running Dire Wolf.
send_com() { ln -sfn "$direwolf_pty" "$devices/ttyS0" && "$test_program" "$1" 1 9600 1; }
send_device() { "$test_program" "$1" "$direwolf_pty" 9600 1; }
send_tcp() { "$test_program" "$1" "127.0.0.1:$direwolf_kiss_port" 9600 1; }
rows=(
    com
    device
    tcp
    # wine      wine uipacer.exe FILE 1 9600 1, COM1 linked to $direwolf_pty: needs
    #           the Wine prefix that wine_tests makes, so a row of the windows stage
)

failed=0
for row in "${rows[@]}"; do
    for example in "$examples"/*.txt; do
        direwolf_start "$scratch/$row-$(basename "$example" .txt)"
        lines=$(wc -l <"$example")
        send_"$row" "$example" >"$direwolf_dir/console.txt" ||
            { echo "$row $example: the program failed:"; cat "$direwolf_dir/console.txt"; failed=1; lines=0; }
        direwolf_stop "$lines"
        diff <(sed 's/$/<0x0a>/' "$example" | sort) <(direwolf_decode | sort) ||
            { echo "$row $example: < sent, not decoded; > decoded, not sent"; failed=1; }
    done
done
exit $failed
