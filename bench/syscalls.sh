#!/usr/bin/env bash
# System calls of sondrix-cast per listener-second: the station under a steady listener load,
# counted by strace -c over a window after the ramp. See bench/README.md.
#
# Environment: LISTENERS (2000), WINDOW (10 s counted), STYLE (mmsh | plain), PATH_ (the
# stream's path: / or /stream.mp3), BUILD_DIR (build), SONDRIX_CAST, LOAD_CLIENT,
# KEEP_TMP (1 keeps the work folder). Extra arguments go to sondrix-cast.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
LISTENERS=${LISTENERS:-2000}
WINDOW=${WINDOW:-10}
STYLE=${STYLE:-mmsh}
PATH_=${PATH_:-/}
BUILD_DIR=${BUILD_DIR:-$root/build}
LOAD_CLIENT=${LOAD_CLIENT:-$BUILD_DIR/bench/sondrix-listener-load}
if [ -z "${SONDRIX_CAST:-}" ]; then
  SONDRIX_CAST=$(find "$BUILD_DIR" -name sondrix-cast -type f -perm -u+x 2>/dev/null | head -n 1)
fi

BENCH_NAME=syscalls.sh
# shellcheck source=bench_lib.sh
source "$here/bench_lib.sh"

command -v strace >/dev/null || die "strace is needed"
command -v ffmpeg >/dev/null || die "ffmpeg is needed"
[ -x "$LOAD_CLIENT" ] || die "no load client at $LOAD_CLIENT"
[ -x "${SONDRIX_CAST:-}" ] || die "no sondrix-cast (set SONDRIX_CAST or build it)"
ulimit -n "$(ulimit -Hn)"

ramp=1000
settle=$((LISTENERS / ramp + 8))
duration=$((settle + WINDOW + 5))
mp3="$work/tone.mp3"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$((duration + 60))" \
  -ac 2 -c:a libmp3lame -b:a 128k -y "$mp3" || die "could not make the test MP3"

port=$(free_port)
"$SONDRIX_CAST" --port "$port" --bitrate 128 --max-listeners $((LISTENERS + 100)) \
  --name Bench --address 127.0.0.1 "$@" "$mp3" >"$work/cast.log" 2>&1 &
cast=$!
pids+=("$cast")
wait_ready "http://127.0.0.1:$port$PATH_" "$cast" || {
  cat "$work/cast.log" >&2
  die "sondrix-cast did not start serving"
}
"$LOAD_CLIENT" --port "$port" --path "$PATH_" --style "$STYLE" --listeners "$LISTENERS" \
  --stall 0 --duration "$duration" --ramp "$ramp" --quiet >"$work/load.out" &
pids+=("$!")
sleep "$settle"

traced=()
for task in /proc/"$cast"/task/*; do
  traced+=(-p "${task##*/}")
done
timeout -s INT "$WINDOW" strace -c -o "$work/strace.txt" "${traced[@]}" 2>/dev/null || true
wait "${pids[-1]}" || true
held=$(awk -v RS=' ' -F= '$1 == "held" {print $2}' "$work/load.out")

echo "$LISTENERS listeners ($held held at the end), $WINDOW s traced, style $STYLE, path $PATH_"
printf "%-14s %10s %14s\n" syscall calls per-lsn-s
awk -v n="$LISTENERS" -v w="$WINDOW" '
  $1 ~ /^[0-9.]+$/ && NF >= 5 {
    name = $NF; calls = $4
    if (name == "total") next
    printf "%-14s %10d %14.3f\n", name, calls, calls / (n * w)
    total += calls
  }
  END { printf "%-14s %10d %14.3f\n", "all", total, total / (n * w) }' "$work/strace.txt"
