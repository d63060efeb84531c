#!/usr/bin/env bash
# The directory with 100 000 accounts: address lookups (gethost.asp, a random account each time,
# a new connection per request) against one server process on SQLite, one and two processes on
# one PostgreSQL database, and nginx answering a fixed body, alternating in the same run; then
# logins per second at the production password cost. Prints the medians, the ratios to nginx,
# the CPU each process and PostgreSQL spend per lookup, and what that means for N machines.
#   bench/directory/run.sh [BUILD_DIR] [SECONDS_PER_ROUND] [ROUNDS] [USERS]
# PostgreSQL runs as a throwaway cluster in a temporary folder (as nobody under root), with its
# default durability settings; nothing is left running afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
secs=${2:-5}
rounds=${3:-3}
users=${4:-100000}
exe="$build/server/orvantel-directory"
populate="$build/bench/directory/bench_directory_populate"
for f in "$exe" "$populate"; do
  [ -x "$f" ] || { echo "no $f: build orvantel-directory and bench_directory_populate" >&2; exit 2; }
done
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort | tail -n1)
[ -x "$pgbin/initdb" ] || { echo "no PostgreSQL binaries (apt-get install postgresql)" >&2; exit 2; }

need=()
command -v wrk >/dev/null || need+=(wrk)
[ -x /usr/sbin/nginx ] || command -v nginx >/dev/null || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

tmp=$(mktemp -d /tmp/orv-bench-XXXXXX)
chmod 755 "$tmp"
as_pg=()
if [ "$(id -u)" -eq 0 ]; then as_pg=(setpriv --reuid=nobody --regid=nogroup --clear-groups); fi
pids=()
pgdata="$tmp/pg/data"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  [ -f "$pgdata/postmaster.pid" ] && "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdata" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
  local p
  for _ in $(seq 1 100); do
    # Below the ephemeral range (32768 up), where outgoing connections take their ports.
    p=$((10000 + RANDOM % 22000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}
http_get() {
  local port=$1 path=$2
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: bench\r\nConnection: Close\r\n\r\n' "$path" >&3
  cat <&3
  exec 3<&-
}
# CPU ticks (user + system) of the given processes.
ticks() {
  local sum=0 p
  for p in "$@"; do
    [ -r "/proc/$p/stat" ] || continue
    sum=$((sum + $(awk '{print $14 + $15}' "/proc/$p/stat")))
  done
  echo "$sum"
}
pg_pids() {
  local pm
  pm=$(head -n1 "$pgdata/postmaster.pid")
  echo "$pm" $(ps -o pid= --ppid "$pm")
}
hz=$(getconf CLK_TCK)

# --- PostgreSQL: a cluster of our own, durable as shipped
mkdir -p "$tmp/pg"
[ ${#as_pg[@]} -eq 0 ] || chown nobody:nogroup "$tmp/pg"
pg_port=$(free_port)
"${as_pg[@]}" "$pgbin/initdb" -D "$pgdata" -U orv -A trust -E UTF8 --no-locale >"$tmp/initdb.log" 2>&1
"${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdata" -l "$tmp/pg/server.log" -w \
  -o "-p $pg_port -k $tmp/pg -c listen_addresses=127.0.0.1" start >/dev/null
"$pgbin/createdb" -h 127.0.0.1 -p "$pg_port" -U orv bench
pg_uri="postgresql://orv@127.0.0.1:$pg_port/bench"

echo "conditions (load average $(cut -d' ' -f1-3 /proc/loadavg)):"
echo "  - every database new in a fresh folder, populated with $users accounts; the SQLite file"
echo "    and PostgreSQL's tables in the page cache (just written); PostgreSQL durable as shipped"
echo "  - the PostgreSQL servers' address caches filled by one pass over every account first"
echo "  - nginx (the yardstick): a fixed body of the same size, no database, access log off"
echo "  - the same load for every server: wrk, 50 connections on 2 threads, a new connection per"
echo "    request, a random account each time; rounds alternate the servers in one run"
echo "  - checked: every server answers the same address for the same account before timing"
echo "populating $users accounts (production password cost) ..."
"$populate" "sqlite:$tmp/directory.sqlite" "$users" >/dev/null
"$populate" "$pg_uri" "$users" >/dev/null

start_server() {  # NAME DB [OPTIONS...] -> sets port_NAME and pid_NAME
  local name=$1 db=$2 out="$tmp/$1.out"
  shift 2
  # The logins announce made-up addresses: no test connection to them.
  "$exe" serve --db "$db" --listen 127.0.0.1:0 --reach-timeout-ms 0 "$@" >"$out" 2>"$tmp/$name.err" &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 1 100); do grep -q '^listening on ' "$out" 2>/dev/null && break; sleep 0.1; done
  local port
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
  [ -n "$port" ] || { echo "server $name did not start" >&2; cat "$tmp/$name.err" >&2; exit 1; }
  printf -v "port_$name" '%s' "$port"
  printf -v "pid_$name" '%s' "$pid"
}
start_server lite "sqlite:$tmp/directory.sqlite"
start_server pg1 "$pg_uri"
start_server pg2 "$pg_uri"
start_server pgnc "$pg_uri" --no-address-cache
for p in "$port_lite" "$port_pg1" "$port_pg2" "$port_pgnc"; do
  body=$(http_get "$p" "/chat/gethost.asp?url=u$users" | tail -n1)
  [ "$body" = "$(http_get "$port_lite" "/chat/gethost.asp?url=u$users" | tail -n1)" ] && [ -n "$body" ] \
    || { echo "unexpected lookup answer on port $p: $body" >&2; exit 1; }
done

# --- nginx with a config of its own, answering a body of the same size
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
    location / { default_type text/plain; return 200 "10.1.134.160:29998"; }
  }
}
CONF
"$nginx_bin" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null && break; sleep 0.1; done

