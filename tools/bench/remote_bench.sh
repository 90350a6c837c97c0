#!/usr/bin/env bash
# The remote track of the service on a private audio server (with WirePlumber):
#  - from a late application's first tone sample to its "tap_armed" event and to the first
#    frame on disk in the remote track, over five runs;
#  - the CPU cost of the one-second observation with 50 fake applications connected: the
#    service's CPU over SECONDS (default 30) with a capture that matches none of them, less the
#    same service idle for as long.
#   tools/bench/remote_bench.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
seconds="${1:-30}"
scripts/setup >/dev/null

work=$(mktemp -d)
player=build/tools/audio-env/va-tone-player
pid=""
cleanup() {
  [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
  scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/audio" "$work/root"
scripts/audio-env start "$work/audio"
eval export "$(scripts/audio-env env "$work/audio")"

start_service "$work/root" "$work"
create() { # dir bundle-id -> capture id
  api POST /captures "$(jq -cn --arg dir "$1" --arg id "$2" \
    '{dir: $dir, remote: {strategy: "process-tap", match: {bundleIds: [$id]}}}')" | jq -r .captureId
}
# CLOCK_MONOTONIC ns (the clock of the event times) once FILE holds more than a WAV header.
first_frame_ns() {
  python3 - "$1" <<'PY'
import glob, os, sys, time
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    for path in glob.glob(sys.argv[1]):
        if os.path.getsize(path) > 44:
            print(time.clock_gettime_ns(time.CLOCK_MONOTONIC))
            sys.exit(0)
    time.sleep(0.002)
sys.exit(1)
PY
}

echo "late application (ms from its first tone sample): tap_armed, first frame on disk"
for run in 1 2 3 4 5; do
  dir="$work/root/late$run"
  id=$(create "$dir" "com.example.late$run")
  "$player" --channels 2 --hz 440 --delay 0 --seconds 6 --prop "application.id=com.example.late$run" \
    --prop "node.name=Late$run" 2>"$work/player.err" &
  player_pid=$!
  frame=$(first_frame_ns "$dir/tracks/remote/*.wav")
  armed=$(api GET "/captures/$id/events?after=0" | jq '[.events[] | select(.type == "tap_armed")][0].tNs')
  onset=$(awk '/onset at/ {print $NF}' "$work/player.err")
  awk -v o="$onset" -v a="$armed" -v f="$frame" \
    'BEGIN {printf "  run %d: %.1f, %.1f\n", '"$run"', (a - o) / 1e6, (f - o) / 1e6}'
  api POST "/captures/$id/stop" >/dev/null
  wait "$player_pid" || true
done

for n in $(seq 50); do
  scripts/audio-env app "$work/audio" "com.example.client$n" "Client$n" 440 >/dev/null
done
ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$pid/stat"; }
sleep 2
idle_start=$(cpu)
sleep "$seconds"
idle=$(awk -v a="$idle_start" -v b="$(cpu)" 'BEGIN {print b - a}')
id=$(create "$work/root/none" com.example.none)
sleep 1
busy_start=$(cpu)
sleep "$seconds"
busy=$(awk -v a="$busy_start" -v b="$(cpu)" 'BEGIN {print b - a}')
api POST "/captures/$id/stop" >/dev/null
awk -v i="$idle" -v b="$busy" -v s="$seconds" 'BEGIN {
  printf "50 clients, %d s: service CPU %.2f s idle, %.2f s observing once a second\n", s, i, b
  printf "  one observation: %.2f ms of CPU\n", (b - i) / s * 1000 }'
