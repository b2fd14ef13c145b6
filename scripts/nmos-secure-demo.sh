#!/usr/bin/env bash
# The board's node as a facility with security runs it: over https, checked against the
# facility's CA, and with access tokens from the Authorization Server. Shows a request without a
# token refused (401), the test controller's client getting a token by client credentials and
# the same request answered with it, a read-only client's token refused a PATCH (403), and the
# control protocol's WebSocket endpoint (wss on PORT+2) refusing an upgrade without a token and
# switching protocols (101) with one.
# Run it beside `scripts/run-sim.sh --nmos PORT --tls --auth`, which writes the CA and the
# clients' secrets to its --pki directory and runs the stand-in server on PORT+1.
#   scripts/nmos-secure-demo.sh [PORT] [PKI_DIR]     default: 8443, /tmp/nexo-sim-pki
set -euo pipefail
port=${1:-8443}
pki=${2:-/tmp/nexo-sim-pki}
base=https://localhost:$port
C=$base/x-nmos/connection/v1.1/single/receivers
tls=(--cacert "$pki/ca.pem" -s)
token() {  # CLIENT SECRET_FILE: an access token by client credentials
    curl -sf -u "$1:$(cat "$pki/$2")" -d grant_type=client_credentials \
        "http://localhost:$((port + 1))/token" | jq -r .access_token
}

# The node may still be starting (up to a minute).
for _ in $(seq 300); do
    curl "${tls[@]}" -o /dev/null "$base/x-nmos/" && break
    sleep 0.2
done

echo "without a token:"
curl "${tls[@]}" -o /dev/null -D - "$C/" | grep -iE '^(HTTP|www-authenticate)'
rw="Authorization: Bearer $(token test-controller controller.secret)"
ro="Authorization: Bearer $(token test-reader reader.secret)"
echo "with the controller's token:"
RX=$(curl "${tls[@]}" -f -H "$rw" "$C/" | jq -r '.[0]')
echo "receiver 20:0: ${RX%/}"
echo "a PATCH with the read-only token:"
curl "${tls[@]}" -X PATCH -H "$ro" -H 'Content-Type: application/json' \
    -d '{"master_enable": false}' "$C/${RX}staged" | jq -c .
echo "the same PATCH with the controller's token:"
curl "${tls[@]}" -f -X PATCH -H "$rw" -H 'Content-Type: application/json' \
    -d '{"master_enable": false}' "$C/${RX}staged" | jq -c '{master_enable}'
ncp=https://localhost:$((port + 2))/x-nmos/ncp/v1.0
upgrade=(--http1.1 -o /dev/null -w '%{http_code}\n' --max-time 3 -H 'Connection: Upgrade'
    -H 'Upgrade: websocket' -H 'Sec-WebSocket-Version: 13'
    -H 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==')
# After a 101 curl waits for the end of a body that never comes: --max-time ends it (exit 28).
echo "control protocol upgrade without a token: $(curl "${tls[@]}" "${upgrade[@]}" "$ncp" || true)"
echo "control protocol upgrade with the controller's token: $(curl "${tls[@]}" "${upgrade[@]}" \
    -H "$rw" "$ncp" || true)"
