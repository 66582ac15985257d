#!/usr/bin/env bash
# Starts an office translation service on this machine: N parlavant-translator instances on
# loopback, and HAProxy in front of them on the address people reach, with TLS when given a
# certificate. Runs until stopped (Ctrl-C, SIGTERM), then stops what it started, by process id.
#
#   scripts/office-service.sh [options]
#     --instances N     translator instances (default 2)
#     --bind ADDR:PORT  where HAProxy listens (default 0.0.0.0:443 with --cert, 127.0.0.1:4358
#                       without)
#     --cert PEM        TLS certificate, its chain and key in one file (HAProxy's crt)
#     --keys FILE       API keys, one a line: a request without one is answered 401, one with
#                       another key 403 (default: no key needed)
#     --rate N          requests per client in any 10 s, beyond which it gets 429 (default 600)
#     --max-body BYTES  longest request body an instance takes (default 65536)
#     --base-port P     the first instance's port; the others follow (default 4401)
#     --translator PATH the program (default: the one installed, or this tree's build)
#     --work DIR        where the configuration, the logs and the instances' process ids go
#                       (default: a new temporary one)
#     --check           write the configuration into the work directory, have HAProxy check
#                       it, and start nothing
#     -- ARGS           further options for every instance (parlavant-translator --help)
#
# Over several machines: run `parlavant-translator --service --bind 0.0.0.0 --web-port 4358` on
# each, and give HAProxy (data/haproxy/parlavant-translator.cfg) one "server" line per machine.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
instances=2 bind="" cert="" rate=600 max_body=65536 base_port=4401 translator="" work="" extra=() check=0 keys=""
while (($#)); do
  case "$1" in
    --instances) instances="$2"; shift 2 ;;
    --bind) bind="$2"; shift 2 ;;
    --cert) cert="$2"; shift 2 ;;
    --keys) keys="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --max-body) max_body="$2"; shift 2 ;;
    --base-port) base_port="$2"; shift 2 ;;
    --translator) translator="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --check) check=1; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "office-service: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
for number in "$instances" "$rate" "$max_body" "$base_port"; do
  [[ "$number" =~ ^[0-9]+$ ]] || { echo "office-service: not a number: $number" >&2; exit 2; }
done

if [ -z "$translator" ]; then
  translator="$(command -v parlavant-translator || true)"
  [ -n "$translator" ] || translator="$here/build/default/tools/parlavant-translator"
fi
[ -x "$translator" ] || { echo "office-service: no translator at $translator" >&2; exit 1; }
command -v haproxy >/dev/null || { echo "office-service: HAProxy is not installed" >&2; exit 1; }
template="$here/data/haproxy/parlavant-translator.cfg"
[ -f "$template" ] || template=/usr/share/parlavant/haproxy/parlavant-translator.cfg
if [ -n "$cert" ]; then
  [ -r "$cert" ] || { echo "office-service: cannot read $cert" >&2; exit 1; }
  tls="ssl crt $cert"
  bind="${bind:-0.0.0.0:443}"
else
  tls=""
  bind="${bind:-127.0.0.1:4358}"
fi
work="${work:-$(mktemp -d -t parlavant-office.XXXXXX)}"
mkdir -p "$work"
keycheck=""
if [ -n "$keys" ]; then
  [ -r "$keys" ] || { echo "office-service: cannot read $keys" >&2; exit 1; }
  keys="$(cd "$(dirname "$keys")" && pwd)/$(basename "$keys")"
  keycheck="    http-request return status 401 content-type text/plain string \"API key required\" unless { req.hdr(X-Api-Key) -m found }
    http-request return status 403 content-type text/plain string \"Unknown API key\" unless { req.hdr(X-Api-Key) -f $keys }"
fi

servers=""
for ((i = 0; i < instances; ++i)); do
  servers+="    server t$((i + 1)) 127.0.0.1:$((base_port + i))"$'\n'
done
# Room for the body, a head of 16 KiB, and HAProxy's own rewriting.
bufsize=$((max_body + 16384 + 1024))
awk -v bind="$bind" -v tls="$tls" -v rate="$rate" -v body="$max_body" -v buf="$bufsize" \
    -v servers="$servers" -v keycheck="$keycheck" '
  $0 == "@SERVERS@" { printf "%s", servers; next }
  $0 == "@KEYCHECK@" { if (keycheck != "") print keycheck; next }
  { gsub("@BIND@", bind); gsub("@TLS@", tls); gsub("@RATE@", rate); gsub("@MAXBODY@", body);
    gsub("@BUFSIZE@", buf); print }' "$template" > "$work/haproxy.cfg"
if ((check)); then
  haproxy -c -f "$work/haproxy.cfg"
  echo "office-service: $work/haproxy.cfg for $instances instances of $translator"
  exit 0
fi

instance_pids=() haproxy_pid=""
stop() {
  trap - EXIT INT TERM
  # HAProxy first, so that nobody is sent to an instance on its way out; then the instances,
  # each answering what it holds before it goes.
  [ -z "$haproxy_pid" ] || { kill -TERM "$haproxy_pid" 2>/dev/null; wait "$haproxy_pid"; } || true
  for pid in "${instance_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${instance_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop EXIT
trap 'exit 0' INT TERM

start_instance() {
  "$translator" --service --web-port $(($base_port + $1)) --max-body "$max_body" "${extra[@]}" \
    2>>"$work/translator-$(($1 + 1)).log" &
  instance_pids[$1]=$!
  echo $! > "$work/translator-$(($1 + 1)).pid"
}
for ((i = 0; i < instances; ++i)); do start_instance "$i"; done
haproxy -c -q -f "$work/haproxy.cfg"
haproxy -db -f "$work/haproxy.cfg" 2>"$work/haproxy.log" &
haproxy_pid=$!
echo "office-service: $instances instances behind HAProxy on $bind${cert:+ (TLS)}; logs in $work"
# An instance that ends is started again (HAProxy sends its requests elsewhere meanwhile); the
# service ends with HAProxy.
while :; do
  wait -n || true
  if ! kill -0 "$haproxy_pid" 2>/dev/null; then
    echo "office-service: HAProxy ended (see $work/haproxy.log); stopping the instances" >&2
    haproxy_pid=""
    exit 1
  fi
  for ((i = 0; i < instances; ++i)); do
    if ! kill -0 "${instance_pids[i]}" 2>/dev/null; then
      wait "${instance_pids[i]}" 2>/dev/null || true
      echo "office-service: instance $((i + 1)) ended; starting it again" >&2
      sleep 1
      start_instance "$i"
    fi
  done
done
