#!/usr/bin/env bash
# Starts the player on a real X display (Xvfb) in a folder of five generated sounds, takes a
# screenshot of its window and checks pixels of the grid: the background in a gap between
# cells, a header face, a white and a black piano key.
# Usage: screenshot_test.sh SONARELLO SOUNDGEN OUTPUT.png
set -euo pipefail
sonarello=$1 soundgen=$2 shot=$3
command -v xvfb-run >/dev/null && command -v xdotool >/dev/null && command -v import >/dev/null \
    || { echo "SKIP: xvfb-run, xdotool or ImageMagick missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$soundgen" "$work/demo" >/dev/null
(cd "$work/demo" && rm -f "06"* "07"* "08"* "09"* "10"* "11"* "12"*) # five rows
export XDG_RUNTIME_DIR=$work

cat >"$work/shoot.sh" <<SCRIPT
set -e
cd "$work/demo"
"$sonarello" --audio=null --midi=none &
player=\$!
for _ in \$(seq 300); do
    id=\$(xdotool search --onlyvisible --name "Sonarello" 2>/dev/null | head -1) && [ -n "\$id" ] && break
    sleep 0.1
done
sleep 1
import -window "\$id" "$shot"
kill -TERM \$player
wait \$player
SCRIPT
xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/shoot.sh"

pixel() { convert "$shot" -format "%[fx:int(255*p{$1,$2}.r)],%[fx:int(255*p{$1,$2}.g)],%[fx:int(255*p{$1,$2}.b)]" info:; }
height=$(identify -format %h "$shot")
top=$((height - 104)) # the client area is 8.5 x 5 + 62 = 104 pixels high, under the menu bar
fail=0
expect() {
    local got
    got=$(pixel "$1" $(($2 + top)))
    if [[ "$got" != "$3" ]]; then
        echo "pixel ($1, $2) of the client area: $got, expected $3 ($4)"
        fail=1
    fi
}
expect 44 60 "10,55,40" "background in the gap between the key and Loop columns"
expect 600 20 "10,55,40" "background right of the MIDI display"
expect 38 50 "0,0,0" "row 1 key: a black key"
expect 38 67 "255,255,255" "row 2 key: a white key"
header=$(pixel 100 $((40 + top)))
[[ "$header" != "10,55,40" && "$header" != "0,0,0" ]] || { echo "header face not painted: $header"; fail=1; }
[[ $fail -eq 0 ]] && echo "screenshot checked: $shot"
exit $fail
