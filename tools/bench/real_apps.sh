#!/usr/bin/env bash
# Real desktop players recorded through the service, on a private audio server with WirePlumber
# and the PulseAudio bridge: pw-play (native), paplay (PulseAudio), aplay (ALSA), mpv, ffplay,
# gst-launch-1.0 and headless Chromium playing an <audio> element, each its own tone, while a
# fake application plays 440 Hz beside them. Per player: the identity /sources lists it under
# (and its pids), the level of its tone in a remote track that matches that identity, the level
# of the 440 Hz tone there (must be absent), and the time from its first sound (its output
# stream running, as a separate client sees it) to "tap_armed", with that event's trigger.
# Installs what it needs (Debian packages) first; the service is $VA_BIN (default
# build/velmorrant-audio).
#   tools/bench/real_apps.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
scripts/setup >/dev/null

packages=(mpv gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-pipewire chromium python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "real_apps: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
pid=""
group=""
cleanup() {
  [ -z "$group" ] || kill -TERM -- "-$group" 2>/dev/null || true
  [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
  scripts/audio-env stop "$work/audio" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/audio" "$work/root"
scripts/audio-env start "$work/audio" --pulse
eval export "$(scripts/audio-env env "$work/audio")"
scripts/audio-env app "$work/audio" com.example.distractor Distractor 440 >/dev/null

start_service "$work/root" "$work"

for hz in 523 587 659 698 740; do
  sox -n -r 48000 -c 2 -b 16 "$work/$hz.wav" synth 60 sine "$hz" vol 0.5
done
echo '<html><body><audio src="880.wav" autoplay loop></audio></body></html>' >"$work/page.html"
sox -n -r 48000 -c 2 -b 16 "$work/880.wav" synth 60 sine 880 vol 0.5

# name | tone Hz | command (its own process group, so that every helper process goes with it)
players=(
  "pw-play|523|pw-play $work/523.wav"
  "paplay|587|paplay $work/587.wav"
  "aplay|659|aplay -q $work/659.wav"
  "mpv|698|mpv --no-video --really-quiet $work/698.wav"
  "ffplay|740|ffplay -nodisp -autoexit -loglevel quiet $work/740.wav"
  "gst-launch-1.0|784|gst-launch-1.0 -q audiotestsrc freq=784 volume=0.5 ! audioconvert ! autoaudiosink"
  "chromium|880|chromium --headless=new --no-sandbox --autoplay-policy=no-user-gesture-required
     --disable-gpu --no-first-run --disable-background-networking --disable-component-update
     --disable-sync --user-data-dir=$work/chromium file://$work/page.html"
)
launch() { # command: runs it in a group of its own, remembered in $group
  # shellcheck disable=SC2086
  setsid $1 >>"$work/players.log" 2>&1 </dev/null &
  group=$!
}
finish() {
  kill -TERM -- "-$group" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 -- "-$group" 2>/dev/null || break; sleep 0.05; done
  kill -KILL -- "-$group" 2>/dev/null || true
  group=""
}
identities() { api GET /sources | jq -r '.applications[].bundleId' | sort; }

# The level of a tone in the last 2 s of a track (its segments in order), Goertzel.
level() { # track-dir hz
  python3 - "$1" "$2" <<'PY'
import glob, math, struct, sys, wave
samples = []
for path in sorted(glob.glob(sys.argv[1] + "/*.wav")):
    with wave.open(path) as w:
        data = w.readframes(w.getnframes())
        samples += [s / 32768 for s in struct.unpack("<%dh" % (len(data) // 2), data)]
tail = samples[-32000:]
if not tail:
    print("-"); sys.exit()
k = 2 * math.cos(2 * math.pi * float(sys.argv[2]) / 16000)
a = b = 0.0
for x in tail:
    a, b = x + k * a - b, a
print("%.3f" % (2 * math.sqrt(max(a * a + b * b - k * a * b, 0)) / len(tail)))
PY
}

printf '%-15s %-16s %-22s %8s %8s %10s %s\n' player identity pids "own" "440Hz" "armed_ms" trigger
for entry in "${players[@]}"; do
  IFS='|' read -r name hz command <<<"$(tr -s ' \n' '  ' <<<"$entry")"
  # Which identity it is listed under: the one that appears while it plays.
  before=$(identities)
  launch "$command"
  identity=""
  for _ in $(seq 100); do
    identity=$(comm -13 <(echo "$before") <(identities) | head -n 1)
    [ -n "$identity" ] && break
    sleep 0.1
  done
  pids=$(api GET /sources | jq -c --arg id "$identity" '[.applications[] | select(.bundleId == $id) | .pids[]]')
  finish
  if [ -z "$identity" ]; then
    printf '%-15s %s\n' "$name" "never listed"
    continue
  fi
  for _ in $(seq 100); do identities | grep -qxF "$identity" || break; sleep 0.1; done

  # A capture that waits for it, then the player again, watched by a separate client.
  dir="$work/root/$name"
  capture=$(api POST /captures "$(jq -cn --arg dir "$dir" --arg id "$identity" \
    '{dir: $dir, remote: {strategy: "process-tap", match: {bundleIds: [$id]}}}')" | jq -r .captureId)
  build/tools/bench/va-audio-probe --watch "$identity" 30 >"$work/watch" 2>/dev/null &
  watcher=$!
  for _ in $(seq 100); do grep -q ready "$work/watch" && break; sleep 0.05; done
  launch "$command"
  armed="null"
  for _ in $(seq 150); do
    armed=$(api GET "/captures/$capture/events?after=0" |
      jq -c '[.events[] | select(.type == "tap_armed")][0]')
    [ "$armed" != "null" ] && break
    sleep 0.1
  done
  sleep 3
  api POST "/captures/$capture/stop" >/dev/null
  finish
  wait "$watcher" 2>/dev/null || true
  running=$(awk '/^running/ {print $3}' "$work/watch")
  latency="-"
  trigger="-"
  if [ "$armed" != "null" ]; then
    trigger=$(jq -r .trigger <<<"$armed")
    [ -n "$running" ] && latency=$(awk -v a="$(jq .tNs <<<"$armed")" -v r="$running" \
      'BEGIN {printf "%.0f", (a - r) / 1e6}')
  fi
  printf '%-15s %-16s %-22s %8s %8s %10s %s\n' "$name" "$identity" "$pids" \
    "$(level "$dir/tracks/remote" "$hz")" "$(level "$dir/tracks/remote" 440)" "$latency" "$trigger"
done
