#!/usr/bin/env bash
# Speed of the loudness analysis ahead of play against loudgain (Debian's ReplayGain 2.0
# scanner, on the same libebur128) on the same files: COUNT (3) four-minute MP3s of music-like
# sound, or the files given. Prints our table (CPU seconds and times real time per file, with
# the analysis' results) and loudgain's CPU time and readings for the same files. Installs
# loudgain with apt-get when missing; builds sondrix-analysis-bench in BUILD_DIR (build).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
BUILD_DIR=${BUILD_DIR:-$root/build}
COUNT=${COUNT:-3}
bench="$BUILD_DIR/bench/sondrix-analysis-bench"

command -v ffmpeg >/dev/null || { echo "analysis.sh: ffmpeg is needed" >&2; exit 1; }
if ! command -v loudgain >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q loudgain >/dev/null
fi
cmake --build "$BUILD_DIR" --target sondrix-analysis-bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=("$@")
if [ "${#files[@]}" -eq 0 ]; then
  for i in $(seq 1 "$COUNT"); do
    f="$work/music-$i.mp3"
    # Tones, a slow sweep and noise, a different mix each, 4 minutes at 128 kbit/s.
    ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=0.3*sin(2*PI*(220*$i)*t)+0.2*sin(2*PI*(200+2*t)*t)+0.1*(2*random(0)-1)|0.3*sin(2*PI*(330*$i)*t)+0.2*sin(2*PI*(300+t)*t)+0.1*(2*random(1)-1):s=44100:d=240" \
      -af "volume='0.3+0.7*abs(sin(t/7))':eval=frame" -c:a libmp3lame -b:a 128k "$f"
    files+=("$f")
  done
fi

echo "## sondrix analysis (decode + loudness + peak + cue points + fade)"
"$bench" "${files[@]}"
echo
echo "## loudgain -s e (track gain and true peak, on a copy)"
for f in "${files[@]}"; do
  # -s e writes the tags it finds, so it works on a copy.
  copy="$work/copy.mp3"
  cp "$f" "$copy"
  /usr/bin/time -f "%U %S" -o "$work/time" loudgain -q -s e "$copy" >"$work/out" 2>&1 || true
  read -r user sys <"$work/time"
  length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
  awk -v f="$f" -v u="$user" -v s="$sys" -v d="$length" \
    'BEGIN {printf "| %s | %.1f s | CPU %.3f s | %.0f x real time |\n", f, d, u + s, d / (u + s)}'
  grep -E 'Loudness|Peak' "$work/out" | sed 's/^/    /' || true
done
