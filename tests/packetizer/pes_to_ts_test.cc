// Frames cut into TS packets: stuffing, PCR, random access, ADTS, continuity and the failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "packetizer/ts_stream.h"
#include "palvex/media_stream.h"
#include "packetizer/ts_stream_test_util.h"
#include "support/fake_frame.h"
#include "support/ts_checker.h"
#include "ts/ts_packet_buffer.h"

namespace palvex {
namespace {

using palvex_test::AnnexB;
using palvex_test::FakeFrame;
using palvex_test::MakePps;
using palvex_test::MakeSlice;
using palvex_test::MakeSps;
using palvex_test::PacketsOf;
using palvex_test::PesOf;
using Packets = std::vector<std::vector<uint8_t>>;

constexpr int64_t k2e33 = int64_t{1} << 33;

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + 3);
  return bytes;
}

int64_t PcrBase(const std::vector<uint8_t>& p) {
  return int64_t{p[6]} << 25 | int64_t{p[7]} << 17 | int64_t{p[8]} << 9 | int64_t{p[9]} << 1 | p[10] >> 7;
}

// Fixture: one audio and one video description and a buffer emptied per frame.
class PesToTsTest : public ::testing::Test {
 protected:
  PesToTsTest() { audioDesc.SetMainType(kMediaMainTypeAudio); }

  int32_t Send(TSStream& stream, MediaStream& desc, const std::vector<uint8_t>& bytes,
               int64_t time, Packets* out = nullptr) {
    FakeFrame frame(bytes, time);
    uint32_t length = uint32_t(bytes.size());
    buffer.Clear();
    const int32_t result = stream.EStoTS(&desc, &frame, frame.GetData(), &length);
    if (out != nullptr) *out = PacketsOf(buffer);
    uint8_t* data = nullptr;
    const int size = buffer.GetBytes(&data);
    checker.Feed(data, size_t(size));
    return result;
  }

  TSPacketBuffer buffer;
  VideoStream videoDesc;
  AudioStream audioDesc;
  palvex_test::TsChecker checker;
};

struct StuffingCase {
  uint32_t total;          // PES bytes: 19-byte header + payload
  size_t packets;
  int firstAfc;            // adaptation_field_control of the first packet
  int firstAfLength;       // -1 without adaptation field
  int lastAfLength;
};

TEST_F(PesToTsTest, StuffingForTotals181To185) {
  const StuffingCase cases[] = {
      {181, 1, 0x30, 2, 2},
      {182, 1, 0x30, 1, 1},
      {183, 1, 0x30, 0, 0},
      {184, 1, 0x10, -1, -1},
      {185, 2, 0x10, -1, 182},
  };
  for (const auto& c : cases) {
    AudioTSStream stream(0x0F, 0xC0, 0x101, false, &buffer, 188);
    const auto payload = Counting(c.total - 19);
    Packets packets;
    ASSERT_EQ(Send(stream, audioDesc, payload, 1000000, &packets), 0);
    ASSERT_EQ(packets.size(), c.packets) << c.total;
    const auto& first = packets.front();
    EXPECT_EQ(first[1], 0x41) << c.total;  // payload_unit_start_indicator, PID 0x101
    EXPECT_EQ(first[3] & 0xF0, c.firstAfc) << c.total;
    if (c.firstAfLength >= 0) {
      EXPECT_EQ(first[4], c.firstAfLength) << c.total;
    }
    const auto& last = packets.back();
    if (c.lastAfLength >= 0) {
      EXPECT_EQ(last[3] & 0x30, 0x30) << c.total;
      EXPECT_EQ(last[4], c.lastAfLength) << c.total;
      if (c.lastAfLength >= 1) {
        EXPECT_EQ(last[5], 0x00) << "flags byte, total " << c.total;
      }
      for (int i = 6; i < 5 + c.lastAfLength; ++i) ASSERT_EQ(last[size_t(i)], 0xFF) << c.total;
    }
    const auto pes = PesOf(packets);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].payload, payload) << c.total;
    EXPECT_EQ(pes[0].declaredLength, int(c.total) - 6) << c.total;
  }
}

