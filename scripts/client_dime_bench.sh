#!/usr/bin/env bash
# DIME benchmark of the client library, run by hand (never by the tests): the
# server with the message object, WSDL reader and the test plug-ins on a
# loopback port, and client_proxy_benchmark posting a 64 MB attachment through
# SoapProxy to an endpoint that answers with text (/up) and to the DIME echo
# (/svc). Prints MB/s each way and the client's peak resident memory.
# Loopback only; each benchmark runs a fixed number of posts.
#
# Usage: scripts/client_dime_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=ON \
  -DQUORVEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j 2 --target braskel regcomp soapstruct dorvish quenlin qvtestplugins \
  client_proxy_benchmark

state=$(mktemp -d /tmp/qvclientbench.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$state"
}
trap cleanup EXIT INT TERM
mkdir -p "$state/www" "$state/runtime" "$state/units"
export QUORVEL_REGISTRY="$state/registry" QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units" QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"
cp "$build/server/braskel/braskel" "$state/braskel"
for component in message/libquenlin.so wsdl/libdorvish.so soapstruct/libsoapstruct.so \
  server/soap/libqvtestplugins.so; do
  "$build/platform/regcomp/regcomp" -s "$build/$component"
done
"$state/braskel" -Service
cp server/testdata/doc.wsdl "$state/www/"
endpoint() {
  echo "<endpoint><requestURI>$1</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/doc.wsdl</wsdlDocURL>
    <wsdlService>DocService</wsdlService><wsdlPort>DocPort</wsdlPort>
    <bodyProcessingProgId>$2</bodyProcessingProgId></endpoint>"
}
cat >"$state/brevla-config.xml" <<XML
<configuration>
  <listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>
  <numWorkThreads>2</numWorkThreads><maxClients>16</maxClients>
  <clientTimeout>300</clientTimeout><watchdogInterval>30</watchdogInterval>
  <docBasePath>$state/www/</docBasePath>
  <endpointList>$(endpoint /up QvTest.Doc)$(endpoint /svc QvTest.DimeEcho)</endpointList>
</configuration>
XML

: >"$QUORVEL_EVENTLOG_FILE"
QUORVEL_SERVICE_NAME="Quorvel SOAP Service" "$state/braskel" &
pid=$!
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^Quorvel SOAP Service: Listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \
    "$QUORVEL_EVENTLOG_FILE" 2>/dev/null | tail -n 1 || true)
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then cat "$QUORVEL_EVENTLOG_FILE" >&2; exit 1; fi

QV_BENCH_PORT=$port timeout 600 "$build/client/client_proxy_benchmark"

# The client's request body exactly as it sends it: a one-shot listener keeps
# the body of each post (the benchmark's five uploads) and answers with text.
body="$state/body.dime"
capture_port_file="$state/capture.port"
python3 - "$body" "$capture_port_file" <<'PY' &
import socket, sys
out, port_file = sys.argv[1], sys.argv[2]
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1)
open(port_file, "w").write(str(s.getsockname()[1]))
for _ in range(5):
    c, _ = s.accept()
    data = b""
    while b"\r\n\r\n" not in data:
        data += c.recv(65536)
    head, rest = data.split(b"\r\n\r\n", 1)
    length = next(int(l.split(b":")[1]) for l in head.split(b"\r\n")
                  if l.lower().startswith(b"content-length:"))
    with open(out, "wb") as f:
        f.write(rest)
        got = len(rest)
        while got < length:
            piece = c.recv(1 << 20)
            if not piece:
                break
            f.write(piece); got += len(piece)
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<a/>")
    c.close()
PY
capture=$!
for _ in $(seq 1 100); do [ -s "$capture_port_file" ] && break; sleep 0.05; done
QV_BENCH_PORT=$(cat "$capture_port_file") "$build/client/client_proxy_benchmark" \
  --benchmark_filter=BM_Upload >/dev/null
wait "$capture"

client_post() {
  QV_BENCH_PORT=$port "$build/client/client_proxy_benchmark" --benchmark_filter=BM_Upload \
    --benchmark_out="$state/run.json" --benchmark_out_format=json >/dev/null 2>&1
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["benchmarks"][0]["real_time"]/1000)' \
    "$state/run.json"
}
curl_post() {
  local start end
  start=$(date +%s.%N)
  for _ in 1 2 3 4 5; do
    curl -s -o /dev/null --http1.0 -H 'Content-Type: application/dime' \
      -H 'SOAPAction: "urn:a"' -H 'Expect:' --data-binary @"$body" "http://127.0.0.1:$port/up"
  done
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.4f\n", ($2 - $1) / 5}'
}
client_s=(); curl_s=()
for pass in 1 2 3 4 5; do
  client_s+=("$(client_post)")
  curl_s+=("$(curl_post)")
done
python3 - "$(stat -c %s "$body")" "${client_s[*]}" "${curl_s[*]}" <<'PY'
import statistics, sys
size = int(sys.argv[1]) / 1e6
client = [float(x) for x in sys.argv[2].split()]
curl = [float(x) for x in sys.argv[3].split()]
c, k = statistics.median(client), statistics.median(curl)
print(f"body {size:.1f} MB; seconds per post, client {client}, curl {curl}")
print(f"client {size / c:.0f} MB/s, curl {size / k:.0f} MB/s, client/curl rate {k / c:.2f}")
PY
