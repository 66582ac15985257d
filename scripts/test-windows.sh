#!/usr/bin/env bash
# The Windows build: cross-compiled with mingw-w64, every test that needs no Qt run under Wine
# (the desktop on Wine's user32, the settings file through its profile functions, TCP on its
# Winsock). Fails, and does not skip, when mingw or Wine is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
for tool in x86_64-w64-mingw32-g++-posix wine wineserver; do
  command -v "$tool" >/dev/null || { echo "test-windows.sh: $tool is missing" >&2; exit 1; }
done

# GoogleTest for mingw, from Debian's sources, into the build tree (once).
deps=$PWD/build/windows-deps
if [ ! -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B build/windows-gtest -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" >/dev/null
  cmake --build build/windows-gtest >/dev/null
  cmake --install build/windows-gtest >/dev/null
fi
sqlite=$(scripts/windows-sqlite.sh)
xmpp=$(scripts/windows-xmpp-deps.sh)
cmake --preset windows -DPARLAVANT_SQLITE_DIR="$sqlite" -DPARLAVANT_XMPP_DEPS="$xmpp" >/dev/null
cmake --build --preset windows

# A Wine prefix of the build's own, with the null graphics driver: no display is needed. The ANSI
# code page follows the locale: English gives 1252, as the program expects.
# winemenubuilder would write the installer's Start-menu entry into this machine's own menus.
export WINEPREFIX=$PWD/build/windows-wine WINEDEBUG=-all LANG=en_US.UTF-8 \
  WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -k || true
  wineserver -w
fi
# The window's designed faces: Wine's own fonts (fonts-wine, which Wine only recommends) in the
# prefix, "MS Sans Serif" among them; "Microsoft Sans Serif", the face of every control that
# shows Bulgarian, is not there and is taken as Tahoma, which has Cyrillic.
if [ ! -f "$WINEPREFIX/parlavant-fonts" ]; then
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'Microsoft Sans Serif' /d Tahoma /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/parlavant-fonts"
fi
# In a network of their own: the desktop translator's port is fixed, and nothing else on this
# machine may answer there or be disturbed. Wine makes sockets in its server, so the server runs
# in that network too. The session is started before the tests, its output away from ctest's:
# Wine's helper processes inherit the first program's output and would keep ctest waiting for it
# to close. The server stays up between the tests, and is ended at the end whatever happened.
# The Linux build's stand-in translator, where there is one, serves as their web service.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
translator=$PWD/build/default/tools/parlavant-translator
# parlavant-xmpp.exe against a real Prosody is driven from the Linux side, by a test of the Linux
# build (Prosody and the certificates are Linux's).
if [ ! -f build/default/CMakeCache.txt ]; then
  echo "test-windows.sh: build the default preset first (scripts/test.sh does)" >&2
  exit 1
fi
cmake --build build/default --target xmpp_windows_test parlavant-translator >/dev/null
PARLAVANT_PRIVATE_NETWORK=1 unshare --net bash -c '
  ip link set lo up
  wineserver -p
  wine wineboot >/dev/null 2>&1 </dev/null
  if [ -x "$0" ]; then
    "$0" --no-window --port 4359 --web-port 4358 --engine echo >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/4358) 2>/dev/null && break; sleep 0.1; done
    export PARLAVANT_WEB_TRANSLATOR=127.0.0.1:4358
    # The TLS services that the translation client'"'"'s test reaches (with a translator of their own).
    tests/with_tls_peers.sh "$0" ctest --preset windows
    status=$?
  else
    ctest --preset windows
    status=$?
  fi
  PARLAVANT_XMPP_EXE=$PWD/build/windows/xmpp/parlavant-xmpp.exe \
    PARLAVANT_LINKDEMO_EXE=$PWD/build/windows/tools/parlavant-linkdemo.exe \
    PARLAVANT_LAUNCHER_TEST_EXE=$PWD/build/windows/xmpp/launcher_win32_test.exe \
    PARLAVANT_WINDOW_EXE=$PWD/build/windows/app/parlavant.exe \
    build/default/tests/xmpp_windows_test --gtest_brief=1 || status=1
  [ -n "${server:-}" ] && kill "$server"
  wineserver -k
  wineserver -w
  exit $status' "$translator"

# The installer (NSIS, 64-bit: a 32-bit one would need wine32): installed silently into a path
# without spaces; the Start menu's program (the launcher) started with a saved account, as a user
# starts it: it brings up Parlavant's window, a second start hands over to it, the installer and
# the uninstaller refuse while it runs, and its Quit ends everything it started. Uninstalled
# again, the user's settings stay.
installer=build/windows/parlavant-setup.exe
makensis -V2 -DVERSION="$(sed -n 's/^project(Parlavant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" \
  -DBUILD="$PWD/build/windows" -DOUT="$PWD/$installer" data/parlavant.nsi