TEST_F(PesToTsTest, PcrPacketWithTotal30And176AndAbove) {
  struct Case {
    uint32_t total;
    int afLength;
  } cases[] = {{30, 153}, {175, 8}, {176, 7}, {177, 7}, {400, 7}};
  for (const auto& c : cases) {
    VideoTSStream stream(0x02, 0xE0, 0x100, true, &buffer, 188);
    const auto payload = Counting(c.total - 19);
    Packets packets;
    ASSERT_EQ(Send(stream, videoDesc, payload, 1000000, &packets), 0);
    const auto& p = packets.front();
    EXPECT_EQ(p[1], 0x41);
    EXPECT_EQ(p[3], 0x30) << "adaptation field and payload, continuity_counter 0";
    EXPECT_EQ(p[4], c.afLength) << c.total;
    EXPECT_EQ(p[5], 0x10) << "PCR_flag";
    EXPECT_EQ(PcrBase(p), 90000 - 36000);
    EXPECT_EQ(p[10] & 0x7F, 0x7E) << "reserved bits, extension[8] 0";
    EXPECT_EQ(p[11], 0x00) << "extension[7:0]";
    for (int i = 12; i < 5 + c.afLength; ++i) ASSERT_EQ(p[size_t(i)], 0xFF) << c.total;
    EXPECT_EQ(p[size_t(5 + c.afLength)], 0x00) << "PES header right behind the stuffing";
    const auto pes = PesOf(packets);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].payload, payload);
  }
}

TEST_F(PesToTsTest, PcrDueAt3600TicksNot3599AndWhenTimeGoesBack) {
  VideoTSStream stream(0x02, 0xE0, 0x100, true, &buffer, 188);
  struct Step {
    int64_t time;  // microseconds
    bool pcr;
  } steps[] = {
      {1000000, true},    // first frame: T 90000
      {1039988, false},   // T 93599: 3599 ticks on
      {1040000, true},    // T 93600: 3600 ticks on
      {1060000, false},
      {1000000, true},    // back in time
      {1000011, false},   // same tick
  };
  const auto payload = Counting(50);
  for (const auto& s : steps) {
    Packets packets;
    ASSERT_EQ(Send(stream, videoDesc, payload, s.time, &packets), 0);
    const bool hasPcr = (packets[0][3] & 0x20) && packets[0][4] > 0 && (packets[0][5] & 0x10);
    EXPECT_EQ(hasPcr, s.pcr) << s.time;
    if (hasPcr) {
      EXPECT_EQ(PcrBase(packets[0]), s.time * 90 / 1000 - 36000) << s.time;
    }
  }
  EXPECT_EQ(stream.pcrCount(), 3);
  EXPECT_TRUE(checker.errors().empty());
}

TEST_F(PesToTsTest, FirstPcrAtTimeZeroIs2Pow33Minus36000) {
  AudioTSStream stream(0x0F, 0xC0, 0x101, true, &buffer, 188);
  Packets packets;
  ASSERT_EQ(Send(stream, audioDesc, Counting(100), 0, &packets), 0);
  EXPECT_EQ(PcrBase(packets[0]), k2e33 - 36000);
}

TEST_F(PesToTsTest, SetPcrStartsTheClockWithTheNextFrame) {
  AudioTSStream stream(0x0F, 0xC0, 0x101, false, &buffer, 188);
  Packets packets;
  ASSERT_EQ(Send(stream, audioDesc, Counting(100), 500000, &packets), 0);
  EXPECT_EQ(packets[0][3] & 0x20, 0x20) << "stuffing only";
  EXPECT_EQ(packets[0][5], 0x00);
  stream.SetPCR(true);
  ASSERT_EQ(Send(stream, audioDesc, Counting(100), 1000000, &packets), 0);
  EXPECT_EQ(packets[0][5], 0x10);
  EXPECT_EQ(PcrBase(packets[0]), 90000 - 36000);
}

TEST_F(PesToTsTest, EmptyFrameWritesNothingAndKeepsThePcrState) {
  VideoTSStream stream(0x1B, 0xE0, 0x100, true, &buffer, 188);
  Packets packets;
  EXPECT_EQ(Send(stream, videoDesc, {}, 1000000, &packets), 0);
  EXPECT_TRUE(packets.empty());
  EXPECT_EQ(stream.pcrCount(), 0);
}

