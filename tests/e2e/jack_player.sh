#!/usr/bin/env bash
# Runs the real player headless on a sound server of its own, no sound card, in a folder of
# three tones (row 3 at volume 127), and hands it to jack_tester.py. Usage: jack_player.sh
# SONARELLO SOUNDGEN check | restart | pipewire [NOTES [PULSE_LATENCY]] | latency [NOTES] |
# sequenced [SECONDS] | controllers | pads [N] | osc [COUNT]. check, restart and osc start the
# tester first (JACK's dummy driver, PERIOD frames, default 128) so the player takes its ports;
# restart takes the tester away and back while a row plays, then restarts the server; pipewire
# runs the player with no options on a PipeWire session of its own; controllers plays the pad
# stand-ins against --controller=auto. The rest, and osc COUNT, are jack_latency.py's.
set -euo pipefail
sonarello=$(realpath "$1") soundgen=$(realpath "$2") mode=$3
shift 2
here=$(cd "$(dirname "$0")" && pwd)
needs=(jackd)
[[ $mode == pipewire ]] && needs=(pipewire wireplumber pipewire-pulse pw-jack pactl dbus-run-session)
[[ $mode == osc* ]] && needs=(jackd oscsend oscdump)
for tool in "${needs[@]}" python3-jack; do
    if ! command -v "$tool" >/dev/null && ! { [[ $tool == python3-jack ]] && /usr/bin/python3 -c 'import jack, numpy' 2>/dev/null; }; then
        echo "SKIP: needs $tool (scripts/deps installs it)"
        exit 77
    fi
done
if [[ $mode == pipewire && -z ${SONARELLO_E2E_SESSION:-} ]]; then
    SONARELLO_E2E_SESSION=1 exec dbus-run-session -- "$0" "$sonarello" "$soundgen" "$@" \
        2> >(grep -v -e 'fd limit' -e '^dbus-daemon' >&2)
fi
work=$(mktemp -d)
chmod 700 "$work"
server="sonarello-e2e-$$-$RANDOM"
export JACK_DEFAULT_SERVER=$server XDG_RUNTIME_DIR=$work HOME=$work
# JACK_REALTIME=1 (CTest sets it): the server and its clients' process threads run at
# real-time priority, as on a stage machine (where the system allows it).
realtime=--no-realtime
[[ -n "${JACK_REALTIME:-}" ]] && chrt -f 1 true 2>/dev/null && realtime="-R -P 70"
startServer() {
    jackd -n "$server" $realtime -d dummy -r 48000 -p "${PERIOD:-128}" >>"$work/jackd.log" 2>&1 &
    jackd=$!
    for _ in $(seq 100); do
        /usr/bin/python3 -c 'import jack; jack.Client("probe", no_start_server=True)' 2>/dev/null && return
        sleep 0.1
    done
}
startPipeWire() {
    unset JACK_DEFAULT_SERVER PIPEWIRE_REMOTE
    pipewire >"$work/pipewire.log" 2>&1 &
    for _ in $(seq 50); do [[ -S $work/pipewire-0 ]] && break; sleep 0.1; done
    wireplumber >/dev/null 2>&1 &
    pipewire-pulse >/dev/null 2>&1 &
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl load-module module-null-sink sink_name=stage >/dev/null
}
cleanup() {
    kill -TERM $(jobs -p) 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/tones"
"$soundgen" --sine 440 4 48000 "$work/tones/1 A440.wav"
"$soundgen" --sine 660 4 44100 "$work/tones/2 E660.wav"
"$soundgen" --sine 880 4 48000 "$work/tones/3 A880.mp3"
printf 'riga=3,velo=50,vol=127,loop=1,file=3\n' >"$work/tones/impostazioni.ini"
options=(--audio=jack:noconnect --midi=jack)
startPlayer() {
    (cd "$work/tones" && exec "$sonarello" --headless "${options[@]}") >"$work/player.log" 2>&1 &
    player=$!
}
fail() {
    printf '%s\n--- player:\n%s\n--- late cycles in the server'"'"'s log:\n' "$1" "$(cat "$work/player.log")"
    grep -o 'client = [^ ]* was not finished' "$work/jackd.log" 2>/dev/null | sort | uniq -c
    exit 1
}
tester() {
    local script=$here/jack_tester.py
    [[ "$1" == latency || "$1" == sequenced || "$1" == pads || "$1" == osc && -n ${2:-} ]] &&
        script=$here/../../bench/jack/jack_latency.py
    $prefix /usr/bin/python3 "$script" "$@" || fail "the tester found faults"
}
# The tester's ports come up before the player looks for MIDI devices.
testerFirst() {
    TESTER_READY=$work/ready tester "$1" &
    local first=$!
    for _ in $(seq 100); do [[ -e $work/ready ]] && break; sleep 0.1; done
    startPlayer
    wait $first
}
alive() { kill -0 "$player" || fail "the player died$1"; }
prefix=""
case "$mode" in
check) startServer && testerFirst check ;;
restart)
    startServer
    testerFirst before
    sleep 0.5
    TESTER_READY=$work/ready tester again
    kill -TERM "$jackd"
    wait "$jackd" 2>/dev/null || true
    sleep 1
    alive " with the server"
    startServer
    TESTER_READY=$work/ready tester after
    alive ""
    [[ $(grep -c '"sonarello-tester-notes:notes" is back' "$work/player.log") -eq 2 ]] ||
        fail "the player did not say twice that the device came back" ;;
