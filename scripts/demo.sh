#!/usr/bin/env bash
# Builds uipacer and kissmon, then sends each example file to a virtual serial
# port (a pseudo-terminal that kissmon opens and links as build/demo/tnc):
# uipacer's console and, as each frame arrives, kissmon's decoding of it, side
# by side. Then sends examples to Dire Wolf, a software TNC, as a user would,
# on its KISS TCP port and on its pseudo-terminal; Dire Wolf transmits them as
# 1200 Bd audio into a WAV file instead of a radio, and decodes that back.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux
build="$PWD/build/demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build" -j"$(nproc)" --target uipacer kissmon

rm -f "$build/tnc"
"$build/kissmon" -l "$build/tnc" > >(sed -u 's/^/    kissmon| /') &
monitor=$!
trap 'kill $monitor ${direwolf_pid:-} 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$build/tnc" ] && break; sleep 0.1; done

for example in examples/*.txt; do
    echo
    echo "\$ uipacer $example $build/tnc 9600 1"
    "$build/uipacer" "$example" "$build/tnc" 9600 1
done
sleep 0.2

command -v direwolf >/dev/null || { echo "(no direwolf installed: no audio)"; exit 0; }
source tests/direwolf.sh
direwolf_start "$build/direwolf"
echo
echo "\$ direwolf -c $direwolf_dir/direwolf.conf -p    (its transmitter is a file)"
echo "    direwolf| Virtual KISS TNC is available on $direwolf_pty"
echo "    direwolf| Ready to accept KISS TCP client application on port $direwolf_kiss_port"
echo "\$ uipacer examples/position.txt localhost:$direwolf_kiss_port 9600 1"
"$build/uipacer" examples/position.txt "localhost:$direwolf_kiss_port" 9600 1
echo "\$ uipacer examples/status.txt /tmp/kisstnc 9600 1    (the link direwolf -p made)"
"$build/uipacer" examples/status.txt /tmp/kisstnc 9600 1
direwolf_stop "$(cat examples/position.txt examples/status.txt | wc -l)"
sed -n 's/^\[0[HL]\] /    direwolf| transmitted /p' "$direwolf_dir/direwolf.log"
echo "\$ atest $direwolf_dir/air.wav    (the audio it transmitted, decoded)"
atest "$direwolf_dir/air.wav" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g; /^$/d; s/^/    atest| /'
echo "Play $direwolf_dir/air.wav with any audio player to hear the frames."
