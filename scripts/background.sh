# Sourced by the scripts that start programs: `source scripts/background.sh NAME` makes a scratch
# directory ($work) and a list of what they start in the background ($pids); on exit each of
# those is ended by its id, the last started first (a virtual display outlives its windows), and
# the directory is removed.
work=$(mktemp -d "/tmp/parlavant-$1.XXXXXX")
pids=()
# Qt wants a private runtime directory; a session without one (a root shell, ssh) gets ours.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$work/runtime
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a virtual display of our own (640x480, or the size given as WxH) and shows what follows
# on it.
start_virtual_display() {
  local display=:$((90 + RANDOM % 9))
  Xvfb "$display" -screen 0 "${1:-640x480}x24" -nolisten tcp &
  pids+=($!)
  export DISPLAY=$display
  sleep 1
}

# A free port on loopback, and a wait until a port answers (or the script ends, naming `what`).
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {  # port, what
  for _ in $(seq 200); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "$(basename "$0"): $2 did not start" >&2
  exit 1
}
