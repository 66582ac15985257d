#!/usr/bin/env bash
# Two people, two complete sides, one local XMPP server: alice reads English and writes Spanish,
# bob reads Spanish and writes English. Each has a desktop, a settings directory, a
# parlavant-xmpp and a Parlavant of their own; one stand-in translator serves both (its window
# on alice's desktop, its web service as bob's WebService). Type in either Parlavant and read
# the translation in the other. Closing either window ends the demo.
#   scripts/xmpp-demo.sh                     on this display
#   scripts/xmpp-demo.sh --screenshot FILE   on a virtual display: one message each way, then a
#                                            photograph of both windows in FILE
set -euo pipefail
cd "$(dirname "$0")/.."

shot=
if [ "${1:-}" = --screenshot ]; then
  shot=$(realpath -m "${2:?--screenshot needs a file name}")
fi

scripts/install-deps.sh ${shot:+screenshot}
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
bin=build/default
source scripts/background.sh xmpp

if [ -n "$shot" ]; then
  start_virtual_display 1000x400
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "xmpp-demo.sh: no display to show the windows on (DISPLAY is not set)" >&2
  exit 1
fi


# The server: plain connections on loopback only, accounts of the demo's own.
started=$(date +%s%N)
port=$(free_port)
mkdir -p "$work/prosody/data" "$work/prosody/certs"
cat > "$work/prosody/prosody.cfg.lua" <<CONFIG
run_as_root = true
daemonize = false
pidfile = "$work/prosody/prosody.pid"
data_path = "$work/prosody/data"
certificates = "$work/prosody/certs"
interfaces = { "127.0.0.1" }
c2s_ports = { $port }
s2s_ports = { }
http_ports = { }
https_ports = { }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
authentication = "internal_plain"
log = { error = "$work/prosody/prosody.log" }
modules_enabled = { "roster"; "saslauth"; "tls"; "disco"; "carbons"; "offline"; "ping"; "posix"; "smacks"; "mam" }
modules_disabled = { "s2s" }
VirtualHost "localhost"
CONFIG
for user in alice bob; do
  head -c 12 /dev/urandom | base64 > "$work/$user.password"
  chmod 600 "$work/$user.password"
  prosodyctl --config "$work/prosody/prosody.cfg.lua" register "$user" localhost \
    "$(cat "$work/$user.password")"
done
prosody --config "$work/prosody/prosody.cfg.lua" >"$work/prosody/out.log" 2>&1 &
pids+=($!)
wait_port "$port" "Prosody"
echo "Prosody on 127.0.0.1:$port with two accounts after $((($(date +%s%N) - started) / 1000000)) ms"

# Each has the other as a contact.
befriend() {  # user, contact
  { echo "add $2@localhost"; sleep 1; echo quit; } |
    /usr/bin/python3 tests/xmpp_peer.py --jid "$1@localhost" --password "$(cat "$work/$1.password")" \
      --port "$port" >/dev/null
}
befriend alice bob
befriend bob alice

web=$(free_port)
mkdir -p "$work/alice" "$work/bob"
"$bin/tools/parlavant-translator" --desktop "$work/alice/desktop" --web-port "$web" 2>/dev/null &
pids+=($!)
wait_port 4357 "the stand-in translator (is port 4357 taken?)"

side() {  # user, Receive, Send, Left, extra settings
  mkdir -p "$work/$1/config/parlavant"
  printf '[General]\r\nReceive=%s\r\nSend=%s\r\nShowWarn=1\r\nLeft=%s\r\nTop=10\r\n%b' "$2" "$3" "$4" "$5" \
    > "$work/$1/config/parlavant/parlavant.ini"
  XDG_CONFIG_HOME="$work/$1/config" XDG_STATE_HOME="$work/$1/state" "$bin/xmpp/parlavant-xmpp" --jid "$1@localhost" \
    --server "127.0.0.1:$port" --plain --password-file "$work/$1.password" \
    --desktop "$work/$1/desktop" &
  pids+=($!)
  PARLAVANT_DESKTOP="$work/$1/desktop" XDG_CONFIG_HOME="$work/$1/config" \
    XDG_DATA_HOME="$work/$1/data" "$bin/app/parlavant" &
  pids+=($!)
  parlavants+=($!)
}
parlavants=()
side alice 1 2 10 ""                                    # reads English, writes Spanish
side bob 2 1 510 "WebService=127.0.0.1:$web\r\n"        # reads Spanish, writes English

if [ -z "$shot" ]; then
  wait -n "${parlavants[@]}" || true
  exit 0
fi

# One message each way, typed as a person would, then the photograph. Whoever writes first picks
# the contact in "To" (Down chooses the first); the other answers the one whose page is on show.
say() {  # user, text, "pick" to choose the first contact
  local window
  window=$(timeout 30 xdotool search --sync --name "Parlavant 1.0:04 - $1@localhost" | head -n 1)
  xdotool windowfocus --sync "$window"
  xdotool key --window "$window" Tab
  xdotool type --window "$window" --delay 20 "$2"
  if [ "${3:-}" = pick ]; then
    xdotool key --window "$window" Tab Tab Down shift+Tab
  else
    xdotool key --window "$window" Tab
  fi
  xdotool key --window "$window" space
}
sleep 3
say alice "Hello Bob, are you coming to the station tomorrow?" pick
sleep 3
say bob "Hola Alice, si, llego a las ocho."
sleep 3
mkdir -p "$(dirname "$shot")"
import -window root -crop 1000x390+0+0 "$shot"
echo "wrote $shot"
