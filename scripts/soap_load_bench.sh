#!/usr/bin/env bash
# Load benchmark of the SOAP path, run by hand (never by the tests): the server
# (a Release build) with the message object, WSDL reader, the test plug-ins and
# the test services on a loopback port, driven by wrk at 1, 16 and 64
# connections: the rpc/encoded echoString (also addressed by a routing path to a
# routing receiver), the document service's SingleTag and
# the SOAP 1.2 test service's echoOk.
#
# Then the same requests, byte for byte, to a peer on the same loopback: a
# gSOAP echo server built here from the Debian packages gsoap and libgsoap-dev
# (echoString, echoStruct and echoStringArray in the SOAPBuilders interop
# namespace, rpc/encoded SOAP 1.1, 8 threads, one connection per request).
# Passes alternate (peer, ours, peer, ours); every reply is checked. Printed
# per case: req/s, and per request the CPU, system calls and context switches
# of the server process (perf stat), with ours/peer ratios; then each
# server's peak resident memory.
#
# Then memory under a load of large requests: fresh servers, ours and the
# peer, each take the same counted echoStringArray requests of 10,000 structs
# (about 1.1 MB each) over 8 connections; printed per server are its resident
# memory at start, its peak during the load, just after it, and once the
# server has had two quiet watchdog passes (ours gives memory back then).
#
# Last, the server's resident memory after 1,000 and after 100,000 counted
# echoString requests, and over 50 DIME echoes of a 10 MB attachment; neither
# should grow. Loopback only; every run is bounded in count and time.
#
# Usage: scripts/soap_load_bench.sh [seconds per run] [parts]
#   seconds: default 10, at most 120; parts: a comma list of rates, peer,
#   memory and counted (default all of them). QV_CASES=case:connections,...
#   picks the cases beside the peer (e.g. echoString:64). QV_SMAPS_DIR=dir keeps
#   each server's /proc/PID/smaps at the start and the settled point of the
#   memory part, to see which mappings hold what is left.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
case "$duration" in ''|*[!0-9]*) echo "seconds must be a number" >&2; exit 2 ;; esac
if ((duration < 1 || duration > 120)); then echo "seconds must be 1 to 120" >&2; exit 2; fi
parts=${2:-rates,peer,memory,counted}
for part in ${parts//,/ }; do
  case "$part" in rates|peer|memory|counted) ;; *) echo "unknown part: $part" >&2; exit 2 ;; esac
done
want() { [[ ",$parts," == *",$1,"* ]]; }

scripts/deps.sh
missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v perf >/dev/null || missing+=(linux-perf)
command -v soapcpp2 >/dev/null || missing+=(gsoap)
[ -f /usr/include/stdsoap2.h ] || missing+=(libgsoap-dev)
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The test plug-ins are only defined when the tests are; nothing else of them is built.
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=ON \
  -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j 3 --target braskel regcomp soapstruct dorvish quenlin qvtestplugins \
  likkelon orsquel pellasco hastrel

state=$(mktemp -d /tmp/qvsoapbench.XXXXXX)
pid=""
peer_pid=""
cleanup() {
  for p in "$pid" "$peer_pid"; do
    if [ -n "$p" ]; then
      kill -TERM "$p" 2>/dev/null || true
      wait "$p" 2>/dev/null || true
    fi
  done
  rm -rf "$state"
}
trap cleanup EXIT INT TERM
mkdir -p "$state/www" "$state/runtime" "$state/units"
export QUORVEL_REGISTRY="$state/registry" QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units" QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"
cp "$build/server/braskel/braskel" "$state/braskel"
for component in message/libquenlin.so wsdl/libdorvish.so soapstruct/libsoapstruct.so \
  server/soap/libqvtestplugins.so plugins/tests/liblikkelon.so plugins/tests/liborsquel.so \
  plugins/tests/libpellasco.so plugins/routing/libhastrel.so; do
  "$build/platform/regcomp/regcomp" -s "$build/$component"
done
"$state/braskel" -Service
cp server/testdata/echo.wsdl plugins/tests/pellasco/interopdoc.wsdl \
  plugins/tests/orsquel/soap12-test.wsdl plugins/tests/testdata/likkelon.wsdl "$state/www/"