// AC-3, E-AC-3 and the other private types, and LATM, travel in PES packets like other
// audio: PTS the frame time, DTS 40 ms before, a true PES_packet_length, and a PCR in the
// first packet when the stream carries the program's clock.
TEST_F(PesToTsTest, PrivateAudioAndLatmInPesPackets) {
  struct Case {
    uint8_t type;
    uint8_t streamId;
  } cases[] = {{0x80, 0xBD}, {0x81, 0xBD}, {0x87, 0xBD}, {0x11, 0xC3}};
  for (const auto& c : cases) {
    AudioTSStream stream(c.type, c.streamId, uint16_t(0x200 + c.type), true, &buffer, 188);
    const auto bytes = Counting(368);
    Packets packets;
    ASSERT_EQ(Send(stream, audioDesc, bytes, 1000000, &packets), 0);
    ASSERT_EQ(packets.size(), 3u) << int(c.type);
    EXPECT_EQ(packets[0][5] & 0x10, 0x10) << "PCR";
    const auto pes = PesOf(packets);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].streamId, c.streamId);
    EXPECT_EQ(pes[0].declaredLength, 368 + 13);
    EXPECT_EQ(pes[0].pts, 90000);
    EXPECT_EQ(pes[0].dts, 90000 - 3600);
    EXPECT_EQ(pes[0].payload, bytes) << int(c.type);
  }
  EXPECT_TRUE(checker.errors().empty());
}

// The ADTS header goes in front of the frame's bytes in the first packet, counted by
// PES_packet_length and the packets; the frame itself is only read.
TEST_F(PesToTsTest, AdtsHeaderInFrontOfTheFrameInItsFirstPacket) {
  const uint8_t header[7] = {0xFF, 0xF1, 0x50, 0x80, 0x03, 0x7F, 0xFC};
  for (size_t size : {size_t(1), size_t(150), size_t(157), size_t(158), size_t(1000)}) {
    AudioTSStream stream(0x0F, 0xC0, 0x101, false, &buffer, 188);
    const auto bytes = Counting(size);
    FakeFrame frame(bytes, 1000000, FakeFrame::Room::kExact);
    uint32_t length = uint32_t(size);
    buffer.Clear();
    ASSERT_EQ(stream.EStoTS(&audioDesc, &frame, frame.GetData(), &length, header), 0);
    EXPECT_EQ(length, 0u);
    const Packets packets = PacketsOf(buffer);
    EXPECT_EQ(packets.size(), (19 + 7 + size + 183) / 184) << size;
    const auto pes = PesOf(packets);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].declaredLength, int(size + 7 + 13)) << size;
    std::vector<uint8_t> expected(header, header + 7);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    EXPECT_EQ(pes[0].payload, expected) << size;
    EXPECT_EQ(frame.Bytes(), bytes);
    EXPECT_EQ(frame.setSizeCalls(), 0);
  }
}

// random_access_indicator on the first packet of a key picture: in the PCR's adaptation
// field, or in one of its own (length and flags) that leaves 182 bytes of payload.
TEST_F(PesToTsTest, RandomAccessIndicatorOnKeyPictures) {
  const auto idr = AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)});
  const auto pFrame = AnnexB({MakeSlice(1, 2, 2)});
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    bool pcr;
    uint8_t flags;  // adaptation field flags of the first packet
  } cases[] = {
      {"IDR with PCR", idr, true, 0x50},
      {"IDR without PCR", idr, false, 0x40},
      {"P picture with PCR", pFrame, true, 0x10},
  };
  uint16_t pid = 0x300;
  for (const auto& c : cases) {
    std::vector<uint8_t> frame = c.frame;
    frame.resize(frame.size() + 400, 0x40);
    VideoTSStream stream(0x1B, 0xE0, pid++, c.pcr, &buffer, 188);
    Packets packets;
    ASSERT_EQ(Send(stream, videoDesc, frame, 1000000, &packets), 0);
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0][3] & 0x20, 0x20) << c.name;
    EXPECT_EQ(packets[0][5], c.flags) << c.name;
    if (!c.pcr) {
      EXPECT_EQ(packets[0][4], 1) << c.name;
    }
    const auto pes = PesOf(packets);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].payload, frame) << c.name;
  }
  EXPECT_TRUE(checker.errors().empty());
}

// An H.264 frame whose header cannot be written leaves no packet, the continuity counter
// and the PCR state where they were, and still reports 0.
TEST_F(PesToTsTest, FailedH264HeaderLeavesNothingBehind) {
  VideoTSStream stream(0x1B, 0xE0, 0x100, true, &buffer, 188);
  Packets packets;
  ASSERT_EQ(Send(stream, videoDesc, AnnexB({MakeSps(66), MakePps(), MakeSlice(5, 3, 0)}), 0, &packets), 0);
  const uint8_t cc = stream.continuityCounter();
  const int64_t lastPcr = stream.lastPCRTime();
  const std::vector<std::vector<uint8_t>> bad = {
      {0x65, 0x88, 0x84, 0x21, 0x11, 0x22, 0x33},
      {0, 0, 0, 1},
      {0x00, 0x01, 0x65, 0x00, 0x01, 0x41},
  };
  int64_t time = 0;
  for (const auto& bytes : bad) {
    time += 40000;  // a PCR would be due at every one of these frames
    EXPECT_EQ(Send(stream, videoDesc, bytes, time, &packets), 0);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(stream.continuityCounter(), cc);
    EXPECT_EQ(stream.lastPCRTime(), lastPcr);
  }
  EXPECT_EQ(stream.frameDuration(), 40000) << "the refused frames count for the measurement";
  ASSERT_EQ(Send(stream, videoDesc, AnnexB({MakeSlice(1, 2, 2)}), 160000, &packets), 0);
  EXPECT_EQ(packets.front()[3] & 0x0F, cc);
  EXPECT_TRUE(checker.errors().empty());
}

