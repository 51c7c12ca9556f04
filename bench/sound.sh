#!/usr/bin/env bash
# What a listener hears: sondrix-cast and Liquidsoap (set up as AzuraCast sets up a station,
# behind Icecast) play the same test playlist; ffmpeg records each stream and
# bench/sound_report.py reports how much of every track came through, the silence at each
# change, loudness per track, true peak, and each server's CPU. See docs/SOUND.md.
#
# Environment: CROSSFADES ("0 3": one run per value), LIQ_CROSSFADE (2: AzuraCast's default
# fade, used by Liquidsoap in every run whose crossfade is not 0), LOUDNESS (-16), SETTLE (5 s
# of each recording not analysed), SERVERS ("sondrix liquidsoap"), BUILD_DIR (build),
# SONDRIX_CAST, OFF_RUN (1: at crossfade 0 also a sondrix-cast with --loudness off --no-trim),
# ICECAST (icecast2), ICECAST_USER (icecast2), PYTHON (/usr/bin/python3), REPORT (a file to
# write the tables to as well), KEEP_TMP=1 (keeps tracks, recordings, logs).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
CROSSFADES=${CROSSFADES:-0 3}
LIQ_CROSSFADE=${LIQ_CROSSFADE:-2}
LOUDNESS=${LOUDNESS:--16}
SETTLE=${SETTLE:-5}
SERVERS=${SERVERS:-sondrix liquidsoap}
BUILD_DIR=${BUILD_DIR:-$root/build}
SONDRIX_CAST=${SONDRIX_CAST:-$BUILD_DIR/apps/cast/sondrix-cast}
ICECAST=${ICECAST:-icecast2}
ICECAST_USER=${ICECAST_USER:-icecast2}
PYTHON=${PYTHON:-/usr/bin/python3}
OFF_RUN=${OFF_RUN:-1}
REPORT=${REPORT:-}
PASSWORD=benchpw
report_py="$here/sound_report.py"

BENCH_NAME=sound.sh
# shellcheck source=bench_lib.sh
source "$here/bench_lib.sh"

wants() { [[ " $SERVERS " == *" $1 "* ]]; }

command -v ffmpeg >/dev/null || die "ffmpeg is needed"
command -v curl >/dev/null || die "curl is needed"
need=()
"$PYTHON" -c 'import numpy' 2>/dev/null || need+=(python3-numpy)
if wants liquidsoap; then
  command -v liquidsoap >/dev/null || need+=(liquidsoap)
  command -v "$ICECAST" >/dev/null || need+=(icecast2)
fi
if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "please install: ${need[*]}"
  say "installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >"$work/apt.log" 2>&1 ||
    die "apt-get install ${need[*]} failed: $(tail -3 "$work/apt.log")"
fi
if wants sondrix; then
  [ -x "$SONDRIX_CAST" ] || die "no sondrix-cast at $SONDRIX_CAST (build the sondrix-cast target)"
  # A rebuild during the run must not swap the binary under us.
  cp "$SONDRIX_CAST" "$work/sondrix-cast"
  SONDRIX_CAST=$work/sondrix-cast
  if "$SONDRIX_CAST" --help 2>&1 | grep -q -- --loudness; then
    sound_stage=1
  else
    sound_stage=0
    say "sondrix-cast has no --loudness yet: it runs once, without crossfade (before the sound stage)"
  fi
fi

# Ports from the bench's own range, never one taken by anything else.
taken=" "
pick_port() {
  local p
  for p in $(seq 18100 18199); do
    [[ "$taken" == *" $p "* ]] && continue
    [ -z "$(ss -Hltn "sport = :$p")" ] || continue
    taken+="$p "
    port=$p
    return 0
  done
  die "no free port in 18100-18199"
}

