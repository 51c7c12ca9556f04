#!/usr/bin/env bash
# CPU cost of the MP3 stream flavour: TMp3Encoder and the ffmpeg tool each encode an hour
# (SECONDS) of a 44.1 kHz stereo tone at 128 kbit/s (KBPS); prints both as a share of one
# core at real time. Builds the sondrix-mp3-bench target in BUILD_DIR (build) when needed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
BUILD_DIR=${BUILD_DIR:-$root/build}
SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-3600}
KBPS=${KBPS:-128}
bench="$BUILD_DIR/bench/sondrix-mp3-bench"

command -v ffmpeg >/dev/null || { echo "mp3_cost.sh: ffmpeg is needed" >&2; exit 1; }
[ -d "$BUILD_DIR" ] || { echo "mp3_cost.sh: no build tree at $BUILD_DIR (run scripts/build)" >&2; exit 1; }
# Built only on request: it is no part of the tree's everyday build.
cmake --build "$BUILD_DIR" --target sondrix-mp3-bench >/dev/null
"$bench" -s "$SECONDS_OF_AUDIO" -b "$KBPS"
