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
cmake --preset windows >/dev/null
cmake --build --preset windows

# A Wine prefix of the build's own, with the null graphics driver: no display is needed. The ANSI
# code page follows the locale: English gives 1252, as the program expects.
export WINEPREFIX=$PWD/build/windows-wine WINEDEBUG=-all LANG=en_US.UTF-8 WINEDLLOVERRIDES=mscoree,mshtml=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -k || true
  wineserver -w
fi
# The session is started before the tests, its output away from ctest's: Wine's helper processes
# inherit the first program's output and would keep ctest waiting for it to close. The server
# stays up between the tests, and is ended at the end whatever happened.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine wineboot >/dev/null 2>&1 </dev/null
ctest --preset windows
