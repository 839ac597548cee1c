// Keeps a paced channel without a constant rate on air while its muxer has nothing to send
// (a live input gone silent): the muxer's packets pass through unchanged (but that the PAT
// and PMTs are repeated in front of the muxer's PCRs when due, every 100 ms, and a PMT that
// follows the first PAT naming it goes ahead of that PAT), and AdvanceTo adds,
// on the muxer's own PCR line, an adaptation-field-only packet with the next PCR on each
// PCR_PID every 20 ms (continuity_counter unchanged), a repeat of the PAT or a PMT before
// its last copy is 100 ms old (TableMemory: the PID's later packets keep their continuity),
// and null packets up to a whole datagram each time, so that the wire never falls quiet.
//
// While it fills, the muxer's next PCR may come more than 40 ms after the last one sent: the
// gap is filled in front of it (up to a second: a longer step is a discontinuity of the
// clock, and neither that nor a line more than a second ahead is filled step by step). As long
// as it has not filled, only the table copies above are added.
// No libavformat here; memory is taken when a PID or table is first seen, never per packet.
#ifndef PALVEX_TOOLS_KEEP_ALIVE_H_
#define PALVEX_TOOLS_KEEP_ALIVE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "table_memory.h"
#include "ts_reader.h"

namespace palvex_host {

class KeepAlive {
 public:
  static constexpr int64_t kStepTicks = kPCRHz / 50;  // 20 ms between the PCRs it adds

  // packetsPerStep: each step adds this many packets (a datagram).
  explicit KeepAlive(size_t packetsPerStep);

  // Whole packets of the muxer, appended to out (after the PCRs that fill a gap in front of
  // the muxer's next PCR).
  void Pass(const uint8_t* ts, size_t size, std::vector<uint8_t>* out);
  // Steps of 20 ms while the next PCR would be at or before line, appended to out.
  void AdvanceTo(int64_t line, std::vector<uint8_t>* out);

  // The last PCR passed or added, on a line that never wraps (27 MHz); -1 before any.
  int64_t lastPCR() const { return m_known ? m_lastPCR : -1; }
  uint64_t pcrPackets() const { return m_pcrPackets; }
  uint64_t tableRepeats() const { return m_tableRepeats; }

 private:
  void Step(std::vector<uint8_t>* out);
  void PassOne(const uint8_t* in, std::vector<uint8_t>* out);
  void MovePMTsAhead(const uint8_t* pat, const uint8_t* from, const uint8_t* end, std::vector<uint8_t>* out);

  size_t m_packetsPerStep;
  TableMemory m_tables;
  std::array<int8_t, 8192> m_lastCC{};  // continuity_counter last passed on each PID, -1 none
  std::array<bool, 8192> m_moved{};     // a PMT sent ahead of its PAT, still to come in the call
  bool m_known = false;
  bool m_filling = false;  // the last PCR is one this added
  int64_t m_lastPCR = 0;
  uint64_t m_pcrPackets = 0;
  uint64_t m_tableRepeats = 0;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_KEEP_ALIVE_H_
