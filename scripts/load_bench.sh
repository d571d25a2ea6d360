#!/usr/bin/env bash
# Load benchmark of the server's static-file path beside nginx, run by hand
# (never by the tests). Both serve the same files from one temporary folder on
# loopback ports, in one run, driven by wrk with one request per connection:
# a 1 KiB and a 1 MiB file at 1, 16 and 64 clients. For each case it prints
# both request rates, their ratio and the CPU time per 1000 requests of each
# (utime+stime from /proc/<pid>/stat, nginx's workers included). Then it counts
# the system calls of one static request (strace -c over a counted number of
# requests) and the connections refused with as many clients as maxClients.
# Loopback only; every run is bounded in count and time.
#
# Usage: scripts/load_bench.sh [seconds per run]   (default 10, at most 120)
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
case "$duration" in ''|*[!0-9]*) echo "seconds must be a number" >&2; exit 2 ;; esac
if ((duration < 1 || duration > 120)); then echo "seconds must be 1 to 120" >&2; exit 2; fi
max_clients=64
counted_requests=2000

scripts/deps.sh
missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v strace >/dev/null || missing+=(strace)
command -v curl >/dev/null || missing+=(curl)
[ -x /usr/sbin/nginx ] || missing+=(nginx-light)
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
  # The package may start its own instance on port 80; this script wants none.
  if [ -s /run/nginx.pid ]; then $sudo /usr/sbin/nginx -s quit || true; fi
fi
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j 3 --target braskel

state=$(mktemp -d /tmp/qvbench.XXXXXX)
pid=""
nginx_pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  if [ -n "$nginx_pid" ]; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$state"
}
trap cleanup EXIT INT TERM
mkdir -p "$state/www" "$state/runtime" "$state/units" "$state/nginx"
# nginx's workers drop to an unprivileged user when started as root.
chmod 755 "$state" "$state/www"
export QUORVEL_REGISTRY="$state/registry" QUORVEL_RUNTIME_DIR="$state/runtime"
export QUORVEL_UNIT_DIR="$state/units" QUORVEL_EVENTLOG_FILE="$state/eventlog.txt"
cp "$build/server/braskel/braskel" "$state/braskel"
"$state/braskel" -Service
head -c 1024 /dev/urandom >"$state/www/1k.bin"
head -c 1048576 /dev/urandom >"$state/www/1m.bin"
workers=$(nproc)
cat >"$state/brevla-config.xml" <<XML
<configuration>
  <listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>
  <numWorkThreads>$workers</numWorkThreads><maxClients>$max_clients</maxClients>
  <clientTimeout>60</clientTimeout><watchdogInterval>30</watchdogInterval>
  <docBasePath>$state/www/</docBasePath>
</configuration>
XML
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

# nginx in the foreground of its own prefix, as the current user, no logs.
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$state/nginx/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $state/nginx/nginx.pid;
error_log $state/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  client_body_temp_path $state/nginx/body;
  proxy_temp_path $state/nginx/proxy;
  fastcgi_temp_path $state/nginx/fastcgi;
  uwsgi_temp_path $state/nginx/uwsgi;
  scgi_temp_path $state/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $state/www;
  }
}
CONF
/usr/sbin/nginx -p "$state/nginx" -c "$state/nginx/nginx.conf" 2>>"$state/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 1 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/1k.bin" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/1k.bin" || {
  cat "$state/nginx/error.log" >&2
  exit 1
}

