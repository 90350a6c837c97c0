#!/usr/bin/env bash
# What create/stop cycles leave behind: the service's threads, descriptors and RSS when idle,
# then after COUNT (default 1000) cycles of a test-tone capture (created, recording for a moment,
# stopped), each in a directory of its own, and again after a minute's rest.
# The service is $VA_BIN (default build/velmorrant-audio).
#   tools/bench/cycles.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
count="${1:-1000}"
scripts/setup >/dev/null

bench_workdir
export VELMORRANT_AUDIO_TEST_STRATEGIES=1
start_service "$work/root" "$work"
sleep 0.5
state() {
  printf '%s threads, %s descriptors, RSS %s KiB' "$(awk '/^Threads/ {print $2}' "/proc/$pid/status")" \
    "$(ls "/proc/$pid/fd" | wc -l)" "$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
}
echo "idle:                 $(state)"
started=$(date +%s.%N)
for i in $(seq "$count"); do
  id=$(api POST /captures "$(jq -cn --arg dir "$work/root/c$i" \
    '{dir: $dir, segmentSeconds: 1, remote: {strategy: "test-tone", match: {bundleIds: ["x"]}}}')" |
    jq -r .captureId)
  api POST "/captures/$id/stop" >/dev/null
done
ended=$(date +%s.%N)
echo "after $count cycles:    $(state) ($(awk -v a="$started" -v b="$ended" -v n="$count" 'BEGIN {printf "%.1f ms a cycle", (b - a) / n * 1000}'))"
sleep 60
echo "after a minute's rest: $(state)"
