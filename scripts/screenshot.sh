#!/usr/bin/env bash
# Photographs Parlavant in a conversation on a virtual display: the stand-in translator
# (Apertium) and a scripted stand-in chat client run beside it; fourteen contacts write in Spanish and
# French, so their tabs wrap onto two rows and all but the one shown are marked unread, and the
# user answers one of them through the window.
# Writes docs/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh screenshot
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

bin=build/default
source scripts/background.sh shot

start_virtual_display

mkdir -p "$work/config/parlavant"
printf '[General]\r\nReceive=1\r\nSend=2\r\nShowWarn=1\r\nLeft=20\r\nTop=20\r\nWidth=560\r\nHeight=380\r\n' \
  > "$work/config/parlavant/parlavant.ini"

"$bin/tools/parlavant-translator" --desktop "$work/desktop" 2>/dev/null &
pids+=($!)
cat > "$work/script" <<'SCRIPT'
wait-attached 20000
sleep 500
receive bob Hola, \xC2\xBFc\xC3\xB3mo est\xC3\xA1s? Nos vemos ma\xC3\xB1ana en la estaci\xC3\xB3n.
sleep 500
receive carol Bonjour, le train arrive \xC3\xA0 huit heures.
sleep 500
receive dave Hasta luego.
receive erin Gracias por todo.
receive frank Buenas noches.
receive grace Bonne journ\xC3\xA9e !
receive heidi \xC2\xA1Feliz cumplea\xC3\xB1os!
receive ivan Nos vemos pronto.
receive judy Merci beaucoup.
receive kim \xC2\xBFQu\xC3\xA9 tal?
receive leonardo Ciao, ci vediamo domani.
receive maria Buenos d\xC3\xADas.
receive nicolas Salut !
receive olga Hasta pronto.
sleep 500
receive bob \xC2\xBFVienes a la fiesta?
SCRIPT
"$bin/tools/parlavant-chatclient" --desktop "$work/desktop" --user alice \
  --contacts bob,carol,dave,erin,frank,grace,heidi,ivan,judy,kim,leonardo,maria,nicolas,olga \
  --script "$work/script" </dev/null &
pids+=($!)

PARLAVANT_DESKTOP="$work/desktop" XDG_CONFIG_HOME="$work/config" "$bin/app/parlavant" &
pids+=($!)
sleep 12

# Answer bob: the first to write, so his the page on show and he the one answered (the others'
# tabs carry their unread marks). From the first control, Tab reaches the text box.
window=$(xdotool search --sync --name "Parlavant 1.0" | head -n 1)
xdotool windowfocus --sync "$window"
xdotool key --window "$window" Tab
xdotool type --window "$window" --delay 20 "Yes, I am coming to the party!"
xdotool key --window "$window" Tab space
sleep 3

mkdir -p docs
import -window "$window" docs/screenshot.png
echo "wrote docs/screenshot.png"
