// Frames of every kind through EStoTS: the first bytes pick the stream type, the time
// stamp and the flags, the rest is the frame. Several frames per input, so that the time
// stamp and H.264 state carry over. Every packet written must be a whole 188-byte packet
// with the sync byte, the frame's payload must not be read outside its bytes, and a video
// picture (H.264, HEVC, MPEG-2) is never presented before it is decoded.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packetizer/frame_time.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "support/fake_frame.h"
#include "ts/ts_packet_buffer.h"
#include "ts_reader.h"

namespace {

const uint8_t kStreamTypes[] = {0x1B, 0x0F, 0x02, 0x03, 0x11, 0x80, 0x87, 0x24};
constexpr int64_t kMask33 = (int64_t{1} << 33) - 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const uint8_t streamType = kStreamTypes[mode & 7];
  const bool video = (mode & 0x08) == 0;
  const bool trailer = (mode & 0x10) != 0;
  const bool pcr = (mode & 0x20) != 0;
  palvex::TSPacketBuffer buffer;
  // A small buffer now and then, so that "buffer full" is reached mid-frame.
  if (mode & 0x40) buffer.Resize(8 * 188);
  VideoStream videoDesc;
  AudioStream audioDesc;
  audioDesc.SetMainType(kMediaMainTypeAudio);
  palvex::TSStream stream(streamType, video ? 0xE0 : 0xC0, 0x100, pcr, &buffer, 188);
  stream.SetHasTimeTrailer(trailer);

  // Frames: a 2-byte time step (signed, in ms, so that time goes back too) and a 2-byte
  // length, then that many bytes (or what is left).
  size_t off = 1;
  int64_t time = 1000000;
  int rounds = 0;
  while (off + 4 <= size && rounds++ < 16) {
    const int16_t step = int16_t(data[off] << 8 | data[off + 1]);
    size_t length = size_t(data[off + 2] << 8 | data[off + 3]);
    off += 4;
    if (length > size - off) length = size - off;
    time += int64_t(step) * 1000;
    // An exact-size copy so that any read past the frame is seen by the sanitizer.
    palvex_test::FakeFrame frame(data + off, length, time, palvex_test::FakeFrame::Room::kExact);
    off += length;
    uint8_t* bytes = length > 0 ? frame.GetData() : nullptr;
    uint32_t remaining = uint32_t(length);
    buffer.Clear();
    // Now and then an ADTS header in front of the frame, as routing hands one over.
    static const uint8_t kAdts[7] = {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC};
    const uint8_t* adts = (mode & 0x80) && length <= 8184 && (!video || (mode & 0x01)) ? kAdts : nullptr;
    const int32_t result = stream.EStoTS(video ? static_cast<MediaStream*>(&videoDesc) : &audioDesc, &frame,
                                         bytes, &remaining, adts);
    uint8_t* out = nullptr;
    const int written = buffer.GetBytes(&out);
    if (written % 188 != 0) std::abort();
    for (int p = 0; p < written; p += 188) {
      if (out[p] != 0x47) std::abort();
    }
    palvex_host::PESStart pes;
    if (video && !trailer && written > 0 && palvex_host::ReadPESStart(out, &pes) && pes.pts >= 0) {
      // DTS the frame time, PTS not before it (modulo the 2^33 wrap). A time-trailer stream
      // is left out: its PTS is the host's own.
      if (pes.dts != (palvex::MicrosecondsToTicks(time) & kMask33)) std::abort();
      if (((pes.pts - pes.dts) & kMask33) >= int64_t{1} << 32) std::abort();
    }
    if (result == 0 && remaining != 0) {
      // A frame that went out whole leaves nothing behind, unless it was an H.264 or HEVC
      // frame refused without a start code.
      if (!((streamType == 0x1B || streamType == 0x24) && video && !trailer && written == 0)) std::abort();
    }
    if (frame.setSizeCalls() != 0) std::abort();  // frames are read, never written
  }
  return 0;
}
