#!/usr/bin/env bash
# Address lookups per second (gethost.asp) against the directory server, a new connection per
# request, next to nginx answering a fixed body of the same size on the same machine, in the same
# run. Prints both rates (median of alternating rounds) and their ratio; the target is a ratio
# of at least 0.5.
#   bench/directory/run.sh [BUILD_DIR] [SECONDS_PER_ROUND] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
secs=${2:-5}
rounds=${3:-3}
exe="$build/server/orvantel-directory"
[ -x "$exe" ] || { echo "no $exe: build the orvantel-directory target first" >&2; exit 2; }

need=()
command -v wrk >/dev/null || need+=(wrk)
[ -x /usr/sbin/nginx ] || command -v nginx >/dev/null || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

tmp=$(mktemp -d)
nginx_pid=""
dir_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  [ -n "$dir_pid" ] && kill "$dir_pid" 2>/dev/null && wait "$dir_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# A loopback port nobody listens on.
free_port() {
  local p
  for _ in $(seq 1 100); do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}

# One request over bash's own TCP redirection; prints the whole reply.
http_get() {
  local port=$1 path=$2
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: bench\r\nConnection: Close\r\n\r\n' "$path" >&3
  cat <&3
  exec 3<&-
}

# --- the directory server, with one logged-in user to look up
"$exe" serve --db "$tmp/directory.sqlite" --listen 127.0.0.1:0 \
  --hash-memory-kib 1024 --hash-iterations 1 >"$tmp/directory.out" 2>"$tmp/directory.err" &
dir_pid=$!
for _ in $(seq 1 100); do
  grep -q '^listening on ' "$tmp/directory.out" 2>/dev/null && break
  sleep 0.1
done
dir_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/directory.out")
[ -n "$dir_port" ] || { echo "directory server did not start" >&2; cat "$tmp/directory.err" >&2; exit 1; }
http_get "$dir_port" "/chat/insert.asp?name=%62%65%6e%63%68&leibie=0&passwd=pw&main=c&oldpasswd=" | grep -q "Reg OK"
http_get "$dir_port" "/chat/login.asp?name=%62%65%6e%63%68&leibie=0&passwd=pw&ip=10.20.30.40:29998&testf=" | grep -q "Login OK"
lookup="/chat/gethost.asp?url=%62%65%6e%63%68"
body=$(http_get "$dir_port" "$lookup" | tail -c 17)
[ "$body" = "10.20.30.40:29998" ] || { echo "unexpected lookup answer: $body" >&2; exit 1; }

# --- nginx with a config of its own, answering the same body
nginx_port=$(free_port)
mkdir -p "$tmp/nginx/logs"
cat >"$tmp/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type text/plain; return 200 "10.20.30.40:29998"; }
  }
}
CONF
"$nginx_bin" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null && break
  sleep 0.1
done
http_get "$nginx_port" "$lookup" | grep -q "10.20.30.40:29998" || { echo "nginx did not answer" >&2; exit 1; }

rate() {  # URL -> requests per second
  wrk -t2 -c50 -d"${secs}s" -H 'Connection: close' "$1" | awk '/^Requests\/sec:/ {print $2}'
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

nginx_rates=()
dir_rates=()
for r in $(seq 1 "$rounds"); do
  n=$(rate "http://127.0.0.1:$nginx_port$lookup")
  d=$(rate "http://127.0.0.1:$dir_port$lookup")
  echo "round $r: nginx $n/s, directory $d/s"
  nginx_rates+=("$n")
  dir_rates+=("$d")
done
nginx_median=$(printf '%s\n' "${nginx_rates[@]}" | median)
dir_median=$(printf '%s\n' "${dir_rates[@]}" | median)
ratio=$(awk -v d="$dir_median" -v n="$nginx_median" 'BEGIN {printf "%.2f", d / n}')
echo "nginx fixed body:        $nginx_median requests/s (new connection per request)"
echo "directory gethost.asp:   $dir_median requests/s (new connection per request)"
echo "ratio directory/nginx:   $ratio (target >= 0.50)"
awk -v r="$ratio" 'BEGIN {exit !(r >= 0.5)}' && echo "target met" || echo "target NOT met"
