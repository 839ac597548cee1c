// The access unit delimiter put first in H.264 and HEVC access units, byte for byte:
// primary_pic_type from the slice types (read behind an emulation prevention byte), 7
// where a slice header cannot be read, HEVC pic_type by IRAP with the access unit's
// TemporalId, a delimiter already first kept, one behind parameter sets moved to the front.
#include "access_unit_delimiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace palvex_host {
namespace {

using Bytes = std::vector<uint8_t>;

// NAL units behind four-byte start codes (threeByte: three-byte ones).
Bytes Au(const std::vector<Bytes>& nals, bool threeByte = false) {
  Bytes au;
  for (const Bytes& nal : nals) {
    au.insert(au.end(), {0, 0, 1});
    if (!threeByte) au.insert(au.end() - 3, 0);
    au.insert(au.end(), nal.begin(), nal.end());
  }
  return au;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kSps = {0x67, 0x64, 0x00, 0x1E, 0xAC}, kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84};  // first_mb_in_slice 0, slice_type 7 (I)
const Bytes kP = {0x41, 0x9A, 0x02};    // slice_type 5 (P)
const Bytes kB = {0x01, 0x9E, 0x04};    // slice_type 6 (B)
const Bytes kSI = {0x01, 0x8A, 0x04};   // slice_type 9 (SI)
// first_mb_in_slice 2^23 - 1 behind an emulation prevention byte, then slice_type 2 (I).
const Bytes kFarI = {0x65, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0xC0};

struct DelimiterCase {
  const char* name;
  bool hevc;
  Bytes in, out;
};

const DelimiterCase kCases[] = {
    {"IdrBehindParameterSets", false, Au({kSps, kPps, kIdr}), Au({{0x09, 0x10}, kSps, kPps, kIdr})},
    {"IAndPSlices", false, Au({kIdr, kP}), Au({{0x09, 0x30}, kIdr, kP})},
    {"PAndBSlices", false, Au({kP, kB}, true), Cat(Au({{0x09, 0x50}}), Au({kP, kB}, true))},
    {"SISlice", false, Au({kSI}), Au({{0x09, 0x70}, kSI})},
    {"BehindAnEmulationPreventionByte", false, Au({kFarI}), Au({{0x09, 0x10}, kFarI})},
    {"SliceHeaderCut", false, Au({{0x41}}), Au({{0x09, 0xF0}, {0x41}})},
    {"DelimiterFirstKept", false, Au({{0x09, 0xF0}, kIdr}), Au({{0x09, 0xF0}, kIdr})},
    {"DelimiterMovedToTheFront", false, Au({kSps, kPps, {0x09, 0x30}, kIdr}),
     Au({{0x09, 0x30}, kSps, kPps, kIdr})},
    {"HevcIrap", true, Au({{0x40, 0x01, 0x0C}, {0x26, 0x01, 0xAF}}),
     Au({{0x46, 0x01, 0x10}, {0x40, 0x01, 0x0C}, {0x26, 0x01, 0xAF}})},
    {"HevcTrailingPictureWithTemporalId", true, Au({{0x02, 0x03, 0xD0}}), Au({{0x46, 0x03, 0x50}, {0x02, 0x03, 0xD0}})},
    {"HevcDelimiterFirstKept", true, Au({{0x46, 0x01, 0x50}, {0x02, 0x01, 0xD0}}),
     Au({{0x46, 0x01, 0x50}, {0x02, 0x01, 0xD0}})},
    {"NoNalUnit", false, {0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
};

class AccessUnitDelimiterTest : public testing::TestWithParam<DelimiterCase> {};

TEST_P(AccessUnitDelimiterTest, FirstInTheAccessUnit) {
  Bytes au = GetParam().in;
  const bool changed = PutAccessUnitDelimiter(GetParam().hevc, &au);
  EXPECT_EQ(au, GetParam().out);
  EXPECT_EQ(changed, GetParam().in != GetParam().out);
}

void PrintTo(const DelimiterCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Cases, AccessUnitDelimiterTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DelimiterCase>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex_host
