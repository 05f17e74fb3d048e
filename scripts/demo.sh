#!/usr/bin/env bash
# Builds uipacer with its Com1 mapped to a virtual serial port (a
# pseudo-terminal that kissmon opens) and sends each example file through
# it: uipacer's console and, as each frame arrives, kissmon's decoding of
# it, side by side. Then sends examples/position.txt on Com2 to Dire Wolf, a
# software TNC, which transmits it as 1200 Bd audio into a WAV file instead of
# a radio and decodes it back from that audio.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux
build="$PWD/build/demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DUIPACER_DEVICE_FAMILY="$build/ttyS"
cmake --build "$build" -j"$(nproc)" --target uipacer kissmon

rm -f "$build/ttyS0"
"$build/kissmon" -l "$build/ttyS0" > >(sed -u 's/^/    kissmon| /') &
monitor=$!
trap 'kill $monitor ${direwolf_pid:-} 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$build/ttyS0" ] && break; sleep 0.1; done

for example in examples/*.txt; do
    echo
    echo "\$ uipacer $example 1 9600 1    (Com1 = $build/ttyS0)"
    "$build/uipacer" "$example" 1 9600 1
done
sleep 0.2

command -v direwolf >/dev/null || { echo "(no direwolf installed: no audio)"; exit 0; }
source tests/direwolf.sh
direwolf_start "$build/direwolf"
ln -sfn "$direwolf_pty" "$build/ttyS1"
echo
echo "\$ direwolf -c $direwolf_dir/direwolf.conf -p    (its transmitter is a file)"
echo "    direwolf| Virtual KISS TNC is available on $direwolf_pty"
echo "\$ uipacer examples/position.txt 2 9600 1    (Com2 = $build/ttyS1 = $direwolf_pty)"
"$build/uipacer" examples/position.txt 2 9600 1
# The same, once uipacer takes a device path or a TNC on TCP:
#   "$build/uipacer" examples/position.txt "$direwolf_pty" 9600 1
#   "$build/uipacer" examples/position.txt "localhost:$direwolf_kiss_port" 9600 1
direwolf_stop 1
sed -n 's/^\[0[HL]\] /    direwolf| transmitted /p' "$direwolf_dir/direwolf.log"
echo "\$ atest $direwolf_dir/air.wav    (the audio it transmitted, decoded)"
atest "$direwolf_dir/air.wav" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g; /^$/d; s/^/    atest| /'
echo "Play $direwolf_dir/air.wav with any audio player to hear the frame."
