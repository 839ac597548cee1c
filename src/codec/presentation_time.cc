#include "codec/presentation_time.h"

#include <cmath>

namespace palvex {

namespace {

// A picture further than this from its decode slot, in half frames, belongs to no reordering
// a decoder could do (16 frames is the largest DPB): the host's clock jumped or the count
// restarted without an IDR. The clock then starts anew there.
constexpr int64_t kReorderLimitHalfFrames = 2 * 16;

// Decode times further apart than this (about 3000 years of 90 kHz ticks) are not compared.
constexpr int64_t kMaxElapsed = int64_t{1} << 53;

// Rounded quotient of a signed numerator and a positive denominator, ties away from zero.
int64_t RoundedDivide(int64_t numerator, int64_t denominator) {
  return numerator >= 0 ? (numerator + denominator / 2) / denominator
                        : -((-numerator + denominator / 2) / denominator);
}

MilliTicks Plausible(MilliTicks duration) {
  return duration >= kMinFrameDuration && duration <= kMaxFrameDuration ? duration : 0;
}

}  // namespace

namespace {

// ticks * num_units_in_tick / time_scale seconds; below 2^63 for any 32-bit fields.
MilliTicks DurationOfClockTicks(uint64_t ticks, uint32_t numUnitsInTick, uint32_t timeScale) {
  if (numUnitsInTick == 0 || timeScale == 0) return 0;
  const uint64_t numerator = ticks * uint64_t(kMilliTicksPerSecond) * numUnitsInTick;
  if (numerator / timeScale > uint64_t(kMaxFrameDuration)) return 0;
  return Plausible(MilliTicks((numerator + timeScale / 2) / timeScale));
}

}  // namespace

MilliTicks FrameDurationFromTiming(uint32_t numUnitsInTick, uint32_t timeScale) {
  return DurationOfClockTicks(2, numUnitsInTick, timeScale);
}

MilliTicks PictureDurationFromTiming(uint32_t numUnitsInTick, uint32_t timeScale) {
  return DurationOfClockTicks(1, numUnitsInTick, timeScale);
}

MilliTicks FrameDurationFromRate(double framesPerSecond) {
  if (!(framesPerSecond > 0.0) || !std::isfinite(framesPerSecond)) return 0;
  for (const FrameRate& rate : kFrameRates) {
    const double exact = double(rate.num) / double(rate.den);
    if (std::fabs(framesPerSecond - exact) <= exact * 0.001) return FrameDurationOf(rate);
  }
  return Plausible(MilliTicks(std::llround(double(kMilliTicksPerSecond) / framesPerSecond)));
}

MilliTicks FrameDurationFromMicroseconds(int32_t microseconds) {
  const FrameRate* rate = RateWith(&FrameRate::snapped, microseconds);
  return rate != nullptr ? FrameDurationOf(*rate) : Plausible(MilliTicks(microseconds) * 90);
}

int64_t HalfFramesToTicks(int64_t halfFrames, MilliTicks duration) {
  return RoundedDivide(halfFrames * duration, 2000);
}

void PictureOrderClock::Anchor(int64_t dts, int32_t poc, bool startsCount) {
  m_anchored = true;
  m_anchorDts = dts;
  m_anchorPoc = poc;
  m_anchorLeads = startsCount;
  m_leadingSlots = 0;
}

int64_t PictureOrderClock::PresentationTime(int64_t dts, int32_t poc, bool anchor,
                                            MilliTicks duration, int32_t reorderFrames,
                                            int32_t maxReorderFrames) {
  if (anchor || !m_anchored) Anchor(dts, poc, true);
  if (duration <= 0) return dts;
  // Half frames this picture is presented after its decode slot, with D = 0.
  int64_t offset = 0;
  const int64_t elapsed = dts - m_anchorDts;  // both below 2^60 in magnitude: no overflow
  if (elapsed > kMaxElapsed || elapsed < -kMaxElapsed) {
    Anchor(dts, poc, false);
  } else if (elapsed != 0 || poc != m_anchorPoc) {
    const int64_t position = RoundedDivide(elapsed * 1000, duration);
    const int64_t counts = (int64_t(poc) - m_anchorPoc) * m_halfFramesPerCount;
    if (m_anchorLeads && counts < 0 && counts >= -kReorderLimitHalfFrames && position > 0) {
      // A leading picture: the slot behind the anchor and the leading pictures before it.
      m_leadingSlots = position;
    } else {
      m_anchorLeads = m_anchorLeads && counts <= 0;
      offset = counts - 2 * (position - m_leadingSlots);
      if (offset < -kReorderLimitHalfFrames || offset > kReorderLimitHalfFrames) {
        Anchor(dts, poc, false);
        offset = 0;
      }
    }
  }
  int64_t delay = 2 * int64_t(reorderFrames);
  if (reorderFrames < 0) {
    const int64_t limit = 2 * int64_t(maxReorderFrames);
    if (-offset > m_learnedDelay) m_learnedDelay = -offset < limit ? -offset : limit;
    delay = m_learnedDelay;
  }
  const int64_t halfFrames = delay + offset;
  return halfFrames > 0 ? dts + HalfFramesToTicks(halfFrames, duration) : dts;
}

}  // namespace palvex
