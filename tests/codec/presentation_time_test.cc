#include "codec/presentation_time.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace palvex {
namespace {

TEST(PresentationTimeTest, FrameDurations) {
  EXPECT_EQ(FrameDurationFromTiming(1, 50), 3600000);            // x264 25p
  EXPECT_EQ(FrameDurationFromTiming(1001, 60000), 3003000);      // 29.97
  EXPECT_EQ(FrameDurationFromTiming(1001, 48000), 3753750);      // 23.976
  EXPECT_EQ(FrameDurationFromTiming(1, 1), 0);                   // 2 s: implausible
  EXPECT_EQ(FrameDurationFromTiming(0xFFFFFFFF, 1), 0);
  EXPECT_EQ(FrameDurationFromTiming(1, 0), 0);
  EXPECT_EQ(FrameDurationFromRate(29.97), 3003000);
  EXPECT_EQ(FrameDurationFromRate(59.94006), 1501500);
  EXPECT_EQ(FrameDurationFromRate(25.0), 3600000);
  EXPECT_EQ(FrameDurationFromRate(7.5), 12000000);
  EXPECT_EQ(FrameDurationFromRate(0.0), 0);
  EXPECT_EQ(FrameDurationFromRate(1000.0), 0);
  EXPECT_EQ(FrameDurationFromMicroseconds(0), 0);
}

// Every measured duration in range snaps to a rate of the table, never to a shorter frame
// than a shorter measurement does, and is then reckoned in that rate's exact duration: a
// whole second over a whole number of frames, or of 1001 frames.
TEST(PresentationTimeTest, MeasuredDurationsSnapToTheExactDurationOfARate) {
  const MilliTicks second = kMilliTicksPerSecond;
  int32_t previous = 0;
  for (int64_t measured = kShortestMeasuredFrame; measured <= kLongestMeasuredFrame; ++measured) {
    const int32_t snapped = SnapFrameDuration(measured);
    ASSERT_GE(snapped, previous) << measured;
    ASSERT_EQ(SnapFrameDuration(snapped), snapped) << measured;
    previous = snapped;
    const MilliTicks d = FrameDurationFromMicroseconds(snapped);
    ASSERT_GT(d, 0) << measured;
    const bool wholeRate = second % d == 0;
    const bool ntscRate = (second * 1001) % d == 0 && (second * 1001 / d) % 1000 == 0;
    ASSERT_TRUE(wholeRate || ntscRate) << measured << " us is reckoned as " << d;
  }
  for (int64_t outside : {kShortestMeasuredFrame - 1, kLongestMeasuredFrame + 1, int64_t{-40000},
                          int64_t{1} << 32 | 40000}) {
    EXPECT_EQ(SnapFrameDuration(outside), 0) << outside;
  }
}

struct Picture {
  int64_t dts;
  int32_t poc;
  bool idr;
  int64_t pts;
};

struct ClockCase {
  std::string what;
  MilliTicks duration;
  int32_t reorder;
  std::vector<Picture> pictures;
  int32_t countsPerFrame = 2;  // 1: HEVC's PicOrderCntVal, one count a picture
};

// Pictures in decode order with their decode times, as a host hands them over.
TEST(PresentationTimeTest, PicturesFollowTheirOrderCount) {
  const ClockCase cases[] = {
      {"b-pyramid, 25p, two frames of reorder delay", 3600000, 2,
       {{0, 0, true, 7200}, {3600, 8, false, 21600}, {7200, 4, false, 14400}, {10800, 2, false, 10800},
        {14400, 6, false, 18000}, {18000, 16, false, 36000}, {21600, 12, false, 28800}}},
      {"a lost frame shifts nothing", 3600000, 2,
       {{0, 0, true, 7200}, {3600, 8, false, 21600}, {10800, 2, false, 10800}, {14400, 6, false, 18000}}},
      {"23.976: within a tick of the exact times (11261.25, 18768.75)", 3753750, 1,
       {{0, 0, true, 3754}, {3754, 4, false, 11262}, {7508, 2, false, 7508}, {11261, 8, false, 18769}}},
      {"a later IDR anchors anew; its leading count restarts", 3600000, 1,
       {{0, 0, true, 3600}, {3600, 2, false, 7200}, {7200, 0, true, 10800}, {10800, 2, false, 14400}}},
      {"no IDR yet: the first picture anchors", 3600000, 1,
       {{90000, 40, false, 93600}, {93600, 44, false, 100800}, {97200, 42, false, 97200}}},
      {"without a duration: the decode time", 0, 2, {{0, 0, true, 0}, {3600, 8, false, 3600}}},
      {"a host clock jump starts the clock anew", 3600000, 1,
       {{0, 0, true, 3600}, {3600, 2, false, 7200}, {324003600, 4, false, 324007200}, {324007200, 6, false, 324010800}}},
      {"never before its decode time", 3600000, 0,
       {{0, 0, true, 0}, {3600, 4, false, 7200}, {7200, 2, false, 7200}}},
      {"no stated delay: learned from the deepest reordering, up to the DPB", 3600000, -1,
       {{0, 0, true, 0}, {3600, 8, false, 14400}, {7200, 4, false, 7200}, {10800, 2, false, 10800},
        {14400, 6, false, 18000}, {18000, 16, false, 36000}, {21600, 12, false, 28800},
        {25200, 10, false, 25200}, {28800, 4, false, 28800}, {32400, 0, true, 46800}}},
      {"HEVC: the b-pyramid counted per picture gives the same times", 3600000, 2,
       {{0, 0, true, 7200}, {3600, 4, false, 21600}, {7200, 2, false, 14400}, {10800, 1, false, 10800},
        {14400, 3, false, 18000}, {18000, 8, false, 36000}, {21600, 6, false, 28800}},
       1},
      {"HEVC from a CRA: its leading pictures in the slots behind it, the others where they stood", 3600000, 2,
       {{0, 20, true, 7200}, {3600, 18, false, 10800}, {7200, 16, false, 14400}, {10800, 17, false, 18000},
        {14400, 19, false, 21600}, {18000, 21, false, 25200}, {21600, 25, false, 39600},
        {25200, 23, false, 32400}, {28800, 22, false, 28800}, {32400, 24, false, 36000}},
       1},
      {"after a host clock jump the clock starts anew, and a B picture stays in front of it", 3600000, 2,
       {{0, 0, true, 7200}, {3600, 6, false, 18000}, {7200, 2, false, 10800}, {10800, 4, false, 14400},
        {1080000, 12, false, 1087200}, {1083600, 10, false, 1083600}}},
      {"H.264 cut at a non-IDR I: its leading B pictures behind it; a lost one shifts nothing", 3600000, 2,
       {{0, 8, false, 7200}, {3600, 4, false, 10800}, {10800, 6, false, 18000}, {14400, 16, false, 32400},
        {18000, 12, false, 25200}, {21600, 10, false, 21600}, {25200, 14, false, 28800}}},
  };
  for (const ClockCase& c : cases) {
    PictureOrderClock clock(c.countsPerFrame);
    for (size_t i = 0; i < c.pictures.size(); ++i) {
      const Picture& p = c.pictures[i];
      EXPECT_EQ(clock.PresentationTime(p.dts, p.poc, p.idr, c.duration, c.reorder, 4), p.pts)
          << c.what << ", picture " << i;
    }
  }
}

}  // namespace
}  // namespace palvex