# CPU ticks (utime+stime) of a process and, for nginx, of its workers.
ticks() {
  local total=0 p
  for p in "$@"; do
    [ -r "/proc/$p/stat" ] || continue
    total=$((total + $(sed 's/^.*) //' "/proc/$p/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}
nginx_pids() { echo "$nginx_pid" $(pgrep -P "$nginx_pid" || true); }
hz=$(getconf CLK_TCK)

# Runs wrk once; prints "requests/s requests errors".
drive() {
  local url=$1 clients=$2 threads out
  threads=$((clients < 4 ? clients : 4))
  out=$(timeout $((duration + 30)) wrk -t "$threads" -c "$clients" -d "${duration}s" \
    --timeout 10s -H 'Connection: close' "$url")
  local rps reqs errs
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  reqs=$(awk '/requests in/ {print $1}' <<<"$out")
  errs=$(awk '/Socket errors:/ {gsub(",", ""); print $4 + $6 + $8 + $10}
              /Non-2xx/ {print $NF}' <<<"$out" | awk '{s += $1} END {print s + 0}')
  echo "$rps $reqs $errs"
}

printf '%-5s %7s | %10s %10s %6s | %14s %14s %6s | %8s %8s\n' file clients \
  'ours req/s' 'nginx' ratio 'ours ms/1000' 'nginx ms/1000' ratio 'ours err' 'ngx err'
for file in 1k.bin 1m.bin; do
  for clients in 1 16 64; do
    t0=$(ticks "$pid")
    read -r ours_rps ours_reqs ours_err < <(drive "http://127.0.0.1:$port/$file" "$clients")
    t1=$(ticks "$pid")
    n0=$(ticks $(nginx_pids))
    read -r ngx_rps ngx_reqs ngx_err < <(drive "http://127.0.0.1:$nginx_port/$file" "$clients")
    n1=$(ticks $(nginx_pids))
    awk -v f="${file%.bin}" -v c="$clients" -v orps="$ours_rps" -v nrps="$ngx_rps" \
      -v ot=$((t1 - t0)) -v nt=$((n1 - n0)) -v oreq="$ours_reqs" -v nreq="$ngx_reqs" \
      -v hz="$hz" -v oerr="$ours_err" -v nerr="$ngx_err" 'BEGIN {
        ocpu = oreq > 0 ? ot * 1000 / hz * 1000 / oreq : 0
        ncpu = nreq > 0 ? nt * 1000 / hz * 1000 / nreq : 0
        rate = nrps > 0 ? orps / nrps : 0
        cpu = ncpu > 0 ? ocpu / ncpu : 0
        printf "%-5s %7s | %10.0f %10.0f %6.2f | %14.1f %14.1f %6.2f | %8d %8d\n", f, c, orps,
          nrps, rate, ocpu, ncpu, cpu, oerr, nerr
      }'
  done
done

# System calls per static request: strace every thread of each server while a
# counted number of requests runs, one connection each.
urls="$state/urls"
count_calls() {
  local url=$1 out=$state/strace.out
  shift
  local args=()
  for p in "$@"; do args+=(-p "$p"); done
  : >"$urls"
  for _ in $(seq 1 "$counted_requests"); do printf 'url = "%s"\noutput = "/dev/null"\n' "$url"; done \
    >"$urls"
  strace -c -f -o "$out" "${args[@]}" 2>/dev/null &
  local tracer=$!
  sleep 1
  timeout 300 curl -s -K "$urls" -H 'Connection: close' >/dev/null || true
  sleep 0.5
  kill -INT "$tracer" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  # "% time, seconds, usecs/call, calls, [errors], total"
  awk '$NF == "total" {print $4}' "$out"
  # The calls behind the figure, busiest first, for whoever reads the run.
  awk -v r="$counted_requests" '$NF != "total" && $4 ~ /^[0-9]+$/ {
    printf "  %-18s %6.2f per request%s\n", $NF, $4 / r, NF == 6 ? " (" $5 " failed)" : ""
  }' "$out" | sort -k2 -rn | head -n 12 >&2
}
ours_calls=$(count_calls "http://127.0.0.1:$port/1k.bin" "$pid")
ngx_calls=$(count_calls "http://127.0.0.1:$nginx_port/1k.bin" $(nginx_pids))
awk -v o="$ours_calls" -v n="$ngx_calls" -v r="$counted_requests" 'BEGIN {
  printf "system calls per 1 KiB request over %d requests: ours %.1f, nginx %.1f\n", r, o / r, n / r
}'

# Refusals with exactly maxClients clients: wrk's socket errors and the
# server's own count of refused connections.
refused_before=$(grep -c "full capacity" "$QUORVEL_EVENTLOG_FILE" || true)
read -r _ full_reqs full_err < <(drive "http://127.0.0.1:$port/1k.bin" "$max_clients")
refused_lines=$(grep "full capacity" "$QUORVEL_EVENTLOG_FILE" | tail -n +$((refused_before + 1)) || true)
echo "with $max_clients clients = maxClients: $full_reqs requests, $full_err failed; server:"
if [ -n "$refused_lines" ]; then echo "$refused_lines"; else echo "  no connection refused"; fi
