#!/usr/bin/env bash
# Makes the certificates of the TLS tests in DIR (P-256 keys, one key for
# every server certificate):
#   ca.pem        the test CA, the one smtp-ca-file names
#   good.pem      by the CA, for localhost and 127.0.0.1
#   other.pem     by the CA, for mail.other.test only
#   expired.pem   by the CA, for localhost and 127.0.0.1, expired a day ago
#   unknown.pem   for localhost and 127.0.0.1, by a CA nobody trusts
#   self.pem      for localhost and 127.0.0.1, signed by its own key
#   server.key    the key of all five
# Usage: make_test_certs.sh DIR
set -euo pipefail
dir=$1
cd "$dir"
names="subjectAltName=DNS:localhost,IP:127.0.0.1"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {  # ca NAME SUBJECT
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 30 -out "$1.pem" 2>/dev/null
}
# issue CERT CA SAN DAYS
issue() {
  printf '%s\nbasicConstraints=CA:FALSE\n' "$3" >"$1.ext"
  openssl req -new -key server.key -subj /CN=quarn-test-server -out "$1.csr" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "$4" \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

ca ca "quarn test CA"
ca stranger "unknown test CA"
key server.key
issue good ca "$names" 30
issue other ca "subjectAltName=DNS:mail.other.test" 30
issue expired ca "$names" -1  # valid from now until a day ago
issue unknown stranger "$names" 30
openssl req -x509 -new -key server.key -subj /CN=localhost -addext "$names" -days 30 \
  -out self.pem 2>/dev/null
