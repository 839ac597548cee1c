#!/usr/bin/env bash
# The main job: builds palvex and its host tool, makes a 10-second H.264 High (with
# B-frames) + AAC sample clip in MP4 unless given a file, muxes it into out/demo.ts and
# shows what a real demuxer finds in the result.
#   scripts/demo.sh [input-file]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
palvex_ensure_packages cmake g++ make pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DPALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target palvex-mux >/dev/null

mkdir -p out
input=${1:-}
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

echo "== palvex-mux $input out/demo.ts"
build/demo/tools/palvex-mux "$input" out/demo.ts

echo "== what ffprobe finds in out/demo.ts"
ffprobe -hide_banner -v error -count_frames \
  -show_entries program=program_id,program_num,nb_streams,pmt_pid,pcr_pid \
  -show_entries stream=index,id,codec_name,profile,codec_type,width,height,sample_rate,channels,nb_read_frames,duration \
  -of default=noprint_wrappers=0 out/demo.ts | grep -v '^\[/\?\(SIDE_DATA\|TAG\)' | grep -v '^TAG:'
