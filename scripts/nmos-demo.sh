#!/usr/bin/env bash
# A facility controller's view of the board, with curl: stages a sender's SDP on video channel
# 20:0 through the NMOS connection API, activates it at once, reads back what the daemon now
# has, then schedules switching the channel off two seconds later on the timing daemon's clock.
# Run it beside `scripts/run-sim.sh --nmos PORT` (or against a board's node).
#   scripts/nmos-demo.sh [PORT|URL]       default: 8080 on this machine
set -euo pipefail
base=${1:-8080}
case $base in
    http*) ;;
    *) base=http://localhost:$base ;;
esac
C=$base/x-nmos/connection/v1.1/single/receivers

# The node may still be starting (up to a minute).
for _ in $(seq 300); do
    curl -sf "$C/" >/dev/null && break
    sleep 0.2
done

RX=$(curl -sf "$C/" | jq -r '.[0]')  # "id/" of 20:0
echo "receiver 20:0: ${RX%/}"
curl -sf -X PATCH -H 'Content-Type: application/json' "$C/${RX}staged" -d @- <<'JSON' >/dev/null
{"sender_id": "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2", "master_enable": true,
 "transport_file": {"type": "application/sdp", "data":
  "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=cam\r\nt=0 0\r\nm=video 5004 RTP/AVP 96\r\nc=IN IP4 239.10.0.1/64\r\na=source-filter: incl IN IP4 239.10.0.1 192.0.2.1\r\na=rtpmap:96 raw/90000\r\na=fmtp:96 sampling=YCbCr-4:2:2; width=1920; height=1080; exactframerate=25; depth=10; colorimetry=BT709; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPN\r\n"},
 "activation": {"mode": "activate_immediate"}}
JSON
echo "active transport parameters, read back from nexo:"
curl -sf "$C/${RX}active" | jq -c '.transport_params'
curl -sf -X PATCH -H 'Content-Type: application/json' "$C/${RX}staged" \
    -d '{"activation": {"mode": "activate_scheduled_relative", "requested_time": "2:0"}, "master_enable": false}' |
    jq -c '.activation'
