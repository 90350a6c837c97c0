#!/usr/bin/env bash
# Decoding long files: POST /decode against the ffmpeg command line doing the same job.
# For each input (a 440 Hz tone at half scale, both channels, made by ffmpeg):
#  - ours: wall (curl), CPU of the service process (/proc, all threads), growth of its peak RSS
#    over its idle RSS, a fresh service per input;
#  - ffmpeg -ac 1 -ar 16000 -c:a pcm_s16le: wall, CPU, peak RSS;
#  - ffmpeg decoding alone (-f null): CPU;
#  - the level of the tone in both outputs (sox stats on a stretch from the middle).
#   tools/bench/decode_bench.sh [minutes, default 60]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes="${1:-60}"
seconds=$((minutes * 60))
scripts/setup >/dev/null

work=$(mktemp -d)
service=""
cleanup() { [ -n "$service" ] && kill "$service" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

# Runs a command; prints "wall cpu maxrss_kib" of it and its children.
measure() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - start
use = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{wall:.2f} {use.ru_utime + use.ru_stime:.2f} {use.ru_maxrss}")
EOF
}

cpu_seconds() { # pid: user + system time of every thread, in seconds
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}
status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
level() { sox "$1" -n trim "$((seconds / 2))" 10 stats 2>&1 | awk '/RMS lev dB/ { print $4 }'; }

tone="0.5*sin(2*PI*440*t)"
make_input() { # name rate encoder-arguments...
  local name=$1 rate=$2
  shift 2
  ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=${tone}|${tone}:s=${rate}:d=${seconds}" "$@" \
    "$work/$name"
}
echo "making ${minutes}-minute inputs under $work ..."
make_input tone.mp3 44100 -c:a libmp3lame -b:a 128k
make_input tone.m4a 48000 -c:a aac -b:a 128k
make_input tone.wav 48000 -c:a pcm_s16le
make_input tone.opus 48000 -c:a libopus -b:a 64k

printf '%-10s %28s %28s %14s %16s\n' input "ours wall/CPU/RSS+" "ffmpeg wall/CPU/RSS" \
  "decode-only" "level ours/ff"
for input in tone.mp3 tone.m4a tone.wav tone.opus; do
  build/velmorrant-audio serve --root "$work" --parent-pid $$ >"$work/out" 2>"$work/log" &
  service=$!
  for _ in $(seq 100); do grep -q READY "$work/out" && break; sleep 0.1; done
  ready=$(head -n 1 "$work/out")
  port=$(jq -r .port <<<"${ready#VELMORRANT_AUDIO_READY }")
  token=$(jq -r .token <<<"${ready#VELMORRANT_AUDIO_READY }")
  sleep 0.5
  idle_kib=$(status_kib "$service" VmRSS)
  cpu_before=$(cpu_seconds "$service")
  body=$(jq -cn --arg in "$work/$input" --arg out "$work/ours.wav" '{input: $in, output: $out}')
  ours_wall=$(curl -sS -o "$work/reply" -w '%{time_total}' -H "Authorization: Bearer $token" \
    --data-binary "$body" "http://127.0.0.1:$port/decode")
  grep -q '"frames"' "$work/reply" || { echo "decode of $input failed: $(cat "$work/reply")"; exit 1; }
  ours_cpu=$(awk -v a="$cpu_before" -v b="$(cpu_seconds "$service")" 'BEGIN { print b - a }')
  growth_kib=$(($(status_kib "$service" VmHWM) - idle_kib))
  kill "$service"
  wait "$service" 2>/dev/null || true
  service=""

  read -r ff_wall ff_cpu ff_kib < <(measure ffmpeg -nostdin -y -i "$work/$input" -ac 1 -ar 16000 \
    -c:a pcm_s16le "$work/ffmpeg.wav")
  read -r _ only_cpu _ < <(measure ffmpeg -nostdin -i "$work/$input" -f null -)
  printf '%-10s %9.2fs %6.2fs %7.1fMiB %9.2fs %6.2fs %7.1fMiB %13.2fs %8s/%s\n' "$input" \
    "$ours_wall" "$ours_cpu" "$((growth_kib / 1024))" "$ff_wall" "$ff_cpu" \
    "$((ff_kib / 1024))" "$only_cpu" "$(level "$work/ours.wav")" \
    "$(level "$work/ffmpeg.wav")"
  rm -f "$work/ours.wav" "$work/ffmpeg.wav"
done
