#!/usr/bin/env bash
# The two tracks' timelines under CPU load, on a private audio server with WirePlumber and the
# PulseAudio bridge: one capture of a mic track and a "process-tap" remote track for MINUTES
# (default 10), while one busy loop per CPU core (default priority) runs for the whole capture.
# The fake application "com.example.clicks" (sox piped into pw-cat, asking for a 4800/48000
# latency so the quantum changes when the capture joins) plays a 20 ms 1 kHz burst every 3 s to
# the speaker and, through our own link, into a virtual source "vsrc" (a null sink of class
# Audio/Source/Virtual) that the mic track records: each burst reaches both tracks at the same
# instant. Per track it prints:
#  - the frames of the stop summary against the time the track covers (first segment's startNs
#    to the last segment's startNs + frames / 16000), as a difference in ms and in % (negative
#    when the track holds more audio than time), and the joins between consecutive segments
#    (startNs against the previous segment's end): how many are off by over 1 ms, the largest
#    gap and the largest overlap;
#  - the holes: "holes" and "lostS" summed over "audio_dropout", "droppedS" of the stop summary,
#    and the "track_repaired" events;
# then each burst's onset located in both tracks (sample n of a segment lies at its startNs +
# n / 16000 s) and onset_mic - onset_remote: median, worst, and the bursts off by over 1 ms;
# last, the service's diagnostics counted by kind.
#   tools/bench/timeline_bench.sh [MINUTES]
# The service is $VA_BIN (default build/velmorrant-audio); nothing is built here. The work
# directory is removed at the end (kept with TIMELINE_KEEP=1).
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
minutes="${1:-10}"
[[ "$minutes" =~ ^[1-9][0-9]*$ ]] ||
  { echo "usage: tools/bench/timeline_bench.sh [minutes]" >&2; exit 2; }
bin=$(realpath -m "${VA_BIN:-build/velmorrant-audio}")
[ -x "$bin" ] || { echo "timeline: no service binary at $bin (or set VA_BIN)" >&2; exit 2; }
export VA_BIN="$bin"
# scripts/audio-env refuses to start without the tone player, though nothing here plays a sine.
export VA_TONE_PLAYER="${VA_TONE_PLAYER:-$(dirname "$bin")/tools/audio-env/va-tone-player}"
for tool in jq curl sox pw-cat pw-link pactl python3; do
  command -v "$tool" >/dev/null || { echo "timeline: $tool is missing" >&2; exit 2; }
done

app_id=com.example.clicks
period_s=3   # one burst every 3 s: a distribution of onsets, none mistaken for its neighbour
burst_s=0.02 # 20 ms of 1 kHz starting at phase 0: a sharp onset, 320 samples at 16 kHz

