#include "codec/start_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace palvex {
namespace {

struct StartCodeCase {
  const char* name;
  std::vector<uint8_t> bytes;
  long expected;  // offset of the start code's first zero, -1 for none
  int length;     // 3 or 4
};

TEST(StartCodeTest, FindsThreeAndFourByteCodesAtTheirFirstZero) {
  const StartCodeCase cases[] = {
      {"four-byte at 0", {0, 0, 0, 1, 0x65}, 0, 4},
      {"three-byte at 0", {0, 0, 1, 0x65}, 0, 3},
      {"three-byte after data", {0x65, 0x88, 0, 0, 1, 0x41}, 2, 3},
      {"four-byte after data", {0x65, 0x88, 0, 0, 0, 1, 0x41}, 2, 4},
      {"extra leading zero stays in front", {0, 0, 0, 0, 1}, 1, 4},
      {"code in the last three bytes", {0x11, 0x22, 0, 0, 1}, 2, 3},
      {"code in the last four bytes", {0x11, 0, 0, 0, 1}, 1, 4},
      {"0x01 behind one zero only", {0x11, 0, 1, 0x22, 0x33}, -1, 0},
      {"0x01 at the very start", {1, 0, 0}, -1, 0},
      {"zeros without 0x01", {0, 0, 0, 0, 0, 0}, -1, 0},
      {"emulation prevention 00 00 03", {0, 0, 3, 1, 0, 0, 3, 0}, -1, 0},
      {"first of two codes", {0x09, 0, 0, 1, 0x67, 0, 0, 0, 1}, 1, 3},
      {"0x01 right after a 0x01 pair", {0, 1, 0, 0, 1}, 2, 3},
  };
  for (const auto& c : cases) {
    // An exact-size copy, so that a sanitizer sees any read outside the range.
    std::vector<uint8_t> exact(c.bytes);
    const uint8_t* found = FindStartCode(exact.data(), exact.size());
    if (c.expected < 0) {
      EXPECT_EQ(found, nullptr) << c.name;
    } else {
      ASSERT_NE(found, nullptr) << c.name;
      EXPECT_EQ(found - exact.data(), c.expected) << c.name;
      EXPECT_EQ(StartCodeLength(found), c.length) << c.name;
    }
  }
}

TEST(StartCodeTest, ShortOrNullRangesHaveNone) {
  const uint8_t code[] = {0, 0, 1};
  EXPECT_EQ(FindStartCode(nullptr, 16), nullptr);
  EXPECT_EQ(FindStartCode(code, 0), nullptr);
  EXPECT_EQ(FindStartCode(code, 2), nullptr);
  EXPECT_EQ(FindStartCode(code, 3), code);
}

// The zero_byte of a four-byte code is looked for inside the range only: searching from
// the middle of 00 00 00 01 finds the three-byte code there.
TEST(StartCodeTest, ZeroByteOutsideTheRangeIsNotTaken) {
  const uint8_t bytes[] = {0, 0, 0, 1, 0x65};
  const uint8_t* found = FindStartCode(bytes + 1, 4);
  ASSERT_EQ(found, bytes + 1);
  EXPECT_EQ(StartCodeLength(found), 3);
}

// A long run where the candidate 0x01 bytes stand at every alignment and distance.
TEST(StartCodeTest, LongBufferWithDecoysFindsTheRealCode) {
  std::vector<uint8_t> bytes(100000, 0x5A);
  for (size_t i = 7; i < bytes.size(); i += 97) bytes[i] = 0x01;
  for (size_t i = 300; i < bytes.size(); i += 1001) {
    bytes[i] = 0x00;
    bytes[i + 1] = 0x01;
  }
  EXPECT_EQ(FindStartCode(bytes.data(), bytes.size()), nullptr);
  bytes[77777] = 0;
  bytes[77778] = 0;
  bytes[77779] = 1;
  const uint8_t* found = FindStartCode(bytes.data(), bytes.size());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found - bytes.data(), 77777);
}

}  // namespace
}  // namespace palvex

namespace palvex {
namespace {

// Searching piece by piece (as a frame is scanned block after block while it is copied)
// finds the same first start code as one search over the whole range, for codes across
// every piece boundary.
TEST(StartCodeTest, PiecewiseSearchMatchesWholeSearch) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes(40 + next() % 60);
    for (auto& b : bytes) {
      const uint32_t r = next() % 8;
      b = r < 4 ? 0x00 : r == 4 ? 0x01 : uint8_t(next());
    }
    const uint8_t* origin = bytes.data();
    const uint8_t* end = origin + bytes.size();
    const uint8_t* whole = FindStartCode(origin, bytes.size());
    const uint8_t* from = origin + 2;
    const uint8_t* piecewise = nullptr;
    while (from < end && piecewise == nullptr) {
      const uint8_t* limit = std::min(end, from + 1 + next() % 7);
      piecewise = FindStartCodeFrom(origin, from, limit);
      from = limit;
    }
    ASSERT_EQ(piecewise, whole) << "round " << round;
  }
}

}  // namespace
}  // namespace palvex
