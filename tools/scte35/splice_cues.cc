#include "splice_cues.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr size_t kDistanceWindow = 32;  // pictures whose distance is kept
constexpr size_t kRecentPictures = 64;
constexpr int64_t kDistanceSlack = 2;   // ticks a distance may move within one stretch of the clock
constexpr size_t kMaxPending = 64;      // sections held while no picture has told the distance
constexpr size_t kInputEventIds = 256;  // the input's splice_event_ids kept clear of

int64_t Wrap(int64_t pts) { return ((pts % kPTSModulus) + kPTSModulus) % kPTSModulus; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

int64_t PTSDifference(int64_t a, int64_t b) {
  int64_t d = Wrap(a - b);
  if (d > kPTSModulus / 2) d -= kPTSModulus;
  return d;
}

const char* KeyPictureText(KeyPicture key) {
  switch (key) {
    case KeyPicture::kYes: return "a key picture";
    case KeyPicture::kNo: return "not a key picture";
    default: return "key picture not known yet";
  }
}

bool SpliceCues::Take(const uint8_t* data, size_t size, std::string* why) {
  SpliceInfo info;
  if (!ReadSpliceInfo(data, size, &info, why)) {
    ++m_dropped;
    return false;
  }
  if (info.commandType == kSpliceInsert) {
    m_inputEventIds.push_back(info.insert.eventId);
    if (m_inputEventIds.size() > kInputEventIds) m_inputEventIds.pop_front();
  }
  if (m_pending.size() >= kMaxPending) {
    // No picture with a time stamp (or no cue PID) to place them by: the oldest goes.
    m_pending.erase(m_pending.begin());
    ++m_dropped;
    m_lines.push_back("warning: dropped an SCTE-35 section held too long: no picture with a time stamp to place it by");
  }
  const std::vector<int64_t> times = SpliceTimes(info);
  m_pending.push_back(
      Pending{std::vector<uint8_t>(data, data + info.size), times.empty() ? -1 : Wrap(times[0] + info.ptsAdjustment)});
  return true;
}

uint32_t SpliceCues::NextEventId() {
  while (std::find(m_inputEventIds.begin(), m_inputEventIds.end(), m_nextEventId) != m_inputEventIds.end())
    ++m_nextEventId;
  return m_nextEventId++;
}

void SpliceCues::AddBreakAtInput(int64_t inPts, int64_t duration, bool key) {
  Break b;
  b.inPts = Wrap(inPts);
  b.placed.eventId = NextEventId();
  b.placed.duration = duration;
  b.placed.key = key ? KeyPicture::kYes : KeyPicture::kNo;
  b.told = true;  // known from the file: the first line says it
  m_breaks.push_back(b);
}

bool SpliceCues::AddBreakIn(int64_t inTicks, int64_t duration, SpliceBreak* placed) {
  if (m_recent.empty() || inTicks > static_cast<int64_t>(kMaxLeadSeconds * 90000)) return false;
  const CuePicture& last = m_recent.back();
  const int64_t point = Wrap(last.outDts + std::max<int64_t>(0, inTicks));
  // The first picture at or after the point: one already muxed, else the next on the
  // frame grid behind the latest one.
  const CuePicture* latest = &m_recent.front();
  const CuePicture* found = nullptr;
  for (const CuePicture& p : m_recent) {
    if (PTSDifference(p.outPts, latest->outPts) > 0) latest = &p;
    if (PTSDifference(p.outPts, point) >= 0 && (found == nullptr || PTSDifference(p.outPts, found->outPts) < 0))
      found = &p;
  }
  Break b;
  b.placed.eventId = NextEventId();
  b.placed.duration = duration;
  if (found != nullptr) {
    b.placed.splicePts = found->outPts;
    b.placed.key = found->key ? KeyPicture::kYes : KeyPicture::kNo;
    b.told = true;
  } else {
    const int64_t step = last.step > 0 ? last.step : 1;
    const int64_t frames = (PTSDifference(point, latest->outPts) + step - 1) / step;
    b.placed.splicePts = Wrap(latest->outPts + frames * step);
  }
  m_breaks.push_back(b);
  *placed = b.placed;
  return true;
}

void SpliceCues::Learn(const CuePicture& picture) {
  m_recent.push_back(picture);
  if (m_recent.size() > kRecentPictures) m_recent.pop_front();
  if (picture.inPts < 0 || picture.outPts < 0) return;
  const int64_t distance = PTSDifference(picture.outPts, picture.inPts);
  // The clock moved (a pass, a re-base): what was learnt before says nothing now.
  if (!m_distances.empty() && std::llabs(distance - m_distances.back()) > kDistanceSlack) m_distances.clear();
  m_distances.push_back(distance);
  if (m_distances.size() > kDistanceWindow) m_distances.pop_front();
}

void SpliceCues::Emit(const std::vector<uint8_t>& section, std::vector<uint8_t>* out) {
  AppendSectionPackets(m_pid, section.data(), section.size(), &m_cc, out);
}

void SpliceCues::OnPicture(const CuePicture& picture, std::vector<uint8_t>* out) {
  Learn(picture);
  if (m_pid < 0 || m_distances.empty()) return;
  const int64_t distance = *std::min_element(m_distances.begin(), m_distances.end());
  for (Pending& p : m_pending) {
    std::vector<uint8_t>& s = p.section;
    const int64_t adjustment = int64_t(s[4] & 0x01) << 32 | int64_t(s[5]) << 24 | int64_t(s[6]) << 16 |
                               int64_t(s[7]) << 8 | int64_t(s[8]);
    int64_t own = distance;  // the named picture's own, when it is already muxed
    for (const CuePicture& q : m_recent)
      if (p.named >= 0 && q.inPts >= 0 && Wrap(q.inPts) == p.named &&
          std::llabs(PTSDifference(q.outPts, q.inPts) - distance) <= kDistanceSlack)
        own = PTSDifference(q.outPts, q.inPts);
    SetPtsAdjustment(&s, adjustment + own);
    Emit(s, out);
    ++m_carried;
  }
  m_pending.clear();
  for (Break& b : m_breaks)
    if (!b.done && b.placed.splicePts < 0 && b.inPts >= 0) b.placed.splicePts = Wrap(b.inPts + distance);
  SendBreaks(picture, out);
}

void SpliceCues::SendBreaks(const CuePicture& picture, std::vector<uint8_t>* out) {
  for (Break& b : m_breaks) {
    if (b.done || b.placed.splicePts < 0) continue;
    const SpliceBreak& placed = b.placed;
    // The picture at the point, met: whether it is a key picture, when that was not known.
    const int64_t off = PTSDifference(picture.outPts, placed.splicePts);
    if (!b.told && off >= -picture.step / 2 && off <= picture.step / 2) {
      b.told = true;
      m_lines.push_back(Format("%ssplice_insert event %u: the picture at PTS %lld is %s", picture.key ? "" : "warning: ",
                               placed.eventId, static_cast<long long>(picture.outPts),
                               picture.key ? "a key picture" : "not a key picture"));
    }
    const int64_t lead = PTSDifference(placed.splicePts, picture.outDts);
    if (lead <= 0) {
      if (b.lastSent < 0)
        m_lines.push_back(Format("warning: splice_insert event %u: its point (PTS %lld) passed before it could be sent",
                                 placed.eventId, static_cast<long long>(placed.splicePts)));
      else if (!b.told)
        m_lines.push_back(Format("warning: splice_insert event %u: no picture came at PTS %lld", placed.eventId,
                                 static_cast<long long>(placed.splicePts)));
      b.done = true;
      continue;
    }
    const bool first = b.lastSent < 0;
    if (first ? lead > kFirstLeadTicks : PTSDifference(picture.outDts, b.lastSent) < kRepeatTicks) continue;
    BreakCue cue;
    cue.eventId = placed.eventId;
    cue.spliceTime = placed.splicePts;
    cue.duration = placed.duration;
    Emit(WriteSpliceInsert(cue), out);
    b.lastSent = picture.outDts;
    if (first)
      m_lines.push_back(Format("splice_insert event %u: out at PTS %lld for %.3f s, first sent %.3f s ahead; %s",
                               placed.eventId, static_cast<long long>(placed.splicePts),
                               static_cast<double>(placed.duration) / 90000.0, static_cast<double>(lead) / 90000.0,
                               KeyPictureText(placed.key)));
  }
  m_breaks.erase(std::remove_if(m_breaks.begin(), m_breaks.end(), [](const Break& b) { return b.done; }),
                 m_breaks.end());
}

std::vector<std::string> SpliceCues::TakeLines() {
  std::vector<std::string> lines;
  lines.swap(m_lines);
  return lines;
}

}  // namespace palvex_host
