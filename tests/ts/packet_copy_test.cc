#include "ts/packet_copy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ts/ts_packet_writer.h"

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

// 00 00 01 ending at every position of the payload from its second byte on, the two zeros
// in front reaching back into the packet before and into the bytes in front of the
// payload: the copy stops after the packet that holds the 0x01, or after the one before
// when the 0x01 is the first byte of the next, and what it wrote is what the plain copy
// writes.
TEST(PacketCopyTest, StopsWhereAStartCodeEnds) {
  for (CopyToStartCodeForm form : Forms()) {
    for (size_t one = 1; one < kPackets * 184; ++one) {
      std::vector<uint8_t> bytes = Payload();
      bytes[kLead + one] = 0x01;
      bytes[kLead + one - 1] = 0x00;
      bytes[kLead + one - 2] = 0x00;
      std::vector<uint8_t> out(kPackets * 188, 0xEE);
      unsigned cc = 3;
      bool found = false;
      const size_t written = form(out.data(), bytes.data() + kLead, kPackets, 0x01, 0x00, &cc, &found);
      ASSERT_TRUE(found) << one;
      ASSERT_LE(one, written * 184) << one;
      ASSERT_GE(one, (written - 1) * 184) << one;
      ASSERT_EQ(cc, (3 + written) % 16);
      ASSERT_EQ(out, Expected(bytes, written, 3)) << one;
    }
  }
}

// Near misses (0x01 behind one zero, behind 00 03, zeros without 0x01) may stop the copy
// early: what was written is still the plain copy, counter included.
TEST(PacketCopyTest, NearMissesCopyTheSame) {
  const std::vector<std::vector<uint8_t>> patterns = {
      {0x02, 0x00, 0x01}, {0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x00, 0x02}, {0x00, 0x00}};
  for (CopyToStartCodeForm form : Forms()) {
    for (const auto& pattern : patterns) {
      for (size_t at = 0; at + pattern.size() <= kPackets * 184; at += 7) {
        std::vector<uint8_t> bytes = Payload();
        for (size_t i = 0; i < pattern.size(); ++i) bytes[kLead + at + i] = pattern[i];
        std::vector<uint8_t> out(kPackets * 188, 0xEE);
        unsigned cc = 0;
        bool found = false;
        const size_t written = form(out.data(), bytes.data() + kLead, kPackets, 0x01, 0x00, &cc, &found);
        ASSERT_TRUE(found || written == kPackets) << at;
        ASSERT_EQ(cc, written % 16);
        ASSERT_EQ(out, Expected(bytes, written, 0)) << at;
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

}  // namespace
