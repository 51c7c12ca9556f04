# Shell helpers shared by the bench scripts: sourced, never run. The sourcing script sets
# BENCH_NAME (its name, for messages) first; this makes the work folder $work and removes it
# (with every process listed in pids) at exit, unless KEEP_TMP=1.

say() { echo "$BENCH_NAME: $*" >&2; }
die() {
  say "$*"
  exit 1
}

work=$(mktemp -d "/tmp/sondrix-$BENCH_NAME.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  if [ "${KEEP_TMP:-0}" = 1 ]; then
    say "work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

stop_pid() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || true
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local keep=()
  for i in "${pids[@]}"; do
    [ "$i" = "$pid" ] || keep+=("$i")
  done
  pids=("${keep[@]}")
}

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    if [ -z "$(ss -Hltn "sport = :$p")" ]; then
      echo "$p"
      return
    fi
  done
}

# Waits until the URL answers 200 (a stream: curl's time-out still reports the status).
wait_ready() {
  local url=$1 pid=$2 i code
  for i in $(seq 60); do
    kill -0 "$pid" 2>/dev/null || return 1
    code=$(curl -s -o /dev/null --max-time 1 -w '%{http_code}' "$url" || true)
    [ "$code" = 200 ] && return 0
    sleep 0.5
  done
  return 1
}

ticks=$(getconf CLK_TCK)
# "cpu_seconds rss_kib" of a process: utime + stime from /proc/PID/stat, VmRSS.
proc_sample() {
  local pid=$1 stat rss
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  # Fields after the command's closing parenthesis; utime and stime are fields 14 and 15.
  stat=${stat##*) }
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  echo "$stat" | awk -v t="$ticks" -v rss="$rss" '{printf "%.2f %d\n", ($12 + $13) / t, rss}'
}

kv() { # kv KEY FILE: the value of KEY in the load client's summary line
  tr ' ' '\n' <"$2" | awk -F= -v k="$1" '$1 == k {print $2; exit}'
}
