#!/usr/bin/env bash
# Installs what Parlavant needs to build, test and run on Debian 12, from Debian's packages only.
# Idempotent: packages already installed are left alone, and apt-get runs only when one is missing.
#   scripts/install-deps.sh              what building, testing and running need
#   scripts/install-deps.sh screenshot   also a virtual display and the tools to photograph it
#   scripts/install-deps.sh package      also what building and checking the Debian package takes
#   scripts/install-deps.sh windows      also the mingw-w64 cross-compiler and Wine
#   scripts/install-deps.sh bench        also apertium-apy, the translation benchmark's peer
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  # the program: Qt for the window (Qt Network for parlavant-xmpp's desktop mode and the cookie
  # store's comparison test), and a face with the metrics of the window's designed fonts
  qt6-base-dev fonts-liberation2
  # the conversations' history
  libsqlite3-dev
  # TLS to a translation service (the XMPP library uses the same)
  libssl-dev
  # the stand-in translator: language detection, translation engine and pairs; the translation
  # benchmark's HTTP client
  libcpp-httplib-dev libcld2-dev apertium
  apertium-eng-spa apertium-fr-es apertium-spa-ita apertium-mkd-eng apertium-mkd-bul
  # the office translation service's balancer, for the script that starts one and its tests
  haproxy
  # the XMPP chat client, and for its tests and demo a local server (with the resolver library
  # it looks for at every start) and a remote person
  libstrophe-dev prosody lua-unbound python3-slixmpp openssl
  # the desktop: the keyring (libsecret; the keyring daemon, a session bus and a display for
  # its tests)
  libsecret-1-dev gnome-keyring dbus-daemon xvfb
  # a person at the keyboard and the mouse of a real window, in the day-long test
  xdotool
  # a dead network path for the XMPP tests, in a namespace of their own
  nftables iproute2 util-linux
  # a clock of its own for the XMPP client in a test (a preloaded library)
  libfaketime
  # tests, benchmarks, fuzzing
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev curl
)

case "${1:-}" in
  screenshot) packages+=(xvfb xdotool imagemagick icewm) ;;
  package) packages+=(dpkg-dev strace xvfb xdotool imagemagick help2man man-db lintian) ;;
  # SQLite from Debian's source package: its tools make the single source file with tclsh
  windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev nsis fonts-wine
                      tcl patch xz-utils autoconf automake libtool gpgv) ;;
  bench) packages+=(apertium-apy libssl-dev) ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

# Installing Prosody, HAProxy or apertium-apy starts the system's own server (apertium-apy's on
# every interface); the tests, the demo, the office script and the benchmark run servers of their
# own, on loopback or in a network namespace of their own, so the system's are stopped and kept
# from starting at boot.
for service in prosody haproxy apertium-apy; do
  if [[ " ${missing[*]} " == *" $service "* ]]; then
    if [ -d /run/systemd/system ]; then
      "${sudo[@]}" systemctl disable --now "$service" || true
    elif [ -x "/etc/init.d/$service" ]; then
      "${sudo[@]}" "/etc/init.d/$service" stop >/dev/null 2>&1 || true
      "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
    fi
  fi
done
