#!/usr/bin/env bash
# The start of tracks on a private audio server: COUNT (default 50) mic + remote captures one
# after another, each recording for a second, with WirePlumber (or bare with --bare). For each
# track, the audio missing between the create answer and the stop request (that time less the
# frames in the stop summary / 16000; negative when a track holds more, as its first cycle began
# before the answer); prints the worst and the distribution, and every line the last-resort
# watchdog wrote ("... while linked").
# The service is $VA_BIN (default build/velmorrant-audio).
#   tools/bench/track_start.sh [COUNT] [--bare]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
count=50
mode=""
for arg in "$@"; do
  case "$arg" in
    --bare) mode=--bare ;;
    *) count=$arg ;;
  esac
done
scripts/setup >/dev/null

work=$(mktemp -d)
pid=""
cleanup() {
  [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
  scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/audio" "$work/root"
# shellcheck disable=SC2086
scripts/audio-env start "$work/audio" $mode
eval export "$(scripts/audio-env env "$work/audio")"
scripts/audio-env mic "$work/audio" usb_mic 1000 --default >/dev/null
scripts/audio-env app "$work/audio" com.example.player Player 440 >/dev/null

start_service "$work/root" "$work"

: >"$work/missing"
for i in $(seq "$count"); do
  body=$(jq -cn --arg dir "$work/root/rec$i" \
    '{dir: $dir, mic: {}, remote: {strategy: "process-tap", match: {bundleIds: ["com.example.player"]}}}')
  id=$(api POST /captures "$body" | jq -r .captureId)
  answered=$(date +%s%N)
  sleep 1
  stopping=$(date +%s%N)
  summary=$(api POST "/captures/$id/stop")
  for track in mic remote; do
    frames=$(jq ".tracks.$track.frames" <<<"$summary")
    awk -v a="$answered" -v s="$stopping" -v f="$frames" -v t="$track" -v i="$i" \
      'BEGIN {printf "%s %d %.1f\n", t, i, (s - a) / 1e6 - f / 16}' \
      >>"$work/missing"
  done
done

echo "${mode:-with WirePlumber}: $count captures, ms missing at the start of each track"
sort -k3 -n "$work/missing" | awk '
  { v[NR] = $3; if ($3 > 100) over++ }
  END {
    printf "  median %.1f, p90 %.1f, worst %.1f (%s), tracks over 100 ms: %d of %d\n",
      v[int(NR / 2) + 1], v[int(NR * 0.9)], v[NR], $1 " " $2, over + 0, NR
  }'
echo "watchdog lines: $(grep -c 'while linked' "$work/log" || true)"
grep 'while linked' "$work/log" || true
