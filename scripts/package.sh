#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, and checks the installed
# program: it starts from another directory and reads its interface texts from where the package
# put them. Leaves the package installed and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh package
cmake --preset release >/dev/null
cmake --build --preset release
(cd build/release && cpack >/dev/null)
deb=$(ls "$PWD"/build/release/parlavant_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb --field "$deb" Depends Recommends

apt-get install -y --reinstall "$deb" >/dev/null
for f in /usr/bin/parlavant /usr/bin/parlavant-chatclient /usr/bin/parlavant-translator \
         /usr/bin/parlavant-stintf /usr/share/parlavant/stintf.dat \
         /usr/share/applications/parlavant.desktop /usr/share/icons/hicolor/scalable/apps/parlavant.svg; do
  test -e "$f" || { echo "missing after install: $f" >&2; exit 1; }
done

work=$(mktemp -d /tmp/parlavant-pkg.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/config/parlavant" "$work/elsewhere"
printf '[General]\r\nReceive=2\r\n' > "$work/config/parlavant/parlavant.ini"

# Started from a directory without the texts: it must open the installed ones.
cd "$work/elsewhere"
QT_QPA_PLATFORM=offscreen PARLAVANT_DESKTOP="$work/desktop" XDG_CONFIG_HOME="$work/config" \
  strace -f -e trace=openat -o "$work/opened" parlavant &
pid=$!
sleep 4
if ! grep -E 'share/parlavant/stintf\.dat", O_RDONLY' "$work/opened" | grep -vq ENOENT; then
  echo "the installed program did not open its interface texts" >&2
  exit 1
fi
echo "installed program started from $work/elsewhere and read $(grep -oE '"[^"]*share/parlavant/stintf\.dat"' "$work/opened" | grep -v ENOENT | head -n 1)"
/usr/bin/parlavant-stintf read /usr/share/parlavant/stintf.dat | grep ';5;'