# --- the playlist ---------------------------------------------------------------------------
tracks="$work/tracks"
mkdir -p "$tracks"
"$PYTHON" "$report_py" playlist >"$work/playlist.tsv"
files=()
cycle=0
longest=0
n=0
while IFS=$'\t' read -r name secs lead tail fbody fend db rate ch fade _; do
  n=$((n + 1))
  amp=$(awk -v d="$db" 'BEGIN {printf "%.6f", 10 ^ (d / 20)}')
  body=$((secs - 1))
  total=$((lead + secs + tail))
  # Phase runs on through the change of frequency, so the change makes no click.
  expr="if(between(t,$lead,$((lead + secs))),$amp*sin(2*PI*($fbody*min(t-$lead,$body)+$fend*max(t-$lead-$body,0))),0)"
  # One expression per channel: an upmix would lower each channel by 3 dB.
  [ "$ch" = 1 ] || expr="$expr|$expr"
  filter=()
  [ "$fade" = 0 ] || filter=(-af "afade=t=out:st=$((lead + secs - fade)):d=$fade")
  f="$tracks/$n-$name.mp3"
  ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=exprs='$expr':s=$rate:d=$total" \
    "${filter[@]}" -c:a libmp3lame -q:a 2 -metadata artist=Bench -metadata title="Track $name" \
    -y "$f" || die "could not make track $name"
  files+=("$f")
  cycle=$((cycle + total))
  [ "$total" -le "$longest" ] || longest=$total
done <"$work/playlist.tsv"
printf '%s\n' "${files[@]}" >"$work/playlist.m3u"

# The files decoded back to back, twice, as a perfect gapless player would play them: what
# each track holds, to hold the recordings against.
inputs=()
graph=""
k=0
for _ in 1 2; do
  for f in "${files[@]}"; do
    inputs+=(-i "$f")
    graph+="[$k:a]aresample=44100,aformat=sample_fmts=s16:channel_layouts=stereo[a$k];"
    k=$((k + 1))
  done
done
for i in $(seq 0 $((k - 1))); do graph+="[a$i]"; done
ffmpeg -nostdin -v error "${inputs[@]}" -filter_complex "${graph}concat=n=$k:v=0:a=1" \
  -c:a pcm_s16le -y "$work/ref.wav" || die "could not decode the playlist"
"$PYTHON" "$report_py" selftest "$work/ref.wav" >&2 || die "the loudness meter failed its check"

# One pass of the list after the settling time, plus the longest track (a pass starts anywhere).
record_s=$((SETTLE + cycle + longest + 4))
say "playlist of $n tracks, $cycle s a pass; recording $record_s s per listener"

# --- servers ------------------------------------------------------------------------------
cpu_of() { proc_sample "$1" | cut -d' ' -f1; }

start_icecast() { # start_icecast DIR PORT: prints the pid
  local dir=$1 port=$2
  mkdir -p "$dir/log"
  sed -e "s|@PORT@|$port|" -e "s|@BIND_ADDRESS@|127.0.0.1|" -e "s|@HOSTNAME@|127.0.0.1|" \
    -e "s|@ADMIN_EMAIL@|bench@localhost|" -e "s|@CLIENTS@|20|" \
    -e "s|@SOURCE_PASSWORD@|$PASSWORD|" -e "s|@ADMIN_PASSWORD@|$PASSWORD|" \
    -e "s|@LOGDIR@|$dir/log|" "$root/docs/icecast/master.xml" >"$dir/icecast.xml"
  local launch=("$ICECAST" -c "$dir/icecast.xml")
  if [ "$(id -u)" = 0 ]; then
    # Icecast will not run as root; setpriv keeps the process id, so it is still ours to watch.
    chown -R "$ICECAST_USER" "$dir/log"
    launch=(setpriv --reuid="$ICECAST_USER" --regid="$(id -gn "$ICECAST_USER")" --clear-groups
      "${launch[@]}")
  fi
  "${launch[@]}" >"$dir/out.log" 2>&1 &
  echo $!
}

# Debian's 2.1.3 package installs extract-replaygain outside the folder the library looks in,
# and the resolver then adds no gain without a word: give it the path that exists.
extract_rg=""
if wants liquidsoap; then
  for c in "$(liquidsoap 'print(configure.bindir)' 2>/dev/null | head -1)" /usr/share/liquidsoap/bin; do
    if [ -x "$c/extract-replaygain" ]; then
      extract_rg=$c/extract-replaygain
      break
    fi
  done
  [ -n "$extract_rg" ] || die "Liquidsoap's extract-replaygain was not found"
  gains=""
  for f in "${files[@]}"; do gains+=" $(basename "$f" .mp3) $("$extract_rg" "$f" | tr -d ' ')"; done
  say "ReplayGain that Liquidsoap will apply:$gains"
