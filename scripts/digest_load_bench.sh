#!/usr/bin/env bash
# Run by hand: management reads through braskel with and without the digest
# processor (jorvane as a service), 1 and 16 clients, each with its own nonce
# chain. Uses the test build (build/test, or $QUORVEL_BENCH_BUILD) and a state
# directory of its own.
#
# Usage: scripts/digest_load_bench.sh [seconds per run]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
build=${QUORVEL_BENCH_BUILD:-build/test}
cmake --build "$build" -j3 --target braskel jorvane jorvane_load regcomp quenlin dorvish soapstruct

state=$(mktemp -d /tmp/qvdigestload-XXXXXX)
mkdir -p "$state/www/wsdl" "$state/runtime" "$state/units"
export QUORVEL_REGISTRY="$state/registry"
export QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units"
export QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"
for c in soapstruct/libsoapstruct.so wsdl/libdorvish.so message/libquenlin.so; do
  "$build/platform/regcomp/regcomp" -s "$build/$c"
done
cp "$build/server/braskel/braskel" "$build/plugins/digestauth/jorvane/jorvane" "$state/"
cp server/docroot/wsdl/QVSOAPSvrCP.wsdl "$state/www/wsdl/"
cat >"$state/auth-config.xml" <<'XML'
<authConfig><soapServices><service name="QVSOAPSvrMgr" realm="Bench"/></soapServices>
<authRealms><realm name="Bench"><users><user userId="bench" password="bench"/></users></realm></authRealms>
</authConfig>
XML
chmod 600 "$state/auth-config.xml"
endpoint() {  # uri, header processors
  echo "<endpoint><requestURI>$1</requestURI><wsdlDocURL>file://$state/www/wsdl/QVSOAPSvrCP.wsdl</wsdlDocURL>"
  echo "<wsdlService>QVSOAPSvrMgr</wsdlService><wsdlPort>QVSOAPSvrMgrPort</wsdlPort>"
  echo "<bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>$2<enabled>true</enabled></endpoint>"
}
cat >"$state/brevla-config.xml" <<XML
<configuration><listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>
<numWorkThreads>8</numWorkThreads><maxClients>64</maxClients><docBasePath>$state/www/</docBasePath>
<endpointList>
$(endpoint /QVSOAPSvrCP "<headerProcessingProgIds><progId>jorvane.jorvex2</progId></headerProcessingProgIds>")
$(endpoint /QVSOAPSvrCPOpen "")
</endpointList></configuration>
XML
"$state/braskel" -Service
"$state/jorvane" -Service
auth="Quorvel SOAP Authentication Service"
QUORVEL_SERVICE_NAME="$auth" "$state/jorvane" &
jpid=$!
bpid=""
cleanup() {
  for p in $bpid $jpid; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $bpid $jpid; do wait "$p" 2>/dev/null || true; done
  rm -rf "$state"
}
trap cleanup EXIT INT TERM
until grep -q "^$auth: Service started" "$QUORVEL_EVENTLOG_FILE" 2>/dev/null; do sleep 0.1; done
QUORVEL_SERVICE_NAME="Quorvel SOAP Service" "$state/braskel" &
bpid=$!
port=""
until [ -n "$port" ]; do
  sleep 0.1
  port=$(sed -n 's/^Quorvel SOAP Service: Listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \
    "$QUORVEL_EVENTLOG_FILE" | tail -n 1)
done
"$build/plugins/digestauth/servertest/jorvane_load" "$port" bench Bench bench "$seconds"
