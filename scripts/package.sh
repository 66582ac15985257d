#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, and checks the installed
# program: it starts from another directory, reads its interface texts from where the package
# put them, and shows the localised window. Leaves the package installed and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh package
cmake --preset release >/dev/null
cmake --build --preset release
(cd build/release && cpack >/dev/null)
deb=$(ls "$PWD"/build/release/parlavant_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb --field "$deb" Depends Recommends Suggests
# Debian's own check: no error and no warning; what it only notes is listed, and justified in the
# README ("The package").
echo "lintian:"
lintian --info --display-info "$deb" | tee "$PWD/build/release/lintian.txt" | sed 's/^/  /'
if grep -qE '^[EW]: ' "$PWD/build/release/lintian.txt"; then
  echo "lintian found errors or warnings" >&2
  exit 1
fi

apt-get install -y --reinstall "$deb" >/dev/null
for f in /usr/bin/parlavant /usr/bin/parlavant-chatclient /usr/bin/parlavant-translator /usr/bin/parlavant-xmpp \
         /usr/bin/parlavant-stintf /usr/share/parlavant/stintf.dat \
         /usr/share/applications/parlavant.desktop /usr/share/icons/hicolor/scalable/apps/parlavant.svg \
         /usr/share/doc/parlavant/README.md /usr/share/doc/parlavant/docs/account-dialog.png \
         /usr/share/doc/parlavant/copyright /usr/share/doc/parlavant/changelog.gz \
         /usr/share/parlavant/haproxy/parlavant-translator.cfg; do
  test -e "$f" || { echo "missing after install: $f" >&2; exit 1; }
done
# The office script finds the installed configuration and translator, and HAProxy takes what it
# makes of them.
/usr/share/parlavant/office-service.sh --check --work "$(mktemp -d)" |
  grep -q "instances of /usr/bin/parlavant-translator" ||
  { echo "the installed office script does not make a configuration HAProxy takes" >&2; exit 1; }
# Every program has its man page and answers --version; the menu starts the desktop mode.
for program in parlavant parlavant-xmpp parlavant-translator parlavant-chatclient parlavant-stintf; do
  page=$(man -w "$program") || { echo "no man page for $program" >&2; exit 1; }
  [[ $page == *.gz ]] || { echo "the man page $page is not gzipped" >&2; exit 1; }
  for section in SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS"; do
    MANWIDTH=100 man "$program" 2>/dev/null | grep -q "^$section" ||
      { echo "the man page of $program has no $section" >&2; exit 1; }
  done
  QT_QPA_PLATFORM=offscreen "$program" --version | grep -q "^$program [0-9]" ||
    { echo "$program --version says no version" >&2; exit 1; }
done
grep -qx 'Exec=parlavant-xmpp --launch' /usr/share/applications/parlavant.desktop ||
  { echo "the desktop entry does not start the desktop mode" >&2; exit 1; }
MANWIDTH=100 man parlavant-xmpp 2>/dev/null | grep -q "^THE MENU ENTRY AND THE LAUNCHER" ||
  { echo "parlavant-xmpp's man page does not tell of the menu entry" >&2; exit 1; }
# The installed README speaks to someone who has the package, not the source tree.
if grep -nE 'scripts/|build/(default|release)' /usr/share/doc/parlavant/README.md; then
  echo "the installed README points into the source tree" >&2
  exit 1
fi
echo "man pages, --version, the user README, copyright and the desktop entry are in place"

source scripts/background.sh pkg
mkdir -p "$work/config/parlavant" "$work/elsewhere" "$work/bare" "$work/beside"
printf '[General]\r\nReceive=2\r\nLeft=10\r\nTop=10\r\n' > "$work/config/parlavant/parlavant.ini"

# Started from a directory without the texts, the installed program must open the installed ones.
cd "$work/elsewhere"
# strace passes no signal on while it writes to a file: the program itself is ended, by the id
# it wrote down, and strace ends with it.
QT_QPA_PLATFORM=offscreen PARLAVANT_DESKTOP="$work/desktop" XDG_CONFIG_HOME="$work/config" \
  strace -f -e trace=openat -o "$work/opened" sh -c 'echo $$ > "$0"; exec parlavant' "$work/pid" &
tracer=$!
sleep 4
kill "$(cat "$work/pid")"
wait "$tracer" 2>/dev/null || true
if ! grep -E 'share/parlavant/stintf\.dat", O_RDONLY' "$work/opened" | grep -vq ENOENT; then
  echo "the installed program did not open its interface texts" >&2
  exit 1
fi
echo "installed program started from $work/elsewhere and read $(grep -oE '"[^"]*share/parlavant/stintf\.dat"' "$work/opened" | grep -v ENOENT | head -n 1)"
/usr/bin/parlavant-stintf read /usr/share/parlavant/stintf.dat | grep ';5;'

# And its window is the localised one: photographed on a virtual display, it looks like a copy
# of the program that has the texts beside it, and unlike a copy that has none (the designed
# English texts).
start_virtual_display
cp /usr/bin/parlavant "$work/bare/parlavant"
cp /usr/bin/parlavant "$work/beside/parlavant"
cp /usr/share/parlavant/stintf.dat "$work/beside/stintf.dat"
photograph() {  # program, picture
  PARLAVANT_DESKTOP="$work/desktop" XDG_CONFIG_HOME="$work/config" "$1" &
  local pid=$!
  local window
  window=$(timeout 20 xdotool search --sync --name "Parlavant 1.0" | head -n 1)
  sleep 1
  import -window "$window" "$2"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}
photograph parlavant "$work/installed.png"
photograph "$work/bare/parlavant" "$work/designed.png"
photograph "$work/beside/parlavant" "$work/localised.png"
differing() { compare -metric AE "$1" "$2" null: 2>&1 || true; }
unlike=$(differing "$work/installed.png" "$work/designed.png")
like=$(differing "$work/installed.png" "$work/localised.png")
echo "pixels unlike the designed window: $unlike; unlike the localised one: $like"
if [ "${unlike%%.*}" -lt 100 ] || [ "${like%%.*}" -gt 20 ]; then
  echo "the installed program does not show the localised window" >&2
  exit 1
fi
echo "the installed program shows the localised window"