work=$(mktemp -d /tmp/va-timeline.XXXXXX)
pid=""     # the service
app=""     # pw-cat of the fake application (its sox ends on the broken pipe)
hogs=()    # the busy loops
cleanup() {
  local p
  for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -z "$app" ] || kill "$app" 2>/dev/null || true
  [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
  scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true
  if [ "${TIMELINE_KEEP:-0}" = 1 ]; then echo "work directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$work/audio" "$work/root"

scripts/audio-env start "$work/audio" --pulse
eval export "$(scripts/audio-env env "$work/audio")"

# The virtual source, owned by the bridge (not by a short-lived client), so it stays until the
# server ends; its only outputs are monitor ports.
pactl load-module module-null-sink media.class=Audio/Source/Virtual sink_name=vsrc \
  channel_map=mono >/dev/null

# The fake application: bursts for the whole run and two minutes more, mono f32 at 48 kHz.
bursts=$(((minutes * 60 + 120) / period_s))
pause_s=$(awk -v p="$period_s" -v b="$burst_s" 'BEGIN {print p - b}')
props="{ application.id = \"$app_id\" application.name = \"Clicks\" node.name = \"Clicks\""
props+=' node.latency = "4800/48000" }'
(exec sox -n -t raw -r 48000 -e floating-point -b 32 -c 1 - \
  synth "$burst_s" sine 1000 vol 0.5 pad 0 "$pause_s" repeat "$bursts") |
  pw-cat -p --format f32 --rate 48000 --channels 1 --latency 4800 --properties "$props" - \
    >"$work/app.log" 2>&1 &
app=$!
# WirePlumber gives it the speaker's two channels and links them there; one of them also goes
# into the virtual source (both would be summed, doubling the level).
linked=""
for _ in $(seq 250); do
  pw-link Clicks:output_FL vsrc:input_MONO >/dev/null 2>&1 && { linked=1; break; }
  sleep 0.02
done
[ -n "$linked" ] || { echo "timeline: could not link the application into vsrc" >&2; exit 1; }

start_service "$work/root" "$work"
[ -n "$token" ] || { echo "timeline: no READY line" >&2; cat "$work/log" >&2; exit 1; }
for _ in $(seq 100); do
  api GET /sources | jq -e --arg id "$app_id" '.applications | any(.bundleId == $id)' \
    >/dev/null 2>&1 && break
  sleep 0.1
done

# The load: one busy loop per core at the default priority, from before the capture starts
# until after it stops.
cores=$(nproc)
for ((core = 0; core < cores; core++)); do
  if command -v taskset >/dev/null; then
    taskset -c "$core" sh -c 'while :; do :; done' &
  else
    sh -c 'while :; do :; done' &
  fi
  hogs+=($!)
done

body=$(jq -cn --arg dir "$work/root/rec" --arg id "$app_id" \
  '{dir: $dir, segmentSeconds: 60, mic: {deviceUid: "vsrc"},
    remote: {strategy: "process-tap", match: {bundleIds: [$id]}}}')
created=$(api POST /captures "$body")
id=$(jq -r '.captureId // empty' <<<"$created")
[ -n "$id" ] || { echo "timeline: the capture did not start: $created" >&2; exit 1; }
echo "timeline: ${minutes} min, mic (vsrc) + remote ($app_id), $cores busy loops;" \
  "service $bin (pid $pid, built $(date -r "$bin" '+%F %T'))"

# Events as they come, every 10 s, so none is lost to the log's limit (the newest 10000).
next=0
: >"$work/events.jsonl"
drain() {
  local answer
  while :; do
    answer=$(api GET "/captures/$id/events?after=$next&wait=0")
    [ "$(jq '.events | length' <<<"$answer")" != 0 ] || break
    jq -c '.events[]' <<<"$answer" >>"$work/events.jsonl"
    next=$(jq -r .next <<<"$answer")
  done
}
end=$((SECONDS + minutes * 60))
while ((SECONDS < end)); do
  sleep $((end - SECONDS < 10 ? end - SECONDS : 10))
  drain
done
api POST "/captures/$id/stop" >"$work/summary.json"
drain
for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done
hogs=()

python3 - "$work/root/rec" "$work/events.jsonl" "$work/summary.json" "$period_s" <<'EOF'
import json, statistics, sys, wave
from array import array

capture, events_path, summary_path = sys.argv[1:4]
period_s = float(sys.argv[4])
RATE = 16000
events = [json.loads(line) for line in open(events_path)]
summary = json.load(open(summary_path))["tracks"]
tracks = ["mic", "remote"]

def per_track(kind, track):
    return [e for e in events if e["type"] == kind and e.get("track") == track]

QUIET = 1000          # |sample| below this is the silence between bursts (peak is ~16000)
QUIET_RUN = RATE // 2 # a burst starts after 0.5 s of quiet inside one segment
WINDOW = 320          # the 20 ms burst

def onsets(track):
    """CLOCK_MONOTONIC ns of each burst's onset: where |x| first reaches half the burst's peak,
    interpolated between samples."""
    found = []
    for seg in sorted(per_track("segment_closed", track), key=lambda e: e["index"]):
        with wave.open(f"{capture}/{seg['path']}", "rb") as w:
            x = array("h", w.readframes(w.getnframes()))
        quiet = 0
        i, n = 0, len(x)
        while i < n:
            v = abs(x[i])
            if v < QUIET:
                quiet += 1
                i += 1
                continue
            if quiet >= QUIET_RUN and i + WINDOW <= n:
                peak = max(abs(s) for s in x[i:i + WINDOW])
                half = peak / 2
                j = i
                while abs(x[j]) < half:
                    j += 1
                a, b = abs(x[j - 1]), abs(x[j])
                at = j - 1 + (half - a) / (b - a) if b != a else j
                found.append(seg["startNs"] + at * 1e9 / RATE)
                i += WINDOW
            else:
                i += 1
            quiet = 0
    return found

rows = {}
on = {}
for t in tracks:
    segs = sorted(per_track("segment_closed", t), key=lambda e: e["index"])
    frames = summary[t]["frames"]
    first = segs[0]["startNs"]
    last = segs[-1]["startNs"] + segs[-1]["frames"] * 1e9 / RATE
    covered_s = (last - first) / 1e9
    diff_ms = round(covered_s * 1000 - frames * 1000 / RATE, 3) + 0.0  # no "-0.000"
    joins = [b["startNs"] - (a["startNs"] + a["frames"] * 1e9 / RATE)
             for a, b in zip(segs, segs[1:])]
    gap = max([j for j in joins if j > 0], default=0) / 1e6
    overlap = min([j for j in joins if j < 0], default=0) / 1e6
    drops = per_track("audio_dropout", t)
    repairs = per_track("track_repaired", t)
    other = sorted({e["type"] for e in events if e.get("track") == t} -
                   {"segment_closed", "audio_dropout", "track_repaired", "track_started",
                    "track_stopped"})
    rows[t] = [
        ("frames (stop summary)", f"{frames} ({frames / RATE:.3f} s)"),
        ("time covered (startNs of the first segment to the end of the last)",
         f"{covered_s:.6f} s"),
        ("covered - frames / 16000",
         f"{diff_ms:+.3f} ms ({diff_ms / 10 / covered_s + 0.0:+.5f} %)"),
        ("segments; joins off by over 1 ms; largest gap, overlap",
         f"{len(segs)}; {sum(abs(j) > 1e6 for j in joins)}; {gap:+.3f}, {overlap:+.3f} ms"),
        ("audio_dropout: events, holes, lostS", f"{len(drops)}, {sum(e['holes'] for e in drops)}, "
         f"{sum(e['lostS'] for e in drops):.3f} s"),
        ("droppedS (stop summary)", f"{summary[t].get('droppedS', 0):.3f} s"),
        ("track_repaired", f"{len(repairs)}" + (
            f" ({sum(e.get('lostS', 0) for e in repairs):.3f} s lost: "
            + ", ".join(sorted({str(e.get('reason')) for e in repairs})) + ")" if repairs else "")),
        ("other track events", ", ".join(other) or "none"),
    ]
    on[t] = onsets(t)

print()
print("| | mic | remote |")
print("|---|---|---|")
for k in range(len(rows["mic"])):
    print(f"| {rows['mic'][k][0]} | {rows['mic'][k][1]} | {rows['remote'][k][1]} |")

# Pair each mic onset with the remote one nearest to it (bursts are period_s apart).
pairs = []
for m in on["mic"]:
    r = min(on["remote"], key=lambda r: abs(r - m), default=None)
    if r is not None and abs(r - m) < period_s * 1e9 / 3:
        pairs.append(((m - r) / 1e6, m))
print()
print(f"onsets found: mic {len(on['mic'])}, remote {len(on['remote'])}, paired {len(pairs)}")
if pairs:
    offsets = [d for d, _ in pairs]
    worst = max(offsets, key=abs)
    over = [(d, m) for d, m in pairs if abs(d) > 1]
    print("| onset_mic - onset_remote | ms |")
    print("|---|---|")
    print(f"| median | {statistics.median(offsets):+.3f} |")
    print(f"| worst | {worst:+.3f} |")
    print(f"| min / max | {min(offsets):+.3f} / {max(offsets):+.3f} |")
    print(f"| bursts over 1 ms | {len(over)} of {len(pairs)} |")
    if over:
        # Whole graph cycles show as multiples of one quantum (21.333 ms for 1024 at 48 kHz).
        counts = {}
        for d, _ in over:
            counts[round(d)] = counts.get(round(d), 0) + 1
        print("  over 1 ms, by ms: " + ", ".join(f"{v:+d} x{n}" for v, n in sorted(counts.items())))
        start = min(on["mic"] + on["remote"])
        print("  first: " + ", ".join(f"{d:+.3f} at {(m - start) / 1e9:.1f} s"
                                      for d, m in over[:5]))
EOF
# What the service said beyond starting and stopping the capture.
routine='audio server connected|listening on|descriptors, at most|capture .* (started|stopped):'
said=$(grep -v -E "$routine" "$work/log" || true)
echo
if [ -z "$said" ]; then
  echo "service diagnostics: none"
else
  echo "service diagnostics: $(grep -c . <<<"$said") lines; by kind (numbers as N):"
  sed -E 's/[0-9]+/N/g' <<<"$said" | sort | uniq -c | sort -rn | head -n 10
fi