fi

write_liq() { # write_liq FILE ICECAST_PORT FADE_SECONDS
  local cross="# no crossfade: tracks back to back"
  if [ "$3" != 0 ]; then
    # AzuraCast's "normal" crossfade: fades of the set length over a window 1.5 times as long.
    cross=$(awk -v f="$3" 'BEGIN {
      printf "radio = crossfade(smart=false, duration=%.2f, fade_in=%.2f, fade_out=%.2f, radio)", f * 1.5, f, f }')
  fi
  local root_line=""
  [ "$(id -u)" != 0 ] || root_line="settings.init.allow_root.set(true)"
  cat >"$1" <<EOF
$root_line
log.stdout.set(true)
log.file.set(false)
enable_replaygain_metadata(extract_replaygain="$extract_rg")
radio = playlist(id="bench", mode="normal", reload_mode="watch", "$work/playlist.m3u")
radio = amplify(override="liq_amplify", 1., radio)
radio = replaygain(radio)
$cross
radio = mksafe(radio)
output.icecast(%mp3(bitrate=128, samplerate=44100, stereo=true), host="127.0.0.1", port=$2,
  password="$PASSWORD", mount="/radio.mp3", name="Sound bench", radio)
EOF
}

record() { # record URL WAV: runs in the background, bounded by a time-out
  timeout $((record_s + 30)) ffmpeg -nostdin -v error -i "$1" -t "$record_s" -ac 2 -ar 44100 \
    -c:a pcm_s16le -y "$2" >"$2.log" 2>&1 &
  pids+=("$!")
  recorders+=("$!")
}

: >"$work/runs.tsv"
# launch_sondrix NAME LABEL ARGS...: one sondrix-cast on the playlist, ready to record.
launch_sondrix() {
  local name=$1 label=$2
  shift 2
  pick_port
  "$SONDRIX_CAST" --port "$port" --address 127.0.0.1 --name "Sound bench" "$@" "${files[@]}" \
    >"$work/$name.log" 2>&1 &
  pids+=("$!")
  s_pids+=("$!")
  s_ports+=("$port")
  s_names+=("$name")
  s_labels+=("$label")
  wait_ready "http://127.0.0.1:$port/stream.mp3" "$!" ||
    die "sondrix-cast did not start: $(tail -5 "$work/$name.log")"
}

