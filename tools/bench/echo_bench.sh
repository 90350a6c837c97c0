#!/usr/bin/env bash
# Echo cancellation of the mic track against the desktop's own canceller (PipeWire's echo-cancel
# module with the WebRTC canceller, monitor mode) as the anchor, in one run, on a private audio
# server with WirePlumber and a simulated room (scripts/audio-env room: the speaker's echo about
# 7 dB down with 250 ms of reverberation) for echo paths of 60 and 250 ms. Per path, espeak-ng
# speech: the far end (en-us+m3) played to the speaker alone for 8 s, then with the near end
# (en-gb+f3, played into the room) for 6 s, then the near end alone for 6 s. Recorded:
#  - the service: a capture of room_mic with "echoCancellation" and "keepRaw" (tracks mic and
#    micRaw), then the same timeline with a plain capture, for the CPU baseline;
#  - the anchor: its output source and room_mic, each with pw-record at 16 kHz.
# Printed for each: ERLE (10 log10 of raw over processed power) over the far end's first 2 s and
# over the rest of its time alone; the near end's level change alone (processed over raw power)
# and while both talk (the power of its linear copy in the processed track over that in the raw
# one, fitted a second at a time); the echo removed while both talk (ERLE over the near end's
# pauses inside that span); the canceller's CPU seconds per hour of audio (the service: its CPU
# less the plain capture's; the anchor: its process's CPU); the room's echo in the raw recording
# against the far end. Every recording is placed against the clean speech by cross-correlation,
# a second at a time (the timelines slip by a few ms now and then), never by start times.
#   tools/bench/echo_bench.sh
# The service is $VA_BIN (default build/velmorrant-audio); nothing is built. A service without
# echo cancellation (the create answers an error, or the track starts unprocessed) is shown as
# unavailable. About 2.5 minutes. ECHO_BENCH_KEEP=1 keeps the recordings.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
bin=$(realpath -m "${VA_BIN:-build/velmorrant-audio}")
[ -x "$bin" ] || { echo "echo_bench: no service binary at $bin (set VA_BIN)" >&2; exit 2; }
export VA_BIN="$bin"
for tool in jq curl sox espeak-ng pw-record pw-play python3; do
  command -v "$tool" >/dev/null || { echo "echo_bench: $tool is missing" >&2; exit 2; }
done

work=$(mktemp -d)
audio="$work/audio"
pid=""  # the service (service.sh)
cleanup() {
  local p
  # Our own background jobs still running: the service, players, recorders and the anchor.
  for p in $(jobs -p); do kill -TERM "$p" 2>/dev/null || true; done
  scripts/audio-env stop "$audio" >/dev/null 2>&1 || true
  if [ "${ECHO_BENCH_KEEP:-0}" = 1 ]; then
    echo "work directory kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
mkdir -p "$audio" "$work/root"

# Speech, 48 kHz to play and 16 kHz (the tracks' rate) to compare with: the far end 14 s, the
# near end 12 s, each trimmed of espeak's leading silence and faded out at its end.
far_text="Good morning everyone, thank you for joining the call today. I would like to start with
a short update on the project schedule. The first milestone was reached last week, and the
second one is planned for the end of next month. We still need to review the budget."
near_text="Sorry to interrupt, but I have a question about the budget. Could we move the review to
Thursday afternoon? I think the numbers from the last quarter are not final yet, and the team
would like another day to check them."
speech() { # voice text name seconds
  espeak-ng -v "$1" -w "$work/$3.espeak.wav" "$2"
  sox -V1 "$work/$3.espeak.wav" -r 48000 -b 16 "$work/$3.wav" silence 1 0.01 0.5% pad 0 "$4" \
    trim 0 "$4" fade t 0 "$4" 0.1
  sox "$work/$3.wav" -r 16000 "$work/$3.16k.wav"
}
speech en-us+m3 "$far_text" far 14
speech en-gb+f3 "$near_text" near 12

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ print ($14 + $15) / t }' "/proc/$1/stat"; } # utime + stime, s
node_exists() { pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\""; }
wait_node() { for _ in $(seq 250); do node_exists "$1" && return 0; sleep 0.02; done; return 1; }

# The far end alone, both, then the near end alone; ends 1.5 s after the last word (the service's
# cancelled track reaches the disk up to 300 ms late).
talk() {
  pw-play "$work/far.wav" &
  local far=$!
  sleep 8
  pw-play --target room "$work/near.wav" &
  local near=$!
  wait "$far" "$near"
  sleep 1.5
}

