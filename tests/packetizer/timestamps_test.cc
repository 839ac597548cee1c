// PES headers and time stamps of single frames, written at a destination of their own.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "packetizer/ts_stream.h"
#include "packetizer/ts_stream_test_util.h"
#include "support/fake_frame.h"
#include "ts/ts_packet_buffer.h"
#include "ts_reader.h"

namespace palvex {
namespace {

using palvex_test::AnnexB;
using palvex_test::FakeFrame;
using palvex_test::MakePps;
using palvex_test::MakeSlice;
using palvex_test::MakeSps;
using palvex_host::PESTimestamp;

struct Header {
  int32_t size = 0;
  uint8_t bytes[19] = {};
  int64_t pts() const { return PESTimestamp(bytes + 9); }
  int64_t dts() const { return PESTimestamp(bytes + 14); }
  int length() const { return bytes[4] << 8 | bytes[5]; }
};

Header Write(TSStream& stream, FakeFrame& frame, uint32_t payload, bool isVideo) {
  Header h;
  std::memset(h.bytes, 0xEE, sizeof h.bytes);
  h.size = stream.WritePESHeader(&frame, &payload, h.bytes, isVideo);
  return h;
}

TEST(PesHeaderTest, AudioFrameAtOneSecondGoldenBytes) {
  TSPacketBuffer buffer;
  AudioTSStream stream(0x0F, 0xC0, 0x101, false, &buffer, 188);
  FakeFrame frame(std::vector<uint8_t>(400, 0x11), 1000000);
  const Header h = Write(stream, frame, 400, false);
  ASSERT_EQ(h.size, 19);
  const uint8_t expected[19] = {
      0x00, 0x00, 0x01,  // packet_start_code_prefix
      0xC0,              // stream_id
      0x01, 0x9D,        // PES_packet_length 413 = 400 + 10 + 3
      0x84,              // '10', data_alignment_indicator
      0xC0,              // PTS_DTS_flags '11'
      0x0A,              // PES_header_data_length
      0x31, 0x00, 0x05, 0xBF, 0x21,  // PTS 90000
      0x11, 0x00, 0x05, 0xA3, 0x01,  // DTS 86400
  };
  EXPECT_EQ(0, std::memcmp(h.bytes, expected, 19));
  EXPECT_EQ(h.pts(), 90000);
  EXPECT_EQ(h.dts(), 86400);
}

TEST(PesHeaderTest, NegativeTimeGivesNineByteHeaderWithoutTimeStamps) {
  TSPacketBuffer buffer;
  AudioTSStream audio(0x0F, 0xC0, 0x101, false, &buffer, 188);
  FakeFrame frame(std::vector<uint8_t>(400, 0x11), -1000000);
  const Header h = Write(audio, frame, 400, false);
  ASSERT_EQ(h.size, 9);
  const uint8_t expected[9] = {0x00, 0x00, 0x01, 0xC0, 0x01, 0x93 /* 403 */, 0x84, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(h.bytes, expected, 9));
  EXPECT_EQ(h.bytes[9], 0xEE) << "nothing written behind the 9 bytes";

  // -11 us is -0.99 ticks, which truncates to 0: the header keeps 19 bytes, stuffed
  // (NegativeTimeNearZeroCarriesNoTimeStamps).
  frame.SetTime(-11);
  EXPECT_EQ(Write(audio, frame, 400, false).size, 19);

  // Negative times do not count for the duration measurement.
  VideoTSStream video(0x02, 0xE0, 0x100, false, &buffer, 188);
  frame.SetTime(-1000000);
  EXPECT_EQ(Write(video, frame, 400, true).size, 9);
  EXPECT_EQ(video.durationFrames(), 0);
}

// Regression: a frame at -1 us (a host's usual "no time stamp") truncates to tick 0 and
// went out with PTS 0 and, on audio, DTS 2^33 - 3600. A negative time means no time stamp:
// the 19 bytes the packetizer reckons with for tick 0 stay, PES_header_data_length 10 of
// stuffing bytes, PTS_DTS_flags '00'; on video the frame is not measured for its duration.
TEST(PesHeaderTest, NegativeTimeNearZeroCarriesNoTimeStamps) {
  TSPacketBuffer buffer;
  AudioTSStream audio(0x0F, 0xC0, 0x101, false, &buffer, 188);
  VideoTSStream video(0x02, 0xE0, 0x100, false, &buffer, 188);
  for (int64_t time : {int64_t{-1}, int64_t{-11}}) {
    FakeFrame frame(std::vector<uint8_t>(400, 0x11), time);
    const Header a = Write(audio, frame, 400, false);
    ASSERT_EQ(a.size, 19) << time;
    const uint8_t expected[19] = {
        0x00, 0x00, 0x01,  // packet_start_code_prefix
        0xC0,              // stream_id
        0x01, 0x9D,        // PES_packet_length 413 = 400 + 10 + 3
        0x84,              // '10', data_alignment_indicator
        0x00,              // PTS_DTS_flags '00'
        0x0A,              // PES_header_data_length
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // stuffing_byte
    };
    EXPECT_EQ(0, std::memcmp(a.bytes, expected, 19)) << time;
    const Header v = Write(video, frame, 400, true);
    ASSERT_EQ(v.size, 19) << time;
    EXPECT_EQ(v.bytes[7], 0x00) << time;
    EXPECT_EQ(video.durationFrames(), 0) << time;
  }
  // -12 us is tick -1: the 9-byte header; 0 us has time stamps.
  FakeFrame early(std::vector<uint8_t>(400, 0x11), -12);
  EXPECT_EQ(Write(audio, early, 400, false).size, 9);
  FakeFrame zero(std::vector<uint8_t>(400, 0x11), 0);
  EXPECT_EQ(Write(audio, zero, 400, false).bytes[7], 0xC0);
}

TEST(PesHeaderTest, PacketLengthIsZeroOnVideoAndTrueUpToTheBound) {
  TSPacketBuffer buffer;
  AudioTSStream audio(0x0F, 0xC0, 0x101, false, &buffer, 188);
  VideoTSStream video(0x02, 0xE0, 0x100, false, &buffer, 188);
  FakeFrame frame(std::vector<uint8_t>(8, 0x11), 1000000);
  EXPECT_EQ(Write(video, frame, 400, true).length(), 0);
  EXPECT_EQ(Write(audio, frame, 65522, false).length(), 0xFFFF);
  EXPECT_EQ(Write(audio, frame, 65521, false).length(), 0xFFFE);
  // Longer frames are split by the PES path; the first PES packet is then full.
  EXPECT_EQ(Write(audio, frame, 70000, false).length(), 0xFFFF);
  frame.SetTime(-1);
  EXPECT_EQ(Write(audio, frame, 70000, false).length(), 0xFFFF);
  EXPECT_EQ(Write(audio, frame, 65532, false).length(), 0xFFFF);
}

struct MeasureCase {
  int64_t times[4];
  int32_t duration;
};

TEST(PesHeaderTest, DurationMeasuredOverFourFrames) {
  const MeasureCase cases[] = {
      {{0, 40000, 80000, 120000}, 40000},
      {{0, 33366, 66733, 100100}, 33367},
      {{0, 20000, 40000, 60000}, 20000},     // 50 fps
      {{0, 16683, 33366, 50050}, 16683},     // 59.94 fps
      {{0, 16667, 33333, 50000}, 16667},     // 60 fps
      {{0, 300000, 600000, 900000}, 0},
  };
  for (const auto& c : cases) {
    TSPacketBuffer buffer;
    VideoTSStream video(0x02, 0xE0, 0x100, false, &buffer, 188);
    FakeFrame frame(std::vector<uint8_t>(8, 0x11), 0);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(video.frameDuration(), 0);
      frame.SetTime(c.times[i]);
      Write(video, frame, 8, true);
    }
    EXPECT_EQ(video.frameDuration(), c.duration) << c.times[3];
  }
}

TEST(PesHeaderTest, RejectedMeasurementStartsOverWithTheNextFrame) {
  TSPacketBuffer buffer;
  VideoTSStream video(0x02, 0xE0, 0x100, false, &buffer, 188);
  FakeFrame frame(std::vector<uint8_t>(8, 0x11), 0);
  for (int64_t t : {0, 300000, 600000, 900000}) {
    frame.SetTime(t);
    Write(video, frame, 8, true);
  }
  EXPECT_EQ(video.durationFrames(), 0);
  for (int64_t t : {1000000, 1040000, 1080000, 1120000}) {
    frame.SetTime(t);
    Write(video, frame, 8, true);
  }
  EXPECT_EQ(video.frameDuration(), 40000);
  frame.SetTime(5000000);  // the duration stays once set
  Write(video, frame, 8, true);
  EXPECT_EQ(video.frameDuration(), 40000);
}

TEST(PesHeaderTest, TrailerGivesThePtsAndAudioLikeDts) {
  TSPacketBuffer buffer;
  VideoTSStream video(0x1B, 0xE0, 0x100, false, &buffer, 188);
  video.SetHasTimeTrailer(true);
  std::vector<uint8_t> bytes(20, 0x11);
  const int64_t trailer = 10010000;  // 1.001 s in 100 ns
  for (int i = 0; i < 8; ++i) bytes[12 + size_t(i)] = uint8_t(trailer >> (8 * i));
  FakeFrame frame(bytes, 1000000);
  const Header h = Write(video, frame, 12, true);
  EXPECT_EQ(h.pts(), 90090);
  EXPECT_EQ(h.dts(), 86400);
}

// Feeds `frames` H.264 access units at the given times and returns the last header.
Header WriteH264(TSStream& stream, const std::vector<uint8_t>& bytes, int64_t time) {
  FakeFrame frame(bytes, time);
  return Write(stream, frame, uint32_t(bytes.size()), true);
}

void MeasureForty(TSStream& stream) {
  const auto idr = AnnexB({MakeSps(66), MakePps(), MakeSlice(5, 3, 0)});
  for (int64_t t : {0, 40000, 80000, 120000}) WriteH264(stream, idr, t);
  ASSERT_EQ(stream.frameDuration(), 40000);
}

struct H264Frame {
  std::vector<uint8_t> bytes;
  int64_t time;
  int64_t pts;
  int64_t dts;
};

// H.264 above Baseline: DTS = the frame time; PTS = DTS + the reorder delay (learned from the
// pictures where the SPS states none) + the picture's place by its picture order count from
// the last IDR, at the full precision of the DTS.
TEST(PesHeaderTest, H264PresentationTimes) {
  const auto idr77 = AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)});
  struct Case {
    const char* what;
    bool measured;  // four frames measure a duration of 40 ms first
    std::vector<H264Frame> frames;
  };
  const Case cases[] = {
      {"Main: an IDR, then a P picture one frame later in presentation", true,
       {{idr77, 1000000, 90000, 90000}, {AnnexB({MakeSlice(1, 2, 4)}), 1040000, 97200, 93600}}},
      {"three-byte start codes separate NAL units as well", true,
       {{AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)}, 3), 1000000, 90000, 90000},
        {AnnexB({MakeSlice(1, 2, 4)}, 3), 1040000, 97200, 93600}}},
      {"an IDR slice alone, without parameter sets, anchors anew", true,
       {{idr77, 1000000, 90000, 90000}, {AnnexB({MakeSlice(1, 2, 4)}), 1040000, 97200, 93600},
        {AnnexB({MakeSlice(5, 3, 0)}), 1080000, 97200, 97200},
        {AnnexB({MakeSlice(1, 2, 4)}), 1120000, 104400, 100800}}},
      {"a B picture learns the reorder delay; PTS never below DTS", true,
       {{idr77, 1000000, 90000, 90000}, {AnnexB({MakeSlice(1, 2, 6)}), 1040000, 100800, 93600},
        {AnnexB({MakeSlice(1, 0, 2)}), 1080000, 97200, 97200},
        {AnnexB({MakeSlice(1, 2, 10)}), 1120000, 111600, 100800}}},
      {"Baseline: no reordering, every picture at its decode time", true,
       {{AnnexB({MakeSps(66), MakePps(), MakeSlice(5, 3, 0)}), 1000999, 90089, 90089},
        {AnnexB({MakeSlice(1, 2, 4)}), 1040999, 93689, 93689}}},
      {"no truncation to whole milliseconds", false,
       {{AnnexB({MakeSps(100), MakePps(), MakeSlice(5, 3, 0)}), 1000999, 90089, 90089}}},
      {"before the duration is measured: presented at the decode time", false,
       {{AnnexB({MakeSps(100), MakePps(), MakeSlice(5, 3, 0)}), 1000000, 90000, 90000},
        {AnnexB({MakeSlice(1, 2, 2)}), 1040000, 93600, 93600}}},
  };
  for (const Case& c : cases) {
    TSPacketBuffer buffer;
    VideoTSStream video(0x1B, 0xE0, 0x100, false, &buffer, 188);
    if (c.measured) MeasureForty(video);
    for (size_t i = 0; i < c.frames.size(); ++i) {
      const Header h = WriteH264(video, c.frames[i].bytes, c.frames[i].time);
      EXPECT_EQ(h.size, 19) << c.what << ", frame " << i;
      EXPECT_EQ(h.pts(), c.frames[i].pts) << c.what << ", frame " << i;
      EXPECT_EQ(h.dts(), c.frames[i].dts) << c.what << ", frame " << i;
    }
  }
}

// Start codes at the very end and next to each other: every unit is fed with a length
// inside the frame (the sanitizer build checks that nothing outside is read).
TEST(PesHeaderTest, StartCodesAtTheEdgesStayInsideTheFrame) {
  const std::vector<std::vector<uint8_t>> frames = {
      {0, 0, 0, 1, 0x67},
      {0, 0, 0, 1, 0x67, 77, 0, 0, 0, 1},
      {0, 0, 0, 1, 0, 0, 0, 1, 0x65, 0x88},
      {0x11, 0, 0, 1, 0, 0, 1, 0, 0, 1},
      {0, 0, 1, 0x67, 100, 0, 0, 1, 0x07},
  };
  for (const auto& bytes : frames) {
    TSPacketBuffer buffer;
    VideoTSStream video(0x1B, 0xE0, 0x100, false, &buffer, 188);
    std::vector<uint8_t> exact(bytes);
    FakeFrame frame(exact, 1000000);
    EXPECT_EQ(Write(video, frame, uint32_t(exact.size()), true).size, 19);
  }
}

}  // namespace
}  // namespace palvex
