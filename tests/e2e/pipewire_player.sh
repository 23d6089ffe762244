#!/usr/bin/env bash
# Runs the real player with no options on a PipeWire session of its own (pipewire,
# wireplumber and pipewire-pulse in a private runtime folder and D-Bus session, a null sink,
# no jackd): it must take PipeWire through its JACK library and say so, and notes sent by a
# JACK client under pw-jack must sound at their own frame. Usage: pipewire_player.sh
# SONARELLO SOUNDGEN [NOTES [PULSE_LATENCY]] (NOTES: also print the latency over that many
# notes; PULSE_LATENCY: also measure pad-to-sound through pipewire-pulse with that program).
set -euo pipefail
sonarello=$(realpath "$1") soundgen=$(realpath "$2")
notes=${3:-0}
pulse_latency=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")" && pwd)
for tool in pipewire wireplumber pipewire-pulse pw-jack pactl dbus-run-session; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: needs $tool (scripts/deps installs PipeWire)"
        exit 77
    fi
done
work=$(mktemp -d)
chmod 700 "$work"
trap 'rm -rf "$work"' EXIT
mkdir "$work/tones"
"$soundgen" --sine 440 4 48000 "$work/tones/1 A440.wav"
"$soundgen" --sine 660 4 44100 "$work/tones/2 E660.wav"
"$soundgen" --sine 880 4 48000 "$work/tones/3 A880.mp3"
printf 'riga=3,velo=50,vol=127,loop=1,file=3\n' >"$work/tones/impostazioni.ini"

cat >"$work/session.sh" <<SESSION
set -u
export XDG_RUNTIME_DIR="$work" HOME="$work"
unset JACK_DEFAULT_SERVER PIPEWIRE_REMOTE
pipewire >"$work/pipewire.log" 2>&1 &
for _ in \$(seq 50); do [ -S "$work/pipewire-0" ] && break; sleep 0.1; done
wireplumber >"$work/wireplumber.log" 2>&1 &
pipewire-pulse >"$work/pipewire-pulse.log" 2>&1 &
for _ in \$(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl load-module module-null-sink sink_name=stage >/dev/null
(cd "$work/tones" && exec "$sonarello" --headless) >"$work/player.log" 2>&1 &
player=\$!
for _ in \$(seq 100); do pw-jack jack_lsp 2>/dev/null | grep -q '^Sonarello:out_1' && break; sleep 0.1; done
status=0
grep -q "sound through PipeWire (JACK)" "$work/player.log" || { echo "the player did not say it took PipeWire"; status=1; }
pw-jack /usr/bin/python3 "$here/jack_tester.py" check || status=1
if [ "$notes" -gt 0 ]; then pw-jack /usr/bin/python3 "$here/../../bench/jack/jack_latency.py" latency "$notes" || status=1; fi
kill -TERM \$player; wait \$player || status=1
if [ -n "$pulse_latency" ]; then "$pulse_latency" "$notes" 256 --running | sed 's/^PulseAudio (the running server)/pipewire-pulse/' || status=1; fi
[ \$status -eq 0 ] || { echo "--- player:"; cat "$work/player.log"; }
kill \$(jobs -p) 2>/dev/null
exit \$status
SESSION
dbus-run-session -- bash "$work/session.sh" 2> >(grep -v -e 'fd limit' -e '^dbus-daemon' >&2)
