#include "codec/mpeg_video_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/h264_bit_writer.h"

namespace palvex {
namespace {

using palvex_test::H264BitWriter;

std::vector<uint8_t> StartCode(uint8_t code, const H264BitWriter& fields) {
  std::vector<uint8_t> out = {0x00, 0x00, 0x01, code};
  out.insert(out.end(), fields.Bytes().begin(), fields.Bytes().end());
  return out;
}

// sequence_header() at 25 fps, and sequence_extension() with low_delay when asked.
std::vector<uint8_t> Mpeg2Sequence(bool extension, bool lowDelay) {
  std::vector<uint8_t> out = StartCode(0xB3, H264BitWriter().Bits(320, 12).Bits(240, 12).Bits(1, 4).Bits(3, 4).Bits(0, 32));
  if (extension) {
    const auto ext = StartCode(0xB5, H264BitWriter().Bits(1, 4).Bits(0x48, 8).Bits(1, 1).Bits(1, 2).Bits(0, 4)
                                         .Bits(0, 12).Bits(1, 1).Bits(0, 8).Flag(lowDelay).Bits(0, 7));
    out.insert(out.end(), ext.begin(), ext.end());
  }
  return out;
}

std::vector<uint8_t> Mpeg2Picture(bool gop, int temporalReference, int codingType) {
  std::vector<uint8_t> out;
  if (gop) out = StartCode(0xB8, H264BitWriter().Bits(0, 25).Flag(false).Flag(false).Bits(0, 5));
  const auto picture = StartCode(0x00, H264BitWriter().Bits(uint64_t(temporalReference), 10).Bits(uint64_t(codingType), 3).Bits(0xFFFF, 19));
  out.insert(out.end(), picture.begin(), picture.end());
  return out;
}

// video_object_layer() with vop_time_increment_resolution 25 (5 bits per increment).
std::vector<uint8_t> Mpeg4Vol(bool lowDelay) {
  return StartCode(0x20, H264BitWriter().Flag(false).Bits(17, 8).Flag(false).Bits(1, 4).Flag(true).Bits(1, 2)
                             .Flag(lowDelay).Flag(false).Bits(0, 2).Flag(true).Bits(25, 16).Flag(true).Flag(false)
                             .Bits(0xFFFF, 16));
}

std::vector<uint8_t> Mpeg4Vop(int codingType, int moduloTimeBase, int increment) {
  H264BitWriter w;
  w.Bits(uint64_t(codingType), 2);
  for (int i = 0; i < moduloTimeBase; ++i) w.Flag(true);
  w.Flag(false).Flag(true).Bits(uint64_t(increment), 5).Bits(0xFFFF, 16);
  return StartCode(0xB6, w);
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Frame {
  std::vector<uint8_t> bytes;
  int64_t delay;
};

TEST(MpegVideoReaderTest, PresentationDelays) {
  using Syntax = MPEGVideoReader::Syntax;
  struct Case {
    std::string what;
    Syntax syntax;
    std::vector<Frame> frames;
  };
  const Case cases[] = {
      {"MPEG-2 open GOP: I before its two B pictures, then P", Syntax::kMPEG2Video,
       {{Join(Mpeg2Sequence(true, false), Mpeg2Picture(true, 2, 1)), 10800},
        {Mpeg2Picture(false, 0, 3), 0}, {Mpeg2Picture(false, 1, 3), 0}, {Mpeg2Picture(false, 5, 2), 10800},
        {Mpeg2Picture(false, 3, 3), 0}, {Mpeg2Picture(false, 4, 3), 0},
        {Join(Mpeg2Sequence(true, false), Mpeg2Picture(true, 0, 1)), 3600}}},
      {"MPEG-2 without B pictures: one frame behind", Syntax::kMPEG2Video,
       {{Join(Mpeg2Sequence(true, false), Mpeg2Picture(true, 0, 1)), 3600}, {Mpeg2Picture(false, 1, 2), 3600}}},
      {"MPEG-2 low_delay", Syntax::kMPEG2Video,
       {{Join(Mpeg2Sequence(true, true), Mpeg2Picture(true, 0, 1)), 0}, {Mpeg2Picture(false, 1, 2), 0}}},
      {"MPEG-1: no extension, reordering allowed", Syntax::kMPEG2Video,
       {{Join(Mpeg2Sequence(false, false), Mpeg2Picture(true, 0, 1)), 3600}}},
      {"MPEG-2: a cut picture header and a frame without one", Syntax::kMPEG2Video,
       {{{0x00, 0x00, 0x01, 0x00, 0x01}, -1}, {{0x00, 0x00, 0x01, 0xB8, 0x00}, -1}, {{}, -1}}},
      {"MPEG-4 Visual with B-VOPs across a second", Syntax::kMPEG4Visual,
       {{Join(Mpeg4Vol(false), Mpeg4Vop(0, 0, 23)), 3600}, {Mpeg4Vop(1, 1, 1), 10800},
        {Mpeg4Vop(2, 0, 24), 0}, {Mpeg4Vop(2, 1, 0), 0}, {Mpeg4Vop(1, 0, 4), 10800}}},
      {"MPEG-4 Visual low_delay", Syntax::kMPEG4Visual,
       {{Join(Mpeg4Vol(true), Mpeg4Vop(0, 0, 0)), 0}, {Mpeg4Vop(1, 0, 1), 0}}},
      {"MPEG-4 Visual: a VOP before any VOL", Syntax::kMPEG4Visual, {{Mpeg4Vop(0, 0, 0), -1}}},
  };
  for (const Case& c : cases) {
    MPEGVideoReader reader(c.syntax);
    for (size_t i = 0; i < c.frames.size(); ++i) {
      const std::vector<uint8_t> exact(c.frames[i].bytes);
      EXPECT_EQ(reader.PresentationDelay(exact.empty() ? nullptr : exact.data(), exact.size(), 3600000),
                c.frames[i].delay)
          << c.what << ", frame " << i;
    }
  }
}

}  // namespace
}  // namespace palvex
