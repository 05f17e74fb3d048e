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
trap 'kill $monitor 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$build/tnc" ] && break; sleep 0.1; done

for example in examples/*.txt; do
    echo
    echo "\$ uipacer $example $build/tnc 9600 1"
    "$build/uipacer" "$example" "$build/tnc" 9600 1
done
sleep 0.2

command -v direwolf >/dev/null || { echo "(no direwolf installed: no audio)"; exit 0; }
# Dire Wolf is started and stopped as the tests do it.
/usr/bin/python3 - "$build" <<'EOF2'
import subprocess, sys
sys.path.insert(0, "tests")
from e2e import Path, Tnc
build = Path(sys.argv[1])
tnc = Tnc(build / "direwolf")
print(f"\n$ direwolf -c {tnc.folder}/direwolf.conf -p    (its transmitter is a file)")
print(f"    direwolf| Virtual KISS TNC is available on {tnc.pty}")
print(f"    direwolf| Ready to accept KISS TCP client application on {tnc.address}", flush=True)
for example, port in (("examples/position.txt", tnc.address), ("examples/status.txt", "/tmp/kisstnc")):
    print(f"$ uipacer {example} {port} 9600 1", flush=True)
    subprocess.run([build / "uipacer", example, port, "9600", "1"], check=True)
tnc.stop(2)
for line in tnc.log.read_text().splitlines():
    if line[:5] in ("[0H] ", "[0L] "):
        print("    direwolf| transmitted " + line[5:])
print(f"$ atest {tnc.folder}/air.wav    (the audio it transmitted, decoded)", flush=True)
subprocess.run(f"atest {tnc.folder}/air.wav | sed 's/\\x1b\\[[0-9;]*[A-Za-z]//g; /^$/d; s/^/    atest| /'",
               shell=True, check=True)
print(f"Play {tnc.folder}/air.wav with any audio player to hear the frames.")
EOF2
