#!/usr/bin/env bash
# Memory and responsiveness with captures:
#  - the RSS of an idle service, and with 10 test-tone captures recording (after 5 s);
#  - GET /health latency (p50, p99, max over N sequential requests, curl's time_total) with no
#    long poll waiting, and while 300 long polls wait on one capture's events.
#   tools/bench/capture_bench.sh [health requests, default 500]
set -euo pipefail
cd "$(dirname "$0")/../.."
requests="${1:-500}"
scripts/setup >/dev/null

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

VELMORRANT_AUDIO_TEST_STRATEGIES=1 \
  build/velmorrant-audio serve --root "$work" --parent-pid $$ >"$work/out" 2>"$work/log" &
service=$!
pids+=("$service")
for _ in $(seq 100); do grep -q READY "$work/out" && break; sleep 0.1; done
ready=$(head -n 1 "$work/out")
port=$(jq -r .port <<<"${ready#VELMORRANT_AUDIO_READY }")
token=$(jq -r .token <<<"${ready#VELMORRANT_AUDIO_READY }")
api() { curl -sS -X "$1" -H "Authorization: Bearer $token" ${3:+--data-binary "$3"} "http://127.0.0.1:$port$2"; }
rss() { awk '/^VmRSS/ {print $2 " KiB"}' "/proc/$service/status"; }
threads() { awk '/^Threads/ {print $2}' "/proc/$service/status"; }
tone() { jq -cn --arg dir "$work/$1" '{dir: $dir, remote: {strategy: "test-tone", match: {bundleIds: ["x"]}}}'; }

health_latency() { # label
  for _ in $(seq "$requests"); do
    curl -sS -o /dev/null -w '%{time_total}\n' -H "Authorization: Bearer $token" \
      "http://127.0.0.1:$port/health"
  done | sort -n | awk -v label="$1" '{ t[NR] = $1 * 1000 }
    END { printf "%-34s p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%d requests)\n", label,
          t[int(NR * 0.5)], t[int(NR * 0.99)], t[NR], NR }'
}

sleep 1
echo "idle service:                  RSS $(rss), $(threads) threads"
ids=()
for i in $(seq 10); do ids+=("$(api POST /captures "$(tone "c$i")" | jq -r .captureId)"); done
sleep 5
echo "10 test-tone captures, 5 s in: RSS $(rss), $(threads) threads"
for id in "${ids[@]}"; do api POST "/captures/$id/stop" >/dev/null; done
echo "after stopping them:           RSS $(rss)"

health_latency "GET /health, no long polls"
poll_id=$(api POST /captures "$(tone polled)" | jq -r .captureId)
after=$(api GET "/captures/$poll_id/events" | jq -r .next)
polls=()
for _ in $(seq 300); do
  curl -sS -o /dev/null -H "Authorization: Bearer $token" \
    "http://127.0.0.1:$port/captures/$poll_id/events?after=$after&wait=25" &
  polls+=($!)
done
pids+=("${polls[@]}")
sleep 2
echo "300 long polls waiting:        RSS $(rss), $(threads) threads"
health_latency "GET /health, 300 long polls"
api POST "/captures/$poll_id/stop" >/dev/null # the closing segment wakes every poll
failed=0
for p in "${polls[@]}"; do wait "$p" || failed=$((failed + 1)); done
echo "long polls woken by the stop: $((300 - failed)) of 300 answered"