# The interop service as our server describes it: the struct array travels as
# echoStringArray, as the peer declares it.
cat >"$state/www/interop.wsdl" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<definitions name="interop" targetNamespace="http://soapinterop.org/"
    xmlns="http://schemas.xmlsoap.org/wsdl/" xmlns:tns="http://soapinterop.org/"
    xmlns:s="http://soapinterop.org/xsd" xmlns:xsd="http://www.w3.org/2001/XMLSchema"
    xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/"
    xmlns:soapenc="http://schemas.xmlsoap.org/soap/encoding/"
    xmlns:wsdl="http://schemas.xmlsoap.org/wsdl/">
  <types>
    <xsd:schema targetNamespace="http://soapinterop.org/xsd">
      <xsd:complexType name="SOAPStruct">
        <xsd:all>
          <xsd:element name="varString" type="xsd:string"/>
          <xsd:element name="varInt" type="xsd:int"/>
          <xsd:element name="varFloat" type="xsd:float"/>
        </xsd:all>
      </xsd:complexType>
      <xsd:complexType name="ArrayOfSOAPStruct">
        <xsd:complexContent>
          <xsd:restriction base="soapenc:Array">
            <xsd:attribute ref="soapenc:arrayType" wsdl:arrayType="s:SOAPStruct[]"/>
          </xsd:restriction>
        </xsd:complexContent>
      </xsd:complexType>
    </xsd:schema>
  </types>
  <message name="echoStringRequest"><part name="inputString" type="xsd:string"/></message>
  <message name="echoStringResponse"><part name="return" type="xsd:string"/></message>
  <message name="echoStructRequest"><part name="inputStruct" type="s:SOAPStruct"/></message>
  <message name="echoStructResponse"><part name="return" type="s:SOAPStruct"/></message>
  <message name="echoStringArrayRequest">
    <part name="inputStringArray" type="s:ArrayOfSOAPStruct"/>
  </message>
  <message name="echoStringArrayResponse">
    <part name="return" type="s:ArrayOfSOAPStruct"/>
  </message>
  <portType name="InteropPortType">
    <operation name="echoString">
      <input message="tns:echoStringRequest"/><output message="tns:echoStringResponse"/>
    </operation>
    <operation name="echoStruct">
      <input message="tns:echoStructRequest"/><output message="tns:echoStructResponse"/>
    </operation>
    <operation name="echoStringArray">
      <input message="tns:echoStringArrayRequest"/>
      <output message="tns:echoStringArrayResponse"/>
    </operation>
  </portType>
  <binding name="InteropBinding" type="tns:InteropPortType">
    <soap:binding style="rpc" transport="http://schemas.xmlsoap.org/soap/http"/>
XML
for operation in echoString echoStruct echoStringArray; do
  body='<soap:body use="encoded" namespace="http://soapinterop.org/"
          encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"/>'
  cat >>"$state/www/interop.wsdl" <<XML
    <operation name="$operation">
      <soap:operation soapAction="http://soapinterop.org/"/>
      <input>$body</input>
      <output>$body</output>
    </operation>
XML
done
cat >>"$state/www/interop.wsdl" <<'XML'
  </binding>
  <service name="InteropService">
    <port name="InteropPort" binding="tns:InteropBinding">
      <soap:address location="http://127.0.0.1/interop"/>
    </port>
  </service>
</definitions>
XML
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
    <requestURI>/routed</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/echo.wsdl</wsdlDocURL>
    <wsdlService>EchoService</wsdlService><wsdlPort>EchoPort</wsdlPort>
    <bodyProcessingProgId>QvTest.Echo</bodyProcessingProgId>
    <headerProcessingProgIds><progId>braskel.hastrel2</progId></headerProcessingProgIds>
    <nodeURI>urn:qvbench:receiver</nodeURI>
  </endpoint><endpoint>
    <requestURI>/interop</requestURI><enabled>true</enabled>
    <wsdlDocURL>file://$state/www/interop.wsdl</wsdlDocURL>
    <wsdlService>InteropService</wsdlService><wsdlPort>InteropPort</wsdlPort>
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
  interop_url="$base/interop"
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

# echoString addressed by a routing path to the routing receiver at /routed,
# which answers with a path of its own: against echoString at /svc, the cost
# of routing at the receiver.
sed -e 's|<E:Body>|<E:Header><rp:path xmlns:rp="http://schemas.xmlsoap.org/rp/" E:actor="http://schemas.xmlsoap.org/soap/actor/next" E:mustUnderstand="1"><rp:action>urn:qvtest:echo#echoString</rp:action><rp:to>urn:qvbench:receiver</rp:to><rp:rev/><rp:id>uuid:qvbench</rp:id></rp:path></E:Header><E:Body>|' \
  "$state/echo.lua" >"$state/routed.lua"

if want rates; then
printf '%-11s %7s %10s %10s %10s %10s %8s\n' request clients 'req/s' 'lat avg' 'lat p50' \
  'lat p99' errors
