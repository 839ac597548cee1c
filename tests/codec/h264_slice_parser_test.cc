#include "codec/h264_slice_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/h264_bit_writer.h"

namespace palvex {
namespace {

using palvex_test::MakeNal;
using palvex_test::MakeSlice;
using palvex_test::MakeSps;
using palvex_test::SliceFields;
using palvex_test::SpsFields;

void Feed(H264SliceParser& parser, const std::vector<uint8_t>& nal) {
  // An exact-size copy, so that a sanitizer sees any read past the NAL unit.
  const std::vector<uint8_t> exact(nal);
  parser.FeedNal(exact.data(), int32_t(exact.size()));
}

struct Picture {
  int nalRefIdc;
  bool idr;
  int pocLsb;
  int32_t expected;
};

// Type-0 SPS with MaxPicOrderCntLsb 16.
SpsFields Lsb16() {
  SpsFields sps;
  sps.log2MaxPocLsbMinus4 = 0;
  return sps;
}

void ExpectType0Counts(const SpsFields& sps, const std::vector<Picture>& pictures, const std::string& what) {
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  int frameNum = 0;
  for (size_t i = 0; i < pictures.size(); ++i) {
    SliceFields slice;
    slice.nalRefIdc = pictures[i].nalRefIdc;
    slice.idr = pictures[i].idr;
    slice.pocLsb = pictures[i].pocLsb;
    slice.frameNum = pictures[i].idr ? 0 : frameNum % 16;
    if (pictures[i].nalRefIdc != 0) frameNum = slice.frameNum + 1;
    Feed(parser, MakeSlice(sps, slice));
    EXPECT_EQ(parser.GetPictureOrderCount(), pictures[i].expected) << what << ", picture " << i;
  }
}

TEST(H264SliceParserTest, Type0Sequences) {
  struct Case {
    std::string what;
    std::vector<Picture> pictures;
  };
  const Case cases[] = {
      {"lsb 0, 4, 8, 12, 0, 4 count on past the wrap",
       {{3, true, 0, 0}, {2, false, 4, 4}, {2, false, 8, 8}, {2, false, 12, 12}, {2, false, 0, 16}, {2, false, 4, 20}}},
      {"the same without an IDR",
       {{2, false, 0, 0}, {2, false, 4, 4}, {2, false, 8, 8}, {2, false, 12, 12}, {2, false, 0, 16}, {2, false, 4, 20}}},
      {"wrap backwards from (2, 16) to lsb 14",
       {{3, true, 0, 0}, {2, false, 4, 4}, {2, false, 8, 8}, {2, false, 12, 12}, {2, false, 0, 16}, {2, false, 2, 18},
        {2, false, 14, 14}}},
      {"a step of exactly half forwards does not wrap", {{3, true, 0, 0}, {2, false, 8, 8}}},
      {"a step of exactly half backwards wraps forward", {{3, true, 0, 0}, {2, false, 8, 8}, {2, false, 0, 16}}},
      {"non-reference slices do not move the previous values",
       {{3, true, 0, 0}, {2, false, 4, 4}, {0, false, 2, 2}, {0, false, 6, 6}, {2, false, 8, 8}}},
      {"a non-reference slice across the wrap",
       {{3, true, 0, 0}, {2, false, 8, 8}, {2, false, 14, 14}, {0, false, 2, 18}, {0, false, 12, 12}, {2, false, 4, 20}}},
      {"IDR with lsb 0", {{3, true, 0, 0}, {2, false, 2, 2}}},
      {"IDR with lsb 6 counts 6, and the next picture counts on from it",
       {{3, true, 6, 6}, {2, false, 2, 2}, {2, false, 10, 10}}},
      {"IDR with lsb 1, as interlaced encoders write it",
       {{3, true, 1, 1}, {2, false, 9, 9}, {0, false, 3, 3}, {0, false, 5, 5}, {2, false, 1, 17}}},
      {"IDR with lsb above half keeps PicOrderCntMsb 0",
       {{3, true, 10, 10}, {2, false, 14, 14}, {2, false, 2, 18}}},
      {"a second IDR starts over",
       {{3, true, 0, 0}, {2, false, 4, 4}, {2, false, 8, 8}, {2, false, 12, 12}, {2, false, 0, 16}, {3, true, 0, 0},
        {2, false, 4, 4}}},
      {"a second IDR after a wrap, with its own lsb",
       {{3, true, 0, 0}, {2, false, 8, 8}, {2, false, 0, 16}, {3, true, 2, 2}, {0, false, 0, 0}, {2, false, 6, 6}}},
  };
  for (const Case& c : cases) ExpectType0Counts(Lsb16(), c.pictures, c.what);
}

TEST(H264SliceParserTest, LongRunWithoutIdrKeepsCounting) {
  SpsFields sps = Lsb16();
  std::vector<Picture> pictures{{3, true, 0, 0}};
  for (int i = 1; i < 200; ++i) pictures.push_back({2, false, (i * 6) % 16, i * 6});
  ExpectType0Counts(sps, pictures, "steps of 6 over many wraps");
}

TEST(H264SliceParserTest, OtherNalUnitsChangeNothing) {
  const SpsFields sps = Lsb16();
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  SliceFields slice;
  slice.idr = true;
  slice.nalRefIdc = 3;
  slice.pocLsb = 4;
  Feed(parser, MakeSlice(sps, slice));
  ASSERT_EQ(parser.GetPictureOrderCount(), 4);
  const std::vector<std::vector<uint8_t>> others{
      {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0},  // PPS
      {0x06, 0x05, 0x01, 0xFF, 0x80},        // SEI
      {0x09, 0xF0},                          // access unit delimiter
      {0x0C, 0xFF, 0xFF, 0x80},              // filler data
      {0x08},                                // PPS with nothing in it
      {0x6E, 0x00, 0x00, 0x00},              // nal_unit_type 14 (prefix NAL unit)
      {0x74, 0x80, 0x80, 0x80},              // nal_unit_type 20 (coded slice extension)
  };
  for (const auto& nal : others) {
    Feed(parser, nal);
    EXPECT_EQ(parser.GetPictureOrderCount(), 4) << "nal_unit_type " << (nal[0] & 0x1F);
  }
  // The previous values are still those of the IDR: lsb 2 is 2, not 18 or -14.
  slice.idr = false;
  slice.pocLsb = 2;
  slice.frameNum = 1;
  Feed(parser, MakeSlice(sps, slice));
  EXPECT_EQ(parser.GetPictureOrderCount(), 2);
}

// Decode order of an IBBP group with MaxPicOrderCntLsb 128 and 6-bit frame_num; counts chosen
// so that a field read one bit off gives another result.
const std::vector<Picture> kIbbp128{{3, true, 0, 0},   {2, false, 6, 6},   {0, false, 2, 2},
                                    {0, false, 4, 4},  {2, false, 70, 70}, {0, false, 66, 66},
                                    {2, false, 2, 130}, {0, false, 126, 126}};

TEST(H264SliceParserTest, SpsVariants) {
  struct Case {
    std::string what;
    int profileIdc;
    int chromaFormatIdc;
  };
  const Case cases[] = {
      {"Baseline, no chroma_format_idc", 66, 1},
      {"Main", 77, 1},
      {"profile_idc 99 takes the short path", 99, 1},
      {"High", 100, 1},
      {"High 4:2:2", 122, 2},
      {"High 4:4:4 with separate_colour_plane_flag 0", 244, 3},
      {"profile_idc 100 with chroma_format_idc 3", 100, 3},
      {"monochrome", 100, 0},
      {"CAVLC 4:4:4 Intra carries chroma_format_idc", 44, 3},
      {"an unknown profile from 100 on takes the long path", 200, 1},
  };
  for (const Case& c : cases) {
    SpsFields sps;
    sps.profileIdc = c.profileIdc;
    sps.chromaFormatIdc = c.chromaFormatIdc;
    sps.log2MaxFrameNumMinus4 = 2;
    sps.log2MaxPocLsbMinus4 = 3;
    sps.spsId = 3;
    ExpectType0Counts(sps, kIbbp128, c.what);
  }
}

TEST(H264SliceParserTest, SeparateColourPlanesCarryColourPlaneId) {
  SpsFields sps;
  sps.profileIdc = 244;
  sps.chromaFormatIdc = 3;
  sps.separateColourPlane = true;
  sps.log2MaxPocLsbMinus4 = 3;
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  int frameNum = 0;
  for (const Picture& picture : kIbbp128) {
    for (int plane = 0; plane < 3; ++plane) {
      SliceFields slice;
      slice.nalRefIdc = picture.nalRefIdc;
      slice.idr = picture.idr;
      slice.pocLsb = picture.pocLsb;
      slice.frameNum = frameNum;
      slice.colourPlaneId = plane;
      Feed(parser, MakeSlice(sps, slice));
      EXPECT_EQ(parser.GetPictureOrderCount(), picture.expected) << "colour_plane_id " << plane;
    }
    if (picture.nalRefIdc != 0) ++frameNum;
  }
}

TEST(H264SliceParserTest, ScalingMatricesAreSkipped) {
  struct Case {
    std::string what;
    int chromaFormatIdc;
    std::vector<std::vector<int>> lists;
  };
  const std::vector<int> flat16(16, 0);
  const std::vector<int> full64 = [] {
    std::vector<int> deltas;
    for (int j = 0; j < 64; ++j) deltas.push_back(j % 2 == 0 ? 120 : -119);  // wraps modulo 256
    return deltas;
  }();
  const std::vector<int> useDefault{-8};           // nextScale 0 at once: the default list
  const std::vector<int> endsEarly{4, -3, 7, -16};  // 8, 12, 9, 16, 0: ends after 4 codes
  const Case cases[] = {
      {"no list present", 1, {}},
      {"all 8 lists", 1, {flat16, endsEarly, flat16, useDefault, flat16, flat16, full64, full64}},
      {"some lists", 1, {{}, flat16, {}, {}, endsEarly, {}, {}, full64}},
      {"extreme deltas", 1, {{-128, 127, -128, 127, -6}, {}, {}, {}, {}, {}, {127, 127, -6}}},
      {"12 lists for chroma_format_idc 3", 3,
       {flat16, flat16, flat16, flat16, flat16, flat16, full64, full64, full64, full64, full64, full64}},
      {"the last of 12 lists", 3, {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, endsEarly}},
  };
  for (const Case& c : cases) {
    SpsFields sps;
    sps.profileIdc = 100;
    sps.chromaFormatIdc = c.chromaFormatIdc;
    sps.scalingMatrix = true;
    sps.scalingLists = c.lists;
    sps.log2MaxFrameNumMinus4 = 2;
    sps.log2MaxPocLsbMinus4 = 3;
    ExpectType0Counts(sps, kIbbp128, c.what);
  }
}

TEST(H264SliceParserTest, FieldPictures) {
  SpsFields sps = Lsb16();
  sps.frameMbsOnly = false;
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  struct Slice {
    bool idr;
    int nalRefIdc;
    int frameNum;
    bool fieldPic;
    bool bottomField;
    int pocLsb;
    int32_t expected;
  };
  const Slice slices[] = {
      {true, 3, 0, true, false, 0, 0},     // top field of the IDR
      {false, 3, 0, true, true, 1, 1},     // its bottom field (same frame_num, not an IDR)
      {false, 2, 1, true, false, 8, 8},    // P field pair
      {false, 2, 1, true, true, 9, 9},
      {false, 0, 2, true, false, 4, 4},    // B field pair
      {false, 0, 2, true, true, 5, 5},
      {false, 2, 2, false, false, 12, 12}, // a frame between fields (field_pic_flag 0)
      {false, 2, 3, true, true, 1, 17},    // a bottom field first, across the wrap
      {false, 2, 3, true, false, 0, 16},
  };
  for (const Slice& s : slices) {
    SliceFields slice;
    slice.idr = s.idr;
    slice.nalRefIdc = s.nalRefIdc;
    slice.frameNum = s.frameNum;
    slice.fieldPic = s.fieldPic;
    slice.bottomField = s.bottomField;
    slice.pocLsb = s.pocLsb;
    slice.idrPicId = 5;
    Feed(parser, MakeSlice(sps, slice));
    EXPECT_EQ(parser.GetPictureOrderCount(), s.expected) << "pic_order_cnt_lsb " << s.pocLsb;
  }
}

// Type 0 on frames reads pic_order_cnt_lsb and stops there: delta_pic_order_cnt_bottom after it
// does not change the count of the frame.
TEST(H264SliceParserTest, Type0FramesCountTheTopField) {
  SpsFields sps = Lsb16();
  sps.frameMbsOnly = false;
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  SliceFields slice;
  slice.idr = true;
  slice.nalRefIdc = 3;
  slice.pocLsb = 1;
  slice.bottomFieldPicOrderInFramePresent = true;
  slice.deltaPicOrderCntBottom = -1;
  Feed(parser, MakeSlice(sps, slice));
  EXPECT_EQ(parser.GetPictureOrderCount(), 1);
}

struct FrameNumPicture {
  int nalRefIdc;
  bool idr;
  int frameNum;
  int32_t expected;
  int deltaPicOrderCnt0 = 0;
  bool fieldPic = false;
  bool bottomField = false;
};

void ExpectFrameNumCounts(const SpsFields& sps, const std::vector<FrameNumPicture>& pictures,
                          const std::string& what) {
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  for (size_t i = 0; i < pictures.size(); ++i) {
    const FrameNumPicture& p = pictures[i];
    SliceFields slice;
    slice.nalRefIdc = p.nalRefIdc;
    slice.idr = p.idr;
    slice.frameNum = p.frameNum;
    slice.deltaPicOrderCnt0 = p.deltaPicOrderCnt0;
    slice.fieldPic = p.fieldPic;
    slice.bottomField = p.bottomField;
    Feed(parser, MakeSlice(sps, slice));
    EXPECT_EQ(parser.GetPictureOrderCount(), p.expected) << what << ", picture " << i;
  }
}

// 8.2.1.3: tempPicOrderCnt = 2 * (FrameNumOffset + frame_num), one less on non-reference
// pictures; FrameNumOffset grows by MaxFrameNum (16 here) when frame_num wraps.
TEST(H264SliceParserTest, PicOrderCntType2) {
  SpsFields sps;
  sps.profileIdc = 77;
  sps.pocType = 2;
  sps.log2MaxFrameNumMinus4 = 0;
  std::vector<FrameNumPicture> pictures{{3, true, 0, 0}};
  for (int n = 1; n < 40; ++n) pictures.push_back({2, false, n % 16, 2 * n});
  pictures.push_back({0, false, 40 % 16, 79});   // a non-reference frame after the last reference
  pictures.push_back({2, false, 40 % 16, 80});   // the next reference frame takes the same frame_num
  pictures.push_back({3, true, 0, 0});            // IDR: FrameNumOffset 0 again
  pictures.push_back({2, false, 1, 2});
  pictures.push_back({0, false, 2, 3});
  ExpectFrameNumCounts(sps, pictures, "type 2");

  SpsFields fields = sps;
  fields.frameMbsOnly = false;
  ExpectFrameNumCounts(fields,
                       {{3, true, 0, 0, 0, true, false},
                        {3, false, 0, 0, 0, true, true},
                        {2, false, 1, 2, 0, true, false},
                        {2, false, 1, 2, 0, true, true},
                        {0, false, 2, 3, 0, true, false}},
                       "type 2 field pairs");
}

// 8.2.1.2 with one reference frame per cycle, offset_for_ref_frame[0] 6 and
// offset_for_non_ref_pic -4: I P B B P B B, then across a frame_num wrap.
TEST(H264SliceParserTest, PicOrderCntType1) {
  SpsFields sps;
  sps.profileIdc = 77;
  sps.pocType = 1;
  sps.log2MaxFrameNumMinus4 = 0;
  sps.offsetForNonRefPic = -4;
  sps.offsetForTopToBottomField = 1;
  sps.offsetForRefFrame = {6};
  std::vector<FrameNumPicture> pictures{
      {3, true, 0, 0},   {2, false, 1, 6},  {0, false, 2, 2, 0}, {0, false, 2, 4, 2},
      {2, false, 2, 12}, {0, false, 3, 8},  {0, false, 3, 10, 2},
  };
  for (int n = 3; n <= 17; ++n) pictures.push_back({2, false, n % 16, 6 * n});  // frame_num wraps at 16
  pictures.push_back({0, false, 18 % 16, 6 * 17 - 4});
  pictures.push_back({2, false, 18 % 16, 6 * 18 + 1, 1});  // delta_pic_order_cnt[0] adds to the count
  pictures.push_back({3, true, 0, 5, 5});              // IDR: ExpectedPicOrderCnt 0
  ExpectFrameNumCounts(sps, pictures, "type 1, one frame per cycle");

  // A cycle of two reference frames: 2, 6, so counts 2, 8, 10, 16, 18.
  SpsFields cycle2 = sps;
  cycle2.offsetForRefFrame = {2, 6};
  ExpectFrameNumCounts(cycle2,
                       {{3, true, 0, 0}, {2, false, 1, 2}, {2, false, 2, 8}, {2, false, 3, 10},
                        {2, false, 4, 16}, {2, false, 5, 18}, {0, false, 6, 14}},
                       "type 1, two frames per cycle");

  // No cycle: every count is 0 plus the offsets.
  SpsFields noCycle = sps;
  noCycle.offsetForRefFrame = {};
  ExpectFrameNumCounts(noCycle, {{3, true, 0, 0}, {2, false, 1, 3, 3}, {0, false, 2, -4}}, "type 1, no cycle");

  // delta_pic_order_always_zero_flag: no delta_pic_order_cnt[0] in the slice header.
  SpsFields alwaysZero = sps;
  alwaysZero.deltaPicOrderAlwaysZero = true;
  ExpectFrameNumCounts(alwaysZero, {{3, true, 0, 0}, {2, false, 1, 6}, {0, false, 2, 2}, {2, false, 2, 12}},
                       "type 1, delta_pic_order_always_zero_flag");

  // Fields: a bottom field adds offset_for_top_to_bottom_field.
  SpsFields fields = sps;
  fields.frameMbsOnly = false;
  ExpectFrameNumCounts(fields,
                       {{3, true, 0, 0, 0, true, false},
                        {3, false, 0, 1, 0, true, true},
                        {2, false, 1, 6, 0, true, false},
                        {2, false, 1, 7, 0, true, true},
                        {0, false, 2, 2, 0, true, false},
                        {0, false, 2, 3, 0, true, true}},
                       "type 1 field pairs");
}

// Offsets near the limits of se(v): the count wraps modulo 2^32 instead of overflowing.
TEST(H264SliceParserTest, PicOrderCntType1LargeOffsetsWrap) {
  SpsFields sps;
  sps.profileIdc = 77;
  sps.pocType = 1;
  sps.offsetForNonRefPic = -2147483647;
  sps.offsetForRefFrame = {2147483647, 2147483647};
  // absFrameNum 3: PicOrderCntCycleCnt 1, frameNumInPicOrderCntCycle 0:
  // 1 * (2 * (2^31 - 1)) + (2^31 - 1) = 3 * 2^31 - 3, modulo 2^32: 2^31 - 3.
  ExpectFrameNumCounts(sps,
                       {{3, true, 0, 0},
                        {2, false, 1, 2147483647},
                        {2, false, 3, 2147483645},
                        {0, false, 4, int32_t(int64_t{2147483645} - 2147483647)},
                        {2, false, 4, 2147483643, 2147483647}},
                       "type 1 at the limits");
}

// The fields of the slice header stand after escapes: frame_num 0 over 16 bits followed by a
// small pic_order_cnt_lsb makes 0x00000001 in the RBSP, written 0x0000030001.
TEST(H264SliceParserTest, EmulationPreventionBytesInsideSliceHeader) {
  SpsFields sps;
  sps.log2MaxFrameNumMinus4 = 12;
  sps.log2MaxPocLsbMinus4 = 12;
  struct Case {
    int nalRefIdc;
    bool idr;
    int frameNum;
    int pocLsb;
    int32_t expected;
  };
  const Case cases[] = {
      {3, true, 0, 0, 0},     {0, false, 0, 1, 1},    {0, false, 0, 3, 3},
      {2, false, 0, 2, 2},    {2, false, 1, 256, 256}, {0, false, 2, 0x200, 0x200},
      {2, false, 0x100, 0x8000, 0x8000}, {2, false, 0x100, 0x10000 - 2, 0x10000 - 2},
      {2, false, 0x100, 3, 0x10003},
  };
  H264SliceParser parser;
  Feed(parser, MakeSps(sps));
  bool sawEscape = false;
  for (const Case& c : cases) {
    SliceFields slice;
    slice.nalRefIdc = c.nalRefIdc;
    slice.idr = c.idr;
    slice.frameNum = c.frameNum;
    slice.pocLsb = c.pocLsb;
    slice.sliceType = 0;
    const std::vector<uint8_t> nal = MakeSlice(sps, slice);
    sawEscape = sawEscape || nal.size() > 1 + palvex_test::SliceRbsp(sps, slice).size();
    Feed(parser, nal);
    EXPECT_EQ(parser.GetPictureOrderCount(), c.expected) << "pic_order_cnt_lsb " << c.pocLsb;
  }
  EXPECT_TRUE(sawEscape);
}

// profile_idc 66, constraint flags 0, level_idc 0 and seq_parameter_set_id 100 put an escape
// right after level_idc.
TEST(H264SliceParserTest, EmulationPreventionBytesInsideSps) {
  SpsFields sps;
  sps.profileIdc = 66;
  sps.levelIdc = 0;
  sps.spsId = 100;
  sps.log2MaxFrameNumMinus4 = 2;
  sps.log2MaxPocLsbMinus4 = 3;
  const std::vector<uint8_t> nal = MakeSps(sps);
  ASSERT_EQ(nal[4], 0x03) << "the SPS carries an emulation prevention byte";
  ExpectType0Counts(sps, kIbbp128, "escaped SPS");
}

TEST(H264SliceParserTest, SliceBeforeAnySps) {
  H264SliceParser parser;
  EXPECT_EQ(parser.GetPictureOrderCount(), 0);
  // Without an SPS frame_num and pic_order_cnt_lsb have no width and read as -1.
  Feed(parser, {0x41, 0x9A, 0x02, 0x04});
  EXPECT_EQ(parser.GetPictureOrderCount(), -1);
}

TEST(H264SliceParserTest, EmptyAndNullNalUnitsAreIgnored) {
  H264SliceParser parser;
  Feed(parser, MakeSps(Lsb16()));
  SliceFields slice;
  slice.idr = true;
  slice.pocLsb = 6;
  Feed(parser, MakeSlice(Lsb16(), slice));
  const uint8_t bytes[] = {0x65, 0xFF};
  parser.FeedNal(nullptr, 10);
  parser.FeedNal(bytes, 0);
  parser.FeedNal(bytes, -5);
  parser.FeedNal(bytes, std::numeric_limits<int32_t>::min());
  Feed(parser, {0x65});  // a slice NAL unit with no header fields at all
  Feed(parser, {0x67});
  EXPECT_EQ(parser.GetPictureOrderCount(), 6);
}

// Every truncation of an SPS or slice either reads completely or changes nothing.
TEST(H264SliceParserTest, TruncatedNalUnitsChangeNothing) {
  SpsFields first = Lsb16();
  SpsFields second;
  second.profileIdc = 100;
  second.scalingMatrix = true;
  second.scalingLists = {std::vector<int>(16, 1), {}, {}, {}, {}, {}, std::vector<int>(64, 1)};
  second.log2MaxPocLsbMinus4 = 6;  // MaxPicOrderCntLsb 1024
  second.log2MaxFrameNumMinus4 = 5;
  const std::vector<uint8_t> sps = MakeSps(second);
  for (size_t length = 1; length < sps.size(); ++length) {
    H264SliceParser parser;
    Feed(parser, MakeSps(first));
    Feed(parser, std::vector<uint8_t>(sps.begin(), sps.begin() + long(length)));
    // Under the first SPS this slice reads as lsb 12 and counts 12.
    SliceFields slice;
    slice.idr = true;
    slice.pocLsb = 12;
    Feed(parser, MakeSlice(first, slice));
    const int32_t count = parser.GetPictureOrderCount();
    EXPECT_TRUE(count == 12 || length >= sps.size() - 2) << "SPS cut to " << length << " bytes";
  }

  SliceFields slice;
  slice.nalRefIdc = 2;
  slice.frameNum = 3;
  slice.pocLsb = 300;
  slice.firstMbInSlice = 1000;
  const std::vector<uint8_t> nal = MakeSlice(second, slice);
  for (size_t length = 1; length <= nal.size(); ++length) {
    H264SliceParser parser;
    Feed(parser, MakeSps(second));
    SliceFields idr;
    idr.idr = true;
    idr.pocLsb = 40;
    Feed(parser, MakeSlice(second, idr));
    Feed(parser, std::vector<uint8_t>(nal.begin(), nal.begin() + long(length)));
    const int32_t count = parser.GetPictureOrderCount();
    EXPECT_TRUE(count == 40 || count == 300) << "slice cut to " << length << " bytes: " << count;
    if (length == nal.size()) {
      EXPECT_EQ(count, 300);
    }
  }
}

// Values outside the ranges of H.264 7.4.2.1.1 leave the previous SPS in force.
TEST(H264SliceParserTest, SpsOutOfRangeIsIgnored) {
  struct Case {
    std::string what;
    SpsFields sps;
  };
  std::vector<Case> cases;
  {
    SpsFields s;
    s.log2MaxFrameNumMinus4 = 13;
    cases.push_back({"log2_max_frame_num_minus4 13", s});
  }
  {
    SpsFields s;
    s.log2MaxPocLsbMinus4 = 13;
    cases.push_back({"log2_max_pic_order_cnt_lsb_minus4 13", s});
  }
  {
    SpsFields s;
    s.log2MaxPocLsbMinus4 = 28;  // a 32-bit pic_order_cnt_lsb
    cases.push_back({"log2_max_pic_order_cnt_lsb_minus4 28", s});
  }
  {
    SpsFields s;
    s.pocType = 3;
    cases.push_back({"pic_order_cnt_type 3", s});
  }
  {
    SpsFields s;
    s.chromaFormatIdc = 4;
    cases.push_back({"chroma_format_idc 4", s});
  }
  {
    SpsFields s;
    s.pocType = 1;
    s.offsetForRefFrame.assign(256, 1);
    cases.push_back({"num_ref_frames_in_pic_order_cnt_cycle 256", s});
  }
  for (const Case& c : cases) {
    H264SliceParser parser;
    Feed(parser, MakeSps(Lsb16()));
    Feed(parser, MakeSps(c.sps));
    SliceFields slice;
    slice.idr = true;
    slice.pocLsb = 12;
    Feed(parser, MakeSlice(Lsb16(), slice));
    EXPECT_EQ(parser.GetPictureOrderCount(), 12) << c.what;
  }
}

// A code of 32 or more leading zeros in the slice header leaves the count as it was.
TEST(H264SliceParserTest, OverLongExpGolombCodeIsIgnored) {
  H264SliceParser parser;
  Feed(parser, MakeSps(Lsb16()));
  SliceFields slice;
  slice.idr = true;
  slice.pocLsb = 6;
  Feed(parser, MakeSlice(Lsb16(), slice));
  palvex_test::H264BitWriter w;
  w.Bits(0, 40).Bits(1, 1).Bits(0, 40).Ue(0).Ue(0).Bits(0, 4).Bits(9, 4).Trailing();
  Feed(parser, MakeNal(0x41, w.Bytes()));
  EXPECT_EQ(parser.GetPictureOrderCount(), 6);

  // The same in the SPS: the previous SPS stays in force.
  palvex_test::H264BitWriter s;
  s.Bits(77, 8).Bits(0, 16).Bits(0, 35).Bits(1, 1).Bits(0, 35).Ue(0).Ue(0).Ue(0).Ue(1).Flag(false);
  s.Ue(10).Ue(10).Flag(true).Trailing();
  Feed(parser, MakeNal(0x67, s.Bytes()));
  slice.pocLsb = 12;
  Feed(parser, MakeSlice(Lsb16(), slice));
  EXPECT_EQ(parser.GetPictureOrderCount(), 12);
}

// A new SPS changes MaxPicOrderCntLsb and the widths but not the previous values.
TEST(H264SliceParserTest, NewSpsKeepsPreviousValues) {
  H264SliceParser parser;
  Feed(parser, MakeSps(Lsb16()));
  SliceFields slice;
  slice.nalRefIdc = 2;
  slice.idr = true;
  slice.pocLsb = 12;
  Feed(parser, MakeSlice(Lsb16(), slice));
  SpsFields wide;
  wide.log2MaxPocLsbMinus4 = 4;  // MaxPicOrderCntLsb 256
  Feed(parser, MakeSps(wide));
  EXPECT_EQ(parser.GetPictureOrderCount(), 12);
  slice.idr = false;
  slice.frameNum = 1;
  slice.pocLsb = 200;  // 188 forwards is more than half of 256: wraps backwards
  Feed(parser, MakeSlice(wide, slice));
  EXPECT_EQ(parser.GetPictureOrderCount(), 200 - 256);
}

}  // namespace
// What the SPS says about presentation timing: timing_info and max_num_reorder_frames from
// the VUI (behind an aspect ratio, a video signal type, chroma locations and an HRD), and
// MaxDpbFrames from the level and picture size where the VUI has no bitstream_restriction.
TEST(H264SliceParserTest, SequenceTimingFromVuiAndLevel) {
  struct Case {
    std::string what;
    SpsFields sps;
    uint32_t numUnitsInTick, timeScale;
    int32_t reorder, maxDpbFrames;
    bool intraOnly;
  };
  auto make = [](bool vui, uint32_t tick, uint32_t scale, int reorder, int level, int width, int height,
                 bool frames, int profile = 100, int constraints = 0) {
    SpsFields s;
    s.vui = vui;
    s.numUnitsInTick = tick;
    s.timeScale = scale;
    s.maxNumReorderFrames = reorder;
    s.levelIdc = level;
    s.widthMbsMinus1 = width - 1;
    s.heightMapUnitsMinus1 = height - 1;
    s.frameMbsOnly = frames;
    s.profileIdc = profile;
    s.constraintFlags = constraints;
    return s;
  };
  const Case cases[] = {
      {"x264 25p with b-pyramid", make(true, 1, 50, 2, 30, 20, 15, true), 1, 50, 2, 16, false},
      {"29.97p, one reorder frame", make(true, 1001, 60000, 1, 40, 120, 68, true), 1001, 60000, 1, 4, false},
      {"interlaced 1080: map units are field pairs", make(true, 1, 50, 2, 40, 120, 34, false), 1, 50, 2, 4, false},
      {"timing_info without bitstream_restriction", make(true, 1, 120, -1, 31, 80, 45, true), 1, 120, -1, 5, false},
      {"no VUI: level 4.1 at 1080p", make(false, 0, 0, -1, 41, 120, 68, true), 0, 0, -1, 4, false},
      {"no VUI: unknown level", make(false, 0, 0, -1, 7, 20, 15, true), 0, 0, -1, 16, false},
      {"level 1b on Main is level_idc 11 with constraint_set3_flag",
       make(false, 0, 0, -1, 11, 11, 9, true, 77, 0x10), 0, 0, -1, 4, false},
      {"High 10 Intra", make(false, 0, 0, -1, 40, 120, 68, true, 110, 0x10), 0, 0, -1, 4, true},
  };
  for (const Case& c : cases) {
    H264SliceParser parser;
    Feed(parser, MakeSps(c.sps));
    const SequenceTiming& t = parser.sequenceTiming();
    EXPECT_EQ(t.profileIdc, c.sps.profileIdc) << c.what;
    EXPECT_EQ(t.numUnitsInTick, c.numUnitsInTick) << c.what;
    EXPECT_EQ(t.timeScale, c.timeScale) << c.what;
    EXPECT_EQ(t.maxNumReorderFrames, c.reorder) << c.what;
    EXPECT_EQ(t.maxDpbFrames, c.maxDpbFrames) << c.what;
    EXPECT_EQ(t.intraOnly, c.intraOnly) << c.what;
  }
  // A VUI cut short keeps the SPS's other fields and none of the VUI's.
  SpsFields cut = make(true, 1, 50, 2, 30, 20, 15, true);
  std::vector<uint8_t> nal = MakeSps(cut);
  nal.resize(nal.size() - 6);
  H264SliceParser parser;
  Feed(parser, nal);
  EXPECT_EQ(parser.sequenceTiming().profileIdc, 100);
  EXPECT_EQ(parser.sequenceTiming().timeScale, 0u);
  EXPECT_EQ(parser.sequenceTiming().maxNumReorderFrames, -1);
}

}  // namespace palvex
