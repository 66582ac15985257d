#!/usr/bin/env bash
# Certificates for the TLS tests, in DIR: an authority of the tests' own (ca.pem) and another
# nobody trusts (rogue.pem); server certificates for localhost and 127.0.0.1 from the first
# (good), for another name (wrongname), out of date (expired, signed at a fake time), and from
# the second (unknown). Each as NAME.crt and NAME.key, and both in NAME.pem.
#   tests/make_test_certs.sh DIR
set -euo pipefail
cd "$1"
authority() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 \
    -subj "/CN=$2" 2>/dev/null
}
leaf() {  # name, authority, subjectAltName, and any words for the environment (a fake time)
  local name="$1" ca="$2" names="$3"
  shift 3
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=parlavant" \
    2>/dev/null
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$names" > "$name.ext"
  env "$@" openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial \
    -days 2 -extfile "$name.ext" -out "$name.crt" 2>/dev/null
  cat "$name.crt" "$name.key" > "$name.pem"
}
authority ca "Parlavant Test CA"
authority rogue "Somebody Else's CA"
leaf good ca "DNS:localhost,IP:127.0.0.1"
leaf wrongname ca "DNS:other.example"
leaf expired ca "DNS:localhost,IP:127.0.0.1" \
  LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME="@2020-01-01 00:00:00"
leaf unknown rogue "DNS:localhost,IP:127.0.0.1"
