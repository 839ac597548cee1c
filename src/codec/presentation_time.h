// Presentation time stamps of video pictures handed over in decode order with their decode
// times: the frame duration they are reckoned in, and the H.264 rule that places each
// picture by its picture order count.
#ifndef PALVEX_CODEC_PRESENTATION_TIME_H_
#define PALVEX_CODEC_PRESENTATION_TIME_H_

#include <cstdint>

#include "codec/frame_rate.h"

namespace palvex {

// Plausible frame durations: from 120 frames a second down to one.
constexpr MilliTicks kMinFrameDuration = 750000;    // 120 fps
constexpr MilliTicks kMaxFrameDuration = 90000000;  // 1 fps

// H.264 timing_info: a frame lasts two ticks of num_units_in_tick / time_scale seconds
// (E.2.1). 0 when absent or implausible.
MilliTicks FrameDurationFromTiming(uint32_t numUnitsInTick, uint32_t timeScale);

// HEVC VUI or VPS timing: a picture lasts one clock tick of vui_num_units_in_tick /
// vui_time_scale seconds (E.3.1). 0 when absent or implausible.
MilliTicks PictureDurationFromTiming(uint32_t numUnitsInTick, uint32_t timeScale);

// The host's nominal frame rate: within 0.1 % of a rate of kFrameRates (24000/1001,
// 30000/1001, 60000/1001 and the whole rates) it is taken as exactly that rate. 0 when
// implausible.
MilliTicks FrameDurationFromRate(double framesPerSecond);

// A measured duration in microseconds, snapped by SnapFrameDuration: the exact duration of
// the rate it stands for.
MilliTicks FrameDurationFromMicroseconds(int32_t microseconds);

// halfFrames / 2 frames of the given duration in ticks, rounded to the nearest tick (ties
// away from zero; halfFrames may be negative).
int64_t HalfFramesToTicks(int64_t halfFrames, MilliTicks duration);

// Pictures placed by their picture order count: PTS = DTS + D + ((POC - POC of the anchor) /
// c - (decode position - decode position of the anchor)) x frame duration, with c the counts
// per frame: 2 on H.264, whose counts step by two a frame (one a field), 1 on HEVC, whose
// PicOrderCntVal steps by one a picture. The anchor is the last picture that starts the count
// anew (an H.264 IDR picture, an HEVC IRAP picture with NoRaslOutputFlag 1), or the first
// picture while there has been none; D, the presentation delay, is the reorder depth in
// frames. The decode position comes from the frame's own time, so a frame the host lost does
// not shift the ones after it. A picture is never presented before it is decoded.
//
// Leading pictures of an anchor that starts the count (HEVC RADL and RASL pictures, H.264 B
// pictures behind the non-IDR I picture a stream was cut at: decoded after the anchor,
// before any picture that follows it in output order, and presented before it) come after
// the anchor has gone out with its time. Each takes the slot behind the anchor and the
// leading pictures decoded before it, D after its own decode time, and the decode slots
// they took are not counted for the pictures after them, which are thus presented where
// the uncut stream had them. (Where the clock starts anew at a jump of the host's clock,
// the pictures that follow are placed by their count alone.)
class PictureOrderClock {
 public:
  // countsPerFrame: 2 (H.264) or 1 (HEVC).
  explicit PictureOrderClock(int32_t countsPerFrame) : m_halfFramesPerCount(countsPerFrame == 1 ? 2 : 1) {}

  // dts in 90 kHz ticks; poc the picture order count of the picture; anchor when the
  // picture starts the count anew. reorderFrames is D in frames where the stream states it;
  // where it is negative, D is learned: it starts at 0 and grows to the deepest reordering
  // seen, up to maxReorderFrames. Without a duration the picture is presented at its decode
  // time, and only the anchor is followed.
  int64_t PresentationTime(int64_t dts, int32_t poc, bool anchor, MilliTicks duration,
                           int32_t reorderFrames, int32_t maxReorderFrames);

 private:
  // startsCount: the anchor the caller gave, or the first picture; not a restart at a jump.
  void Anchor(int64_t dts, int32_t poc, bool startsCount);

  int64_t m_halfFramesPerCount;
  bool m_anchored = false;
  int64_t m_anchorDts = 0;
  int32_t m_anchorPoc = 0;
  bool m_anchorLeads = false;  // the anchor starts the count, and no picture after it in output order has come
  int64_t m_leadingSlots = 0;   // decode position of the anchor's last leading picture
  int64_t m_learnedDelay = 0;  // half frames
};

}  // namespace palvex

#endif  // PALVEX_CODEC_PRESENTATION_TIME_H_
