#!/usr/bin/env bash
# A long run of the service under steady use, on a private audio server with WirePlumber, a
# virtual microphone playing 1000 Hz (the default input) and a fake application
# "org.example.player" playing 440 Hz:
#  - two captures, each with a mic track (default input) and a remote track (process-tap of the
#    application), in 60-second segments (SOAK_SEGMENT_SECONDS), for MINUTES;
#  - one long poll per capture (wait=25, after=next) recording every event, a POST /decode every
#    5 s, and GET /health about 4 times a second;
#  - the service's RSS, open descriptors and threads every 30 s into a CSV.
# Then it stops both captures and checks: every segment is a valid 16 kHz mono 16-bit WAV whose
# header sizes match the file; the frames on disk per track equal the stop summary (and each
# "segment_closed" event); per track, frames / 16000 equals the time from "track_started" to
# "track_stopped" (less reported gaps) within 0.1 %; each capture's event sequence numbers run
# 1, 2, 3, ... with none lost; every decode and health request answered 200; RSS grew by at most
# 10 % and descriptors by at most 5 from the first sample after 30 s of warm-up to the last; the
# service exits with status 0 on SIGTERM. Exits 1 if any check fails.
#   tools/bench/soak.sh [minutes, default 10]
# The service is $VA_BIN (default build/velmorrant-audio); the fake application and microphone
# come from tools/audio-env/va-tone-player next to it (or $VA_TONE_PLAYER). Nothing is built here:
# run scripts/setup first. The work directory is removed when every check passes, kept
# otherwise (or with SOAK_KEEP=1).
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes="${1:-10}"
[[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "usage: tools/bench/soak.sh [minutes]" >&2; exit 2; }
segment_seconds="${SOAK_SEGMENT_SECONDS:-60}"
bin=$(realpath -m "${VA_BIN:-build/velmorrant-audio}")
[ -x "$bin" ] ||
  { echo "soak: no service binary at $bin (run scripts/setup, or set VA_BIN)" >&2; exit 2; }
export VA_TONE_PLAYER="${VA_TONE_PLAYER:-$(dirname "$bin")/tools/audio-env/va-tone-player}"
for tool in jq curl od; do
  command -v "$tool" >/dev/null || { echo "soak: $tool is missing" >&2; exit 2; }
done

work=$(mktemp -d /tmp/va-soak.XXXXXX)
root="$work/root"
audio="$work/audio"
mkdir -p "$root" "$audio"
service=""
loops=() # PIDs of the background loops of this script
failures=0
cleanup() {
  touch "$work/stop-load" "$work/stop-polls" # loops end themselves at their next turn
  local p
  for p in "${loops[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -z "$service" ] || kill -TERM "$service" 2>/dev/null || true
  scripts/audio-env stop "$audio" >/dev/null 2>&1 || true
  if ((failures == 0)) && [ "${SOAK_KEEP:-0}" != 1 ]; then
    rm -rf "$work"
  else
    echo "work directory kept: $work"
  fi
}
trap cleanup EXIT
trap 'failures=$((failures + 1)); exit 1' INT TERM

fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
now_s() { date +%s.%N; } # wall clock, seconds

# The private audio server, as scripts/demo starts it.
scripts/audio-env start "$audio"
scripts/audio-env mic "$audio" soak_mic 1000 --description "Soak Mic (1000 Hz)" --default >/dev/null
scripts/audio-env app "$audio" org.example.player Player 440 >/dev/null
eval "export $(scripts/audio-env env "$audio")"

"$bin" serve --root "$root" --parent-pid $$ >"$work/service.stdout" 2>"$work/service.log" &
service=$!
for _ in $(seq 100); do
  grep -q '^VELMORRANT_AUDIO_READY ' "$work/service.stdout" && break
  sleep 0.1
done
ready=$(head -n 1 "$work/service.stdout")
[ -n "$ready" ] || { echo "soak: no READY line" >&2; cat "$work/service.log" >&2; exit 1; }
port=$(jq -r .port <<<"${ready#VELMORRANT_AUDIO_READY }")
token=$(jq -r .token <<<"${ready#VELMORRANT_AUDIO_READY }")
base="http://127.0.0.1:$port"
auth="Authorization: Bearer $token"
api() { # method path [body]: the body of the answer
  curl -sS --max-time 30 -X "$1" -H "$auth" ${3:+--data-binary "$3"} "$base$2"
}

# The service finds the server on its own: wait until it lists the microphone and the player.
for _ in $(seq 100); do
  api GET /sources | jq -e '(.inputs | any(.uid == "soak_mic" and .isDefault)) and
    (.applications | any(.bundleId == "org.example.player"))' >/dev/null 2>&1 && break
  sleep 0.1
done
sources=$(api GET /sources)
jq -e '.applications | any(.bundleId == "org.example.player")' <<<"$sources" >/dev/null ||
  { echo "soak: the service does not see the player: $sources" >&2; exit 1; }

# A small input for POST /decode: 3 s of a 440 Hz tone, 44.1 kHz stereo, made once.
if command -v ffmpeg >/dev/null; then
  decode_in="$root/decode-in.m4a"
  ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=3" \
    -c:a aac -b:a 96k "$decode_in"
else
  decode_in="$root/decode-in.flac"
  sox -n -r 44100 -c 2 "$decode_in" synth 3 sine 440 vol 0.5
fi
decode_body=$(jq -cn --arg in "$decode_in" --arg out "$root/decoded.wav" '{input: $in, output: $out}')

# The 44-byte header of a segment against the file: prints its frames, or the reason it is not
# a valid 16 kHz mono 16-bit PCM WAV and fails.
wav_frames() { # file
  local size b
  size=$(stat -c %s "$1")
  ((size >= 44)) || { echo "$size bytes, shorter than a header"; return 1; }
  read -r -a b < <(od -An -v -tx1 -N44 "$1" | tr -s ' \n' '  ')
  le() { # offset bytes: little-endian unsigned value
    local v="" i
    for ((i = $2 - 1; i >= 0; i--)); do v+=${b[$1 + i]}; done
    echo $((16#$v))
  }
  [ "${b[*]:0:4}" = "52 49 46 46" ] && [ "${b[*]:8:4}" = "57 41 56 45" ] &&
    [ "${b[*]:12:4}" = "66 6d 74 20" ] && [ "${b[*]:36:4}" = "64 61 74 61" ] ||
    { echo "not RIFF/WAVE/fmt/data"; return 1; }
  local riff fmt_size format channels rate byte_rate align bits data
  riff=$(le 4 4) fmt_size=$(le 16 4) format=$(le 20 2) channels=$(le 22 2) rate=$(le 24 4)
  byte_rate=$(le 28 4) align=$(le 32 2) bits=$(le 34 2) data=$(le 40 4)
  ((fmt_size == 16 && format == 1 && channels == 1 && rate == 16000 && byte_rate == 32000 &&
    align == 2 && bits == 16)) ||
    { echo "format $format, $channels ch, $rate Hz, $bits bit (fmt $fmt_size, align $align)"; return 1; }
  ((riff == size - 8)) || { echo "RIFF size $riff, file $size bytes"; return 1; }
  ((data == size - 44 && data % 2 == 0)) || { echo "data size $data, file $size bytes"; return 1; }
  echo $((data / 2))
}

# --- The captures -------------------------------------------------------------------------
ids=()
started_s=()
for n in 1 2; do
  body=$(jq -cn --arg dir "$root/capture-$n" --argjson seg "$segment_seconds" \
    '{dir: $dir, segmentSeconds: $seg, mic: {},
      remote: {strategy: "process-tap", match: {bundleIds: ["org.example.player"]}}}')
  created=$(api POST /captures "$body")
  id=$(jq -r '.captureId // empty' <<<"$created")
  [ -n "$id" ] || { echo "soak: capture $n did not start: $created" >&2; exit 1; }
  ids+=("$id")
  started_s+=("$(now_s)")
done
t0=$SECONDS
echo "soak: ${minutes} min, service $bin (pid $service), two captures (${ids[*]}), mic + remote," \
  "${segment_seconds}-s segments; work directory $work"

# --- Background loops ---------------------------------------------------------------------
# One long poll per capture: every event goes to events-N.jsonl, failed polls to poll-errors-N.
# Once stop-polls exists it drains what is left without waiting and ends.
poll_loop() { # n id
  local n=$1 id=$2 after=0 wait_s reply code body count
  while :; do
    wait_s=25
    [ -e "$work/stop-polls" ] && wait_s=0
    if reply=$(curl -sS --max-time 40 -w '\n%{http_code}' -H "$auth" \
      "$base/captures/$id/events?after=$after&wait=$wait_s" 2>>"$work/poll-errors-$n"); then
      code=${reply##*$'\n'} body=${reply%$'\n'*}
      if [ "$code" = 200 ]; then
        jq -c '.events[]' <<<"$body" >>"$work/events-$n.jsonl"
        count=$(jq '.events | length' <<<"$body")
        after=$(jq -r .next <<<"$body")
        ((wait_s == 0 && count == 0)) && break
        continue
      fi
      echo "HTTP $code: $body" >>"$work/poll-errors-$n"
    fi
    sleep 1
  done
}
: >"$work/events-1.jsonl"
: >"$work/events-2.jsonl"
: >"$work/poll-errors-1"
: >"$work/poll-errors-2"
poll_loop 1 "${ids[0]}" &
loops+=($!)
poll_pids=($!)
poll_loop 2 "${ids[1]}" &
loops+=($!)
poll_pids+=($!)

# A decode every 5 s: one line per request in decodes.log, "ok" or what went wrong.
decode_loop() {
  local code frames
  while [ ! -e "$work/stop-load" ]; do
    code=$(curl -sS --max-time 30 -o "$work/decode.reply" -w '%{http_code}' -H "$auth" \
      --data-binary "$decode_body" "$base/decode" 2>&1) || true
    frames=$(jq -r '.frames // 0' "$work/decode.reply" 2>/dev/null || echo 0)
    if [ "$code" = 200 ] && ((frames > 0)) && [ -e "$root/decoded.wav" ] &&
      [ "$(wav_frames "$root/decoded.wav")" = "$frames" ]; then
      echo ok
    else
      echo "HTTP $code: $(head -c 200 "$work/decode.reply" 2>/dev/null)"
    fi >>"$work/decodes.log"
    for _ in 1 2 3 4 5; do [ -e "$work/stop-load" ] || sleep 1; done
  done
}
: >"$work/decodes.log"
decode_loop &
loops+=($!)
load_pids=($!)

# GET /health about 4 times a second: one status code a line in health.log.
health_loop() {
  while [ ! -e "$work/stop-load" ]; do
    # curl prints 000 for a request that got no answer.
    curl -sS --max-time 10 -o /dev/null -w '%{http_code}\n' -H "$auth" "$base/health" \
      2>/dev/null >>"$work/health.log" || true
    sleep 0.25
  done
}
: >"$work/health.log"
health_loop &
loops+=($!)
load_pids+=($!)

# RSS (KiB), open descriptors and threads of the service every 30 s.
sample() { # -> one CSV line
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$service/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$service/status")
  fds=$(ls "/proc/$service/fd" | wc -l)
  echo "$((SECONDS - t0)),$rss,$fds,$threads"
}
echo "elapsed_s,rss_kib,fds,threads" >"$work/resources.csv"
sample_loop() {
  local next=0
  while [ ! -e "$work/stop-load" ]; do
    if ((SECONDS - t0 >= next)); then
      sample >>"$work/resources.csv"
      next=$((next + 30))
    fi
    sleep 1
  done
}
sample_loop &
loops+=($!)
load_pids+=($!)

# --- The run: a progress line a minute ---------------------------------------------------
end=$((t0 + minutes * 60))
while ((SECONDS < end)); do
  sleep $((end - SECONDS < 60 ? end - SECONDS : 60))
  kill -0 "$service" 2>/dev/null || { fail "the service exited during the run"; break; }
  last=$(tail -n 1 "$work/resources.csv")
  printf '  [%4d s] RSS %s KiB, %s fds, %s threads; events %d/%d; decodes %d; health %d\n' \
    $((SECONDS - t0)) "$(cut -d, -f2 <<<"$last")" "$(cut -d, -f3 <<<"$last")" \
    "$(cut -d, -f4 <<<"$last")" "$(wc -l <"$work/events-1.jsonl")" \
    "$(wc -l <"$work/events-2.jsonl")" "$(wc -l <"$work/decodes.log")" "$(wc -l <"$work/health.log")"
done
kill -0 "$service" 2>/dev/null && sample >>"$work/resources.csv"

# --- Stop ---------------------------------------------------------------------------------
touch "$work/stop-load"
for p in "${load_pids[@]}"; do wait "$p" || true; done
summaries=()
stopped_s=()
for n in 1 2; do
  summaries+=("$(api POST "/captures/${ids[n - 1]}/stop" || echo '{}')")
  stopped_s+=("$(now_s)")
done
touch "$work/stop-polls"
for _ in $(seq 60); do
  running=0
  for p in "${poll_pids[@]}"; do kill -0 "$p" 2>/dev/null && running=1; done
  ((running)) || break
  sleep 1
done
for p in "${poll_pids[@]}"; do
  kill -0 "$p" 2>/dev/null && { fail "the long poll loop $p did not end"; kill "$p"; }
  wait "$p" 2>/dev/null || true
done

# --- Checks -------------------------------------------------------------------------------
echo
echo "=== soak report: ${minutes} min, two captures, ${segment_seconds}-s segments ==="
for n in 1 2; do
  events="$work/events-$n.jsonl"
  summary=${summaries[n - 1]}
  wall=$(awk -v a="${started_s[n - 1]}" -v b="${stopped_s[n - 1]}" 'BEGIN {printf "%.3f", b - a}')
  echo "capture $n (${ids[n - 1]}): ${wall} s from POST /captures to the stop's answer"
  echo "  stop summary: $summary"
  jq -e '.tracks.mic and .tracks.remote' <<<"$summary" >/dev/null ||
    fail "the stop summary lacks a track"

  # Event sequence numbers: 1, 2, ... with no gap and no repeat.
  read -r count first last gaps < <(jq -rs '
    (map(.seq)) as $s
    | [length, ($s[0] // 0), ($s[-1] // 0),
       ([range(1; length) | select($s[.] != $s[. - 1] + 1)] | length)] | @tsv' "$events")
  types=$(jq -rs 'group_by(.type) | map("\(.[0].type) \(length)") | join(", ")' "$events")
  echo "  events: $count, seq $first..$last; $types"
  if ((count == 0 || first != 1 || last != count || gaps != 0)); then
    fail "capture $n: event sequence not consecutive ($count events, seq $first..$last, $gaps breaks)"
  else
    echo "  event sequence: consecutive, none lost"
  fi
  if [ -s "$work/poll-errors-$n" ]; then
    fail "capture $n: $(wc -l <"$work/poll-errors-$n") failed long polls:" \
      "$(head -n 3 "$work/poll-errors-$n")"
  fi
  failed_events=$(jq -c 'select(.type == "failed" or .type == "permission_revoked")' "$events")
  [ -z "$failed_events" ] || fail "capture $n reported a failure: $(head -n 3 <<<"$failed_events")"

  for track in mic remote; do
    dir="$root/capture-$n/tracks/$track"
    files=0
    disk_frames=0
    bad=0
    for file in "$dir"/*; do
      [ -e "$file" ] || continue
      case "$file" in *.wav) ;; *) fail "$track: stray file $file"; continue ;; esac
      files=$((files + 1))
      if ! frames=$(wav_frames "$file"); then
        fail "capture $n $track: $(basename "$file"): $frames"
        bad=$((bad + 1))
        continue
      fi
      if command -v sox >/dev/null && [ "$(sox --i -s "$file" 2>/dev/null)" != "$frames" ]; then
        fail "capture $n $track: $(basename "$file"): sox reads $(sox --i -s "$file" 2>&1)" \
          "samples, the header $frames"
      fi
      # The event names the segment relative to the capture's directory.
      event_frames=$(jq -rs --arg p "tracks/$track/$(basename "$file")" '
        map(select(.type == "segment_closed" and .path == $p))
        | if length == 1 then .[0].frames else "\(length) segment_closed events" end' "$events")
      [ "$event_frames" = "$frames" ] ||
        fail "capture $n $track: $(basename "$file"): $frames frames on disk," \
          "segment_closed: $event_frames"
      disk_frames=$((disk_frames + frames))
    done
    summary_frames=$(jq -r ".tracks.$track.frames // \"none\"" <<<"$summary")
    summary_segments=$(jq -r ".tracks.$track.segments // \"none\"" <<<"$summary")

    # Recorded time: from track_started to track_stopped on the service's clock, less the gaps
    # it reported on resuming.
    read -r t_start t_stop gaps_s interruptions < <(jq -rs --arg t "$track" '
      map(select(.track == $t)) as $e
      | [($e | map(select(.type == "track_started"))[0].tNs // 0),
         ($e | map(select(.type == "track_stopped"))[-1].tNs // 0),
         ($e | map(select(.type == "track_resumed") | .gapS) | add // 0),
         ($e | map(select(.type == "track_interrupted")) | length)] | @tsv' "$events")
    report=$(awk -v f="$disk_frames" -v a="$t_start" -v b="$t_stop" -v g="$gaps_s" \
      -v seg="$segment_seconds" 'BEGIN {
        audio = f / 16000; span = (b - a) / 1e9 - g
        dev = span > 0 ? (audio - span) / span * 100 : 100
        expected = span > 0 ? int((span + seg - 0.001) / seg) : 0
        verdict = (dev < 0 ? -dev : dev) <= 0.1 ? "ok" : "bad"
        printf "%.3f %.3f %+.4f %d %s", audio, span, dev, expected, verdict }')
    read -r audio_s span_s dev_pct expected_segments verdict <<<"$report"
    printf '  %-6s %3d segments (%s in the summary, %d from the duration),' \
      "$track" "$files" "$summary_segments" "$expected_segments"
    printf ' %d frames on disk, %s in the summary\n' "$disk_frames" "$summary_frames"
    printf '         %s s of audio vs %s s from track_started to track_stopped: %s %%' \
      "$audio_s" "$span_s" "$dev_pct"
    ((interruptions == 0)) && echo ", no interruptions" ||
      echo ", $interruptions interruptions reported, ${gaps_s} s of gaps"
    ((files > 0)) || fail "capture $n $track: no segments"
    [ "$summary_frames" = "$disk_frames" ] ||
      fail "capture $n $track: $disk_frames frames on disk, $summary_frames in the stop summary"
    [ "$summary_segments" = "$files" ] ||
      fail "capture $n $track: $files segment files, $summary_segments in the stop summary"
    ((t_start > 0 && t_stop > 0)) || fail "capture $n $track: no track_started or track_stopped event"
    [ "$verdict" = ok ] ||
      fail "capture $n $track: frames / 16000 is $dev_pct % off the recorded time (limit 0.1 %)"
    ((files <= expected_segments)) || [ "$interruptions" != 0 ] ||
      echo "  note: $track has more segments than its duration needs: the block times had holes"
  done
done

# Load.
decodes=$(wc -l <"$work/decodes.log")
decode_bad=$(grep -vc '^ok$' "$work/decodes.log" || true)
health=$(wc -l <"$work/health.log")
health_bad=$(grep -vc '^200$' "$work/health.log" || true)
echo "decodes: $decodes done, $decode_bad failed ($(basename "$decode_in"), 3 s)"
echo "GET /health: $health done, $health_bad failed"
((decodes > 0 && decode_bad == 0)) ||
  fail "decodes: $(grep -v '^ok$' "$work/decodes.log" | sort | uniq -c | head -n 3)"
((health > 0 && health_bad == 0)) ||
  fail "health: $(grep -v '^200$' "$work/health.log" | sort | uniq -c | head -n 3)"

# Resources: the first sample after 30 s of warm-up against the last one.
read -r rss0 fds0 rss_start fds_start rss_end fds_end rss_max fds_max thr_start thr_end samples < <(
  awk -F, 'NR == 1 { next }
    { n++; if (n == 1) { r0 = $2; f0 = $3 }
      if (!got && $1 >= 30) { rs = $2; fs = $3; ts = $4; got = 1 }
      re = $2; fe = $3; te = $4; if ($2 > rm) rm = $2; if ($3 > fm) fm = $3 }
    END { if (!got) { rs = r0; fs = f0; ts = te }
          print r0, f0, rs, fs, re, fe, rm, fm, ts, te, n }' "$work/resources.csv")
echo "resources ($samples samples every 30 s; start = first sample after 30 s):"
echo "  RSS KiB: at 0 s $rss0, start $rss_start, end $rss_end, max $rss_max" \
  "($(awk -v a="$rss_start" -v b="$rss_end" 'BEGIN {printf "%+.1f %%", (b - a) / a * 100}'))"
echo "  fds:     at 0 s $fds0, start $fds_start, end $fds_end, max $fds_max;" \
  "threads $thr_start -> $thr_end"
((rss_end * 100 <= rss_start * 110)) || fail "RSS grew from $rss_start to $rss_end KiB (limit +10 %)"
((fds_end <= fds_start + 5)) || fail "descriptors grew from $fds_start to $fds_end (limit +5)"

# The service ends cleanly.
kill -TERM "$service"
status=0
wait "$service" || status=$?
service=""
diagnostics=$(grep -c '^\[audio\] ' "$work/service.log" || true)
echo "service exit status on SIGTERM: $status; $diagnostics diagnostic lines on stderr"
((status == 0)) || fail "the service exited with status $status"
# Everything but the line per decode: warnings, reconnections and the like show here.
{ grep -v '^\[audio\] decoded ' "$work/service.log" || true; } | head -n 20 | sed 's/^/  stderr: /'
cp "$work/resources.csv" "/tmp/va-soak-resources-$$.csv"
echo "resource samples: /tmp/va-soak-resources-$$.csv"

if ((failures)); then
  echo "RESULT: $failures check(s) failed"
  exit 1
fi
echo "RESULT: all checks passed"
