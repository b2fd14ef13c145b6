#!/usr/bin/env bash
# The board's node as a facility with security runs it: over https, checked against the
# facility's CA, and with access tokens. Shows a request without a token refused (401), the
# same with the test controller's token answered, and a read-only token refused a PATCH (403).
# Run it beside `scripts/run-sim.sh --nmos PORT --tls --auth`, which writes the CA and the
# tokens to its --pki directory.
#   scripts/nmos-secure-demo.sh [PORT] [PKI_DIR]     default: 8443, /tmp/nexo-sim-pki
set -euo pipefail
port=${1:-8443}
pki=${2:-/tmp/nexo-sim-pki}
base=https://localhost:$port
C=$base/x-nmos/connection/v1.1/single/receivers
rw="Authorization: Bearer $(cat "$pki/controller.token")"
ro="Authorization: Bearer $(cat "$pki/reader.token")"
tls=(--cacert "$pki/ca.pem" -s)

# The node may still be starting (up to a minute).
for _ in $(seq 300); do
    curl "${tls[@]}" -o /dev/null "$base/x-nmos/" && break
    sleep 0.2
done

echo "without a token:"
curl "${tls[@]}" -o /dev/null -D - "$C/" | grep -iE '^(HTTP|www-authenticate)'
echo "with the controller's token:"
RX=$(curl "${tls[@]}" -f -H "$rw" "$C/" | jq -r '.[0]')
echo "receiver 20:0: ${RX%/}"
echo "a PATCH with the read-only token:"
curl "${tls[@]}" -X PATCH -H "$ro" -H 'Content-Type: application/json' \
    -d '{"master_enable": false}' "$C/${RX}staged" | jq -c .
echo "the same PATCH with the controller's token:"
curl "${tls[@]}" -f -X PATCH -H "$rw" -H 'Content-Type: application/json' \
    -d '{"master_enable": false}' "$C/${RX}staged" | jq -c '{master_enable}'
