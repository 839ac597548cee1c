// The video frame rates palvex knows, in one table: the rates a stream description names
// (23.976 is 24000/1001), the frame_rate_code values of the MPEG-2 sequence header, and the
// durations a frame duration measured from the host's time stamps is snapped to.
#ifndef PALVEX_CODEC_FRAME_RATE_H_
#define PALVEX_CODEC_FRAME_RATE_H_

#include <cstdint>

namespace palvex {

// Frame durations in thousandths of a 90 kHz tick: every common rate is exact (29.97 fps is
// 3003000, 23.976 fps 3753750, 59.94 fps 1501500), so offsets of a few frames come out to the
// tick and decode positions do not drift over long GOPs. 0 means unknown.
using MilliTicks = int64_t;

constexpr MilliTicks kMilliTicksPerSecond = 90000000;

struct FrameRate {
  int32_t num;            // frames per second: num / den
  int32_t den;
  uint8_t frameRateCode;  // MPEG-2 frame_rate_code (ISO/IEC 13818-2 Table 6-4), 0 for none
  int32_t snapped;        // the measured duration this rate stands for, in microseconds; 0: none
  int32_t snapFrom;       // the shortest measured duration (microseconds) taken as this rate
};

// From the longest frame to the shortest, each 1000/1001 rate before the whole rate it lies
// within 0.1 % of.
inline constexpr FrameRate kFrameRates[] = {
    // num,  den, frame_rate_code, snapped, snapFrom
    {10, 1, 0, 0, 0},
    {12, 1, 0, 0, 0},
    {15, 1, 0, 66666, 51000},
    {20, 1, 0, 50000, 42000},
    {24000, 1001, 1, 41718, 41700},
    {24, 1, 2, 41666, 41000},
    {25, 1, 3, 40000, 38000},
    {30000, 1001, 4, 33367, 33350},
    {30, 1, 5, 33333, 25000},
    {48, 1, 0, 0, 0},
    {50, 1, 6, 20000, 18350},
    {60000, 1001, 7, 16683, 16675},
    {60, 1, 8, 16667, 10000},
};

// Measured durations outside these bounds (microseconds) are no frame rate.
constexpr int64_t kShortestMeasuredFrame = 10000;
constexpr int64_t kLongestMeasuredFrame = 100000;

// The exact frame duration of a rate.
constexpr MilliTicks FrameDurationOf(const FrameRate& rate) {
  return kMilliTicksPerSecond * rate.den / rate.num;
}

// The rate whose field holds value: RateWith(&FrameRate::frameRateCode, code) for an MPEG-2
// frame_rate_code, RateWith(&FrameRate::snapped, microseconds) for a snapped duration. Null
// for 0 (a forbidden or reserved code, no snapped duration) and for a value no rate has.
template <typename Field>
constexpr const FrameRate* RateWith(Field FrameRate::*field, int64_t value) {
  for (const FrameRate& rate : kFrameRates) {
    if (value != 0 && rate.*field == value) return &rate;
  }
  return nullptr;
}

// A frame duration measured from the host's time stamps, snapped to the duration of the
// rate it falls to (the rows tried from the longest frame down); 0 when it is out of range.
constexpr int32_t SnapFrameDuration(int64_t measured) {
  if (measured > kLongestMeasuredFrame || measured < kShortestMeasuredFrame) return 0;
  for (const FrameRate& rate : kFrameRates) {
    if (rate.snapped != 0 && measured >= rate.snapFrom) return rate.snapped;
  }
  return 0;
}

static_assert(FrameDurationOf(*RateWith(&FrameRate::frameRateCode, 1)) == 3753750,
              "frame_rate_code 1: 23.976 fps");
static_assert(SnapFrameDuration(41700) == 41718 && SnapFrameDuration(41699) == 41666,
              "23.976 and 24 fps part at 41700 us");
static_assert(SnapFrameDuration(kLongestMeasuredFrame) == 66666 &&
                  SnapFrameDuration(kShortestMeasuredFrame) == 16667,
              "the measured range ends in 15 and 60 fps");

}  // namespace palvex

#endif  // PALVEX_CODEC_FRAME_RATE_H_
