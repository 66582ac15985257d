#!/usr/bin/env bash
# Runs a command with TLS translation services around it, on loopback: a certificate authority
# of its own, and HAProxy terminating TLS in front of the stand-in translator (echo engine) with
# a good certificate, one for another name, an expired one and one from an unknown authority; the
# office service with that good certificate and API keys; a server that takes connections and
# never speaks. Their ports and files go to the command in PARLAVANT_TLS_* variables; everything
# started here is stopped by process id when the command ends, and its status is the command's.
#   tests/with_tls_peers.sh TRANSLATOR COMMAND [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
translator="$1"
shift
dir="$(mktemp -d -t parlavant-tls.XXXXXX)"
caller="$PWD"
pids=()
cleanup() {
  for ((k = ${#pids[@]} - 1; k >= 0; --k)); do kill -TERM "${pids[k]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"

# The authorities, and certificates for localhost (and 127.0.0.1) signed by them.
"$here/tests/make_test_certs.sh" "$dir"

port() {  # a loopback port free a moment ago
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
plain=$(port)
"$translator" --service --engine echo --web-port "$plain" 2>"$dir/translator.log" &
pids+=("$!")

# One HAProxy, a frontend per certificate, all in front of the same translator.
declare -A ports
{
  echo "defaults"
  echo "    mode http"
  echo "    timeout connect 2s"
  echo "    timeout client 10s"
  echo "    timeout server 10s"
  for name in good wrongname expired unknown; do
    ports[$name]=$(port)
    echo "frontend $name"
    echo "    bind 127.0.0.1:${ports[$name]} ssl crt $dir/$name.pem"
    echo "    default_backend translator"
  done
  echo "backend translator"
  echo "    server t 127.0.0.1:$plain"
} > haproxy.cfg
haproxy -db -f haproxy.cfg 2>"$dir/haproxy.log" &
pids+=("$!")

# The office service as its script starts it, with keys.
printf 'office-key-1\noffice-key-2\n' > keys.txt
keyed=$(port)
keyedBase=$(port)
"$here/scripts/office-service.sh" --instances 1 --cert "$dir/good.pem" --keys "$dir/keys.txt" \
  --bind "127.0.0.1:$keyed" --base-port "$keyedBase" --translator "$translator" \
  --work "$dir/office" -- --engine echo >"$dir/office.log" 2>&1 &
pids+=("$!")

# Takes connections and says nothing: a handshake that never ends.
stall=$(port)
/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(16)
held = []
end = time.time() + 600
while time.time() < end:
    s.settimeout(1)
    try: held.append(s.accept()[0])
    except socket.timeout: pass
' "$stall" &
pids+=("$!")

wait_for() {  # port: until something listens there, for up to 30 s
  for _ in $(seq 300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "with_tls_peers: nothing listens on $1" >&2
  return 1
}
for p in "$plain" "${ports[@]}" "$keyed" "$keyedBase" "$stall"; do wait_for "$p"; done

export PARLAVANT_TLS_CA="$dir/ca.pem" PARLAVANT_TLS_PLAIN="$plain" \
  PARLAVANT_TLS_GOOD="${ports[good]}" PARLAVANT_TLS_WRONG_NAME="${ports[wrongname]}" \
  PARLAVANT_TLS_EXPIRED="${ports[expired]}" PARLAVANT_TLS_UNKNOWN="${ports[unknown]}" \
  PARLAVANT_TLS_KEYED="$keyed" PARLAVANT_TLS_KEY=office-key-2 PARLAVANT_TLS_STALL="$stall"
status=0
cd "$caller"
"$@" || status=$?
exit "$status"
