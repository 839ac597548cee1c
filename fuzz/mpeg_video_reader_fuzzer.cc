// Feeds frames to the MPEG-2 video and MPEG-4 Visual header readers.
//
// Input: one byte that chooses the syntax (low bit) and the fallback frame duration, then
// records of a two-byte length (most significant byte first) followed by that many bytes, the
// frame. Every frame is copied into a buffer of exactly its size so that any read past its end
// is seen. A presentation delay is never below -1, and -1 only for a frame without a picture.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/mpeg_video_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 256 * 1024) return 0;
  using palvex::MPEGVideoReader;
  MPEGVideoReader reader((data[0] & 1) != 0 ? MPEGVideoReader::Syntax::kMPEG4Visual
                                            : MPEGVideoReader::Syntax::kMPEG2Video);
  const palvex::MilliTicks fallback = palvex::MilliTicks(data[0] >> 1) * 100000;
  for (size_t at = 1; at + 2 <= size;) {
    const size_t length = size_t(data[at]) << 8 | data[at + 1];
    at += 2;
    const size_t available = size - at < length ? size - at : length;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[available + 1]);
    for (size_t i = 0; i < available; ++i) frame[i] = data[at + i];
    const int64_t delay = reader.PresentationDelay(available > 0 ? frame.get() : nullptr, available, fallback);
    if (delay < -1) __builtin_trap();
    at += available;
  }
  return 0;
}
