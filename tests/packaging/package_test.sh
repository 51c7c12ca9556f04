#!/usr/bin/env bash
# The Debian package as an operator gets it: built from the Release tree by scripts/package,
# checked with the tools Debian checks packages with, unpacked into a fresh root, and the
# service's own command line run from there: listeners of both flavours must hear the station,
# a reload must reach it and a stop must end it at once.
# Usage: tests/packaging/package_test.sh   (after the Release build; exits 1 on a failure)
set -euo pipefail
cd "$(dirname "$0")/../.."

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

work=$(mktemp -d)
cast_pid=
cleanup() {
  if [ -n "$cast_pid" ]; then kill -9 "$cast_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

scripts/package >"$work/package.log" 2>&1 || {
  cat "$work/package.log"
  echo "FAIL: scripts/package"
  exit 1
}
version=$(sed -n 's/^project(SondrixRadioStation VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build/sondrix_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || {
  echo "FAIL: no $deb"
  exit 1
}

# What the package holds: exactly these files, owned by root.
expected="./etc/sondrix/cast.conf
./lib/systemd/system/sondrix-cast.service
./usr/bin/sondrix-cast
./usr/bin/sondrix-station
./usr/share/applications/sondrix-station.desktop
./usr/share/doc/sondrix/changelog.gz
./usr/share/doc/sondrix/copyright
./usr/share/icons/hicolor/16x16/apps/sondrix-station.png
./usr/share/icons/hicolor/32x32/apps/sondrix-station.png
./usr/share/icons/hicolor/64x64/apps/sondrix-station.png
./usr/share/icons/hicolor/scalable/apps/sondrix-station.svg
./usr/share/man/man1/sondrix-cast.1.gz
./usr/share/man/man1/sondrix-station.1.gz
./usr/share/metainfo/net.sondrix.station.metainfo.xml"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$listed" = "$expected" ]; then ok "file list"; else
  fail "file list"
  diff <(echo "$expected") <(echo "$listed") || true
fi
owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
[ "$owners" = root/root ] && ok "owned by root" || fail "owners: $owners"

# The control data: dependencies found by dpkg-shlibdeps, the configuration kept as a conffile.
info=$(dpkg-deb --info "$deb")
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libavcodec libavformat libswresample libebur128 libqt6widgets6 \
  adduser; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
[[ "$depends" != *-dev* ]] || fail "Depends names a -dev package: $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
[ "$(dpkg-deb -f "$deb" Package)" = sondrix ] || fail "Package is not sondrix"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/sondrix/cast.conf ||
  fail "cast.conf is no conffile"
for script in postinst prerm postrm; do
  [[ "$info" == *" $script "* ]] || fail "no $script"
done
ok "control data (Depends: $depends)"

root=$work/root
dpkg-deb -x "$deb" "$root"

desktop=$root/usr/share/applications/sondrix-station.desktop
# The one hint kept: Audio and Network are both main categories, as the menu entry should be.
hints=$(desktop-file-validate "$desktop" 2>&1 | grep -v 'contains more than one main category') ||
  true
[ -z "$hints" ] && ok "desktop entry validates" || fail "desktop-file-validate: $hints"
grep -q '^Name\[ru\]=' "$desktop" && grep -q '^Comment\[ru\]=' "$desktop" ||
  fail "the desktop entry is not in Russian too"
metainfo=$root/usr/share/metainfo/net.sondrix.station.metainfo.xml
if appstreamcli validate --no-net --pedantic "$metainfo" >"$work/appstream.log" 2>&1; then
  ok "metainfo validates"
else
  fail "appstreamcli: $(cat "$work/appstream.log")"
fi
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
grep -q '<screenshot type="default">' "$metainfo" || fail "metainfo has no screenshot"

for page in sondrix-cast sondrix-station; do
  warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null) ||
    fail "man $page"
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
ok "manual pages render"

# Lintian: no error and no warning (infos are advice; hardening is on, the program is not a
# daemon with an init.d script).
lintian --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 || true
grep -v '^running with root privileges' "$work/lintian.log" >"$work/lintian.tags" || true
if grep -qE '^[EW]:' "$work/lintian.tags"; then
  fail "lintian: $(cat "$work/lintian.tags")"
else
  ok "lintian: no errors or warnings"
fi

# The unit, with its programs where the package was unpacked.
unit=$root/lib/systemd/system/sondrix-cast.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
exec_reload=$(sed -n 's/^ExecReload=//p' "$unit")
conf=$(echo "$exec_start" | sed -n 's/.*--config \([^ ]*\).*/\1/p')
[ "$conf" = /etc/sondrix/cast.conf ] || fail "the service does not read /etc/sondrix/cast.conf"
sed "s|/usr/bin/|$root/usr/bin/|" "$unit" >"$work/sondrix-cast.service"
if MANPATH=$root/usr/share/man systemd-analyze verify "$work/sondrix-cast.service" \
  >"$work/verify.log" 2>&1; then ok "systemd-analyze verify"; else
  fail "systemd-analyze verify: $(cat "$work/verify.log")"
