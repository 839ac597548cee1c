#include "timeline.h"

#include <algorithm>

namespace palvex_host {

Timeline::Timeline(const std::vector<bool>& audio, size_t clockStream)
    : m_streams(audio.size()), m_clock(clockStream) {
  for (size_t i = 0; i < audio.size(); ++i) m_streams[i].audio = audio[i];
}

void Timeline::Start(int64_t offsetUs) {
  m_offsetUs = offsetUs;
  m_started = true;
}

void Timeline::InputLost() {
  m_lossOffsetUs = m_offsetUs;
  for (Stream& s : m_streams) {
    s.straggling = s.lastInputUs != kNone;
    s.lossInputUs = s.lastInputUs;
  }
}

Timeline::Step Timeline::Map(size_t index, int64_t timeUs, int64_t durationUs, const Bounds& bounds,
                             int64_t* mappedUs, int64_t ptsUs, bool key) {
  Stream& s = m_streams[index];
  // Times from a container can be anything: kept where no sum below can overflow.
  constexpr int64_t kFar = int64_t{1} << 60;
  timeUs = std::min(std::max(timeUs, -kFar), kFar);
  // How long after its decode time the frame is presented (pictures in coded order).
  const int64_t shownAfterUs = ptsUs == kNone ? 0 : std::min(std::max<int64_t>(ptsUs - timeUs, 0), kMaxForwardUs);
  s.reordered = s.reordered || shownAfterUs > 0;
  durationUs = std::min(std::max<int64_t>(durationUs, 0), kMaxForwardUs);
  const int64_t previousInputUs = s.lastInputUs;
  // The frame duration: the longest given, or the longest step between frames when none is
  // (a container's last frame may be cut short; in a transport stream it plays whole).
  int64_t duration = durationUs;
  if (duration <= 0 && s.lastInputUs != kNone && timeUs > s.lastInputUs) duration = timeUs - s.lastInputUs;
  if (duration > 0 && duration <= kMaxForwardUs) s.stepUs = std::max(s.stepUs, duration);
  s.lastInputUs = timeUs;
  if (!s.inPass) {
    s.inPass = true;
    s.passFirstUs = timeUs;
  }
  if (s.dropFirst > 0) {
    --s.dropFirst;
    return Step::kDropped;
  }
  // Held back from before an input loss: on the old time line, or left out.
  s.straggling = s.straggling && previousInputUs != kNone && timeUs > previousInputUs &&
                 timeUs <= s.lossInputUs + kStragglerUs;
  if (s.straggling) {
    const int64_t old = timeUs + m_lossOffsetUs + s.shiftUs;
    if (bounds.floorUs != kNone && old < bounds.floorUs) {
      m_lateUs = bounds.floorUs - old;
      return Step::kLate;
    }
    return Keep(s, timeUs, old, shownAfterUs, key, Step::kOn, mappedUs);
  }
  int64_t mapped = timeUs + m_offsetUs + s.shiftUs;
  const bool back = s.seen && mapped <= s.lastUs;
  const bool forward = m_latestEndUs != kNone && mapped > m_latestEndUs + kMaxForwardUs;
  const bool behind = index == m_clock && bounds.floorUs != kNone && mapped < bounds.floorUs;
  if (!back && !forward && !behind) return Keep(s, timeUs, mapped, shownAfterUs, key, Step::kOn, mappedUs);
  // Not before the last picture shown: its decode time may be well before its presentation.
  int64_t target = m_latestEndUs != kNone ? std::max(m_latestEndUs, m_latestShownUs) : mapped;
  if (bounds.resumeUs != kNone) target = std::max(target, bounds.resumeUs);
  if (behind) target = std::max(target, bounds.floorUs);
  // The clock stream goes on on its own frame grid: a gap of whole frames, so that a
  // receiver still finds its frame rate in the time stamps.
  if (index == m_clock && s.seen && s.stepUs > 0 && target > s.lastUs)
    target = s.lastUs + (target - s.lastUs + s.stepUs - 1) / s.stepUs * s.stepUs;
  m_lastJumpUs = mapped - (back ? s.lastUs : forward ? m_latestEndUs : bounds.floorUs);
  m_lastJumpBehind = !back && !forward;
  m_offsetUs += target - mapped;
  ++m_rebases;
  return Keep(s, timeUs, target, shownAfterUs, key, Step::kRebased, mappedUs);
}

Timeline::Step Timeline::Keep(Stream& s, int64_t timeUs, int64_t mapped, int64_t shownAfterUs, bool key, Step step,
                              int64_t* mappedUs) {
  if (key || s.gopOffsetUs == kNone) s.gopOffsetUs = mapped - timeUs;
  if (s.reordered && mapped - timeUs != s.gopOffsetUs) return Step::kCut;
  s.seen = true;
  s.lastUs = mapped;
  s.endUs = mapped + s.stepUs;
  m_latestEndUs = m_latestEndUs == kNone ? s.endUs : std::max(m_latestEndUs, s.endUs);
  const int64_t shownEndUs = s.endUs + shownAfterUs;
  m_latestShownUs = m_latestShownUs == kNone ? shownEndUs : std::max(m_latestShownUs, shownEndUs);
  *mappedUs = mapped;
  return step;
}

bool Timeline::NextPass(std::vector<Repeat>* repeats) {
  repeats->clear();
  size_t master = m_streams.size();
  if (m_clock < m_streams.size() && m_streams[m_clock].inPass) master = m_clock;
  for (size_t i = 0; i < m_streams.size() && master == m_streams.size(); ++i)
    if (m_streams[i].inPass) master = i;
  if (master == m_streams.size()) return false;
  const Stream& clock = m_streams[master];
  // The clock stream's first frame of the next pass lands where its last one ended.
  m_offsetUs = clock.endUs - clock.passFirstUs - clock.shiftUs;
  for (size_t i = 0; i < m_streams.size(); ++i) {
    Stream& s = m_streams[i];
    if (i == master || !s.inPass) continue;
    int64_t shift = s.endUs - s.passFirstUs - m_offsetUs;  // where this stream's own seam needs it
    const int64_t d = s.stepUs;
    if (s.audio && d > 0 && shift > d / 2) {
      // Longer than the clock stream: its first frames of the pass overlap the last ones.
      const int64_t n = (shift + d / 2) / d;
      shift -= n * d;
      s.dropFirst = static_cast<int>(std::min<int64_t>(n, 1 << 20));
    } else if (s.audio && d > 0 && shift < -d / 2) {
      // Shorter: its last frame fills the gap.
      const int64_t n = std::min<int64_t>((-shift + d / 2) / d, 1 << 20);
      for (int64_t k = 0; k < n; ++k) repeats->push_back({i, s.endUs + k * d});
      shift += n * d;
      s.lastUs = s.endUs + (n - 1) * d;
      s.endUs += n * d;
      m_latestEndUs = std::max(m_latestEndUs, s.endUs);
    }
    s.shiftUs = shift;
  }
  for (Stream& s : m_streams) {
    s.inPass = false;
    s.lastInputUs = kNone;
  }
  return true;
}

}  // namespace palvex_host