create() { # dir echo(true|false) -> the answer's body
  api POST /captures "$(jq -cn --arg dir "$1" --arg uid "$uid" --argjson echo "$2" \
    '{dir: $dir, segmentSeconds: 60,
      mic: ({deviceUid: $uid}
            + if $echo then {echoCancellation: true, keepRaw: true} else {} end)}')"
}

# A capture with the timeline played: sets $pass_id (empty when refused), $pass_answer (the
# create's answer) and $pass_cpu (the service's CPU seconds over it).
service_pass() { # dir echo
  local before
  before=$(cpu "$pid")
  pass_answer=$(create "$1" "$2")
  pass_id=$(jq -r '.captureId // empty' <<<"$pass_answer" 2>/dev/null || true)
  talk
  [ -z "$pass_id" ] || api POST "/captures/$pass_id/stop" >/dev/null
  pass_cpu=$(awk -v a="$before" -v b="$(cpu "$pid")" 'BEGIN { print b - a }')
}

results=()
for delay in 60 250; do
  scripts/audio-env start "$audio"
  scripts/audio-env room "$audio" --delay "$delay"
  eval export "$(scripts/audio-env env "$audio")"
  speaker=$(pw-metadata -n default 0 default.audio.sink |
    sed -n "s/.*value:'{\"name\":\"\([^\"]*\)\"}'.*/\1/p")

  # The anchor, a client process of its own so that its CPU is its own. webrtc asks for 10 ms
  # blocks, so while it runs the graph's quantum is 480 frames: for the service's passes too.
  cat >"$work/anchor.conf" <<EOF
context.properties = { log.level = 0 }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-echo-cancel
        args = {
            library.name = aec/libspa-aec-webrtc
            monitor.mode = true
            audio.rate = 48000
            audio.channels = 1
            audio.position = [ MONO ]
            aec.args = { webrtc.extended_filter = true webrtc.delay_agnostic = true }
            capture.props = { node.name = anchor_capture target.object = room_mic
                              node.dont-reconnect = true }
            source.props = { node.name = anchor_source node.description = "Anchor canceller"
                             priority.session = 1 }
            sink.props = { node.name = anchor_reference target.object = "$speaker"
                           node.dont-reconnect = true }
        }
    }
]
EOF
  pipewire -c "$work/anchor.conf" >"$work/anchor.log" 2>&1 </dev/null &
  anchor=$!
  wait_node anchor_source || { echo "echo_bench: the anchor did not start" >&2; exit 1; }

  start_service "$work/root" "$work"
  uid=$(api GET /sources | jq -r '[.inputs[] | select(.uid == "room_mic")][0].uid // empty')
  [ -n "$uid" ] || { echo "echo_bench: room_mic is not among the service's inputs" >&2; exit 1; }

  case_dir="$work/case$delay"
  mkdir -p "$case_dir"
  pw-record --target room_mic --rate 16000 --channels 1 --format s16 "$case_dir/anchor_raw.wav" &
  raw_rec=$!
  pw-record --target anchor_source --rate 16000 --channels 1 --format s16 \
    "$case_dir/anchor_out.wav" &
  out_rec=$!
  sleep 1
  anchor_before=$(cpu "$anchor")
  start=$(date +%s.%N)
  service_pass "$work/root/echo$delay" true
  id=$pass_id
  cpu_echo=$pass_cpu
  seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  anchor_cpu=$(awk -v a="$anchor_before" -v b="$(cpu "$anchor")" 'BEGIN { print b - a }')
  kill -INT "$raw_rec" "$out_rec"
  wait "$raw_rec" "$out_rec" || true

  service_note=""
  if [ -z "$id" ]; then
    service_note="the create answered $pass_answer"
  else
    api GET "/captures/$id/events?after=0" >"$case_dir/events.json"
    reason=$(jq -r '[.events[] | select(.type == "track_started" and .track == "mic")][0] |
      if .echoCancellation == false then (.echoCancellationReason // "unprocessed") else "" end' \
      "$case_dir/events.json")
    [ -z "$reason" ] || service_note="the mic track started without echo cancellation: $reason"
  fi
  cpu_plain=""
  if [ -z "$service_note" ]; then
    service_pass "$work/root/plain$delay" false
    cpu_plain=$pass_cpu
  fi
  jq -n --arg delay "$delay" --arg dir "$work/root/echo$delay" --arg note "$service_note" \
    --arg cpu_echo "$cpu_echo" --arg cpu_plain "$cpu_plain" --arg seconds "$seconds" \
    --arg anchor_cpu "$anchor_cpu" \
    '{delay: ($delay | tonumber), dir: $dir, note: $note, seconds: ($seconds | tonumber),
      cpuEcho: ($cpu_echo | tonumber), cpuPlain: (if $cpu_plain == "" then null
      else ($cpu_plain | tonumber) end), anchorCpu: ($anchor_cpu | tonumber)}' \
    >"$case_dir/case.json"
  results+=("$case_dir")

  kill -TERM "$pid"
  wait "$pid" || true
  pid=""
  kill -TERM "$anchor"
  wait "$anchor" || true
  scripts/audio-env stop "$audio"
