#include "stream/packet_copy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "palvex/media_stream.h"
#include "stream/ts_packet_buffer.h"
#include "stream/ts_stream.h"
#include "stream/ts_stream_test_util.h"
#include "support/fake_frame.h"

namespace {

using palvex::CopyFullPackets;
using palvex::CopyToStartCodeForm;

constexpr size_t kPackets = 6;
constexpr size_t kLead = 2;  // readable bytes in front of the payload

std::vector<CopyToStartCodeForm> Forms() {
  CopyToStartCodeForm forms[3];
  const int n = palvex::CopyToStartCodeForms(forms);
  return std::vector<CopyToStartCodeForm>(forms, forms + n);
}

// Slice-data-like bytes: no 0x00, and 0x01 only where a test puts it.
std::vector<uint8_t> Payload() {
  std::vector<uint8_t> bytes(kLead + kPackets * 184);
  uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 24 | 0x02);
  }
  return bytes;
}

std::vector<uint8_t> Expected(const std::vector<uint8_t>& bytes, size_t packets, unsigned cc) {
  std::vector<uint8_t> out(kPackets * 188, 0xEE);
  CopyFullPackets(out.data(), bytes.data() + kLead, packets, 0x01, 0x00, &cc);
  return out;
}

TEST(PacketCopyTest, HeaderWordIsTheHeaderBytes) {
  const uint32_t word = palvex::TSHeaderWord(0x1F, 0xFE, 0x10 | 0x0C);
  uint8_t bytes[4];
  std::memcpy(bytes, &word, 4);
  EXPECT_EQ(bytes[0], 0x47);  // sync_byte
  EXPECT_EQ(bytes[1], 0x1F);  // PID[12:8]
  EXPECT_EQ(bytes[2], 0xFE);  // PID[7:0]
  EXPECT_EQ(bytes[3], 0x1C);  // adaptation_field_control '01', continuity_counter 12
}

TEST(PacketCopyTest, WithoutStartCodeEveryPacketIsCopied) {
  const std::vector<uint8_t> bytes = Payload();
  for (CopyToStartCodeForm form : Forms()) {
    std::vector<uint8_t> out(kPackets * 188, 0xEE);
    unsigned cc = 14;
    bool found = true;
    EXPECT_EQ(form(out.data(), bytes.data() + kLead, kPackets, 0x01, 0x00, &cc, &found), kPackets);
    EXPECT_FALSE(found);
    EXPECT_EQ(cc, (14 + kPackets) % 16);
    EXPECT_EQ(out, Expected(bytes, kPackets, 14));
  }
}

// 00 00 01 ending at every position of the payload, the two zeros in front reaching back
// into the packet before and into the bytes in front of the payload: the copy stops after
// the packet that holds the 0x01, and what it wrote is what the plain copy writes.
TEST(PacketCopyTest, StopsAfterThePacketWhereAStartCodeEnds) {
  for (CopyToStartCodeForm form : Forms()) {
    for (size_t one = 0; one < kPackets * 184; ++one) {
      std::vector<uint8_t> bytes = Payload();
      bytes[kLead + one] = 0x01;
      bytes[kLead + one - 1] = 0x00;
      bytes[kLead + one - 2] = 0x00;
      std::vector<uint8_t> out(kPackets * 188, 0xEE);
      unsigned cc = 3;
      bool found = false;
      const size_t written = form(out.data(), bytes.data() + kLead, kPackets, 0x01, 0x00, &cc, &found);
      ASSERT_EQ(written, one / 184 + 1) << one;
      ASSERT_TRUE(found) << one;
      ASSERT_EQ(cc, (3 + written) % 16);
      ASSERT_EQ(out, Expected(bytes, written, 3)) << one;
    }
  }
}

