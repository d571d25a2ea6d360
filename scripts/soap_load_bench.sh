#!/usr/bin/env bash
# Load benchmark of the SOAP path, run by hand (never by the tests): the server
# with the message object, WSDL reader and the test plug-ins, one rpc/encoded
# echo endpoint on a loopback port, driven by wrk POSTing echoString at 1, 16
# and 64 connections. Then the server's resident memory after 1,000 and after
# 100,000 counted requests, which should not grow. Loopback only; every run is
# bounded in count and time.
#
# Usage: scripts/soap_load_bench.sh [seconds per run]   (default 10, at most 120)
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
case "$duration" in ''|*[!0-9]*) echo "seconds must be a number" >&2; exit 2 ;; esac
if ((duration < 1 || duration > 120)); then echo "seconds must be 1 to 120" >&2; exit 2; fi

scripts/deps.sh
if ! command -v wrk >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wrk
fi
# The test plug-ins are only defined when the tests are; nothing else of them is built.
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=ON \
  -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j 3 --target braskel regcomp soapstruct dorvish quenlin qvtestplugins

state=$(mktemp -d /tmp/qvsoapbench.XXXXXX)
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
  server/libqvtestplugins.so; do
  "$build/platform/regcomp/regcomp" -s "$build/$component"
done
"$state/braskel" -Service
cp server/testdata/echo.wsdl "$state/www/"
cat >"$state/brevla-config.xml" <<XML
<configuration>
  <listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>
  <numWorkThreads>$(nproc)</numWorkThreads><maxClients>128</maxClients>
  <clientTimeout>60</clientTimeout><watchdogInterval>30</watchdogInterval>
  <docBasePath>$state/www/</docBasePath>
  <endpointList><endpoint>
    <requestURI>/svc</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/echo.wsdl</wsdlDocURL>
    <wsdlService>EchoService</wsdlService><wsdlPort>EchoPort</wsdlPort>
    <bodyProcessingProgId>QvTest.Echo</bodyProcessingProgId>
  </endpoint></endpointList>
</configuration>
XML
# Starts the server (pid, url); the port it bound is read from its event log.
start_server() {
  : >"$QUORVEL_EVENTLOG_FILE"
  QUORVEL_SERVICE_NAME="Quorvel SOAP Service" "$state/braskel" &
  pid=$!
  local port=""
  for _ in $(seq 1 300); do
    port=$(sed -n 's/^Quorvel SOAP Service: Listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \
      "$QUORVEL_EVENTLOG_FILE" 2>/dev/null | tail -n 1 || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then cat "$QUORVEL_EVENTLOG_FILE" >&2; exit 1; fi
  url="http://127.0.0.1:$port/svc"
}
start_server

# The request; an optional per-thread limit stops each wrk thread after that
# many answers, so a run can be counted.
cat >"$state/echo.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = '"urn:qvtest:echo#echoString"'
wrk.body = '<?xml version="1.0" encoding="UTF-8"?>'
  .. '<E:Envelope xmlns:E="http://schemas.xmlsoap.org/soap/envelope/"'
  .. ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
  .. ' xmlns:xsd="http://www.w3.org/2001/XMLSchema"><E:Body>'
  .. '<m:echoString xmlns:m="urn:qvtest:echo"'
  .. ' E:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
  .. '<inputString xsi:type="xsd:string">Hello, load</inputString></m:echoString>'
  .. '</E:Body></E:Envelope>'
local limit = tonumber(os.getenv("QV_LIMIT") or "0")
local answered = 0
function response(status, headers, body)
  if status ~= 200 or not body:find("echoStringResponse", 1, true) then
    print("unexpected answer " .. status .. ": " .. body:sub(1, 200))
    os.exit(1)
  end
  answered = answered + 1
  -- wrk sleeps its whole duration after a thread stops, so a counted run ends here.
  if limit > 0 and answered >= limit then os.exit(0) end
end
LUA

# Runs wrk; prints its summary lines.
drive() {
  local clients=$1 seconds=$2 threads=$(($1 < 4 ? $1 : 4))
  timeout $((seconds + 30)) wrk -t "$threads" -c "$clients" -d "${seconds}s" --timeout 10s \
    --latency -s "$state/echo.lua" "$url"
}

printf '%7s %10s %10s %10s %10s %8s\n' clients 'req/s' 'lat avg' 'lat p50' 'lat p99' errors
for clients in 1 16 64; do
  out=$(drive "$clients" "$duration")
  awk -v c="$clients" '
    /^Requests\/sec:/ {rps = $2}
    /^    Latency / && !avg {avg = $2}
    /^ +50%/ {p50 = $2}
    /^ +99%/ {p99 = $2}
    /Socket errors:|Non-2xx/ {gsub(",", ""); for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) err += $i}
    END {printf "%7s %10.0f %10s %10s %10s %8d\n", c, rps, avg, p50, p99, err}' <<<"$out"
done

# Resident memory after counted requests on a fresh server: one connection,
# one thread, so the limit is the exact number of answers.
rss() { awk '/^VmRSS:/ {print $2 " " $3}' "/proc/$pid/status"; }
count() {
  QV_LIMIT=$1 timeout 600 wrk -t 1 -c 1 -d 570s --timeout 10s -s "$state/echo.lua" "$url" \
    >/dev/null
  echo "$1"
}
kill -TERM "$pid"; wait "$pid" 2>/dev/null || true; pid=""
start_server
echo "VmRSS at start: $(rss)"
done_requests=$(count 1000)
echo "VmRSS after $done_requests requests: $(rss)"
done_requests=$((done_requests + $(count 99000)))
echo "VmRSS after $done_requests requests: $(rss)"
