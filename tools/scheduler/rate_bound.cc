#include "rate_bound.h"

#include <algorithm>
#include <cmath>

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kReorderTicks = 2 * kPCRHz;
constexpr size_t kMaxHull = 4096;

}  // namespace

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
