#!/usr/bin/env bash
# The main job: builds palvex and its host tool, makes a 10-second H.264 High (with
# B-frames) + AAC sample clip in MP4 unless given a file, muxes it into out/demo.ts
# (replacing the last one) and shows what a real demuxer finds in the result: the program,
# and each stream's frames beside those of the input.
# Options after the input file go to palvex-mux as they are.
#   scripts/demo.sh [input-file [palvex-mux options...]]
set -euo pipefail
input=${1:-}
[ -z "$input" ] || input=$(realpath -m -- "$input")  # a path from where the script was started
options=("${@:2}")
cd "$(dirname "$0")/.."
source scripts/deps.sh
palvex_ensure_packages "${PALVEX_TOOL_PACKAGES[@]}"

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DPALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target palvex-mux >/dev/null

mkdir -p out
if [ -z "$input" ]; then
  input=out/sample.mp4
  if [ ! -f "$input" ]; then
    echo "making a 10 s sample clip: H.264 High with B-frames + AAC, in MP4"
    ffmpeg -hide_banner -loglevel error -y \
      -f lavfi -i testsrc2=size=1280x720:rate=25 \
      -f lavfi -i sine=frequency=440:sample_rate=48000 \
      -t 10 -c:v libx264 -profile:v high -bf 3 -g 50 -pix_fmt yuv420p -b:v 3M \
      -c:a aac -b:a 128k "$input"
  fi
fi

echo "== palvex-mux -y ${options[*]:+${options[*]} }$input out/demo.ts"
if ! build/demo/tools/palvex-mux -y ${options[@]+"${options[@]}"} "$input" out/demo.ts; then
  echo "(scripts/demo.sh passes what follows the input file to palvex-mux: scripts/demo.sh FILE --map a)" >&2
  exit 1
fi

echo "== the program ffprobe finds in out/demo.ts"
ffprobe -hide_banner -v error -show_entries program=program_id,program_num,nb_streams,pmt_pid,pcr_pid \
  -of default=noprint_wrappers=1 out/demo.ts | grep -v '^TAG:'

# Each stream once: its codec, and the frames ffprobe decodes from it in the input and in
# out/demo.ts, side by side (streams paired by type and order; - where a file has none).
# ffprobe lists a transport stream's streams under its program first, then all of them
# again after an empty line: the last list counts. An MP4's AAC may show one frame fewer
# in the input: its edit list drops the encoder's priming frame at decoding, which the
# transport stream carries with its time.
frames() {
  ffprobe -v error -count_frames -show_entries stream=codec_name,codec_type,nb_read_frames -of csv=p=0 "$1" |
    awk 'BEGIN { RS = "" } { last = $0 } END { print last }'
}
echo "== frames in $input and in out/demo.ts, as ffprobe decodes them"
awk -F, '
  NR == FNR { key = $2 " " n[$2]++; order[++count] = key; codec[key] = $1; in_[key] = $3; next }
  { key = $2 " " m[$2]++; if (!(key in codec)) { order[++count] = key; codec[key] = $1 } out[key] = $3 }
  END {
    printf "%-9s %-6s %13s %13s\n", "stream", "codec", "input", "output"
    for (i = 1; i <= count; i++) {
      key = order[i]
      printf "%-9s %-6s %13s %13s\n", key, codec[key], (key in in_) ? in_[key] : "-", (key in out) ? out[key] : "-"
    }
  }' <(frames "$input") <(frames out/demo.ts)
