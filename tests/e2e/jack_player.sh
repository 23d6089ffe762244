#!/usr/bin/env bash
# Runs the real player headless on a JACK server of its own (the dummy driver: no sound
# card), with JACK MIDI, in a folder of three tones (row 3 at volume 127), and hands it to
# jack_tester.py. Usage: jack_player.sh SONARELLO SOUNDGEN check | restart | latency [NOTES]
# | sequenced [SECONDS]. check and restart start the tester first, so the player takes its
# ports as its MIDI devices; restart then takes the tester away and back while a row plays,
# and stops and starts the server. latency and sequenced are bench/jack/jack_latency.py's.
# PERIOD sets the server's period (default 128 frames).
set -euo pipefail
sonarello=$(realpath "$1") soundgen=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v jackd >/dev/null || ! /usr/bin/python3 -c 'import jack, numpy' 2>/dev/null; then
    echo "SKIP: needs jackd and the python3 jack and numpy modules (scripts/deps installs them)"
    exit 77
fi
work=$(mktemp -d)
server="sonarello-e2e-$$-$RANDOM"
export JACK_DEFAULT_SERVER=$server XDG_RUNTIME_DIR=$work
# JACK_REALTIME=1: the server and its clients' process threads run at real-time priority,
# as on a stage machine (where the system allows it).
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
startServer
player=""
cleanup() {
    [[ -n "$player" ]] && kill -TERM "$player" 2>/dev/null && wait "$player" 2>/dev/null
    kill -TERM "$jackd" 2>/dev/null
    wait "$jackd" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/tones"
"$soundgen" --sine 440 4 48000 "$work/tones/1 A440.wav"
"$soundgen" --sine 660 4 44100 "$work/tones/2 E660.wav"
"$soundgen" --sine 880 4 48000 "$work/tones/3 A880.mp3"
printf 'riga=3,velo=50,vol=127,loop=1,file=3\n' >"$work/tones/impostazioni.ini"
startPlayer() {
    (cd "$work/tones" && exec "$sonarello" --headless --audio=jack:noconnect --midi=jack) >"$work/player.log" 2>&1 &
    player=$!
}
tester() {
    local script=$here/jack_tester.py
    [[ "$1" == latency || "$1" == sequenced ]] && script=$here/../../bench/jack/jack_latency.py
    /usr/bin/python3 "$script" "$@" || { echo "--- player:"; cat "$work/player.log"; exit 1; }
}
# The tester's ports come up before the player looks for MIDI devices.
testerFirst() {
    TESTER_READY=$work/ready tester "$1" &
    local first=$!
    for _ in $(seq 100); do [[ -e $work/ready ]] && break; sleep 0.1; done
    startPlayer
    wait $first
}
alive() { kill -0 "$player" || { echo "the player died$1"; cat "$work/player.log"; exit 1; }; }
case "$1" in
check) testerFirst check ;;
restart)
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
        { echo "the player did not say twice that the device came back"; cat "$work/player.log"; exit 1; } ;;
*)
    startPlayer
    tester "$@" ;;
esac
