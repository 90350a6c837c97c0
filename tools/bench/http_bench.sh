#!/usr/bin/env bash
# GET /health, one request per connection, against nginx (one worker) serving the same body with
# "Connection: close", side by side in one run, at 16 and 64 concurrent clients.
#   tools/bench/http_bench.sh [seconds per run, default 10]
set -euo pipefail
cd "$(dirname "$0")/../.."
duration="${1:-10}"

need=()
for p in wrk nginx-light; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
if ((${#need[@]})); then
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/setup >/dev/null

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

# Our service.
mkdir "$work/root"
build/velmorrant-audio serve --root "$work/root" --parent-pid $$ >"$work/ready" 2>"$work/service.log" &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$work/ready" && break; sleep 0.1; done
ours_port=$(sed -E 's/.*"port":([0-9]+).*/\1/' "$work/ready")
token=$(sed -E 's/.*"token":"([0-9a-f]+)".*/\1/' "$work/ready")

# nginx: one worker, the same body, no keep-alive.
nginx_port=$(( (ours_port % 20000) + 30000 ))
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
user root;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:$nginx_port backlog=4096;
    location /health {
      default_type application/json;
      return 200 '{"ok":true,"version":"0.1.0"}';
    }
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
sleep 0.5

run() { # name url clients
  wrk -t2 -c"$3" -d"${duration}s" --latency -H 'Connection: close' \
    -H "Authorization: Bearer $token" "$2" >"$work/$1.txt"
  local rps p50 p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/$1.txt")
  p50=$(awk '$1=="50%" {print $2}' "$work/$1.txt")
  p99=$(awk '$1=="99%" {print $2}' "$work/$1.txt")
  printf '%-8s %4s clients  %10s req/s  p50 %8s  p99 %8s\n' "$4" "$3" "$rps" "$p50" "$p99"
  echo "$rps" >"$work/$1.rps"
}

# Check the body first: both answer the same bytes.
curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:$ours_port/health"; echo
curl -s "http://127.0.0.1:$nginx_port/health"; echo

for c in 16 64; do
  run "ours$c" "http://127.0.0.1:$ours_port/health" "$c" service
  run "nginx$c" "http://127.0.0.1:$nginx_port/health" "$c" nginx
  awk -v a="$(cat "$work/ours$c.rps")" -v b="$(cat "$work/nginx$c.rps")" \
    'BEGIN { printf "ratio    %4d clients  %10.2f (service / nginx)\n", '"$c"', a / b }'
done
grep -c 'non-2xx\|Socket errors' "$work"/*.txt | grep -v ':0' || true