# A random account per request, for nginx too (it ignores the query).
cat >"$tmp/lookup.lua" <<LUA
math.randomseed(os.time())
request = function()
  return wrk.format(nil, "/chat/gethost.asp?url=u" .. math.random(1, $users))
end
LUA
cat >"$tmp/login.lua" <<LUA
math.randomseed(os.time())
request = function()
  return wrk.format(nil, "/chat/login.asp?name=u" .. math.random(1, $users) ..
                    "&leibie=0&passwd=pw&ip=10.0.0.1:29998&testf=")
end
LUA

# Every account once, in order: the warm-up that fills the PostgreSQL processes' address caches.
cat >"$tmp/warm.lua" <<LUA
i = 0
request = function()
  i = i + 1
  return wrk.format(nil, "/chat/gethost.asp?url=u" .. (i % $users + 1))
end
LUA

rate_of() { awk '/^Requests\/sec:/ {print $2}' "$1"; }
lookups() {  # OUT PORT CONNECTIONS THREADS
  wrk -t"$4" -c"$3" -d"${secs}s" -H 'Connection: close' -s "$tmp/lookup.lua" \
    "http://127.0.0.1:$2/" >"$1"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Caches filled first: what is measured is the steady state of a running community.
for p in "$port_pg1" "$port_pg2"; do
  warm_secs=$((users / 4000 + 1))
  wrk -t1 -c50 -d"${warm_secs}s" -H 'Connection: close' -s "$tmp/warm.lua" "http://127.0.0.1:$p/" >/dev/null
done

declare -a r_nginx r_lite r_pg1 r_pg2 r_pgnc
lite_cpu=0; lite_n=0; pg1_cpu=0; pg1_n=0; pgdb_cpu=0; pgnc_cpu=0; pgnc_n=0; pgncdb_cpu=0
for r in $(seq 1 "$rounds"); do
  lookups "$tmp/w" "$nginx_port" 50 2; n=$(rate_of "$tmp/w")

  t0=$(ticks "$pid_lite"); lookups "$tmp/w" "$port_lite" 50 2; l=$(rate_of "$tmp/w")
  lite_cpu=$((lite_cpu + $(ticks "$pid_lite") - t0))
  lite_n=$(awk -v a="$lite_n" -v r="$l" -v s="$secs" 'BEGIN {print a + r * s}')

  t0=$(ticks "$pid_pg1"); d0=$(ticks $(pg_pids)); lookups "$tmp/w" "$port_pg1" 50 2; p1=$(rate_of "$tmp/w")
  pg1_cpu=$((pg1_cpu + $(ticks "$pid_pg1") - t0)); pgdb_cpu=$((pgdb_cpu + $(ticks $(pg_pids)) - d0))
  pg1_n=$(awk -v a="$pg1_n" -v r="$p1" -v s="$secs" 'BEGIN {print a + r * s}')

  t0=$(ticks "$pid_pgnc"); d0=$(ticks $(pg_pids)); lookups "$tmp/w" "$port_pgnc" 50 2; pnc=$(rate_of "$tmp/w")
  pgnc_cpu=$((pgnc_cpu + $(ticks "$pid_pgnc") - t0)); pgncdb_cpu=$((pgncdb_cpu + $(ticks $(pg_pids)) - d0))
  pgnc_n=$(awk -v a="$pgnc_n" -v r="$pnc" -v s="$secs" 'BEGIN {print a + r * s}')

  lookups "$tmp/wa" "$port_pg1" 25 1 & wa=$!
  lookups "$tmp/wb" "$port_pg2" 25 1
  wait "$wa"
  p2=$(awk -v a="$(rate_of "$tmp/wa")" -v b="$(rate_of "$tmp/wb")" 'BEGIN {printf "%.2f", a + b}')
  echo "round $r: nginx $n/s, sqlite $l/s, postgresql x1 $p1/s, x2 $p2/s, x1 read-through $pnc/s"
  r_nginx+=("$n"); r_lite+=("$l"); r_pg1+=("$p1"); r_pg2+=("$p2"); r_pgnc+=("$pnc")
done
m_nginx=$(printf '%s\n' "${r_nginx[@]}" | median)
m_lite=$(printf '%s\n' "${r_lite[@]}" | median)
m_pg1=$(printf '%s\n' "${r_pg1[@]}" | median)
m_pg2=$(printf '%s\n' "${r_pg2[@]}" | median)
m_pgnc=$(printf '%s\n' "${r_pgnc[@]}" | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# --- logins at the production cost (argon2id 64 MiB, 3 passes), below the per-address bound
login_secs=$((secs * 2 > 10 ? secs * 2 : 10))
logins() {  # PORT -> "rate non2xx"
  wrk -t2 -c8 -d"${login_secs}s" --timeout 30s -H 'Connection: close' -s "$tmp/login.lua" \
    "http://127.0.0.1:$1/" >"$tmp/l"
  echo "$(rate_of "$tmp/l") $(awk '/Non-2xx/ {print $5}' "$tmp/l")"
}
read -r login_lite login_lite_bad <<<"$(logins "$port_lite")"
d0=$(ticks $(pg_pids))
read -r login_pg login_pg_bad <<<"$(logins "$port_pg1")"
pglogin_cpu=$(($(ticks $(pg_pids)) - d0))
pglogin_n=$(awk -v r="$login_pg" -v s="$login_secs" 'BEGIN {print r * s}')

# --- the database alone: the lookup query through pgbench, prepared, as the servers send it
cat >"$tmp/lookup.sql" <<SQL
\set id random(1, $users)
SELECT address FROM accounts WHERE name_key = convert_to('u' || :id, 'UTF8');
SQL
pgbench_tps=$("$pgbin/pgbench" -h 127.0.0.1 -p "$pg_port" -U orv -n -M prepared -c 4 -j 2 \
  -T "$secs" -f "$tmp/lookup.sql" bench 2>/dev/null | awk '/^tps/ {print $3; exit}')

us() { awk -v t="$1" -v n="$2" -v hz="$hz" 'BEGIN {printf "%.1f", (n > 0 ? t / hz / n * 1e6 : 0)}'; }
lite_us=$(us "$lite_cpu" "$lite_n")
pg1_us=$(us "$pg1_cpu" "$pg1_n")
pgdb_us=$(us "$pgdb_cpu" "$pg1_n")
pgnc_us=$(us "$pgnc_cpu" "$pgnc_n")
pgncdb_us=$(us "$pgncdb_cpu" "$pgnc_n")
pglogin_us=$(us "$pglogin_cpu" "$pglogin_n")
echo
echo "accounts in each database:            $users"
echo "nginx fixed body:                     $m_nginx requests/s"
echo "directory on SQLite, 1 process:       $m_lite requests/s   ratio to nginx $(ratio "$m_lite" "$m_nginx")"
echo "directory on PostgreSQL, 1 process:   $m_pg1 requests/s   ratio to nginx $(ratio "$m_pg1" "$m_nginx")"
echo "directory on PostgreSQL, 2 processes: $m_pg2 requests/s   ratio to nginx $(ratio "$m_pg2" "$m_nginx")"
echo "  the same, 1 process reading through: $m_pgnc requests/s   ratio to nginx $(ratio "$m_pgnc" "$m_nginx")"
echo "logins (argon2id 64 MiB x 3), 1 proc: SQLite $login_lite/s (non-2xx ${login_lite_bad:-0}), PostgreSQL $login_pg/s (non-2xx ${login_pg_bad:-0})"
echo "CPU per lookup, server process:       SQLite ${lite_us} us, PostgreSQL cached ${pg1_us} us, read-through ${pgnc_us} us"
echo "CPU per lookup, PostgreSQL itself:    cached ${pgdb_us} us, read-through ${pgncdb_us} us"
echo "CPU per login, PostgreSQL itself:     ${pglogin_us} us"
echo "PostgreSQL alone, lookup query:       $pgbench_tps queries/s (pgbench, prepared, 4 clients)"
echo
awk -v s="$pg1_us" -v nc="$pgncdb_us" -v lg="$pglogin_us" -v lr="$login_pg" 'BEGIN {
  printf "N server machines of C cores, one process each, behind any TCP or HTTP balancer:\n";
  printf "  lookups/s  ~= N x C x %.0f (the servers'"'"' CPU; cached lookups cost the database nothing)\n", 1e6 / s;
  printf "  logins/s   ~= N x C x %.2f (argon2 on the servers)\n", lr / 2;
  printf "  a database of D cores is spent at D x %.0f logins/s, or at D x %.0f lookups/s that miss\n", (lg > 0 ? 1e6 / lg : 0), (nc > 0 ? 1e6 / nc : 0);
  printf "  the caches (cold caches, or --no-address-cache)\n" }'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v a="$(ratio "$m_lite" "$m_nginx")" -v b="$(ratio "$m_pg1" "$m_nginx")" \
  'BEGIN {exit !(a >= 0.5 && b >= 0.5)}' && echo "target (>= 0.5 x nginx on either store) met" \
  || echo "target (>= 0.5 x nginx on either store) NOT met"