TEST_F(PesToTsTest, FrameWithoutBytesIsRefused) {
  AudioTSStream stream(0x0F, 0xC0, 0x101, false, &buffer, 188);
  FakeFrame frame(Counting(10), 1000000);
  uint32_t length = 10;
  buffer.Clear();
  EXPECT_EQ(stream.EStoTS(&audioDesc, &frame, nullptr, &length), kFrameRefused);
  frame.SetNullData(true);
  AudioTSStream raw(0x11, 0xC0, 0x102, false, &buffer, 188);
  EXPECT_EQ(raw.EStoTS(&audioDesc, &frame, nullptr, &length), kFrameRefused);
  frame.SetNullData(false);
  frame.SetSize(-5);
  EXPECT_EQ(raw.EStoTS(&audioDesc, &frame, nullptr, &length), kFrameRefused);
  EXPECT_TRUE(PacketsOf(buffer).empty());
}

TEST_F(PesToTsTest, FullBufferPrintsNotBufferAndKeepsThePacketsWritten) {
  ASSERT_TRUE(buffer.Resize(4 * 188));  // three slots
  struct Case {
    uint8_t type;
    size_t size;
  } cases[] = {{0x0F, 1000}, {0x11, 1000}, {0x0F, 70000}};
  for (const auto& c : cases) {
    AudioTSStream stream(c.type, 0xC0, 0x101, false, &buffer, 188);
    const auto payload = Counting(c.size);
    FakeFrame frame(payload, 1000000);
    uint32_t length = uint32_t(payload.size());
    buffer.Clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(stream.EStoTS(&audioDesc, &frame, frame.GetData(), &length), kNoFreePacket);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "not buffer\n");
    const auto packets = PacketsOf(buffer);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(stream.continuityCounter(), 3);
    if (c.type == 0x0F) {
      EXPECT_EQ(length, payload.size() - (184 - 19) - 2 * 184) << "lowered by the bytes sent";
      EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 165, packets[0].begin() + 23));
    }
  }
  // No slot at all: nothing written, no H.264 state touched.
  ASSERT_TRUE(buffer.Resize(188));
  VideoTSStream video(0x1B, 0xE0, 0x100, true, &buffer, 188);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Send(video, videoDesc, AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)}), 0),
            kNoFreePacket);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "not buffer\n");
  EXPECT_EQ(video.profileIdc(), 0);
  EXPECT_EQ(video.durationFrames(), 0);
  EXPECT_EQ(video.pcrCount(), 1) << "the PCR decision stays";
}

TEST(TsStreamPsiTest, PmtEntryHasAnEmptyDescriptorLoop) {
  TSPacketBuffer buffer;
  VideoTSStream stream(0x1B, 0xE0, 0x1ABC, true, &buffer, 188);
  EXPECT_EQ(stream.WritePSI(nullptr), 5);
  uint8_t entry[6];
  std::memset(entry, 0xEE, sizeof entry);
  ASSERT_EQ(stream.WritePSI(entry), 5);
  const uint8_t expected[6] = {
      0x1B,        // stream_type
      0xFA, 0xBC,  // reserved '111', elementary_PID 0x1ABC
      0xF0, 0x00,  // reserved '1111', ES_info_length 0
      0xEE,        // untouched
  };
  EXPECT_EQ(0, std::memcmp(entry, expected, sizeof entry));
}

}  // namespace
}  // namespace palvex

