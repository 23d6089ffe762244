#!/usr/bin/env bash
# A person at the player on a real X display: looks at the window (a screenshot), clicks row 1's
# key, drags its volume down, right-clicks row 2's Play, steps row 3's file forward and back and
# closes with Escape. In a folder of three files under xvfb-run: person.sh SONARELLO REC.wav PNG
set -euo pipefail
sonarello=$1 recording=$2 shot=$3
"$sonarello" --audio=wav:"$recording" --midi=none &
player=$!
id=$(timeout 30 xdotool search --sync --onlyvisible --limit 1 --name Sonarello) ||
    { echo "no window"; kill $player; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$id")"
top=$((Y + HEIGHT - 88)) # three rows: a client area of 88 pixels under the menu bar
at() { xdotool mousemove $((X + $1)) $((top + $2)); }
sleep 0.8
import -window "$id" "$shot"
at 20 56 && xdotool click 1                       # row 1's key: play
sleep 0.8
at 341 56 && xdotool mousedown 1 && sleep 0.05     # row 1's volume: from the top...
for x in 335 328 321 318; do at $x 56; sleep 0.05; done
xdotool mouseup 1                                  # ... down to about an eighth
sleep 0.8
at 304 73 && xdotool click 3                       # row 2's Play, right button: play
sleep 0.8
at 600 56 && xdotool mousedown 3 && at 620 56 && sleep 0.3 && xdotool mouseup 3 # row 3: next
at 640 56 && xdotool mousedown 1 && sleep 0.3 && xdotool mouseup 1 # the press alone: one back
sleep 0.5
xdotool key --window "$id" Escape
wait $player