for x in $CROSSFADES; do
  s_pids=()
  s_ports=()
  s_names=()
  s_labels=()
  if wants sondrix; then
    if [ "$sound_stage" = 1 ]; then
      launch_sondrix "sondrix-$x" "sondrix-cast --loudness $LOUDNESS --crossfade $x" \
        --loudness "$LOUDNESS" --crossfade "$x"
      # The same build with its processing off: the files as they are, for comparison.
      [ "$x" != 0 ] || [ "$OFF_RUN" != 1 ] ||
        launch_sondrix sondrix-off "sondrix-cast --loudness off --no-trim (sound stage off)" \
          --loudness off --no-trim
    elif [ "$x" = 0 ]; then
      launch_sondrix "sondrix-$x" "sondrix-cast before the sound stage (no --loudness/--crossfade/trim)"
    else
      say "crossfade $x: sondrix-cast skipped (no --crossfade in this build)"
    fi
  fi
  run_liq=0
  if wants liquidsoap; then
    run_liq=1
    fade=0
    [ "$x" = 0 ] || fade=$LIQ_CROSSFADE
    pick_port
    iport=$port
    ipid=$(start_icecast "$work/icecast-$x" "$iport")
    pids+=("$ipid")
    write_liq "$work/station-$x.liq" "$iport" "$fade"
    sleep 1
    kill -0 "$ipid" 2>/dev/null || die "icecast did not start: $(cat "$work/icecast-$x/out.log")"
    liquidsoap "$work/station-$x.liq" >"$work/liquidsoap-$x.log" 2>&1 &
    lpid=$!
    pids+=("$lpid")
    wait_ready "http://127.0.0.1:$iport/radio.mp3" "$lpid" ||
      die "Liquidsoap did not reach Icecast: $(tail -5 "$work/liquidsoap-$x.log")"
    if [ "$fade" = 0 ]; then
      llabel="Liquidsoap 2.1.3 + Icecast, ReplayGain, no crossfade"
    else
      llabel="Liquidsoap 2.1.3 + Icecast, ReplayGain, crossfade $fade s"
    fi
  fi
  [ ${#s_pids[@]} -gt 0 ] || [ "$run_liq" = 1 ] || continue

  say "crossfade $x: recording $record_s s"
  recorders=()
  start=$(date +%s.%N)
  s0=()
  for i in "${!s_pids[@]}"; do s0+=("$(cpu_of "${s_pids[$i]}")"); done
  if [ "$run_liq" = 1 ]; then
    l0=$(cpu_of "$lpid")
    i0=$(cpu_of "$ipid")
  fi
  for i in "${!s_pids[@]}"; do
    record "http://127.0.0.1:${s_ports[$i]}/stream.mp3" "$work/${s_names[$i]}-mp3.wav"
    # One Windows Media listener is enough for the processing-off run.
    [ "${s_names[$i]}" = sondrix-off ] ||
      record "mmsh://127.0.0.1:${s_ports[$i]}/" "$work/${s_names[$i]}-mmsh.wav"
  done
  [ "$run_liq" = 1 ] && record "http://127.0.0.1:$iport/radio.mp3" "$work/liquidsoap-$x.wav"
  for r in "${recorders[@]}"; do wait "$r" || say "a recorder failed (log beside its .wav)"; done
  end=$(date +%s.%N)
  for i in "${!s_pids[@]}"; do
    pid=${s_pids[$i]}
    name=${s_names[$i]}
    kill -0 "$pid" 2>/dev/null || die "sondrix-cast ended during the run: $(tail -5 "$work/$name.log")"
    cpu=$(awk -v a="${s0[$i]}" -v b="$(cpu_of "$pid")" -v s="$start" -v e="$end" \
      'BEGIN {printf "%.1f", 100 * (b - a) / (e - s)}')
    stop_pid "$pid"
    printf '%s, MP3 listener\t%s\t%s\n' "${s_labels[$i]}" "$work/$name-mp3.wav" "$cpu" >>"$work/runs.tsv"
    [ ! -e "$work/$name-mmsh.wav" ] ||
      printf '%s, MMSH listener\t%s\t%s (same process)\n' "${s_labels[$i]}" "$work/$name-mmsh.wav" \
        "$cpu" >>"$work/runs.tsv"
  done
  if [ "$run_liq" = 1 ]; then
    kill -0 "$lpid" 2>/dev/null || die "Liquidsoap ended during the run: $(tail -5 "$work/liquidsoap-$x.log")"
    cpu=$(awk -v a="$l0" -v b="$(cpu_of "$lpid")" -v c="$i0" -v d="$(cpu_of "$ipid")" -v s="$start" \
      -v e="$end" 'BEGIN {w = e - s; printf "%.1f (Liquidsoap %.1f + Icecast %.1f)",
        100 * (b - a + d - c) / w, 100 * (b - a) / w, 100 * (d - c) / w}')
    stop_pid "$lpid"
    stop_pid "$ipid"
    printf '%s\t%s\t%s\n' "$llabel" "$work/liquidsoap-$x.wav" "$cpu" >>"$work/runs.tsv"
  fi
done

{
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') on $(lscpu | awk -F: '/Model name/ {gsub(/^ +/, "", $2); print $2; exit}'), $(nproc) cores;" \
    "$(ffmpeg -version | head -1 | cut -d' ' -f1-3)$(wants liquidsoap && echo ", $(liquidsoap --version 2>/dev/null | head -1)")."
  echo "Listeners recorded $record_s s each, the first $SETTLE s not analysed; all servers of one crossfade value ran at the same time."
  echo
  "$PYTHON" "$report_py" report "$work/runs.tsv" "$work/ref.wav" "$SETTLE"
} | if [ -n "$REPORT" ]; then tee "$REPORT"; else cat; fi
