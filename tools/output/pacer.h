// Releases a transport stream in real time. Packets come with their departure times on a
// 27 MHz line (Send: from the scheduler of a constant-rate channel), or as the muxer gives
// them (Push: timed by their own PCRs, the packets from one PCR to the next spread evenly
// over the time between the two PCR values). They are grouped into writes of whole
// packets, and each write leaves when the clock reaches its last packet (writes due within
// a few milliseconds of each other leave together, at the middle of their times). Without
// pacing the packets pass straight through.
#ifndef PALVEX_TOOLS_PACER_H_
#define PALVEX_TOOLS_PACER_H_

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "output.h"
#include "scheduler.h"

namespace palvex_host {

struct PacerConfig {
  bool paced = false;             // writes leave in real time
  size_t packetsPerWrite = kPacketsPerDatagram;
  int64_t startDelayNs = 100000000;  // the first packet leaves this long after it is seen
  int64_t batchNs = kDefaultPacingWindowNs;  // writes due within this window leave together, at its middle
};

struct PacerStats {
  uint64_t discontinuities = 0; // PCR steps back or jumps of more than a second: clock taken up anew
  uint64_t lateRestarts = 0;    // clock taken up anew after falling more than a second behind
  int64_t maxLateNs = 0;        // the latest any write left after its time
  uint64_t sleeps = 0;          // waits for the clock
};

class Pacer final : public PacketOutput {
 public:
  // stop, when set (by a signal handler), ends waits at once.
  Pacer(Sink* sink, const PacerConfig& config, const volatile std::sig_atomic_t* stop);
  // Whole 188-byte packets from the muxer, timed by their PCRs; false when the sink fails.
  bool Push(const uint8_t* ts, size_t size);
  // Packets with their departure times (PacketOutput).
  bool Send(const uint8_t* packets, const int64_t* departures, size_t count) override;
  // Writes everything held, without waiting.
  bool Finish();
  // From here on a stop no longer cuts waits short: after SIGINT the packets already
  // scheduled (at most the lead) still leave at their times, not in one burst that would
  // overrun a receiver's buffer. A second signal ends the process at once.
  void PaceTheTail() { m_tail = true; }
  const PacerStats& stats() const { return m_stats; }
  // The line (as Send's departures, or Push's PCRs) the clock stands at now; false until
  // the first packet was seen.
  bool LineNow(int64_t* line) const;

 private:
  bool OnPcr(int64_t pcr);
  bool Spread(int64_t interval);
  bool EmitPending(int64_t line);
  bool Emit(const uint8_t* packet, int64_t line);
  bool Complete(int64_t line);
  bool FlushBatch();
  void WaitUntil(int64_t dueNs);

  Sink* m_sink;
  PacerConfig m_config;
  const volatile std::sig_atomic_t* m_stop;
  bool m_tail = false;  // PaceTheTail
  PacerStats m_stats;
  std::vector<uint8_t> m_pending;  // packets since the last PCR packet, that one first
  std::vector<uint8_t> m_write;    // the write being filled
  std::vector<uint8_t> m_batch;    // full writes that leave together
  std::vector<uint32_t> m_batchClocks;  // 90 kHz time of each write in the batch (its last packet)
  int64_t m_batchFirstNs = 0, m_batchLastNs = 0;
  bool m_clockKnown = false;       // Push: a PCR was seen
  int64_t m_lastPcr = 0;           // Push: raw 27 MHz value of the last PCR
  int64_t m_line = 0;              // Push: the last PCR on a 27 MHz line that never wraps
  int64_t m_lastLine = 0;          // the line of the last packet
  bool m_anchored = false;
  int64_t m_anchorLine = 0;
  int64_t m_anchorNs = 0;          // steady clock time of m_anchorLine
};

int64_t SteadyNowNs();

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_PACER_H_
