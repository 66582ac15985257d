#!/usr/bin/env bash
# Installs what is missing, builds, and runs Parlavant's side of the chat client link against the
# stand-in chat client on a desktop of their own. The client announces itself, a contact writes
# twice, and whatever you type as "to HANDLE TEXT" is sent through the link. Ctrl-D ends it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

work=$(mktemp -d /tmp/parlavant-run.XXXXXX)
client_pid=""
cleanup() {
  if [ -n "$client_pid" ]; then
    kill "$client_pid" 2>/dev/null || true
    wait "$client_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/script" <<'SCRIPT'
wait-attached 10000
sleep 300
receive bob Hola, \xC2\xBFqu\xC3\xA9 tal?
sleep 300
receive carol Bonjour  tout le monde
SCRIPT

build/default/tools/parlavant-chatclient --desktop "$work/desktop" --user alice \
  --contacts bob,carol --script "$work/script" --transcript "$work/transcript" </dev/null &
client_pid=$!

if [ -t 0 ]; then
  build/default/tools/parlavant-linkdemo "$work/desktop"
else
  # Nobody to type: show the exchange for a few seconds.
  build/default/tools/parlavant-linkdemo "$work/desktop" --seconds 3 </dev/null
fi
echo "--- what the chat client saw ---"
cat "$work/transcript"