// Near misses: 0x01 behind one zero, behind 00 03, and zeros without 0x01 are no start code.
TEST(PacketCopyTest, NearMissesAreNotReported) {
  const std::vector<std::vector<uint8_t>> patterns = {
      {0x02, 0x00, 0x01}, {0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x00, 0x02}, {0x00, 0x00}};
  for (CopyToStartCodeForm form : Forms()) {
    for (const auto& pattern : patterns) {
      for (size_t at = 0; at + pattern.size() <= kPackets * 184; at += 7) {
        std::vector<uint8_t> bytes = Payload();
        for (size_t i = 0; i < pattern.size(); ++i) bytes[kLead + at + i] = pattern[i];
        std::vector<uint8_t> out(kPackets * 188, 0xEE);
        unsigned cc = 0;
        bool found = true;
        ASSERT_EQ(form(out.data(), bytes.data() + kLead, kPackets, 0x01, 0x00, &cc, &found), kPackets);
        ASSERT_FALSE(found) << at;
        ASSERT_EQ(out, Expected(bytes, kPackets, 0));
      }
    }
  }
}

TEST(PacketCopyTest, ZeroPacketsWriteNothing) {
  const std::vector<uint8_t> bytes = Payload();
  for (CopyToStartCodeForm form : Forms()) {
    unsigned cc = 5;
    bool found = true;
    EXPECT_EQ(form(nullptr, bytes.data() + kLead, 0, 0x01, 0x00, &cc, &found), 0u);
    EXPECT_FALSE(found);
    EXPECT_EQ(cc, 5u);
  }
}

// The buffer runs out in the middle of an H.264 frame: the packets that fit are written,
// and the NAL walk still covers the whole frame, as with room for all of it.
TEST(PacketCopyTest, H264WalkCoversTheFrameWhenTheBufferRunsOut) {
  using palvex_test::AnnexB;
  std::vector<uint8_t> bytes = AnnexB({palvex_test::MakeSps(77), palvex_test::MakePps(),
                                       palvex_test::MakeSlice(5, 3, 0)});
  bytes.insert(bytes.end(), 3000, 0x40);
  const auto second = AnnexB({palvex_test::MakeSlice(1, 2, 6)}, 3);
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.insert(bytes.end(), 500, 0x40);

  VideoStream desc;
  palvex::TSPacketBuffer small;
  ASSERT_TRUE(small.Resize(6 * 188));  // five slots
  palvex::TSPacketBuffer large;
  palvex::VideoTSStream cut(0x1B, 0xE0, 0x100, false, &small, 188);
  palvex::VideoTSStream whole(0x1B, 0xE0, 0x100, false, &large, 188);
  palvex_test::FakeFrame frame(bytes, 1000000);
  uint32_t a = uint32_t(bytes.size());
  uint32_t b = a;
  testing::internal::CaptureStdout();
  EXPECT_EQ(cut.EStoTS(&desc, &frame, frame.GetData(), &a), palvex::kNoFreePacket);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "not buffer\n");
  EXPECT_EQ(whole.EStoTS(&desc, &frame, frame.GetData(), &b), 0);
  EXPECT_EQ(palvex_test::PacketsOf(small).size(), 5u);
  // The first packet holds 163 bytes of the IDR frame beside the random access field.
  EXPECT_EQ(a, bytes.size() - 163 - 4 * 184);
  EXPECT_EQ(cut.continuityCounter(), 5);
  const auto cutPackets = palvex_test::PacketsOf(small);
  const auto wholePackets = palvex_test::PacketsOf(large);
  for (size_t i = 0; i < cutPackets.size(); ++i) EXPECT_EQ(cutPackets[i], wholePackets[i]) << i;
  EXPECT_EQ(cut.profileIdc(), whole.profileIdc());
  EXPECT_EQ(whole.pictureOrderCount(), 6) << "the last slice fed, beyond the packets that fit";
  EXPECT_EQ(cut.pictureOrderCount(), whole.pictureOrderCount());
  EXPECT_EQ(cut.durationFrames(), whole.durationFrames());
}

}  // namespace
