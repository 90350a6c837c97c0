#!/usr/bin/env bash
# What a recording costs against the audio server's own recorder, in the same run: on a private
# audio server with WirePlumber, a virtual microphone (1000 Hz, the default source) and a fake
# application playing 440 Hz to the speaker. Each run records SECONDS (default 60) with one
# mic + remote capture of the service and, beside it, two pw-record clients (the microphone, and
# the speaker's monitor), both at 16 kHz mono 16-bit as our tracks are. Runs alternate between
# the capture without and with echo cancellation, RUNS (default 5) of each. Per run: the CPU
# seconds per minute of the service (all its threads) and of the two pw-record clients together,
# and their ratio; then per mode the medians, and the wake-ups per second (voluntary and
# involuntary context switches) of each thread of the service in its last run.
#   tools/bench/recording_cost.sh [SECONDS] [RUNS]
# The service is $VA_BIN (default build/velmorrant-audio); nothing is built here. With
# PROFILE=DIR, each mode's last run also records a perf profile of the service into DIR.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
seconds="${1:-60}"
runs="${2:-5}"
bin=$(realpath -m "${VA_BIN:-build/velmorrant-audio}")
[ -x "$bin" ] || { echo "recording_cost: no service binary at $bin (or set VA_BIN)" >&2; exit 2; }
export VA_BIN="$bin"
export VA_TONE_PLAYER="${VA_TONE_PLAYER:-$(dirname "$bin")/tools/audio-env/va-tone-player}"
for tool in jq curl pw-record; do
  command -v "$tool" >/dev/null || { echo "recording_cost: $tool is missing" >&2; exit 2; }
done

bench_workdir
audio="$work/audio"
mkdir -p "$audio"
trap '[ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
      for p in ${recorders:-}; do kill -TERM "$p" 2>/dev/null || true; done
      scripts/audio-env stop "$audio" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
scripts/audio-env start "$audio" >/dev/null
eval export "$(scripts/audio-env env "$audio")"
scripts/audio-env mic "$audio" bench_mic 1000 --default >/dev/null
scripts/audio-env app "$audio" com.example.player Player 440 >/dev/null

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$1/stat"; }
# tid name switches, one line per thread of a process
switches() {
  for task in /proc/"$1"/task/*; do
    awk -v tid="${task##*/}" -v name="$(tr ' ' '_' <"$task/comm")" \
      '/^(non)?voluntary_ctxt_switches/ {n += $2} END {print tid, name, n}' "$task/status"
  done
}

declare -A ratios
for run in $(seq "$runs"); do
  for echo_on in false true; do
    rm -f "$work/stdout" # a READY line of the previous run must not be read
    start_service "$work/root" "$work"
    body=$(jq -cn --arg dir "$work/root/run$run-$echo_on" --argjson ec "$echo_on" \
      '{dir: $dir, mic: {echoCancellation: $ec},
        remote: {strategy: "process-tap", match: {bundleIds: ["com.example.player"]}}}')
    id=$(api POST /captures "$body" | jq -r .captureId)
    [ "$id" != null ] || { echo "recording_cost: the capture was refused" >&2; exit 1; }
    pw-record --target bench_mic --rate 16000 --channels 1 --format s16 "$work/mic.wav" &
    mic_rec=$!
    pw-record --target ci_sink -P stream.capture.sink=true --rate 16000 --channels 1 --format s16 \
      "$work/monitor.wav" &
    mon_rec=$!
    recorders="$mic_rec $mon_rec"
    sleep 2 # everyone is linked and running
    s0=$(cpu "$pid") r0=$(awk -v a="$(cpu "$mic_rec")" -v b="$(cpu "$mon_rec")" 'BEGIN {print a + b}')
    switches "$pid" >"$work/switches.0"
    if [ -n "${PROFILE:-}" ] && [ "$run" = "$runs" ]; then
      mkdir -p "$PROFILE"
      perf record -q -F 999 -g -p "$pid" -o "$PROFILE/echo-$echo_on.data" -- sleep "$seconds" \
        2>/dev/null
    else
      sleep "$seconds"
    fi
    s1=$(cpu "$pid") r1=$(awk -v a="$(cpu "$mic_rec")" -v b="$(cpu "$mon_rec")" 'BEGIN {print a + b}')
    switches "$pid" >"$work/switches.1"
    kill -TERM "$mic_rec" "$mon_rec"
    wait "$mic_rec" "$mon_rec" 2>/dev/null || true
    recorders=""
    api POST "/captures/$id/stop" >/dev/null
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
    pid=""
    line=$(awk -v a="$s0" -v b="$s1" -v c="$r0" -v d="$r1" -v t="$seconds" \
      'BEGIN {sv = (b - a) * 60 / t; rc = (d - c) * 60 / t;
              printf "%.3f %.3f %.2f", sv, rc, (rc > 0 ? sv / rc : 0)}')
    read -r service_cpu recorders_cpu ratio <<<"$line"
    printf 'run %d, echo cancellation %-5s: service %.3f CPU s/min, two pw-record %.3f, ratio %.2f\n' \
      "$run" "$echo_on" "$service_cpu" "$recorders_cpu" "$ratio"
    ratios[$echo_on]+="$ratio "
    cp "$work/switches.0" "$work/switches.0.$echo_on"
    cp "$work/switches.1" "$work/switches.1.$echo_on"
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
for echo_on in false true; do
  echo "echo cancellation $echo_on: median ratio $(median <<<"${ratios[$echo_on]}")" \
    "over $runs runs; wake-ups per second by thread in the last run:"
  join <(sort "$work/switches.0.$echo_on") <(sort "$work/switches.1.$echo_on") |
    awk -v t="$seconds" '{printf "  %-16s %7.1f\n", $2, ($5 - $3) / t}' | sort -k2 -rn
done
