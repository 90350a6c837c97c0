# Sourced by the benchmarks. start_service ROOT DIR starts the service ($VA_BIN, default
# build/velmorrant-audio) on ROOT with the caller's environment, its output in DIR/stdout and
# DIR/log, and waits for its READY line; it sets $pid, $port and $token. api METHOD PATH [BODY]
# sends one authorized request and prints the answer's body. bench_workdir makes $work (with
# $work/root) and, at exit, ends the service started here and removes $work.
bench_workdir() {
  work=$(mktemp -d)
  pid=""
  trap '[ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
  mkdir -p "$work/root"
}

start_service() { # root dir
  "${VA_BIN:-build/velmorrant-audio}" serve --root "$1" --parent-pid $$ >"$2/stdout" 2>"$2/log" &
  pid=$!
  for _ in $(seq 100); do grep -q '^VELMORRANT_AUDIO_READY ' "$2/stdout" && break; sleep 0.1; done
  local ready
  ready=$(head -n 1 "$2/stdout")
  port=$(jq -r .port <<<"${ready#VELMORRANT_AUDIO_READY }")
  token=$(jq -r .token <<<"${ready#VELMORRANT_AUDIO_READY }")
}

api() { # method path [body]
  curl -sS -X "$1" -H "Authorization: Bearer $token" ${3:+--data-binary "$3"} \
    "http://127.0.0.1:$port$2"
}
