#!/usr/bin/env bash
# Runs the SOAP server on this machine: installs the missing Debian packages,
# builds the server and the digest service, registers both (as services) and
# the components in a registry of its own, writes the default configuration
# with cuvrel when there is none and points it at a loopback port
# (scripts/adapt_config.sh), and starts the digest service, then the server in
# service mode on that port, which it prints. Ctrl-C stops both.
#
# Usage: scripts/run.sh [port]      (default: the configuration's port; for a
#                                    new configuration a free port)
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
# Benchmarks stay configured (not built here) so that their targets can be
# built by hand in the same tree.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCHMARKS=ON >/dev/null
# The components that exist in this tree: the WSDL reader and the message
# object join the server once their folders are built.
targets=(braskel cuvrel jorvane regcomp soapstruct)
known=$(cmake --build "$build" --target help)
for target in dorvish quenlin likkelon orsquel pellasco nimbrel hastrel morvask tandrel; do
  if grep -q "^$target:" <<<"$known"; then targets+=("$target"); fi
done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

state=${QUORVEL_RUN_DIR:-$PWD/build/run}
mkdir -p "$state/docroot/wsdl" "$state/runtime" "$state/units" "$state/logs"
export QUORVEL_REGISTRY="$state/registry"
export QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units"
export QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"

# The configuration is read from beside the executable.
cp -f "$build/server/braskel/braskel" "$state/braskel"
for component in soapstruct/libsoapstruct.so wsdl/libdorvish.so message/libquenlin.so \
  plugins/tests/liblikkelon.so plugins/tests/liborsquel.so plugins/tests/libpellasco.so \
  plugins/tests/libnimbrel.so plugins/routing/libhastrel.so; do
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

config="$state/brevla-config.xml"
if [ ! -f "$config" ]; then
  # cuvrel writes the default configuration beside itself, naming the state
  # directory's docroot/ and logs/.
  cp -f "$build/server/braskel/cuvrel" "$state/cuvrel"
  status=0
  "$state/cuvrel" >/dev/null || status=$?
  if ((status)); then echo "cuvrel could not write $config" >&2; exit "$status"; fi
  if ((port == 0)); then
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  fi
  scripts/adapt_config.sh "$config" "$port"
elif ((port)); then
  # Keep the operator's file; only the port asked for on the command line changes.
  scripts/adapt_config.sh "$config" "$port"
fi
# The descriptions of the management and routing endpoints and of the test
# services, served from the document root.
cp -f server/docroot/wsdl/QVSOAPSvrCP.wsdl server/docroot/wsdl/qv_ws-rp_int.wsdl \
  plugins/tests/pellasco/interopdoc.wsdl plugins/tests/orsquel/soap12-test.wsdl "$state/docroot/wsdl/"
if [ ! -f "$state/docroot/default.htm" ]; then
  cat >"$state/docroot/default.htm" <<'HTML'
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
echo "Serving http://127.0.0.1:$bound/ (document root $state/docroot)."
# Say how the management endpoint is guarded by what this configuration holds.
guard=$(python3 - "$config" <<'PY'
import sys, xml.etree.ElementTree as ET
def local(tag): return tag.rsplit('}', 1)[-1]
try:
    root = ET.parse(sys.argv[1]).getroot()
except Exception:
    print("unknown"); sys.exit()
state = "none"
for ep in root.iter():
    if local(ep.tag) != "endpoint": continue
    fields = {local(c.tag): c for c in ep}
    uri = (fields["requestURI"].text or "") if "requestURI" in fields else ""
    body = (fields["bodyProcessingProgId"].text or "") if "bodyProcessingProgId" in fields else ""
    if not body.startswith("braskel.braskelmgr"): continue
    enabled = "enabled" in fields and (fields["enabled"].text or "").strip() == "true"
    if not enabled: continue
    ids = [p.text or "" for p in fields["headerProcessingProgIds"]] if "headerProcessingProgIds" in fields else []
    kind = "digest" if any(i.startswith("jorvane.jorvex") for i in ids) else "loopback"
    print(kind + " " + uri); sys.exit()
print(state)
PY
)
case "$guard" in
  digest\ *) echo "Management at ${guard#digest } behind digest authentication (users in $state/auth-config.xml)." ;;
  loopback\ *) echo "Management at ${guard#loopback } without digest authentication: answered only over loopback." ;;
  none) echo "No management endpoint is configured." ;;
esac
if [ -f "$state/morvask" ]; then
  echo "Control panel: QUORVEL_REGISTRY=$state/registry QUORVEL_RUNTIME_DIR=$state/runtime $state/morvask"
fi
if [ -f "$build/client/tandrel/tandrel" ]; then
  echo "Echo demo: QUORVEL_REGISTRY=$state/registry $PWD/$build/client/tandrel/tandrel"
fi
echo "Ctrl-C stops it."
wait "$pid"
