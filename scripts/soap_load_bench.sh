#!/usr/bin/env bash
# Load benchmark of the SOAP path, run by hand (never by the tests): the server
# with the message object, WSDL reader, the test plug-ins and the test
# services on a loopback port, driven by wrk at 1, 16 and 64 connections:
# the rpc/encoded echoString, the document service's SingleTag and the SOAP
# 1.2 test service's echoOk. Then the server's resident memory after 1,000 and
# after 100,000 counted echoString requests, and over 50 DIME echoes of a
# 10 MB attachment; neither should grow. Loopback only; every run is bounded
# in count and time.
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
cmake --build "$build" -j 3 --target braskel regcomp soapstruct dorvish quenlin qvtestplugins \
  likkelon orsquel pellasco

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
  server/libqvtestplugins.so plugins/tests/liblikkelon.so plugins/tests/liborsquel.so \
  plugins/tests/libpellasco.so; do
  "$build/platform/regcomp/regcomp" -s "$build/$component"
done
"$state/braskel" -Service
cp server/testdata/echo.wsdl plugins/tests/pellasco/interopdoc.wsdl \
  plugins/tests/orsquel/soap12-test.wsdl plugins/tests/testdata/likkelon.wsdl "$state/www/"
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
  </endpoint><endpoint>
    <requestURI>/interopdoc</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/interopdoc.wsdl</wsdlDocURL>
    <wsdlService>interopDocSvc</wsdlService><wsdlPort>interopDocPort</wsdlPort>
    <bodyProcessingProgId>Pellasco2.interop</bodyProcessingProgId>
  </endpoint><endpoint>
    <requestURI>/soap12/test-doc</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/soap12-test.wsdl</wsdlDocURL>
    <wsdlService>QuorvelOrsquin</wsdlService><wsdlPort>Soap12TestDocPort</wsdlPort>
    <bodyProcessingProgId>orsquin.doc</bodyProcessingProgId>
  </endpoint><endpoint>
    <requestURI>/dimedoc</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/likkelon.wsdl</wsdlDocURL>
    <wsdlService>DimeDocService</wsdlService><wsdlPort>DimeDocPort</wsdlPort>
    <bodyProcessingProgId>tessaval.dimedoc</bodyProcessingProgId>
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
  base="http://127.0.0.1:$port"
  url="$base/svc"
}
start_server

# The requests: echoString, then the test services' (their bodies set in
# place of the first one's); an optional per-thread limit stops each wrk
# thread after that many answers, so a run can be counted.
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
local expect = os.getenv("QV_EXPECT") or "echoStringResponse"
function response(status, headers, body)
  if status ~= 200 or not body:find(expect, 1, true) then
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
  local clients=$1 seconds=$2 script=$3 target=$4 threads=$(($1 < 4 ? $1 : 4))
  timeout $((seconds + 30)) wrk -t "$threads" -c "$clients" -d "${seconds}s" --timeout 10s \
    --latency -s "$script" "$target"
}

# The test services' requests: the same script with another body and type.
service_script() {  # name content-type action body
  { printf 'local body = [==[%s]==]\n' "$4"
    sed -e "s|^wrk.headers\[\"Content-Type\"\] = .*|wrk.headers[\"Content-Type\"] = \"$2\"|" \
      -e "s|^wrk.headers\[\"SOAPAction\"\] = .*|wrk.headers[\"SOAPAction\"] = '$3'|" \
      "$state/echo.lua"
    echo 'wrk.body = body'
  } >"$state/$1.lua"
}
service_script singletag "text/xml; charset=utf-8" '"http://soapinterop.org/SingleTag"' \
  '<?xml version="1.0" encoding="UTF-8"?><E:Envelope xmlns:E="http://schemas.xmlsoap.org/soap/envelope/"><E:Body><iop:SingleTag xmlns:iop="http://soapinterop.org/"><iop:SingleTag>Hello, load</iop:SingleTag></iop:SingleTag></E:Body></E:Envelope>'
service_script echook "application/soap+xml; charset=utf-8" '""' \
  '<?xml version="1.0" encoding="UTF-8"?><E:Envelope xmlns:E="http://www.w3.org/2003/05/soap-envelope"><E:Body><ts:echoOk xmlns:ts="http://example.org/ts-tests">Hello, load</ts:echoOk></E:Body></E:Envelope>'

printf '%-11s %7s %10s %10s %10s %10s %8s\n' request clients 'req/s' 'lat avg' 'lat p50' \
  'lat p99' errors
for run in "echoString echo /svc echoStringResponse" \
  "SingleTag singletag /interopdoc SingleTagResponse" \
  "echoOk echook /soap12/test-doc responseOk"; do
  read -r label script path expect <<<"$run"
  for clients in 1 16 64; do
    out=$(QV_EXPECT=$expect drive "$clients" "$duration" "$state/$script.lua" "$base$path")
    awk -v r="$label" -v c="$clients" '
      /^Requests\/sec:/ {rps = $2}
      /^    Latency / && !avg {avg = $2}
      /^ +50%/ {p50 = $2}
      /^ +99%/ {p99 = $2}
      /Socket errors:|Non-2xx/ {gsub(",", ""); for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) err += $i}
      END {printf "%-11s %7s %10.0f %10s %10s %10s %8d\n", r, c, rps, avg, p50, p99, err}' <<<"$out"
  done
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

# A long run of 10 MB DIME echoes: the attachment streams through temporary
# storage, so resident memory should stay where the first ones left it.
python3 - "$state/dime.bin" <<'PY'
import struct, sys
def record(flags, tnf, ident, rtype, data):
    pad = lambda b: b + b"\0" * (-len(b) % 4)
    head = struct.pack(">BBHHHI", 0x08 | flags, tnf << 4, 0, len(ident), len(rtype), len(data))
    return head + pad(ident) + pad(rtype) + pad(data)
env = (b'<?xml version="1.0" encoding="UTF-8"?><E:Envelope'
       b' xmlns:E="http://schemas.xmlsoap.org/soap/envelope/"><E:Body>'
       b'<iop:EchoAttachment xmlns:iop="http://soapinterop.org/attachments/xsd"'
       b' xmlns:ref="http://schemas.xmlsoap.org/ws/2002/04/reference/">'
       b'<iop:In ref:location="big"/></iop:EchoAttachment></E:Body></E:Envelope>')
data = bytes((i * 7919) & 0xFF for i in range(10 << 20))
with open(sys.argv[1], "wb") as f:
    f.write(record(4, 2, b"", b"http://schemas.xmlsoap.org/soap/envelope/", env))
    f.write(record(2, 1, b"big", b"application/octet-stream", data))
PY
for i in $(seq 1 50); do
  size=$(curl -s -o /dev/null -w '%{size_download}' --max-time 120 -H 'Content-Type: application/dime' \
    -H 'SOAPAction: "http://soapinterop.org/attachments/EchoAttachment"' \
    --data-binary @"$state/dime.bin" "$base/dimedoc")
  if ((size < 10485760)); then echo "EchoAttachment $i: answer of $size bytes" >&2; exit 1; fi
  if ((i == 1 || i % 10 == 0)); then echo "VmRSS after $i 10 MB EchoAttachment calls: $(rss)"; fi
done
