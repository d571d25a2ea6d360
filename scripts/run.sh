#!/usr/bin/env bash
# Runs the SOAP server on this machine: installs the missing Debian packages,
# builds the server and the digest service, registers both (as services) and
# the components in a registry of its own, writes a default configuration with
# a document root and the digest-protected management endpoint when there is
# none, and starts the digest service, then the server in service mode on a
# loopback port, which it prints. Ctrl-C stops both.
#
# Usage: scripts/run.sh [port]      (default: a free port)
# State (registry, configuration, document root, logs) lives in build/run, or
# in $QUORVEL_RUN_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-0}
case "$port" in
  ''|*[!0-9]*) echo "port must be a number from 0 to 65535" >&2; exit 2 ;;
esac
if ((port > 65535)); then echo "port must be a number from 0 to 65535" >&2; exit 2; fi

scripts/deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
# The components that exist in this tree: the WSDL reader and the message
# object join the server once their folders are built.
targets=(braskel jorvane regcomp soapstruct)
known=$(cmake --build "$build" --target help)
for target in dorvish quenlin likkelon orsquel pellasco hastrel morvask; do
  if grep -q "^$target:" <<<"$known"; then targets+=("$target"); fi
done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

state=${QUORVEL_RUN_DIR:-$PWD/build/run}
mkdir -p "$state/www" "$state/runtime" "$state/units" "$state/logs"
export QUORVEL_REGISTRY="$state/registry"
export QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units"
export QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"

# The configuration is read from beside the executable.
cp -f "$build/server/braskel/braskel" "$state/braskel"
for component in soapstruct/libsoapstruct.so wsdl/libdorvish.so message/libquenlin.so \
  plugins/tests/liblikkelon.so plugins/tests/liborsquel.so plugins/tests/libpellasco.so \
  plugins/routing/libhastrel.so; do
  if [ -f "$build/$component" ]; then "$build/platform/regcomp/regcomp" "$build/$component"; fi
done
"$state/braskel" -Service
# The digest service reads auth-config.xml from beside its executable.
cp -f "$build/plugins/digestauth/jorvane/jorvane" "$state/jorvane"
"$state/jorvane" -Service
# The control panel (built with Qt 6) with its WSDL beside it; settings it
# has written are kept.
if [ -f "$build/controlpanel/morvask" ]; then
  cp -f "$build/controlpanel/morvask" "$build/controlpanel/QVSOAPSvrCP.wsdl" "$state/"
  [ -f "$state/cp-config.xml" ] || cp "$build/controlpanel/cp-config.xml" "$state/"
fi

if [ ! -f "$state/brevla-config.xml" ]; then
  cat >"$state/brevla-config.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <listenAddress>127.0.0.1</listenAddress>
  <listenPort>$port</listenPort>
  <numWorkThreads>8</numWorkThreads>
  <maxClients>64</maxClients>
  <clientTimeout>60</clientTimeout>
  <watchdogInterval>30</watchdogInterval>
  <docBasePath>$state/www/</docBasePath>
  <defaultDocument>default.htm</defaultDocument>
  <enableServerLog>true</enableServerLog>
  <serverLogPath>$state/logs/server.log</serverLogPath>
  <endpointList>
    <endpoint>
      <requestURI>/QVSOAPSvrCP</requestURI>
      <wsdlDocURL>file://$state/www/wsdl/QVSOAPSvrCP.wsdl</wsdlDocURL>
      <wsdlService>QVSOAPSvrMgr</wsdlService>
      <wsdlPort>QVSOAPSvrMgrPort</wsdlPort>
      <bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>
      <headerProcessingProgIds><progId>jorvane.jorvex2</progId></headerProcessingProgIds>
      <enabled>true</enabled>
    </endpoint>
  </endpointList>
</configuration>
XML
else
  # Keep the operator's file; only the port asked for on the command line changes.
  sed -i "s|<listenPort>[0-9]*</listenPort>|<listenPort>$port</listenPort>|" "$state/brevla-config.xml"
fi
# The descriptions of the management and routing endpoints and of the test
# services, served from the document root.
mkdir -p "$state/www/wsdl"
cp -f server/docroot/wsdl/QVSOAPSvrCP.wsdl server/docroot/wsdl/qv_ws-rp_int.wsdl \
  plugins/tests/pellasco/interopdoc.wsdl plugins/tests/orsquel/soap12-test.wsdl "$state/www/wsdl/"
if [ ! -f "$state/www/default.htm" ]; then
  cat >"$state/www/default.htm" <<'HTML'
<html><head><title>Quorvel SOAP Server</title></head>
<body><h1>Quorvel SOAP Server</h1><p>The server is running.</p></body></html>
HTML
fi

: >"$QUORVEL_EVENTLOG_FILE"
auth="Quorvel SOAP Authentication Service"
QUORVEL_SERVICE_NAME="$auth" "$state/jorvane" &
auth_pid=$!
pid=""
stop_all() {
  for p in $pid $auth_pid; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $pid $auth_pid; do wait "$p" 2>/dev/null || true; done
}
trap stop_all INT TERM EXIT
# braskel's first creation of jorvex2 must reach the service, not start another copy.
for _ in $(seq 1 300); do
  grep -q "^$auth: Service started\$" "$QUORVEL_EVENTLOG_FILE" && break
  kill -0 "$auth_pid" 2>/dev/null || { echo "the digest service did not start" >&2; exit 1; }
  sleep 0.1
done
QUORVEL_SERVICE_NAME="Quorvel SOAP Service" "$state/braskel" &
pid=$!

bound=""
for _ in $(seq 1 300); do
  bound=$(sed -n 's/^Quorvel SOAP Service: Listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \
    "$QUORVEL_EVENTLOG_FILE" | tail -n 1)
  [ -n "$bound" ] && break
  # A port or address that cannot be bound leaves the server without a listener.
  failed=$(grep -m 1 '^Quorvel SOAP Service: bind .* failed: ' "$QUORVEL_EVENTLOG_FILE" || true)
  if [ -n "$failed" ]; then
    echo "the server cannot listen: ${failed#Quorvel SOAP Service: }" >&2
    grep '^Quorvel SOAP Service: listenAddress ' "$QUORVEL_EVENTLOG_FILE" >&2 || true
    exit 1
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$bound" ]; then
  echo "the server did not start; its event log:" >&2
  cat "$QUORVEL_EVENTLOG_FILE" >&2
  exit 1
fi
echo "Serving http://127.0.0.1:$bound/ (document root $state/www); management at"
echo "/QVSOAPSvrCP behind digest authentication (users in $state/auth-config.xml);"
if [ -f "$state/morvask" ]; then
  echo "Control panel: QUORVEL_REGISTRY=$state/registry QUORVEL_RUNTIME_DIR=$state/runtime $state/morvask"
fi
echo "Ctrl-C stops it."
wait "$pid"
