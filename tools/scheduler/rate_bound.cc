#include "rate_bound.h"

#include <algorithm>
#include <cmath>

#include "table_memory.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kReorderTicks = 2 * kPCRHz;
constexpr size_t kMaxHull = 4096;

}  // namespace

double FixedShare(const FixedLoad& load, int64_t muxRate) {
  const double slotBits = kTSPacketSize * 8.0;
  const double slotsPerSecond = static_cast<double>(muxRate) / slotBits;
  const int64_t slotTicks = (static_cast<int64_t>(kTSPacketSize) * 8 * kPCRHz + muxRate - 1) / muxRate;
  const int64_t pcrEvery = kPCRRepeatTicks / std::max<int64_t>(slotTicks, 1);  // slots from one PCR to the next
  const double pcr = pcrEvery <= 0 ? 1.0 : 1.0 / static_cast<double>(pcrEvery);
  const double tables = load.psiPackets * static_cast<double>(kPCRHz) / static_cast<double>(kPSIRepeatTicks) +
                        load.siPackets * static_cast<double>(kPCRHz) / static_cast<double>(kSIRepeatTicks) +
                        load.otherPerSecond;
  return load.pcrPrograms * pcr + tables / slotsPerSecond;
}

int64_t LeastMuxRate(const FixedLoad& load) {
  // The share only falls as the rate grows: the least kbit/s that fits, by halving.
  int64_t low = 0, high = 1;
  while (FixedShare(load, high * 1000) > 0.75) high *= 2;
  while (high - low > 1) {
    const int64_t middle = (low + high) / 2;
    (FixedShare(load, middle * 1000) > 0.75 ? low : high) = middle;
  }
  return high * 1000;
}

int64_t NeededMuxRate(int64_t contentRate, const FixedLoad& load) {
  const double wanted = static_cast<double>(contentRate) * 1.01;
  const auto fits = [&](int64_t tens) {
    const int64_t rate = tens * 10000;
    return static_cast<double>(rate) * (1.0 - FixedShare(load, rate)) >= wanted;
  };
  int64_t low = 0, high = 1;
  while (!fits(high)) high *= 2;
  while (high - low > 1) {
    const int64_t middle = (low + high) / 2;
    (fits(middle) ? high : low) = middle;
  }
  return high * 10000;
}

void RateBound::Add(int64_t deadline) {
  if (!m_pending.empty() && m_pending.back().deadline == deadline) {
    ++m_pending.back().packets;
  } else {
    auto at = m_pending.end();
    while (at != m_pending.begin() && (at - 1)->deadline > deadline) --at;
    if (at != m_pending.begin() && (at - 1)->deadline == deadline) ++(at - 1)->packets;
    else m_pending.insert(at, Due{deadline, 1});
  }
  size_t taken = 0;
  while (taken < m_pending.size() && m_pending[taken].deadline <= m_pending.back().deadline - kReorderTicks)
    Take(m_pending[taken++]);
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(taken));
}

// The bytes of one DTS: first the window that starts with it (its earliest departure, and
// the bytes due before it), then the steepest window that ends with it.
void RateBound::Take(const Due& due) {
  const int64_t deadline = std::max(due.deadline, m_lastDeadline);
  if (deadline != m_lastDeadline) {
    const double x = static_cast<double>(std::max(deadline - m_lead, m_start));
    const Point p{m_hull.empty() ? x : std::max(x, m_hull.back().x), m_bytes};
    if (m_hull.empty() || p.x > m_hull.back().x) {
      const auto turn = [](const Point& a, const Point& b, const Point& c) {
        return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
      };
      while (m_hull.size() >= 2 && turn(m_hull[m_hull.size() - 2], m_hull.back(), p) <= 0) m_hull.pop_back();
      if (m_hull.size() >= kMaxHull) m_hull.erase(m_hull.begin(), m_hull.begin() + kMaxHull / 2);
      m_hull.push_back(p);
    }
    m_lastDeadline = deadline;
  }
  m_bytes += static_cast<double>(due.packets) * kTSPacketSize;
  const Point q{static_cast<double>(deadline), m_bytes};
  const auto slope = [](const Point& a, const Point& b) { return (b.y - a.y) / std::max(1.0, b.x - a.x); };
  // The lower tangent from q: the first corner whose next edge rises at least as steeply.
  size_t low = 0, high = m_hull.size() - 1;
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (slope(m_hull[mid], m_hull[mid + 1]) >= slope(m_hull[mid], q)) high = mid;
    else low = mid + 1;
  }
  m_rate = std::max(m_rate, slope(m_hull[low], q));
}

int64_t RateBound::Rate() const {
  RateBound all = *this;
  for (const Due& due : m_pending) all.Take(due);
  return static_cast<int64_t>(std::ceil(all.m_rate * 8 * static_cast<double>(kPCRHz)));
}

}  // namespace palvex_host
