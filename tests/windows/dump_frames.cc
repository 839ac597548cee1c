// palvex-dump-frames: reads a clip with the host tool's clip reader and writes its media
// description and frames, exactly as palvex-mux hands them over, into a frame file for the
// host program on the other platform.
//   palvex-dump-frames INPUT FRAMES
#include <cstdio>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "frame_file.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: palvex-dump-frames INPUT FRAMES\n", stderr);
    return 2;
  }
  palvex_host::ClipReader reader;
  std::string error;
  if (!reader.Open(argv[1], &error)) {
    std::fprintf(stderr, "palvex-dump-frames: %s\n", error.c_str());
    return 1;
  }
  std::vector<palvex_frames::Stream> streams;
  for (const palvex_host::ClipStream& c : reader.streams()) {
    palvex_frames::Stream s;
    s.mainType = c.mainType;
    s.codec = c.codec;
    s.streamId = c.streamId;
    s.frameRate = c.frameRate;
    s.extraData = c.extraData;
    streams.push_back(std::move(s));
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "palvex-dump-frames: cannot write %s\n", argv[2]);
    return 1;
  }
  palvex_frames::Writer writer(out);
  writer.Header(streams);
  palvex_host::ClipFrame clip;
  size_t count = 0;
  while (reader.Next(&clip, &error)) {
    palvex_frames::Frame f;
    f.streamId = clip.streamId;
    f.timeUs = clip.timeUs;
    f.data = clip.data;
    writer.Add(f);
    ++count;
  }
  const bool closed = std::fclose(out) == 0;
  if (!error.empty() || !writer.ok() || !closed) {
    std::fprintf(stderr, "palvex-dump-frames: %s\n", error.empty() ? "write error" : error.c_str());
    return 1;
  }
  std::printf("%zu streams, %zu frames\n", streams.size(), count);
  return 0;
}
