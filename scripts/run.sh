#!/usr/bin/env bash
# Installs what is missing, builds, starts a local directory server (its database in
# data/directory.sqlite) and the desktop client pointed at it, with the client's data in
# data/client. The server stops when the client exits.
#   scripts/run.sh [client options...]     e.g. --lang en
# ORV_SERVER=host:port points the client at another directory server instead (none is started).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
mkdir -p "$root/data"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
server=${ORV_SERVER:-}
if [ -z "$server" ]; then
  log="$root/data/directory.log"
  : >"$log"
  "$root/build/server/orvantel-directory" serve --db "$root/data/directory.sqlite" \
    --listen 127.0.0.1:0 >>"$log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on ' "$log" && break
    sleep 0.1
  done
  line=$(grep -m1 '^listening on ' "$log") || { cat "$log" >&2; exit 1; }
  server=${line#listening on }
  echo "directory server on $server (database data/directory.sqlite)"
fi
client="$root/build/apps/desktop/orvantel"
[ -x "$client" ] || client="$root/build/apps/headless/orvantel-headless"
"$client" --data-dir "$root/data/client" --server "$server" "$@"
