// Paces a transport stream by its own clock. Packets are held until the next PCR; the
// packets from one PCR to the next are then spread evenly over the time between the two
// PCR values (with null packets, PID 0x1FFF, filling up to a constant mux rate when one is
// set), grouped into writes of whole packets, and each write leaves when the stream's
// clock reaches its last packet (writes due within a few milliseconds of each other leave
// together, at the middle of their times). Without pacing and without a mux rate the packets pass
// straight through.
#ifndef PALVEX_TOOLS_PACER_H_
#define PALVEX_TOOLS_PACER_H_

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "output.h"

namespace palvex_host {

struct PacerConfig {
  bool paced = false;             // writes leave in real time
  int64_t muxRate = 0;            // bit/s; 0: as many packets as the muxer gives
  size_t packetsPerWrite = kPacketsPerDatagram;
  int64_t startDelayNs = 100000000;  // the first PCR leaves this long after it is seen
  int64_t batchNs = 4000000;      // writes due within this window leave together, at its middle
};

struct PacerStats {
  uint64_t nullPackets = 0;
  uint64_t overruns = 0;        // PCR intervals with more packets than the mux rate allows
  uint64_t discontinuities = 0; // PCR steps back or jumps of more than a second: clock taken up anew
  uint64_t lateRestarts = 0;    // clock taken up anew after falling more than a second behind
  int64_t maxLateNs = 0;        // the latest any write left after its time
  uint64_t sleeps = 0;          // waits for the clock
};

class Pacer {
 public:
  // stop, when set (by a signal handler), ends waits at once.
  Pacer(Sink* sink, const PacerConfig& config, const volatile std::sig_atomic_t* stop);
  // Whole 188-byte packets from the muxer; false when the sink fails.
  bool Push(const uint8_t* ts, size_t size);
  // Writes everything held, without waiting.
  bool Finish();
  const PacerStats& stats() const { return m_stats; }

 private:
  bool OnPcr(int64_t pcr);
  bool Spread(int64_t interval);
  bool Emit(const uint8_t* packet, int64_t tick);
  bool Complete(int64_t tick);
  bool FlushBatch();
  void WaitUntil(int64_t dueNs);

  Sink* m_sink;
  PacerConfig m_config;
  const volatile std::sig_atomic_t* m_stop;
  PacerStats m_stats;
  std::vector<uint8_t> m_pending;  // packets since the last PCR packet, that one first
  std::vector<uint8_t> m_write;    // the write being filled
  std::vector<uint8_t> m_batch;    // full writes that leave together
  std::vector<uint32_t> m_batchClocks;  // 90 kHz time of each write in the batch (its last packet)
  int64_t m_batchFirstNs = 0, m_batchLastNs = 0;
  bool m_clockKnown = false;
  int64_t m_lastPcr = 0;           // raw 27 MHz value of the last PCR
  int64_t m_firstPcr = 0;          // raw value of the first: RTP time stamps count from it
  int64_t m_tick = 0;              // the last PCR on a 27 MHz line that never wraps
  int64_t m_anchorTick = 0;
  int64_t m_anchorNs = 0;          // steady clock time of m_anchorTick
  double m_slotCarry = 0;          // fraction of a mux-rate slot carried to the next interval
};

int64_t SteadyNowNs();

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_PACER_H_
