// The smallest constant rate at which a channel's access units all meet their decode
// times, from what the scheduler knows of them: each packet of an access unit may leave no
// earlier than the lead before the unit's DTS (nor before the line's first slot) and must
// have arrived by the DTS. Slots of one packet each, filled earliest deadline first, meet
// every deadline exactly when, for every window of DTS [d1, d2], the bytes of the units due
// in it fit between max(d1 - lead, start) and d2; the rate is the largest such need over
// the run. Each window is one slope on the cumulative bytes in DTS order, so the largest is
// a tangent to their lower convex hull: O(log n) per access unit.
//
// Packets come in the muxer's order, where PIDs interleave; they are put in DTS order over
// a window of 2 s (a unit that comes later than that counts at the latest DTS already
// taken). The hull keeps at most 4096 corners (the oldest go first), so a day-long run
// with ever-rising rates weighs windows of a few hours at most.
#ifndef PALVEX_TOOLS_RATE_BOUND_H_
#define PALVEX_TOOLS_RATE_BOUND_H_

#include <cstdint>
#include <vector>

namespace palvex_host {

// What a constant rate carries before any content: a PCR at most 40 ms apart for each
// program with a clock (one slot in every floor(40 ms / slot), so every slot at rates whose
// slot is longer than 20 ms), the PAT and PMTs every 0.5 s, DVB SI every 2 s, and the
// rarer tables per second.
struct FixedLoad {
  int pcrPrograms = 0;
  int psiPackets = 0;           // one copy of the PAT and of every PMT
  int siPackets = 0;            // one copy of the SDT (and other SI repeated every 2 s)
  double otherPerSecond = 0.0;  // NIT, TDT: packets a second
};

// The share of a rate's slots (0..1, or more when it cannot carry them at all) that the
// fixed load takes at muxRate bit/s.
double FixedShare(const FixedLoad& load, int64_t muxRate);

// The least rate, a whole number of kbit/s, at which the fixed load takes at most three
// quarters of the slots: below it the content would go out a packet now and then, or
// never, while PCRs and tables fill the line.
int64_t LeastMuxRate(const FixedLoad& load);

// The least rate, a whole number of 10 kbit/s, whose slots left by the fixed load carry
// contentRate bit/s (the content's RateBound) with 1 % to spare.
int64_t NeededMuxRate(int64_t contentRate, const FixedLoad& load);

class RateBound {
 public:
  // The line's first slot and the lead (27 MHz): nothing leaves before either.
  void Start(int64_t line, int64_t leadTicks) {
    m_start = line;
    m_lead = leadTicks;
  }
  // One packet of an access unit due at deadline (27 MHz).
  void Add(int64_t deadline);
  // bit/s that meets every deadline seen so far (the units still in the reordering window
  // included); 0 before any.
  int64_t Rate() const;

 private:
  struct Point {
    double x, y;  // window start (27 MHz) and the bytes due before it
  };
  struct Due {
    int64_t deadline;
    uint32_t packets;
  };
  void Take(const Due& due);

  int64_t m_lead = 0;
  int64_t m_start = INT64_MIN / 4;
  std::vector<Due> m_pending;  // in DTS order, within the reordering window
  std::vector<Point> m_hull;   // lower convex hull of the window starts
  int64_t m_lastDeadline = INT64_MIN / 4;
  double m_bytes = 0;          // due up to m_lastDeadline
  double m_rate = 0;           // bytes per 27 MHz tick
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_RATE_BOUND_H_
