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
cmake --build "$build" -j 3 --target braskel regcomp soapstruct dorvish quenlin qvtestplugins \
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
