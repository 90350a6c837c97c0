#!/usr/bin/env bash
# The platform layer on a private audio server:
#  - CPU seconds and RSS of one process recording a microphone and a two-application tap for
#    SECONDS (default 60);
#  - the latency from a tone's onset in a fake application (when it writes its first tone
#    sample) to the arrival of the block holding it, and to that block's time stamp, over
#    five runs.
#   tools/bench/platform_bench.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"
scripts/setup >/dev/null

work=$(mktemp -d)
probe=build/tools/bench/va-audio-probe
player=build/tools/audio-env/va-tone-player
cleanup() { scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/audio"
scripts/audio-env start "$work/audio"
eval export "$(scripts/audio-env env "$work/audio")"
scripts/audio-env mic "$work/audio" bench_mic 1000 --default >/dev/null
scripts/audio-env app "$work/audio" com.example.a AppA 440 >/dev/null
scripts/audio-env app "$work/audio" com.example.b AppB 660 >/dev/null

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

"$probe" --mic bench_mic --tap com.example.a,com.example.b "$seconds" >"$work/probe.out" &
pid=$!
for _ in $(seq 250); do grep -q ready "$work/probe.out" 2>/dev/null && break; sleep 0.02; done
rss_start=$(rss "$pid")
cpu_start=$(cpu "$pid")
sleep "$((seconds - 1))"
rss_end=$(rss "$pid")
cpu_end=$(cpu "$pid")
wait "$pid"
echo "mic + two-app tap for ${seconds} s: CPU $(awk -v a="$cpu_start" -v b="$cpu_end" \
  'BEGIN {printf "%.2f", b - a}') s, RSS ${rss_start} KiB at start, ${rss_end} KiB at the end"
tail -n 2 "$work/probe.out"

echo "onset latency (ms): arrival, block time stamp"
for run in 1 2 3 4 5; do
  "$player" --channels 2 --hz 440 --delay 1.5 --seconds 4 --prop "application.id=com.example.late$run" \
    --prop "node.name=Late$run" 2>"$work/player.err" &
  player_pid=$!
  "$probe" --tap "com.example.late$run" 3 >"$work/late.out"
  wait "$player_pid" || true
  onset=$(awk '/onset at/ {print $NF}' "$work/player.err")
  read -r _ _ block arrival < <(grep '^onset tap' "$work/late.out")
  awk -v o="$onset" -v b="$block" -v a="$arrival" \
    'BEGIN {printf "  run: %.1f, %.1f\n", (a - o) / 1e6, (b - o) / 1e6}'
done
