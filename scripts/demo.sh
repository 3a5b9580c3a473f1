#!/usr/bin/env bash
# From a clean clone to a running demo: installs what is missing, builds, runs the
# demo program with the log at debug level.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/deps.sh" build
cmake -S . -B build/demo -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release \
    -DTIDEWIRE_TESTS=OFF -DTIDEWIRE_BENCH=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target tidewire_demo tidewire

# A throw-away self-signed certificate for localhost; the client trusts it through
# SSL_CERT_FILE, which OpenSSL consults for its default trust store.
tls=build/demo/tls
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null

echo "== running the demo (log at debug level on standard error)"
RELAYMATRIX_LOG_LEVEL="${RELAYMATRIX_LOG_LEVEL:-debug}" SSL_CERT_FILE="$tls/cert.pem" \
    build/demo/examples/tidewire_demo "$tls/cert.pem" "$tls/key.pem"
