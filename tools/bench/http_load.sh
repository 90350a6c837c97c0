#!/usr/bin/env bash
# GET /health, one request per connection, against nginx (one worker) serving the same body with
# "Connection: close", side by side in one run (wrk): 16, 64 and 256 concurrent clients, first
# alone, then while 300 long polls wait on a test-tone capture's events (and 300 idle connections
# are held open to nginx), with GET /captures/<id>/levels of that capture ("levels") beside them.
# Prints req/s, latency p50/p99/p99.9 in ms and the ratios ours/nginx.
#   VA_BIN=<service binary> tools/bench/http_load.sh [seconds per run, default 10]
set -euo pipefail
cd "$(dirname "$0")/../.."
duration="${1:-10}"
bin="${VA_BIN:-build/velmorrant-audio}"
[ -x "$bin" ] || { echo "no service binary at $bin (scripts/setup builds it; or set VA_BIN)" >&2; exit 1; }
levels=(16 64 256)
held=300

need=()
for p in wrk nginx-light curl; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
if ((${#need[@]})); then
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

work=$(mktemp -d)
pids=()    # the service, nginx, the idle connections' holder
pollers=()
end() { # pids: kill them all, then reap them (quietly: no "Terminated" lines)
  for p in "$@"; do kill "$p" 2>/dev/null || true; done
  for p in "$@"; do { wait "$p"; } 2>/dev/null || true; done
}
# The pollers go first, so that none re-issues its poll after the service is gone.
cleanup() { end "${pollers[@]}"; end "${pids[@]}"; rm -rf "$work"; }
trap cleanup EXIT

# Our service, with the test strategies so that a capture needs no audio server.
mkdir "$work/root"
VELMORRANT_AUDIO_TEST_STRATEGIES=1 \
  "$bin" serve --root "$work/root" --parent-pid $$ >"$work/ready" 2>"$work/service.log" &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$work/ready" && break; sleep 0.1; done
ours_port=$(sed -E '1s/.*"port":([0-9]+).*/\1/;q' "$work/ready")
token=$(sed -E '1s/.*"token":"([0-9a-f]+)".*/\1/;q' "$work/ready")
api() { curl -sS -X "$1" -H "Authorization: Bearer $token" ${3:+--data-binary "$3"} "http://127.0.0.1:$ours_port$2"; }

# nginx: one worker, the same body, no keep-alive; idle connections may wait 300 s for a request
# (the default 60 s would drop the held ones during the second phase).
nginx_port=$(( (ours_port % 20000) + 30000 ))
while ss -Htln "sport = :$nginx_port" | grep -q .; do nginx_port=$((nginx_port + 1)); done
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
  client_header_timeout 300s;
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
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/health" && break; sleep 0.1; done

# Both answer the same bytes.
ours_body=$(api GET /health)
nginx_body=$(curl -sS "http://127.0.0.1:$nginx_port/health")
[ "$ours_body" = "$nginx_body" ] || { echo "bodies differ: $ours_body / $nginx_body" >&2; exit 1; }

# wrk has no p99.9 and no machine-readable summary: the script prints both. "Connection: close"
# makes wrk open a new connection for every request once the response is read.
cat >"$work/load.lua" <<'LUA'
wrk.headers["Connection"] = "close"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("VA_TOKEN")
function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT %.0f %.3f %.3f %.3f %d %d\n",
    summary.requests / (summary.duration / 1e6),        -- req/s (duration in us)
    latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    latency:percentile(99.9) / 1000,                    -- ms
    summary.requests, e.connect + e.read + e.write + e.timeout + e.status))
end
LUA

# Connections accepted on this network namespace, to check one connection per request.
passive_opens() {
  awk '/^Tcp:/ { if (!f) { for (i = 1; i <= NF; i++) if ($i == "PassiveOpens") f = i } else print $f }' /proc/net/snmp
}
# Connections open to a port, seen from the client side.
open_to() { ss -Htn state established "( dport = :$1 )" | wc -l; }

run() { # level server port [path, default /health]
  local before opens
  before=$(passive_opens)
  VA_TOKEN=$token wrk -t2 -c"${1%%+*}" -d"${duration}s" -s "$work/load.lua" \
    "http://127.0.0.1:$3${4:-/health}" >"$work/wrk.txt"
  opens=$(( $(passive_opens) - before ))
  echo "$1 $2 $(awk '$1 == "RESULT" { $1 = ""; print }' "$work/wrk.txt") $opens $(open_to "$3")" >>"$work/results"
}

for c in "${levels[@]}"; do
  run "$c" ours "$ours_port"; run "$c" nginx "$nginx_port"
done

# Second phase: a test-tone capture with one-hour segments (so no segment closing wakes the polls)
# and 300 pollers, each re-issuing its long poll as soon as it returns. They start 83 ms apart so
# that their 25 s expiries stay spread (about 12 re-issues/s) instead of 300 curls at once.
id=$(api POST /captures "{\"dir\":\"$work/root/polled\",\"segmentSeconds\":3600,\"remote\":{\"strategy\":\"test-tone\",\"match\":{\"bundleIds\":[\"x\"]}}}" |
  sed -E 's/.*"captureId":"([^"]+)".*/\1/')
after=$(api GET "/captures/$id/events" | sed -E 's/.*"next":([0-9]+).*/\1/')
poller() {
  local c=
  trap 'kill $c 2>/dev/null; exit 0' TERM
  while kill -0 $$ 2>/dev/null; do # ends by itself should this script be killed
    curl -s -o "$work/poll.$BASHPID" -H "Authorization: Bearer $token" \
      "http://127.0.0.1:$ours_port/captures/$id/events?after=$after&wait=25" &
    c=$!
    wait "$c" || sleep 0.1
    [[ -s $work/poll.$BASHPID && $(<"$work/poll.$BASHPID") =~ \"next\":([0-9]+) ]] && after=${BASH_REMATCH[1]}
  done
}
# The idle nginx connections: opened by one bash, held until it is killed.
(
  # shellcheck disable=SC2034 # the descriptors are only held, never used
  for _ in $(seq "$held"); do exec {fd}<>"/dev/tcp/127.0.0.1/$nginx_port"; done
  while kill -0 $$ 2>/dev/null; do sleep 1; done
) &
pids+=($!)
for _ in $(seq "$held"); do poller & pollers+=($!); sleep 0.083; done
sleep 1
echo "held: $(open_to "$ours_port") long polls on the service, $(open_to "$nginx_port") idle connections to nginx"

# GET /captures/<id>/levels of the polled capture is measured beside /health (a level meter polls
# it ten times a second).
for c in "${levels[@]}"; do
  run "$c+$held" levels "$ours_port" "/captures/$id/levels"
  run "$c+$held" ours "$ours_port"; run "$c+$held" nginx "$nginx_port"
done

# One table; the ratio rows are ours / nginx (req/s below 1 and latency above 1 favour nginx).
# "conns/req" is accepted connections per completed request (1.00: one connection per request);
# "held" the connections open to that server when its run ended (long polls or idle ones).
awk -v secs="$duration" '
  BEGIN { printf "%d s per run; level: concurrent clients [+ connections held]\n", secs
          printf "%-8s %-11s %9s %8s %8s %8s %9s %6s %9s %5s\n", "level", "server", "req/s",
                 "p50 ms", "p99 ms", "p999 ms", "requests", "errors", "conns/req", "held" }
  { printf "%-8s %-11s %9d %8.2f %8.2f %8.2f %9d %6d %9.2f %5d\n", $1, $2, $3, $4, $5, $6, $7, $8,
           $9 / $7, $10
    if ($2 == "ours") { for (i = 3; i <= 6; i++) o[i] = $i }
    else if ($2 == "nginx") printf "%-8s %-11s %9.2f %8.2f %8.2f %8.2f\n", $1, "ours/nginx", o[3] / $3, o[4] / $4,
                o[5] / $5, o[6] / $6 }' "$work/results"
