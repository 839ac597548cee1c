#include "codec/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/h264_bit_writer.h"

namespace palvex {
namespace {

using palvex_test::Escape;
using palvex_test::H264BitWriter;

// Junk bits in front of a code, so that it starts at the given bit alignment. The reader is
// handed the bits escaped as an encoder writes them (0x000003 would otherwise lose its 0x03).
H264BitWriter WithPrefix(int prefixBits) {
  H264BitWriter w;
  for (int i = 0; i < prefixBits; ++i) w.Bits(uint64_t(i % 3 == 0), 1);
  return w;
}

TEST(H264BitReaderTest, ShortCodesFromTheirBitStrings) {
  struct Case {
    uint32_t bits;
    int length;
    uint32_t ue;
    int32_t se;
  };
  const Case cases[] = {
      {0b1, 1, 0, 0},           {0b010, 3, 1, 1},          {0b011, 3, 2, -1},
      {0b00100, 5, 3, 2},       {0b00101, 5, 4, -2},       {0b00111, 5, 6, -3},
      {0b0001000, 7, 7, 4},     {0b000011111, 9, 30, -15}, {0b00000100000, 11, 31, 16},
  };
  for (const Case& c : cases) {
    H264BitWriter w;
    w.Bits(c.bits, c.length).Bits(0x5A, 8);
    const std::vector<uint8_t> bytes = Escape(w.Bytes());
    BitReader ue(bytes.data(), int32_t(bytes.size()));
    EXPECT_EQ(ue.ReadUe(), c.ue) << "code of " << c.length << " bits";
    EXPECT_EQ(ue.Position(), c.length);
    EXPECT_EQ(ue.ReadBits(8), 0x5A);
    BitReader se(bytes.data(), int32_t(bytes.size()));
    EXPECT_EQ(se.ReadSe(), c.se) << "code of " << c.length << " bits";
    EXPECT_EQ(se.Position(), c.length);
    EXPECT_FALSE(se.Failed());
  }
}

// Every code length from 1 to 63 bits (0 to 31 leading zeros, the largest codeNum 2^32 - 2
// among them), 25-bit codes included, as ue(v) and as se(v), at every bit alignment and at
// window offsets beyond the first bytes.
TEST(H264BitReaderTest, CodesAtEveryAlignment) {
  const uint64_t codeNums[] = {0,          1,          2,          3,          6,
                               7,          14,         15,         30,         31,
                               62,         254,        4094,       4095,       8190,
                               65534,      65535,      131070,     1u << 20,   (1u << 24) - 1,
                               1u << 31,   0xFFFFFFFEu};
  for (int prefix = 0; prefix < 40; ++prefix) {
    for (uint64_t codeNum : codeNums) {
      H264BitWriter w = WithPrefix(prefix);
      w.Ue(codeNum).Bits(0x6B, 7);
      const int codeBits = w.BitCount() - prefix - 7;
      const std::vector<uint8_t> bytes = Escape(w.Bytes());
      BitReader r(bytes.data(), int32_t(bytes.size()));
      r.SkipBits(prefix);
      EXPECT_EQ(r.ReadUe(), codeNum) << "prefix " << prefix;
      EXPECT_EQ(r.Position(), prefix + codeBits) << "codeNum " << codeNum << " prefix " << prefix;
      EXPECT_EQ(r.ReadBits(7), 0x6B) << "codeNum " << codeNum << " prefix " << prefix;
      EXPECT_FALSE(r.Failed());
      // The same code as se(v): odd codeNums positive, even ones negative.
      const int64_t value = codeNum % 2 == 1 ? int64_t((codeNum + 1) / 2) : -int64_t(codeNum / 2);
      BitReader se(bytes.data(), int32_t(bytes.size()));
      se.SkipBits(prefix);
      EXPECT_EQ(se.ReadSe(), value) << "codeNum " << codeNum << " prefix " << prefix;
      EXPECT_EQ(se.Position(), prefix + codeBits);
    }
  }
}

TEST(H264BitReaderTest, ReadBitsEveryWidthAndAlignment) {
  for (int prefix = 0; prefix < 16; ++prefix) {
    for (int width = 1; width <= 32; ++width) {  // 32: ReadBits32
      const uint64_t value = 0xDA3C96E1u & ((uint64_t{1} << width) - 1);
      H264BitWriter w = WithPrefix(prefix);
      w.Bits(value, width).Bits(1, 1);
      const std::vector<uint8_t> bytes = Escape(w.Bytes());
      BitReader r(bytes.data(), int32_t(bytes.size()));
      r.SkipBits(prefix);
      const uint32_t read = width == 32 ? r.ReadBits32() : uint32_t(r.ReadBits(width));
      EXPECT_EQ(read, uint32_t(value)) << "width " << width << " prefix " << prefix;
      EXPECT_EQ(r.ReadBits(1), 1);
    }
  }
}

TEST(H264BitReaderTest, ReadBitsOutsideOneTo31ReturnsMinusOneAndConsumesNothing) {
  const std::vector<uint8_t> bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (int32_t width : {0, -1, -32, 32, 33}) {
    BitReader r(bytes.data(), int32_t(bytes.size()));
    r.SkipBits(3);
    EXPECT_EQ(r.ReadBits(width), -1) << "width " << width;
    EXPECT_EQ(r.Position(), 3);
    EXPECT_FALSE(r.Failed());
  }
}

TEST(H264BitReaderTest, BitsPastTheEndReadAsZeroAndFail) {
  const std::vector<uint8_t> bytes{0xFF, 0xFF};
  BitReader r(bytes.data(), int32_t(bytes.size()));
  EXPECT_EQ(r.ReadBits(12), 0xFFF);
  EXPECT_FALSE(r.Failed());
  EXPECT_EQ(r.ReadBits(4), 0xF);
  EXPECT_FALSE(r.Failed()) << "the last bit of the NAL unit is still inside it";
  EXPECT_EQ(r.ReadBits(20), 0);
  EXPECT_TRUE(r.Failed());

  BitReader straddling(bytes.data(), int32_t(bytes.size()));
  straddling.SkipBits(10);
  EXPECT_EQ(straddling.ReadBits(10), 0b1111110000);
  EXPECT_TRUE(straddling.Failed());
}

TEST(H264BitReaderTest, EmptyInputReadsZeros) {
  const uint8_t byte = 0xFF;
  for (int32_t length : {0, -1, -1000}) {
    BitReader r(&byte, length);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.ReadBits(8), 0);
    EXPECT_TRUE(r.Failed());
  }
  BitReader none(nullptr, 16);
  EXPECT_EQ(none.ReadBits(8), 0);
  EXPECT_TRUE(none.Failed());
}

TEST(H264BitReaderTest, CodeOf32OrMoreLeadingZerosIsInvalid) {
  for (int zeros : {32, 33, 40}) {
    for (int prefix : {0, 3, 7}) {
      H264BitWriter w = WithPrefix(prefix);
      w.Bits(0, zeros).Bits(1, 1).Bits(0, 32).Bits(0xFFFF, 16);
      const std::vector<uint8_t> bytes = Escape(w.Bytes());
      BitReader ue(bytes.data(), int32_t(bytes.size()));
      ue.SkipBits(prefix);
      EXPECT_EQ(ue.ReadUe(), BitReader::kInvalidUe);
      EXPECT_TRUE(ue.Failed());
      BitReader se(bytes.data(), int32_t(bytes.size()));
      se.SkipBits(prefix);
      EXPECT_EQ(se.ReadSe(), BitReader::kInvalidSe);
      EXPECT_TRUE(se.Failed());
    }
  }
  // A run of zeros up to the end of the NAL unit.
  const std::vector<uint8_t> zeros(3, 0x00);
  BitReader r(zeros.data(), int32_t(zeros.size()));
  EXPECT_EQ(r.ReadUe(), BitReader::kInvalidUe);
  EXPECT_TRUE(r.Failed());
}

// emulation_prevention_three_byte, clause 7.3.1: raw NAL payload bytes and the RBSP they carry.
TEST(H264BitReaderTest, EmulationPreventionBytesAreSkipped) {
  struct Case {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> rbsp;
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
      {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x02}, {0x00, 0x00, 0x00, 0x00, 0x02}},
      {{0x00, 0x00, 0x03, 0x03}, {0x00, 0x00, 0x03}},              // the second 0x03 is data
      {{0x00, 0x03, 0x00, 0x03}, {0x00, 0x03, 0x00, 0x03}},        // one zero is not enough
      {{0x01, 0x00, 0x00, 0x03}, {0x01, 0x00, 0x00}},              // cabac_zero_word at the end
      {{0x00, 0x00, 0x00, 0x03, 0x07}, {0x00, 0x00, 0x00, 0x07}},  // three zeros, then 0x03
      {{0x00, 0x00, 0x04}, {0x00, 0x00, 0x04}},
      {{0x7F, 0x00, 0x00, 0x03, 0x80, 0x00, 0x00, 0x03}, {0x7F, 0x00, 0x00, 0x80, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    BitReader r(c.raw.data(), int32_t(c.raw.size()));
    std::vector<uint8_t> read;
    for (size_t i = 0; i < c.rbsp.size(); ++i) read.push_back(uint8_t(r.ReadBits(8)));
    EXPECT_EQ(read, c.rbsp);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.ReadBits(1), 0);
    EXPECT_TRUE(r.Failed()) << "the RBSP ends after " << c.rbsp.size() << " bytes";
  }
}

// Long RBSPs full of zero runs, escaped as an encoder does, read back in odd widths and
// Exp-Golomb codes (ue(v) and se(v) back to back) across many window slides.
TEST(H264BitReaderTest, EscapedRbspReadsBackAcrossTheWindow) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 50; ++round) {
    H264BitWriter w;
    std::vector<std::pair<int, int64_t>> fields;  // width (0: ue, -1: se) and value
    for (int i = 0; i < 300; ++i) {
      const int kind = int(random() % 5);
      if (kind == 0) {
        fields.emplace_back(0, int64_t(random() % 70000));
        w.Ue(uint64_t(fields.back().second));
      } else if (kind == 4) {
        fields.emplace_back(-1, int64_t(random() % 70000) - 35000);
        w.Se(fields.back().second);
      } else if (kind == 1) {
        fields.emplace_back(int(random() % 31) + 1, 0);  // zero runs make escapes
        w.Bits(0, fields.back().first);
      } else {
        const int width = int(random() % 31) + 1;
        fields.emplace_back(width, int64_t(random() & ((uint64_t{1} << width) - 1) & 0x3));
        w.Bits(uint64_t(fields.back().second), width);
      }
    }
    w.Trailing();
    const std::vector<uint8_t> raw = Escape(w.Bytes());
    ASSERT_GT(raw.size(), w.Bytes().size()) << "the round carries escapes";
    BitReader r(raw.data(), int32_t(raw.size()));
    for (const auto& [width, value] : fields) {
      if (width == 0) {
        ASSERT_EQ(r.ReadUe(), uint32_t(value)) << "round " << round;
      } else if (width < 0) {
        ASSERT_EQ(r.ReadSe(), int32_t(value)) << "round " << round;
      } else {
        ASSERT_EQ(r.ReadBits(width), int32_t(value)) << "round " << round;
      }
    }
    EXPECT_EQ(r.ReadBits(1), 1);  // rbsp_stop_one_bit
    EXPECT_FALSE(r.Failed());
  }
}

}  // namespace
}  // namespace palvex