target=$WINEPREFIX/drive_c/ParlavantTest
profile=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Parlavant
settings=$profile/parlavant.ini
rm -rf "$target" "$profile"
fail() { echo "installer: $1" >&2; exit 1; }
# How many Windows programs named $1 run in this prefix (Wine's tasklist needs its 32-bit half,
# and lists nothing without it): each is a process of this machine's, its path its command line.
running() {
  local count=0 pid
  for pid in $(pgrep -f -i "\\\\$1" || true); do
    grep -qz "^WINEPREFIX=$WINEPREFIX\$" "/proc/$pid/environ" 2>/dev/null && count=$((count + 1))
  done
  echo "$count"
}
wine "$installer" /S '/D=C:\ParlavantTest' </dev/null >/dev/null 2>&1 || fail "the installer failed"
for f in parlavant.exe stintf.dat parlavant-chatclient.exe parlavant-xmpp.exe parlavant-launcher.exe \
  uninstall.exe; do
  [ -f "$target/$f" ] || fail "$f is not installed"
done
entry=$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Parlavant/Parlavant.lnk' | head -n 1)
[ -n "$entry" ] || fail "there is no Start-menu entry"
[[ "$(strings -a "$entry"; strings -a -el "$entry")" == *'\parlavant-launcher.exe'* ]] ||
  fail "the Start menu's entry does not start the launcher"
# An account saved by an earlier start, on a server that is not there: it keeps trying.
mkdir -p "$profile"
printf '[Account]\r\nJid=alice@localhost\r\nServer=127.0.0.1:1\r\nPlain=1\r\nPasswordEnv=PARLAVANT_TEST_PASSWORD\r\n' \
  >"$profile/parlavant-xmpp.ini"
export PARLAVANT_TEST_PASSWORD=alice-secret
wine 'C:\ParlavantTest\parlavant-launcher.exe' </dev/null >/dev/null 2>&1 &
launcher=$!
for _ in $(seq 300); do [ "$(running parlavant.exe)" = 1 ] && break; sleep 0.1; done
[ "$(running parlavant.exe)" = 1 ] || fail "the launcher did not bring up Parlavant's window"
timeout 60 wine 'C:\ParlavantTest\parlavant-launcher.exe' </dev/null >/dev/null 2>&1 ||
  fail "a second start did not hand over to the first"
[ "$(running parlavant-launcher.exe)" = 1 ] || fail "a second start stayed, or ended the first"
kill -0 "$launcher" 2>/dev/null || fail "the launcher ended by itself"
# While it runs, neither the installer nor the uninstaller goes ahead: they say so and fail.
if wine "$installer" /S '/D=C:\ParlavantTest' </dev/null >/dev/null 2>&1; then
  fail "the installer went ahead while Parlavant ran"
fi
if wine 'C:\ParlavantTest\uninstall.exe' /S '_?=C:\ParlavantTest' </dev/null >/dev/null 2>&1; then
  fail "the uninstaller went ahead while Parlavant ran"
fi
[ -f "$target/parlavant.exe" ] && [ -f "$target/uninstall.exe" ] || fail "a refused run removed files"
# Quit, as the launcher's window is closed: everything it started ends with it, the window as a
# user closes it (its settings then exist).
wine taskkill /IM parlavant-launcher.exe >/dev/null 2>&1 || true
wait "$launcher" || true
[ -f "$settings" ] || fail "the launcher's Quit did not close Parlavant's window as a user closes it"
# The Windows process may outlive its Unix loader by a moment, and the uninstaller would find it
# still running.
left() { echo $(($(running parlavant.exe) + $(running parlavant-launcher.exe))); }
for _ in $(seq 200); do [ "$(left)" = 0 ] && break; sleep 0.1; done
[ "$(left)" = 0 ] || fail "a process is left after Quit"
wine 'C:\ParlavantTest\uninstall.exe' /S '_?=C:\ParlavantTest' </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
[ ! -e "$target/parlavant.exe" ] && [ ! -e "$target/parlavant-launcher.exe" ] ||
  fail "the uninstaller left the program"
[ ! -e "$entry" ] || fail "the uninstaller left the Start-menu entry"
[ -f "$settings" ] && [ -f "$profile/parlavant-xmpp.ini" ] || fail "the uninstaller removed the user's settings"
rm -rf "$target" "$profile"
echo "installer: installed; the launcher started the window, handed a second start over, kept both installer and uninstaller out, and quit leaving no process; uninstalled, settings kept"