for run in "echoString echo /svc echoStringResponse" \
  "routed routed /routed echoStringResponse" \
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
fi

# ---- Beside the gSOAP echo server ----------------------------------------------
peer="$state/peer"
mkdir -p "$peer"
cat >"$peer/interop.h" <<'H'
//gsoap ns service name: interop
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service namespace: http://soapinterop.org/
//gsoap ns schema namespace: http://soapinterop.org/
//gsoap s schema namespace: http://soapinterop.org/xsd
struct s__SOAPStruct {
  char *varString;
  int varInt;
  float varFloat;
};
struct ArrayOfSOAPStruct {
  struct s__SOAPStruct *__ptr;
  int __size;
};
struct ns__echoStructResponse {
  struct s__SOAPStruct _return;
};
struct ns__echoStringArrayResponse {
  struct ArrayOfSOAPStruct _return;
};
//gsoap ns service method-action: echoString "http://soapinterop.org/"
int ns__echoString(char *inputString, char **_return);
//gsoap ns service method-action: echoStruct "http://soapinterop.org/"
int ns__echoStruct(struct s__SOAPStruct inputStruct, struct ns__echoStructResponse *out);
//gsoap ns service method-action: echoStringArray "http://soapinterop.org/"
int ns__echoStringArray(struct ArrayOfSOAPStruct inputStringArray,
                        struct ns__echoStringArrayResponse *out);
H
cat >"$peer/server.c" <<'C'
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include "soapH.h"
#include "interop.nsmap"

/* Eight threads accept on the one listening socket; each connection serves
   one request and is closed (no keep-alive). */
static void *serve(void *arg) {
  struct soap *soap = (struct soap *)arg;
  for (;;) {
    if (!soap_valid_socket(soap_accept(soap))) continue;
    soap_serve(soap);
    soap_destroy(soap);
    soap_end(soap);
  }
  return NULL;
}

int main(void) {
  /* A client that leaves mid-answer (wrk at the end of a run) must not end
     the server. */
  signal(SIGPIPE, SIG_IGN);
  struct soap soap;
  soap_init(&soap);
  soap.bind_flags = SO_REUSEADDR;
  if (!soap_valid_socket(soap_bind(&soap, "127.0.0.1", 0, 128))) {
    soap_print_fault(&soap, stderr);
    return 1;
  }
  struct sockaddr_in address;
  socklen_t length = sizeof address;
  getsockname(soap.master, (struct sockaddr *)&address, &length);
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);
  pthread_t threads[8];
  for (int i = 0; i < 8; ++i) pthread_create(&threads[i], NULL, serve, soap_copy(&soap));
  for (int i = 0; i < 8; ++i) pthread_join(threads[i], NULL);
  return 0;
}

int ns__echoString(struct soap *soap, char *in, char **out) {
  (void)soap;
  *out = in;
  return SOAP_OK;
}
int ns__echoStruct(struct soap *soap, struct s__SOAPStruct in, struct ns__echoStructResponse *out) {
  (void)soap;
  out->_return = in;
  return SOAP_OK;
}
int ns__echoStringArray(struct soap *soap, struct ArrayOfSOAPStruct in,
                        struct ns__echoStringArrayResponse *out) {
  (void)soap;
  out->_return = in;
  return SOAP_OK;
}
C
(cd "$peer" && soapcpp2 -c -S -L -x interop.h >/dev/null 2>&1 &&
  cc -O2 -o echo_server server.c soapC.c soapServer.c -lgsoap -lpthread)
start_peer() {
  : >"$peer/port"
  "$peer/echo_server" >"$peer/port" &
  peer_pid=$!
  for _ in $(seq 1 100); do [ -s "$peer/port" ] && break; sleep 0.1; done
  peer_url="http://127.0.0.1:$(cat "$peer/port")/interop"
}
stop_peer() { kill -TERM "$peer_pid"; wait "$peer_pid" 2>/dev/null || true; peer_pid=""; }

# One request per case, the same bytes to both servers; each reply is checked
# for the response element and a value only an echo carries back.
cat >"$state/interop.lua" <<'LUA'
local case = os.getenv("QV_CASE")
local head = '<?xml version="1.0" encoding="UTF-8"?>'
  .. '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"'
  .. ' xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/"'
  .. ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
  .. ' xmlns:xsd="http://www.w3.org/2001/XMLSchema"'
  .. ' xmlns:s="http://soapinterop.org/xsd" xmlns:ns="http://soapinterop.org/"><SOAP-ENV:Body>'
