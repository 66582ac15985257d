#!/usr/bin/env bash
# Installs what is missing, builds, and starts Parlavant on this display with the stand-in
# translator (Apertium) and the stand-in chat client (a window with a few contacts), all on a
# desktop of their own. Parlavant reads in English and sends in Spanish: type as a contact in the
# chat client's window in Spanish and read the English in Parlavant; send from Parlavant and the
# contact reads Spanish. Closing Parlavant stops the other two.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display to show the windows on (DISPLAY is not set)" >&2
  exit 1
fi

bin=build/default
source scripts/background.sh run

# The demo's own settings: read English (item 1), send Spanish (item 2), sign what is sent.
mkdir -p "$work/config/parlavant"
printf '[General]\r\nReceive=1\r\nSend=2\r\nShowWarn=1\r\n' > "$work/config/parlavant/parlavant.ini"

"$bin/tools/parlavant-translator" --desktop "$work/desktop" &
pids+=($!)
for _ in $(seq 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/4357) 2>/dev/null; then break; fi
  if ! kill -0 "${pids[0]}" 2>/dev/null; then
    echo "run.sh: the stand-in translator did not start (is port 4357 taken?)" >&2
    exit 1
  fi
  sleep 0.1
done

"$bin/tools/parlavant-chatclient" --desktop "$work/desktop" --window --user alice --contacts bob,carol,dave &
pids+=($!)

PARLAVANT_DESKTOP="$work/desktop" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
  "$bin/app/parlavant"
