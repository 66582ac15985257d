#!/usr/bin/env bash
# Photographs Parlavant on Windows (under Wine, on a virtual display) as a user meets it:
# installed with its installer, started from the Start menu's program, the account dialog of the
# first start filled in by the keyboard, then the window in a conversation with a person on a
# local Prosody, translated by the stand-in translator's web service, and the notification area's
# icon with its menu open. Writes docs/windows-launcher-dialog.png and docs/windows-launcher.png.
# Needs the Windows build (scripts/test-windows.sh makes it) and the Linux one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh screenshot windows
for built in build/windows/xmpp/parlavant-launcher.exe build/default/tools/parlavant-translator; do
  [ -x "$built" ] || { echo "screenshot-windows.sh: $built is missing: run scripts/test.sh" >&2; exit 1; }
done
source scripts/background.sh wshot
start_virtual_display 1024x640


# The server: on loopback, two accounts, TLS required with a certificate from an authority of
# the script's own, which the user names in the dialog.
port=$(free_port)
mkdir -p "$work/prosody/data" "$work/prosody/certs" "$work/certs"
tests/make_test_certs.sh "$work/certs"
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
c2s_require_encryption = true
ssl = { certificate = "$work/certs/good.crt"; key = "$work/certs/good.key" }
authentication = "internal_plain"
log = { error = "$work/prosody/prosody.log" }
modules_enabled = { "roster"; "saslauth"; "tls"; "disco"; "carbons"; "offline"; "ping"; "posix"; "smacks"; "mam" }
modules_disabled = { "s2s" }
VirtualHost "localhost"
CONFIG
for user in alice bob; do
  prosodyctl --config "$work/prosody/prosody.cfg.lua" register "$user" localhost "$user-secret"
done
prosody --config "$work/prosody/prosody.cfg.lua" >"$work/prosody/out.log" 2>&1 &
pids+=($!)
wait_port "$port" "Prosody"
befriend() {  # user, contact
  { echo "add $2@localhost"; sleep 1; echo quit; } |
    /usr/bin/python3 tests/xmpp_peer.py --jid "$1@localhost" --password "$1-secret" --port "$port" \
      --ca-file "$work/certs/ca.pem" >/dev/null
}
befriend alice bob
befriend bob alice

# The office's translation service: the stand-in translator's web side.
web=$(free_port)
build/default/tools/parlavant-translator --no-window --port "$(free_port)" --web-port "$web" 2>/dev/null &
pids+=($!)
wait_port "$web" "the stand-in translator"

# A prefix of its own on the virtual display: Wine's desktop with its taskbar and notification
# area, the size of the display.
export WINEPREFIX=$work/prefix WINEDEBUG=-all LANG=en_US.UTF-8 \
  WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x640 /f >/dev/null 2>&1
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
  /v 'Microsoft Sans Serif' /d Tahoma /f >/dev/null 2>&1
wineserver -w
makensis -V2 -DVERSION="$(sed -n 's/^project(Parlavant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" \
  -DBUILD="$PWD/build/windows" -DOUT="$work/parlavant-setup.exe" data/parlavant.nsi
wine "$work/parlavant-setup.exe" /S </dev/null >/dev/null 2>&1
# Alice reads English and writes Spanish; the window where the dialog leaves room.
profile=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Parlavant
mkdir -p "$profile"
printf '[General]\r\nReceive=1\r\nSend=2\r\nShowWarn=1\r\nLeft=440\r\nTop=20\r\nWidth=560\r\nHeight=400\r\n' \
  >"$profile/parlavant.ini"

wine explorer /desktop=Default,1024x640 'C:\Program Files\Parlavant\parlavant-launcher.exe' \
  </dev/null >"$work/launcher.out" 2>&1 &
pids+=($!)
dialog=$(timeout 60 xdotool search --sync --name 'Parlavant: chat account' | head -n 1)
sleep 2
# The dialog as a user fills it: address, password, (remember), server, port, (CA file), service.
xdotool windowfocus --sync "$dialog" 2>/dev/null || true
type() { LC_ALL=C.UTF-8 xdotool type --delay 30 "$1"; }
type alice@localhost
xdotool key Tab
type alice-secret
xdotool key Tab Tab
type 127.0.0.1
xdotool key Tab
type "$port"
xdotool key Tab
type "Z:${work//\//\\}\\certs\\ca.pem"
xdotool key Tab Tab
type "http://127.0.0.1:$web"
sleep 1
mkdir -p docs
import -window root docs/windows-launcher-dialog.png
xdotool key Return

# Bob writes; Alice answers in the window.
if ! timeout 60 xdotool search --sync --name 'Parlavant 1.0:04' >/dev/null; then
  import -window root /tmp/wshot-failed.png
  echo "screenshot-windows.sh: Parlavant's window did not come (the screen: /tmp/wshot-failed.png)" >&2
  cat "$work/launcher.out" >&2
  exit 1
fi
sleep 3
{
  sleep 2
  echo "send alice@localhost $(printf '%s' 'Hola Alice, ¿vienes mañana a la estación?' | od -An -tx1 | tr -d ' \n')"
  sleep 6
  echo quit
} | /usr/bin/python3 tests/xmpp_peer.py --jid bob@localhost --password bob-secret --port "$port" \
  --ca-file "$work/certs/ca.pem" >"$work/bob.out" 2>&1
window=$(xdotool search --name 'Parlavant 1.0:04' | head -n 1)
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key Tab
type "Sí, llego a las ocho."
xdotool key Tab space
sleep 4
# The icon's menu, opened where the notification area is: the right end of the taskbar.
xdotool mousemove 1008 628 click 3
sleep 1
import -window root docs/windows-launcher.png
xdotool key Escape
echo "wrote docs/windows-launcher-dialog.png and docs/windows-launcher.png"
wineserver -k || true