local style = ' SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"'
local function struct(tag, i)
  return '<' .. tag .. ' xsi:type="s:SOAPStruct"><varString xsi:type="xsd:string">v' .. i
    .. '</varString><varInt xsi:type="xsd:int">' .. i .. '</varInt>'
    .. '<varFloat xsi:type="xsd:float">1.5</varFloat></' .. tag .. '>'
end
local call, expect
if case == "echoString" then
  call = '<ns:echoString' .. style .. '><inputString xsi:type="xsd:string">Hello, load'
    .. '</inputString></ns:echoString>'
  expect = "Hello, load"
elseif case == "echoStruct" then
  call = '<ns:echoStruct' .. style .. '>' .. struct("inputStruct", 7) .. '</ns:echoStruct>'
  expect = ">v7<"
else
  -- structArrayN: an echoStringArray of N structs.
  local n = tonumber(case:match("^structArray(%d+)$"))
  local items = {}
  for i = 0, n - 1 do items[#items + 1] = struct("item", i) end
  call = '<ns:echoStringArray' .. style .. '><inputStringArray xsi:type="SOAP-ENC:Array"'
    .. ' SOAP-ENC:arrayType="s:SOAPStruct[' .. n .. ']">' .. table.concat(items)
    .. '</inputStringArray></ns:echoStringArray>'
  case = "echoStringArray"
  expect = ">v" .. (n - 1) .. "<"
end
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = '"http://soapinterop.org/"'
wrk.body = head .. call .. '</SOAP-ENV:Body></SOAP-ENV:Envelope>'
local limit = tonumber(os.getenv("QV_LIMIT") or "0")
local answered = 0
function response(status, headers, body)
  if status ~= 200 or not body:find(case .. "Response", 1, true)
      or not body:find(expect, 1, true) then
    print("unexpected answer " .. status .. ": " .. body:sub(1, 300))
    os.exit(1)
  end
  answered = answered + 1
  if limit > 0 and answered >= limit then os.exit(0) end
end
LUA

# One pass: wrk against `url` while perf counts the server `pid`. Prints
# "requests cpu_ms syscalls context_switches".
pass() {
  local target=$1 server=$2 kase=$3 clients=$4 seconds=$5 threads=$(($4 < 4 ? $4 : 4))
  local counts="$state/perf.$$"
  local out
  out=$(QV_CASE=$kase perf stat -x, -o "$counts" \
    -e task-clock,raw_syscalls:sys_enter,context-switches -p "$server" -- \
    timeout $((seconds + 30)) wrk -t "$threads" -c "$clients" -d "${seconds}s" --timeout 10s \
    -s "$state/interop.lua" "$target")
  if grep -q "unexpected answer" <<<"$out"; then echo "$out" >&2; exit 1; fi
  local requests
  requests=$(awk '/requests in/ {print $1}' <<<"$out")
  awk -F, -v r="$requests" '
    $3 == "task-clock" {cpu = $1}
    $3 ~ /raw_syscalls:sys_enter/ {sys = $1}
    $3 == "context-switches" {cs = $1}
    END {printf "%d %.3f %d %d\n", r, cpu, sys, cs}' "$counts"
}

if want peer; then
start_peer
echo
echo "Ours beside the gSOAP echo server (${duration}s per pass; peer, ours, peer, ours):"
printf '%-16s %5s %9s %9s %6s %9s %9s %6s %7s %7s %7s %7s\n' case conns 'peer r/s' 'our r/s' \
  ratio 'peer µs' 'our µs' ratio 'p sys' 'o sys' 'p cs' 'o cs'
specs=${QV_CASES:-echoString:16,echoString:64,echoStruct:16,echoStruct:64,structArray1000:1,structArray1000:8}
for spec in ${specs//,/ }; do
  IFS=: read -r kase clients <<<"$spec"
  declare -A total=()
  for side in peer ours peer ours; do
    if [ "$side" = peer ]; then r=$(pass "$peer_url" "$peer_pid" "$kase" "$clients" "$duration")
    else r=$(pass "$interop_url" "$pid" "$kase" "$clients" "$duration"); fi
    read -r n cpu sys cs <<<"$r"
    total[$side.n]=$(( ${total[$side.n]:-0} + n ))
    total[$side.cpu]=$(awk -v a="${total[$side.cpu]:-0}" -v b="$cpu" 'BEGIN {print a + b}')
    total[$side.sys]=$(( ${total[$side.sys]:-0} + sys ))
    total[$side.cs]=$(( ${total[$side.cs]:-0} + cs ))
  done
  awk -v c="$kase" -v k="$clients" -v d="$duration" \
    -v pn="${total[peer.n]}" -v on="${total[ours.n]}" \
    -v pc="${total[peer.cpu]}" -v oc="${total[ours.cpu]}" \
    -v ps="${total[peer.sys]}" -v os="${total[ours.sys]}" \
    -v px="${total[peer.cs]}" -v ox="${total[ours.cs]}" 'BEGIN {
      if (pn == 0 || on == 0) { printf "%-16s %5s no answers\n", c, k; exit }
      prs = pn / (2 * d); ors = on / (2 * d)
      pcpu = pc * 1000 / pn; ocpu = oc * 1000 / on
      printf "%-16s %5s %9.0f %9.0f %6.2f %9.1f %9.1f %6.2f %7.1f %7.1f %7.2f %7.2f\n",
        c, k, prs, ors, ors / prs, pcpu, ocpu, ocpu / pcpu, ps / pn, os / on, px / pn, ox / on
    }'
  unset total
done
echo "Peak resident memory: peer $(awk '/^VmHWM:/ {print $2 " " $3}' "/proc/$peer_pid/status")," \
  "ours $(awk '/^VmHWM:/ {print $2 " " $3}' "/proc/$pid/status")"
stop_peer
echo
fi

status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
rss() { echo "$(status_kb "$pid" VmRSS) kB"; }

# ---- Memory under a load of large requests -------------------------------------
# Each wrk thread drives one connection and stops the whole run at its
# `per_connection`-th answer, so every server answers about as many. The
# watchdog runs every few seconds here so that its quiet passes come soon.
if want memory; then
memory_connections=8 per_connection=25 watchdog=5
memory_load() {  # label url pid
  local label=$1 target=$2 server=$3 start peak after settled rate
  start=$(status_kb "$server" VmRSS)
  [ -z "${QV_SMAPS_DIR:-}" ] || cp "/proc/$server/smaps" "$QV_SMAPS_DIR/$label.start.smaps"
  local began
  began=$(date +%s.%N)
  QV_CASE=structArray10000 QV_LIMIT=$per_connection timeout 900 wrk -t "$memory_connections" \
    -c "$memory_connections" -d 600s --timeout 120s -s "$state/interop.lua" "$target" >"$state/memory.out" ||
    { cat "$state/memory.out" >&2; exit 1; }
  if grep -q "unexpected answer" "$state/memory.out"; then cat "$state/memory.out" >&2; exit 1; fi
  # Peak since the fresh start: the kernel's own high-water mark.
  peak=$(status_kb "$server" VmHWM)
  after=$(status_kb "$server" VmRSS)
  # The run ends at the first connection's last answer: about this many in all.
  rate=$(awk -v n=$((memory_connections * per_connection)) -v b="$began" -v e="$(date +%s.%N)" \
    'BEGIN {print n / (e - b)}')
  sleep $((2 * watchdog + 2))
  settled=$(status_kb "$server" VmRSS)
  [ -z "${QV_SMAPS_DIR:-}" ] || cp "/proc/$server/smaps" "$QV_SMAPS_DIR/$label.settled.smaps"
  awk -v l="$label" -v s="$start" -v p="$peak" -v a="$after" -v t="$settled" -v r="$rate" 'BEGIN {
    printf "%-6s %9.1f %9.1f %9.1f %9.1f %13.2f %7.1f\n", l, s / 1024, p / 1024, a / 1024,
      t / 1024, t / s, r }'
}
kill -TERM "$pid"; wait "$pid" 2>/dev/null || true; pid=""
sed -i "s|<watchdogInterval>[0-9]*</watchdogInterval>|<watchdogInterval>$watchdog</watchdogInterval>|" \
  "$state/brevla-config.xml"
start_server
start_peer
echo "Resident memory (MB), ${memory_connections} connections x ${per_connection} echoStringArray" \
  "requests of 10,000 structs; 'settled' after $((2 * watchdog + 2))s without requests:"
printf '%-6s %9s %9s %9s %9s %13s %7s\n' server start peak after settled 'settled/start' 'req/s'
memory_load peer "$peer_url" "$peer_pid"
memory_load ours "$interop_url" "$pid"
stop_peer
sed -i "s|<watchdogInterval>[0-9]*</watchdogInterval>|<watchdogInterval>30</watchdogInterval>|" \
  "$state/brevla-config.xml"
echo
fi

# Resident memory after counted requests on a fresh server: one connection,
# one thread, so the limit is the exact number of answers.
if ! want counted; then exit 0; fi
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