done

python3 - "$work/far.16k.wav" "$work/near.16k.wav" "${results[@]}" <<'PY'
import array, cmath, json, math, operator, os, struct, sys

RATE = 16000
DEC = 16  # coarse alignment at 1 kHz


def read_wav(path):  # mono 16-bit PCM, any header layout (pw-record writes the extensible one)
    data = open(path, "rb").read()
    i = 12
    while i + 8 <= len(data):
        cid, size = data[i:i + 4], struct.unpack("<I", data[i + 4:i + 8])[0]
        if cid == b"data":
            body = data[i + 8:i + 8 + min(size, len(data) - i - 8)]
            a = array.array("h")
            a.frombytes(body[:len(body) // 2 * 2])
            if sys.byteorder != "little":
                a.byteswap()
            return [v / 32768.0 for v in a]
        i += 8 + size + (size & 1)
    return []


def track(case_dir, events, name):  # the service's segments of one track on one timeline
    segs = [e for e in events if e["type"] == "segment_closed" and e["track"] == name]
    if not segs:
        return None
    t0 = segs[0]["startNs"]
    out = []
    for s in segs:
        at = round((s["startNs"] - t0) * RATE / 1e9)
        out.extend([0.0] * max(0, at - len(out)))
        out[at:] = read_wav(os.path.join(case_dir, s["path"]))
    return out


def fft(a, inverse=False):
    n = len(a)
    a = list(a)
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            a[i], a[j] = a[j], a[i]
    size = 2
    sign = 1 if inverse else -1
    while size <= n:
        half = size // 2
        ws = [cmath.exp(sign * 2j * math.pi * k / size) for k in range(half)]
        for start in range(0, n, size):
            for k in range(half):
                u = a[start + k]
                v = a[start + k + half] * ws[k]
                a[start + k] = u + v
                a[start + k + half] = u - v
        size *= 2
    return a


def decimate(x):
    return [sum(x[i:i + DEC]) for i in range(0, len(x) - DEC + 1, DEC)]


def dot(a, b):
    return sum(map(operator.mul, a, b))


def locate(x, t):
    """Where template t starts in x, in samples: the peak of their cross-correlation at 1 kHz,
    then refined at 16 kHz over +-24 samples on the template's loudest second."""
    xd, td = decimate(x), decimate(t)
    n = 1
    while n < len(xd) + len(td):
        n *= 2
    fx = fft(xd + [0.0] * (n - len(xd)))
    ft = fft(td + [0.0] * (n - len(td)))
    c = fft([p * q.conjugate() for p, q in zip(fx, ft)], inverse=True)
    best = max(range(n), key=lambda k: c[k].real)
    lag = (best if best < n // 2 else best - n) * DEC
    w0 = max(range(0, max(1, len(t) - RATE), RATE // 4),
             key=lambda i: dot(t[i:i + RATE], t[i:i + RATE]))
    seg = t[w0:w0 + RATE]

    def score(l):
        at = l + w0
        if at < 0 or at + len(seg) > len(x):
            return -1e30
        return dot(x[at:at + len(seg)], seg)
    return max(range(lag - 24, lag + 25), key=score)


def power(x, a, b):
    a, b = max(0, a), min(len(x), b)
    return dot(x[a:b], x[a:b]) / max(1, b - a)


def place(y, t):
    """Where each second of template t lies in y: [(k, pos)], t[k] at y[pos]. The whole of t is
    located first, then each second again within 60 ms of where the one before it ended, so that
    a slip of the timeline (a graph cycle skipped, a hole filled) moves only what follows it; a
    second moves only when it matches clearly better there (normalised correlation)."""
    yd = decimate(y)
    offset = locate(y, t)  # y index - t index
    out = []
    for k in range(0, len(t) - RATE // 4, RATE):
        seg = t[k:k + RATE]
        if dot(seg, seg) > 1e-6 * len(seg):
            segd, base = decimate(seg), (offset + k) // DEC
            # Matched at 16 kHz on the second's loudest half, j samples into it.
            j = max(range(0, len(seg) - RATE // 2 + 1, RATE // 8),
                    key=lambda i: dot(seg[i:i + RATE // 2], seg[i:i + RATE // 2]))
            part_t = seg[j:j + RATE // 2]
            energy = dot(part_t, part_t)

            def coarse(l):
                at = base + l
                return dot(yd[at:at + len(segd)], segd) if 0 <= at <= len(yd) - len(segd) else -1e30

            def match(at):  # normalised correlation of seg at y[at]
                if at < 0 or at + j + len(part_t) > len(y):
                    return -1.0
                part = y[at + j:at + j + len(part_t)]
                return dot(part, part_t) / math.sqrt(max(dot(part, part) * energy, 1e-30))

            def refine(at):
                return max(range(at - 20, at + 21), key=match)
            stay = refine(offset + k)
            peaks = sorted(range(-60, 61), key=coarse, reverse=True)
            tops = [peaks[0]] + [l for l in peaks[1:] if abs(l - peaks[0]) > 3][:1]
            move = max((refine((base + l) * DEC) for l in tops), key=match)
            if match(move) > max(match(stay) + 0.05, 0.3):
                stay = move
            offset = stay - k
        out.append((k, offset + k))
    return out


def pieces(places, ta, tb, least=1):
    """The parts of template range [ta, tb) per placed second: (t start, y start, length)."""
    for k, pos in places:
        u, v = max(ta, k), min(tb, k + RATE)
        if v - u >= least:
            yield u, pos + u - k, v - u


TAPS, PRE = 32, 8


def fit(y, s, tau, a, n):
    """Least-squares fit of y[a:a+n] by s placed at tau (s[i] at y[i + tau]) through a 32-tap
    filter from 8 samples before that place: absorbs a fractional delay and mild linear shaping
    (a canceller's high-pass). Returns (energy of the fitted near end, energy left)."""
    pad = TAPS + abs(tau) + len(y)
    sp = [0.0] * pad + s + [0.0] * pad

    def sl(k):  # s[t - tau - k + PRE] for t in [a, a + n)
        o = pad + a - tau - k + PRE
        return sp[o:o + n]
    base = sl(0)
    r = [dot(base, sl(k)) for k in range(TAPS)]  # Toeplitz autocorrelation
    p = [dot(y[a:a + n], sl(k)) for k in range(TAPS)]
    m = [[r[abs(i - j)] + (1e-9 * r[0] if i == j else 0.0) for j in range(TAPS)] + [p[i]]
         for i in range(TAPS)]
    for i in range(TAPS):  # Gauss-Jordan
        piv = max(range(i, TAPS), key=lambda k: abs(m[k][i]))
        m[i], m[piv] = m[piv], m[i]
        for k in range(TAPS):
            if k != i and m[i][i]:
                f = m[k][i] / m[i][i]
                m[k] = [u - f * v for u, v in zip(m[k], m[i])]
    c = [m[i][TAPS] / m[i][i] if m[i][i] else 0.0 for i in range(TAPS)]
    fitted = dot(c, p)
    return fitted, max(dot(y[a:a + n], y[a:a + n]) - fitted, 0.0)


def near_level(y, s, places, ta, tb):
    """The power of the near end's linear copy in y over the near end's [ta, tb), fitted a second
    at a time; what is not a linear copy (suppression that varies, distortion) is left out."""
    total = count = 0
    for u, at, n in pieces(places, ta, tb, RATE // 4):
        total += fit(y, s, at - u, at, n)[0]
        count += n
    return total / max(1, count)


FRAME = RATE // 100  # 10 ms


def pauses(s, ta, tb):
    """The 10 ms frames of the near end's [ta, tb) where it is silent: its power over the frame
    and 10 ms either side more than 40 dB below its mean over the frames where it talks."""
    frames = range(ta, tb - FRAME + 1, FRAME)
    mean = power(s, ta, tb)
    return [t for t in frames if power(s, t - FRAME, t + 2 * FRAME) < mean * 1e-4]


def framed_power(y, places, frames):  # summed over the near end's frames, each placed in y
    total = 0.0
    for t in frames:
        for u, at, n in pieces(places, t, t + FRAME):
            total += dot(y[at:at + n], y[at:at + n])
    return total


def db(x):
    return 10 * math.log10(max(x, 1e-12))


far, near = read_wav(sys.argv[1]), read_wav(sys.argv[2])
TAIL = RATE * 3 // 10  # the room's reverberation (250 ms) and a margin
for case_dir in sys.argv[3:]:
    case = json.load(open(os.path.join(case_dir, "case.json")))
    systems = [("anchor", read_wav(os.path.join(case_dir, "anchor_raw.wav")),
                read_wav(os.path.join(case_dir, "anchor_out.wav")),
                case["anchorCpu"] * 3600 / case["seconds"], "")]
    note = case["note"]
    if not note:
        events = json.load(open(os.path.join(case_dir, "events.json")))["events"]
        raw, proc = track(case["dir"], events, "micRaw"), track(case["dir"], events, "mic")
        if raw is None or proc is None:
            note = "no mic or micRaw segments"
        else:
            cpu = (case["cpuEcho"] - case["cpuPlain"]) * 3600 / case["seconds"]
            paths = [str(e["delayMs"]) for e in events if e["type"] == "echo_path"]
            holes = [e for e in events if e["type"] == "audio_dropout" and e["track"] == "mic"]
            lost = sum(e["lostS"] for e in holes)
            extra = "echo_path %s ms; %.3f s filled in %d holes" % (
                ", ".join(paths) or "none", lost, sum(e["holes"] for e in holes))
            systems.insert(0, ("service", raw, proc, cpu, extra))
    if note:
        systems.insert(0, ("service", None, None, None, "unavailable: " + note))
    print("echo path %d ms, runs of %.1f s" % (case["delay"], case["seconds"]))
    print("           ERLE (dB)            near end (dB)    echo removed      CPU   room echo")
    print("           first 2 s  far alone  alone   both    both (dB)         s/h   (dB)")
    for name, raw, proc, cpu, extra in systems:
        if raw is None:
            print("  %-8s %s" % (name, extra))
            continue
        far_at, near_raw, near_proc = place(raw, far), place(raw, near), place(proc, near)
        f0 = far_at[0][1]
        n0 = near_raw[0][1]
        shift = near_proc[0][1] - n0  # proc timeline - raw timeline, where the near end starts
        # The far end's spans in its own time (the last ending 50 ms before the near end starts),
        # the near end's in its own.
        both_end = f0 + len(far) - n0  # the far end stops, in the near end's time
        first, alone = (0, 2 * RATE), (2 * RATE, n0 - f0 - RATE // 20)

        def erle(span):
            a, b = span[0] + f0, span[1] + f0
            return db(power(raw, a, b)) - db(power(proc, a + shift, b + shift))
        room = db(framed_power(raw, far_at, range(*alone, FRAME))) - db(
            framed_power(far, [(k, k) for k in range(0, len(far), RATE)], range(*alone, FRAME)))

        def change(ta, tb):  # while both talk: the near end's linear copy only
            return db(near_level(proc, near, near_proc, ta, tb)) - db(
                near_level(raw, near, near_raw, ta, tb))
        # Echo removed while both talk, in the near end's pauses only (from the clean near end):
        # there the processed track holds nothing but the echo the canceller let through, with
        # the canceller in its double-talk state.
        quiet = pauses(near, 0, both_end)
        removed = db(framed_power(raw, near_raw, quiet)) - db(framed_power(proc, near_proc, quiet))
        # Alone, where no echo is left to tell apart, the near end's change is the plain power
        # ratio: whatever the canceller did to it counts.
        solo = range(both_end + TAIL, len(near) - FRAME + 1, FRAME)
        alone_change = db(framed_power(proc, near_proc, solo)) - db(
            framed_power(raw, near_raw, solo))
        print("  %-8s %6.1f %10.1f %8.1f %6.1f %8.1f (%.1f s) %8.1f %7.1f" % (
            name, erle(first), erle(alone), alone_change, change(0, both_end), removed,
            len(quiet) * FRAME / RATE, cpu, room))
        if extra:
            print("  %-8s %s" % ("", extra))
PY
