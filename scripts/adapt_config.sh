#!/usr/bin/env bash
# Points a server configuration at a loopback port, for the run command:
# listenAddress 127.0.0.1, listenPort PORT, and every local URL that names the
# file's old port ("http://localhost:OLD/", and "http://localhost/" when OLD
# is 80) names PORT instead, so that intermediary endpoints forward to this
# server. Every other byte of the file stays as it is.
#
# Usage: scripts/adapt_config.sh FILE PORT
set -euo pipefail
if (($# != 2)); then echo "usage: $0 FILE PORT" >&2; exit 2; fi
file=$1
port=$2
case "$port" in
  ''|*[!0-9]*) echo "port must be a number from 1 to 65535" >&2; exit 2 ;;
esac
if ((10#$port < 1 || 10#$port > 65535)); then
  echo "port must be a number from 1 to 65535" >&2; exit 2
fi
port=$((10#$port))

old=$(sed -n 's|.*<listenPort>\([0-9]*\)</listenPort>.*|\1|p' "$file" | head -n 1)
script=(
  -e 's|<listenAddress */>|<listenAddress>127.0.0.1</listenAddress>|'
  -e 's|<listenAddress>[^<]*</listenAddress>|<listenAddress>127.0.0.1</listenAddress>|'
  -e "s|<listenPort>[^<]*</listenPort>|<listenPort>$port</listenPort>|"
)
if [ -n "$old" ]; then
  script+=(-e "s|http://localhost:$old/|http://localhost:$port/|g")
  if ((10#$old == 80)); then script+=(-e "s|http://localhost/|http://localhost:$port/|g"); fi
fi
# A configuration reached through a link is changed where the link points.
sed -i --follow-symlinks "${script[@]}" "$file"
