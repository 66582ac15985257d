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
    build/default/tests/xmpp_windows_test --gtest_brief=1 || status=1
  [ -n "${server:-}" ] && kill "$server"
  wineserver -k
  wineserver -w
  exit $status' "$translator"

# The installer (NSIS, 64-bit: a 32-bit one would need wine32): installed silently into a path
# without spaces, the installed program started and closed as a user closes it (its settings
# then exist), and uninstalled again.
installer=build/windows/parlavant-setup.exe
makensis -V2 -DVERSION="$(sed -n 's/^project(Parlavant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" \
  -DBUILD="$PWD/build/windows" -DOUT="$PWD/$installer" data/parlavant.nsi
target=$WINEPREFIX/drive_c/ParlavantTest
settings=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Parlavant/parlavant.ini
rm -rf "$target" "$settings"
fail() { echo "installer: $1" >&2; exit 1; }
wine "$installer" /S '/D=C:\ParlavantTest' </dev/null >/dev/null 2>&1 || fail "the installer failed"
for f in parlavant.exe stintf.dat parlavant-chatclient.exe uninstall.exe; do
  [ -f "$target/$f" ] || fail "$f is not installed"
done
wine 'C:\ParlavantTest\parlavant.exe' </dev/null >/dev/null 2>&1 &
program=$!
for _ in $(seq 50); do [ -n "$(wine tasklist 2>/dev/null | grep -i parlavant.exe)" ] && break; sleep 0.1; done
sleep 2
kill -0 "$program" 2>/dev/null || fail "the installed program ended by itself"
# While it runs, neither the installer nor the uninstaller goes ahead: they say so and fail.
if wine "$installer" /S '/D=C:\ParlavantTest' </dev/null >/dev/null 2>&1; then
  fail "the installer went ahead while Parlavant ran"
fi
if wine 'C:\ParlavantTest\uninstall.exe' /S '_?=C:\ParlavantTest' </dev/null >/dev/null 2>&1; then
  fail "the uninstaller went ahead while Parlavant ran"
fi
[ -f "$target/parlavant.exe" ] && [ -f "$target/uninstall.exe" ] || fail "a refused run removed files"
wine taskkill /IM parlavant.exe >/dev/null 2>&1 || true
wait "$program" || true
[ -f "$settings" ] || fail "the installed program did not close as a user closes it"
# The Windows process may outlive its Unix loader by a moment, and the uninstaller would find it
# still running.
for _ in $(seq 200); do [ -z "$(wine tasklist 2>/dev/null | grep -i parlavant.exe)" ] && break; sleep 0.1; done
wine 'C:\ParlavantTest\uninstall.exe' /S '_?=C:\ParlavantTest' </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
[ ! -e "$target/parlavant.exe" ] || fail "the uninstaller left the program"
rm -rf "$target" "$settings"
echo "installer: installed, refused while running, started, closed and uninstalled under Wine"