controllers)
    PERIOD=${PERIOD:-1024} startServer # the stand-ins are Python: cycles they can keep up with
    printf 'riga=1,velo=50,vol=255,loop=0,file=1\nriga=2,velo=50,vol=255,loop=0,file=2\nriga=3,velo=50,vol=127,loop=1,file=3\n' >"$work/tones/impostazioni.ini"
    /usr/bin/python3 "$here/controller_standin.py" "$sonarello" "$work/tones" || fail "the stand-ins found faults" ;;
pads)
    # 72 rows of one 8-second tone that does not loop, a profile of 72 pads with a blink
    startServer
    rm "$work"/tones/*
    "$soundgen" --sine 440 8 48000 "$work/tones/00.wav"
    for i in $(seq 1 71); do ln "$work/tones/00.wav" "$work/tones/$(printf %02d "$i").wav"; done
    for i in $(seq 1 72); do echo "riga=$i,velo=50,vol=255,loop=0,file=$i"; done >"$work/tones/impostazioni.ini"
    { printf '[device]\nname = bench\n[pads]\nchannel = 1\nline1 ='; for n in $(seq 36 107); do printf ' %d' "$n"; done
      printf '\n[lights]\nstopped = 90 pad 0D\nplaying = 90 pad 15\nending = 92 pad 05\n[controls]\nending_seconds = 6\n'; } >"$work/pads.ini"
    options+=(--controller="$work/pads.ini")
    startPlayer
    sleep 1
    tester pads "${2:-50}" ;;
pipewire)
    startPipeWire
    options=() prefix=pw-jack
    startPlayer
    for _ in $(seq 100); do pw-jack jack_lsp 2>/dev/null | grep -q '^Sonarello:out_1' && break; sleep 0.1; done
    grep -q "sound through PipeWire (JACK)" "$work/player.log" || fail "the player did not say it took PipeWire"
    tester check
    if [[ ${2:-0} -gt 0 ]]; then tester latency "$2"; fi
    kill -TERM "$player"
    wait "$player" || fail "the player did not end well"
    if [[ -n ${3:-} ]]; then "$3" "$2" 256 --running | sed 's/^PulseAudio (the running server)/pipewire-pulse/'; fi ;;
osc)
    port=$((20000 + RANDOM % 20000))
    options+=("--osc=127.0.0.1:$port" --osc-allow=127.0.0.1)
    startServer
    if [[ -n ${2:-} ]]; then # the benchmark
        startPlayer
        sleep 1
        OSC_PORT=$port PLAYER_PID=$player tester osc "$2"
        echo "the server's log: Sonarello late $(grep -c 'client = Sonarello was not finished' "$work/jackd.log") times, the tester's clients $(grep -c 'client = sonarello-tester' "$work/jackd.log") times"
        exit
    fi
    OSC_PORT=$port testerFirst osc
    kill -TERM "$player"
    wait "$player" || fail "the player did not end well"
    grep -q "OSC on udp 127.0.0.1:$port" "$work/player.log" || fail "the player did not say where it listens"
    saved=$(tr -d ' \r' <"$work/tones/impostazioni.ini")
    for line in riga=1,velo=50,vol=255,loop=1,file=1 riga=2,velo=50,vol=255,loop=0,file=1 \
        riga=3,velo=50,vol=255,loop=1,file=1; do
        grep -qx "$line" <<<"$saved" || fail "the settings lack $line: $saved"
    done
    echo "the settings hold what OSC set" ;;
*)
    startServer
    startPlayer
    tester "$@" ;;
esac
