# Dire Wolf as a software TNC with no sound card, for the tests and the demo
# (source this file). It takes KISS frames on a pseudo-terminal and on TCP
# and transmits each as 1200 Bd AFSK into a file, through ALSA's file
# plugin; its atest decodes that audio back into TNC2 lines.
#
#   direwolf_start DIR   starts it in DIR; sets direwolf_pty (the virtual KISS
#                        TNC) and direwolf_kiss_port (KISS on TCP, 127.0.0.1)
#   direwolf_stop N      once N frames have gone out whole (20 s at most),
#                        stops it and leaves the audio in DIR/air.wav
#   direwolf_decode      atest's decoding of that audio, one line per frame;
#                        control octets, and octets that are not UTF-8, as
#                        <0xnn>: the line feed ending a line shows as <0x0a>

direwolf_start() {
    command -v direwolf >/dev/null || { echo "direwolf_start: no direwolf installed" >&2; return 1; }
    direwolf_dir=$1
    mkdir -p "$direwolf_dir"
    rm -f "$direwolf_dir/air.raw"
    printf 'pcm.air { type file slave.pcm "null" file "%s" format "raw" }\n' \
        "$direwolf_dir/air.raw" >"$direwolf_dir/asoundrc"
    local log=$direwolf_dir/direwolf.log _
    for _ in 1 2 3; do # another port when the one drawn is taken
        direwolf_kiss_port=$((20000 + RANDOM % 12000)) # below the ephemeral ports
        # Audio in from a UDP port that nothing sends to, so nothing is
        # received and nothing keeps the channel busy; PERSIST 255 sends as
        # soon as it is clear, not after a random wait (0.8 s here).
        printf '%s\n' "ADEVICE udp:0 air" "ARATE 48000" "ACHANNELS 1" "CHANNEL 0" "MODEM 1200" \
            "PERSIST 255" "KISSPORT $direwolf_kiss_port" "AGWPORT 0" >"$direwolf_dir/direwolf.conf"
        # -p: the pseudo-terminal; -t 0: no colours; -d o: "PTT 0 = 1" and
        # "PTT 0 = 0" around every transmission.
        ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$direwolf_dir/asoundrc \
            direwolf -c "$direwolf_dir/direwolf.conf" -p -t 0 -d o >"$log" 2>&1 &
        direwolf_pid=$!
        for _ in $(seq 100); do # 5 s at most; it takes 0.1 to 0.2 s
            kill -0 "$direwolf_pid" 2>/dev/null || break
            grep -q -e '^Ready to accept KISS TCP' -e '^Bind failed' "$log" &&
                grep -q '^Virtual KISS TNC' "$log" && break
            sleep 0.05
        done
        direwolf_pty=$(sed -n 's/^Virtual KISS TNC is available on //p' "$log")
        grep -q '^Ready to accept KISS TCP' "$log" && [ -n "$direwolf_pty" ] && return 0
        kill "$direwolf_pid" && wait "$direwolf_pid" || true
    done
    echo "direwolf did not start:" >&2
    cat "$log" >&2
    return 1
}

direwolf_stop() {
    local log=$direwolf_dir/direwolf.log quiet=0 _
    # Every frame is shown ("[0H] " or "[0L] ") once its audio is written, and
    # a transmission has ended, its audio drained to the file, when PTT goes
    # off. Frames still queued go out 0.1 s after that: so done once PTT has
    # stayed off for 0.3 s.
    for _ in $(seq 200); do
        if (($(grep -c '^\[0[HL]\] ' "$log") >= $1 &&
            $(grep -c '^PTT 0 = 1' "$log") == $(grep -c '^PTT 0 = 0' "$log"))); then
            ((++quiet < 3)) || break
        else
            quiet=0
        fi
        sleep 0.1
    done
    # SIGTERM ends it at once (SIGINT would cost a second more); the audio is
    # in the file by now.
    kill "$direwolf_pid" && wait "$direwolf_pid" || true
    # The raw audio behind a WAV header: PCM, 1 channel, 48000 samples/s,
    # 96000 octets/s, 2 octets a sample, 16 bits.
    local size
    size=$(stat -c %s "$direwolf_dir/air.raw")
    le32() { printf "$(printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)))"; }
    { printf RIFF; le32 $((36 + size)); printf 'WAVEfmt '; le32 16; printf '\1\0\1\0'; le32 48000
      le32 96000; printf '\2\0\20\0data'; le32 "$size"; cat "$direwolf_dir/air.raw"; } >"$direwolf_dir/air.wav"
}

direwolf_decode() {
    # The frame lines, "[0] " before each, without atest's colours.
    atest "$direwolf_dir/air.wav" | sed -n 's/\x1b\[[0-9;]*[A-Za-z]//g; s/^\[0\] //p'
}