namespace palvex {
namespace {

using palvex_test::AnnexB;
using palvex_test::FakeFrame;
using palvex_test::MakePps;
using palvex_test::MakeSlice;
using palvex_test::MakeSps;
using palvex_test::PacketsOf;

// A large H.264 frame is scanned block by block while it is copied; the same frame handed
// over as a separate copy is walked in one piece first. Start codes of both lengths stand
// at every offset around the block boundaries; both ways give the same packets and state.
TEST(PesToTsScanTest, BlockwiseScanMatchesOneWalk) {
  for (int shift = 0; shift < 200; ++shift) {
    std::vector<uint8_t> bytes = AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)});
    bytes.insert(bytes.end(), size_t(shift), 0x40);  // moves every later start code by one
    // Reference slices whose pic_order_cnt_lsb steps by 6 of 16: a slice missed by the
    // scan makes the next step 12, read as a wrap backwards, and the count comes out wrong.
    for (int unit = 1; unit <= 40; ++unit) {
      auto slice = AnnexB({MakeSlice(1, 2, uint32_t(unit * 6 % 16))}, unit % 3 == 0 ? 4 : 3);
      slice.insert(slice.end(), size_t(130 + unit * 7 % 23), 0x40);
      bytes.insert(bytes.end(), slice.begin(), slice.end());
    }

    VideoStream desc;
    TSPacketBuffer fusedBuffer;
    TSPacketBuffer plainBuffer;
    VideoTSStream fused(0x1B, 0xE0, 0x100, true, &fusedBuffer, 188);
    VideoTSStream plain(0x1B, 0xE0, 0x100, true, &plainBuffer, 188);
    const int64_t times[] = {0, 40000};
    for (int64_t t : times) {
      FakeFrame frame(bytes, t);
      const std::vector<uint8_t> copy(bytes);
      uint32_t a = uint32_t(bytes.size());
      uint32_t b = a;
      fusedBuffer.Clear();
      plainBuffer.Clear();
      ASSERT_EQ(fused.EStoTS(&desc, &frame, frame.GetData(), &a), 0);
      ASSERT_EQ(plain.EStoTS(&desc, &frame, copy.data(), &b), 0);
      EXPECT_EQ(PacketsOf(fusedBuffer), PacketsOf(plainBuffer)) << shift << " " << t;
    }
    EXPECT_EQ(fused.profileIdc(), 77);
    EXPECT_EQ(fused.pictureOrderCount(), 240) << shift;
    EXPECT_EQ(plain.pictureOrderCount(), 240) << shift;
  }
}

// The buffer runs out in the middle of an H.264 frame: the packets that fit are written,
// and the NAL walk still covers the whole frame, as with room for all of it.
TEST(PesToTsBufferTest, H264WalkCoversTheFrameWhenTheBufferRunsOut) {
  std::vector<uint8_t> bytes = AnnexB({MakeSps(77), MakePps(), MakeSlice(5, 3, 0)});
  bytes.insert(bytes.end(), 3000, 0x40);
  const auto second = AnnexB({MakeSlice(1, 2, 6)}, 3);
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.insert(bytes.end(), 500, 0x40);

  VideoStream desc;
  TSPacketBuffer small;
  ASSERT_TRUE(small.Resize(6 * 188));  // five slots
  TSPacketBuffer large;
  VideoTSStream cut(0x1B, 0xE0, 0x100, false, &small, 188);
  VideoTSStream whole(0x1B, 0xE0, 0x100, false, &large, 188);
  FakeFrame frame(bytes, 1000000);
  uint32_t a = uint32_t(bytes.size());
  uint32_t b = a;
  testing::internal::CaptureStdout();
  EXPECT_EQ(cut.EStoTS(&desc, &frame, frame.GetData(), &a), kNoFreePacket);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "not buffer\n");
  EXPECT_EQ(whole.EStoTS(&desc, &frame, frame.GetData(), &b), 0);
  EXPECT_EQ(PacketsOf(small).size(), 5u);
  // The first packet holds 163 bytes of the IDR frame beside the random access field.
  EXPECT_EQ(a, bytes.size() - 163 - 4 * 184);
  EXPECT_EQ(cut.continuityCounter(), 5);
  const auto cutPackets = PacketsOf(small);
  const auto wholePackets = PacketsOf(large);
  for (size_t i = 0; i < cutPackets.size(); ++i) EXPECT_EQ(cutPackets[i], wholePackets[i]) << i;
  EXPECT_EQ(cut.profileIdc(), whole.profileIdc());
  EXPECT_EQ(whole.pictureOrderCount(), 6) << "the last slice fed, beyond the packets that fit";
  EXPECT_EQ(cut.pictureOrderCount(), whole.pictureOrderCount());
  EXPECT_EQ(cut.durationFrames(), whole.durationFrames());
}

}  // namespace
}  // namespace palvex
