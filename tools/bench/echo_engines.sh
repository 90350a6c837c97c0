#!/usr/bin/env bash
# The echo canceller's libraries on the simulated room (scripts/audio-env room), for echo paths
# of 60 and 250 ms: the far end (espeak-ng en-us+m3) played to the speaker alone for 8 s, then
# with the near end (en-gb+f3) played into the room. The speaker's monitor and room_mic are
# recorded as one 2-channel stream (sample-aligned), then build/tools/bench/echo_engines cancels
# it offline with speexdsp alone, WebRTC alone and both (the service's engine), each behind the
# service's own alignment and delay estimate. Printed per library: ERLE over the far end's first
# 2 s and over the rest of its time alone (from 2 to 8 s), the near end's level change once the
# far end has stopped, and the CPU seconds per hour of audio. About a minute.
#   tools/bench/echo_engines.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
engines=build/tools/bench/echo_engines
[ -x "$engines" ] || { echo "echo_engines: build first (scripts/setup)" >&2; exit 2; }
work=$(mktemp -d)
trap 'scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
espeak-ng -v en-us+m3 -w "$work/far.espeak.wav" "Good morning everyone, thank you for joining the
call today. I would like to start with a short update on the project schedule. The first
milestone was reached last week, and the second one is planned for the end of next month."
sox "$work/far.espeak.wav" "$work/far.wav"
espeak-ng -v en-gb+f3 -w "$work/near.wav" "Sorry to interrupt, but I have a question about the
budget. Could we move the review to Thursday afternoon? I think the numbers from the last quarter
are not final yet."

for delay in 60 250; do
  scripts/audio-env start "$work/audio" >/dev/null
  scripts/audio-env room "$work/audio" --delay "$delay" >/dev/null
  eval export "$(scripts/audio-env env "$work/audio")"
  pw-record -P '{ node.name = echo_engines_pair node.autoconnect = false }' --channels 2 \
    --rate 48000 --format s16 "$work/pair.wav" &
  recorder=$!
  for _ in $(seq 250); do # the node's ports come a little after it
    pw-link ci_sink:monitor_FL echo_engines_pair:input_FL 2>/dev/null && break
    sleep 0.02
  done
  pw-link room_mic:capture_MONO echo_engines_pair:input_FR
  sleep 0.5
  pw-play "$work/far.wav" &
  far=$!
  sleep 8
  pw-play --target room "$work/near.wav"
  wait "$far"
  sleep 1
  kill -INT "$recorder"
  wait "$recorder" || true
  scripts/audio-env stop "$work/audio"
  sox "$work/pair.wav" -r 16000 -t s16 "$work/reference.s16" remix 1
  sox "$work/pair.wav" -r 16000 -t s16 "$work/microphone.s16" remix 2
  echo "echo path $delay ms     ERLE first 2 s   far alone   near alone   CPU s/h"
  "$engines" "$work/microphone.s16" "$work/reference.s16" "$work" |
    python3 -c '
import math, struct, sys
work = sys.argv[1]
def read(path):
    data = open(path, "rb").read()
    return struct.unpack("<%dh" % (len(data) // 2), data)
def power(v, a, b):
    return sum(x * x for x in v[a:b]) / max(1, b - a) + 1e-9
mic, ref, R = read(work + "/microphone.s16"), read(work + "/reference.s16"), 16000
onset = 0  # the far end: the reference first above -50 dBFS over 10 ms
while power(ref, onset, onset + 160) < 1e-5 * 32768 ** 2:
    onset += 160
for line in sys.stdin:
    name, cpu = line.split()
    out = read(work + "/" + name + ".s16")
    def erle(a, b):
        a, b = onset + int(a * R), onset + int(b * R)
        return 10 * math.log10(power(mic, a, b) / power(out, a, b))
    tail = onset + int(15.5 * R)  # the far end and its echo are over
    near = 10 * math.log10(power(out, tail, len(mic)) / power(mic, tail, len(mic)))
    print("  %-18s %8.1f %11.1f %11.2f %9s" % (name, erle(0, 2), erle(2, 8), near, cpu))
' "$work"
done
