#!/usr/bin/env bash
# VLC tuning in to palvex-mux's live UDP output on 127.0.0.1: palvex-mux sends CLIP in real
# time with the options given, VLC (cvlc, with its dummy video and audio outputs, so that
# it decodes and clocks everything but shows nothing) receives it, and the lines in which
# VLC drops a picture or an audio buffer for being late, or flushes its audio, are counted.
# JOIN=N starts VLC N seconds after palvex-mux (a viewer tuning in to a running channel);
# by default VLC listens before the first packet. cvlc refuses to run as root: as root the
# script runs it as VLC_USER (default vlcuser, made when missing). SENDER=ffmpeg sends
# with FFmpeg's own muxer instead (the options then go to ffmpeg, e.g. -muxrate 6M), as a
# baseline.
#
#   scripts/vlc-tune-in.sh CLIP [palvex-mux options...]
#   JOIN=3 scripts/vlc-tune-in.sh movie.mp4 --muxrate 6M --lead 0.8
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,13p' "$0"; exit 2; }
cd "$(dirname "$0")/.."
MUX=${PALVEX_MUX:-build/release/tools/palvex-mux}
VLC_USER=${VLC_USER:-vlcuser}
JOIN=${JOIN:-0}
clip=$1
shift
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip" | cut -d. -f1)
port=$((20000 + RANDOM % 20000))
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
[ -z "${VLC_LOG:-}" ] || trap 'cp "$work/vlc.log" "$VLC_LOG"; rm -rf "$work"' EXIT

# A live UDP input never ends by itself: timeout ends VLC 3 s after the clip.
vlc_command=(timeout -k 2 $((seconds + 4 - JOIN)) cvlc -vv --vout=vdummy --aout=adummy --no-video-title-show
             "udp://@127.0.0.1:$port")
if [ "$(id -u)" = 0 ]; then
  id "$VLC_USER" >/dev/null 2>&1 || useradd -m "$VLC_USER"
  vlc_command=(runuser -u "$VLC_USER" -- "${vlc_command[@]}")
fi

send() {
  if [ "${SENDER:-}" = ffmpeg ]; then
    ffmpeg -hide_banner -loglevel error -re -i "$clip" -c copy -f mpegts "$@" "udp://127.0.0.1:$port?pkt_size=1316"
  else
    "$MUX" -q "$@" "$clip" "udp://127.0.0.1:$port"
  fi
}

if [ "$JOIN" = 0 ]; then
  "${vlc_command[@]}" >"$work/vlc.log" 2>&1 &
  vlc=$!
  sleep 1
  send "$@" || echo "sender exit status $?"
else
  send "$@" &
  mux=$!
  sleep "$JOIN"
  "${vlc_command[@]}" >"$work/vlc.log" 2>&1 &
  vlc=$!
  wait "$mux" || echo "sender exit status $?"
fi
wait "$vlc" || true

count() { grep -c -E "$1" "$work/vlc.log" || true; }
pictures=$(count 'picture is too late|late picture skipped|dropping frame|picture.*dropped')
audio=$(count 'buffer too late|playback too late|audio.*dropped|flushing buffers')
decoded=$(count 'Decoder|decoder.*started|using (audio|video) decoder module')
echo "${SENDER:-palvex-mux} $clip ${*:-(no options)} join ${JOIN}s: pictures dropped late $pictures, audio buffers dropped late $audio"
grep -E 'too late|dropp|flushing|late picture' "$work/vlc.log" | head -n 8 || true
[ "$decoded" -gt 0 ] || { echo "VLC decoded nothing:"; tail -n 20 "$work/vlc.log"; exit 1; }
