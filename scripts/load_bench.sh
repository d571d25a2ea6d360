#!/usr/bin/env bash
# Load benchmark of the server's static-file path, run by hand (never by the
# tests): starts braskel on a free loopback port with a temporary registry,
# configuration and document root, then drives it with wrk for a 1 KB and a
# 1 MB file at 1, 16 and 64 concurrent clients, printing requests per second
# and latency percentiles for each. Loopback only; every run is bounded.
#
# Usage: scripts/load_bench.sh [seconds per run]   (default 10, at most 120)
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
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target braskel

state=$(mktemp -d /tmp/qvbench.XXXXXX)
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
"$state/braskel" -Service
head -c 1024 /dev/urandom >"$state/www/1k.bin"
head -c 1048576 /dev/urandom >"$state/www/1m.bin"
cat >"$state/brevla-config.xml" <<XML
<configuration>
  <listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>
  <numWorkThreads>$(nproc)</numWorkThreads><maxClients>256</maxClients>
  <clientTimeout>60</clientTimeout><watchdogInterval>30</watchdogInterval>
  <docBasePath>$state/www/</docBasePath>
</configuration>
XML
QUORVEL_SERVICE_NAME="Quorvel SOAP Service" "$state/braskel" &
pid=$!
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^Quorvel SOAP Service: Listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \
    "$QUORVEL_EVENTLOG_FILE" | tail -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then cat "$QUORVEL_EVENTLOG_FILE" >&2; exit 1; fi

printf '%-6s %8s %12s %10s %10s %10s %10s\n' file clients requests/s p50 p75 p90 p99
for file in 1k.bin 1m.bin; do
  for clients in 1 16 64; do
    threads=$((clients < 4 ? clients : 4))
    out=$(timeout $((duration + 30)) wrk -t "$threads" -c "$clients" -d "${duration}s" \
      --timeout 10s --latency "http://127.0.0.1:$port/$file")
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    pct() { awk -v p="$1" '$1 == p {print $2}' <<<"$out"; }
    printf '%-6s %8s %12s %10s %10s %10s %10s\n' "${file%.bin}" "$clients" "$rps" \
      "$(pct 50%)" "$(pct 75%)" "$(pct 90%)" "$(pct 99%)"
    if grep -q "Non-2xx\|Socket errors" <<<"$out"; then grep "Non-2xx\|Socket errors" <<<"$out"; fi
  done
done