fi
for setting in User=sondrix ProtectSystem=strict ProtectHome=read-only NoNewPrivileges=yes \
  PrivateTmp=yes StateDirectory=sondrix Restart=on-failure; do
  grep -qx "$setting" "$unit" || fail "the unit lacks $setting"
done

# The package's example configuration, pointed at a playlist of two tones and a free port.
tone() { ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=$1:duration=$2" -ac 2 \
  -b:a 128k "$work/$3"; }
tone 440 30 low.mp3
tone 1000 30 high.mp3
printf 'low.mp3\nhigh.mp3\n' >"$work/list.m3u"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -e "s|^Playlist=.*|Playlist=$work/list.m3u|" -e "s|^Port=.*|Port=$port|" \
  "$root/etc/sondrix/cast.conf" >"$work/cast.conf"
grep -qx "Port=$port" "$work/cast.conf" && grep -qx "Playlist=$work/list.m3u" "$work/cast.conf" ||
  fail "the example configuration has no Port= and Playlist= lines to set"
command=${exec_start//\/usr\/bin\//$root/usr/bin/}
command=${command//\/etc\/sondrix\/cast.conf/$work/cast.conf}
# As the unit runs it: no input, output to the journal (which names its stream by device and
# inode), a state directory for the cache.
: >"$work/cast.log"
JOURNAL_STREAM=$(stat -c %d:%i "$work/cast.log") HOME=$work XDG_CACHE_HOME=$work/cache \
  $command --bind 127.0.0.1 --address 127.0.0.1 </dev/null >>"$work/cast.log" 2>&1 &
cast_pid=$!

# hears URL FREQUENCY: a listener records four seconds and finds the tone at its level.
hears() {
  local record=$work/heard.wav
  rm -f "$record"
  timeout 30 ffmpeg -nostdin -loglevel error -i "$1" -t 4 -ac 1 -ar 8000 "$record" || return 1
  python3 - "$record" "$2" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1])
n = w.getnframes()
x = struct.unpack("<%dh" % n, w.readframes(n))[8000:]  # past the start
f = float(sys.argv[2])
# The tone's own energy against the whole: a Goertzel filter at its frequency.
k = 2 * math.cos(2 * math.pi * f / 8000)
s1 = s2 = 0.0
for v in x:
    s1, s2 = v + k * s1 - s2, s1
power = (s1 * s1 + s2 * s2 - k * s1 * s2) / len(x) * 2 / len(x)
total = sum(v * v for v in x) / len(x)
sys.exit(0 if len(x) > 16000 and total > 1e5 and power > 0.8 * total else 1)
PY
}
for _ in $(seq 100); do
  grep -q 'On air' "$work/cast.log" && break
  sleep 0.1
done
if hears "http://127.0.0.1:$port/stream.mp3" 440 && hears "mmsh://127.0.0.1:$port/" 440; then
  ok "listeners of both flavours hear the installed station"
else
  fail "no listener heard the installed station: $(cat "$work/cast.log")"
fi

# The reload the unit sends: the new list plays after the track on air; a skip shows it.
printf 'high.mp3\n' >"$work/list.m3u"
# systemd gives the command the main process's PID in MAINPID; the line is in its quoting,
# which is the shell's for this one.
(export MAINPID=$cast_pid && eval "$exec_reload") || fail "ExecReload failed"
for _ in $(seq 50); do
  grep -q 'Playlist reread' "$work/cast.log" && break
  sleep 0.1
done
grep -q 'Playlist reread' "$work/cast.log" && ok "ExecReload rereads the playlist" ||
  fail "ExecReload: $(cat "$work/cast.log")"

SECONDS=0
kill -TERM "$cast_pid"
status=0
wait "$cast_pid" || status=$?
cast_pid=
[ "$status" = 0 ] && [ "$SECONDS" -le 2 ] && ok "SIGTERM stops it" ||
  fail "SIGTERM: status $status after ${SECONDS}s"
grep -q '^\[' "$work/cast.log" && fail "journal lines carry their own time stamps"
grep -q "^On air: mms://127.0.0.1:$port" "$work/cast.log" || fail "no line says what is on air"

if [ "$failures" -ne 0 ]; then
  echo "PACKAGE TEST: $failures FAILED"
  exit 1
fi
echo "PACKAGE TEST PASSED"
