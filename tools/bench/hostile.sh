#!/usr/bin/env bash
# What hostile input costs the service:
#  - decode: for a 1 Hz FLAC with one 65535-sample frame (24 KB; 18 hours of output) and a 1 Hz
#    WAV of 8192 samples, the answer, wall time, output size and the growth of the service's peak
#    RSS over its idle RSS (each decode in a fresh service);
#  - 300 connections with a wrong token, each sending the head and half of a 1 MiB body and then
#    waiting: the service's RSS before and while they are held;
#  - a 15.8 KB head with the right token, then its 2000-byte body trickled a byte at a time: the
#    service's CPU per trickled byte.
# The service is $VA_BIN (default build/velmorrant-audio).
#   tools/bench/hostile.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/bench/service.sh
scripts/setup >/dev/null

bench_workdir
kib() { awk -v k="$2" '$1 == k":" {print $2}' "/proc/$1/status"; }
cpu_s() { awk -v t="$(getconf CLK_TCK)" '{print ($14 + $15) / t}' "/proc/$1/stat"; }
stop_service() {
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}

ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=0.01:sample_rate=1:duration=65535" \
  -c:a flac -frame_size 65535 -y "$work/root/one-hertz.flac"
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=0.1:sample_rate=1:duration=8192" \
  -c:a pcm_s16le -y "$work/root/one-hertz.wav"

echo "decode: answer, seconds, output bytes, peak RSS growth"
for input in one-hertz.flac one-hertz.wav; do
  start_service "$work/root" "$work"
  sleep 0.5
  idle=$(kib "$pid" VmRSS)
  started=$(date +%s.%N)
  reply=$(api POST /decode "$(jq -cn --arg i "$work/root/$input" --arg o "$work/root/out.wav" \
    '{input: $i, output: $o}')")
  ended=$(date +%s.%N)
  peak=$(kib "$pid" VmHWM)
  size=$(stat -c %s "$work/root/out.wav" 2>/dev/null || echo 0)
  awk -v n="$input" -v r="$reply" -v a="$started" -v b="$ended" -v s="$size" -v i="$idle" \
    -v p="$peak" 'BEGIN {printf "  %-15s %s  %.1f s  %d bytes  +%.1f MiB\n", n, r, b - a, s, (p - i) / 1024}'
  rm -f "$work/root/out.wav"
  stop_service
done

start_service "$work/root" "$work"
sleep 0.5
echo "300 unauthenticated half bodies: RSS before, while held"
before=$(kib "$pid" VmRSS)
python3 - "$port" "$work/held" <<'PY' &
import socket, sys, time
port, flag = int(sys.argv[1]), sys.argv[2]
head = (b"POST /decode HTTP/1.1\r\nAuthorization: Bearer " + b"0" * 64 +
        b"\r\nContent-Length: 1048576\r\n\r\n")
socks = []
for _ in range(300):
    s = socket.create_connection(("127.0.0.1", port))
    s.setblocking(False)
    try:
        s.send(head + b"x" * 524288)
    except BlockingIOError:
        pass
    socks.append(s)
open(flag, "w").close()
time.sleep(5)
PY
held=$!
for _ in $(seq 200); do [ -e "$work/held" ] && break; sleep 0.05; done
sleep 1
during=$(kib "$pid" VmRSS)
wait "$held"
awk -v a="$before" -v b="$during" 'BEGIN {printf "  %.1f MiB, %.1f MiB (+%.1f MiB)\n", a / 1024, b / 1024, (b - a) / 1024}'

echo "a 15.8 KB head, then 2000 body bytes one at a time: service CPU per trickled byte"
cpu_before=$(cpu_s "$pid")
python3 - "$port" "$token" <<'PY'
import socket, sys, time
port, token = int(sys.argv[1]), sys.argv[2].encode()
head = (b"POST /decode HTTP/1.1\r\nAuthorization: Bearer " + token + b"\r\nX-Pad: " +
        b"a" * 15700 + b"\r\nContent-Length: 2000\r\n\r\n")
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(head)
for _ in range(2000):
    s.sendall(b"x")
    time.sleep(0.002)
s.recv(4096)
PY
cpu_after=$(cpu_s "$pid")
awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN {printf "  %.1f us per byte (%.3f s of CPU in all)\n", (b - a) / 2000 * 1e6, b - a}'
stop_service
