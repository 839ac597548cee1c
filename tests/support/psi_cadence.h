// PAT/PMT/SDT cadence on the program clock: where every PAT, PMT and SDT packet of a
// transport stream stands in PCR time. A PSI packet's time is interpolated by packet index between
// the two PCRs of the PCR PID around it, so only PSI between the first and the last PCR is
// timed.
#ifndef PALVEX_TESTS_SUPPORT_PSI_CADENCE_H_
#define PALVEX_TESTS_SUPPORT_PSI_CADENCE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace palvex_test {

struct PsiCadence {
  int pmtPid = -1;       // from the first PAT
  int pcrPid = -1;       // from the first PMT
  int64_t firstPcr = 0;  // 90 kHz PCR base, unwrapped past 2^33
  int64_t lastPcr = 0;
  size_t pcrCount = 0;
  std::vector<int64_t> patTimes;  // PCR time of every PAT packet between the first and last PCR
  std::vector<int64_t> pmtTimes;  // the same for the PMT
  std::vector<int64_t> sdtTimes;  // ... for the SDT (actual transport stream) on PID 0x0011

  struct Gap {
    int64_t length = 0;
    int64_t from = 0;  // PCR time where it starts
  };
  // The longest stretch of PCR time without the table, the stretches from the first PCR to
  // the first table and from the last table to the last PCR included.
  static Gap LongestGap(const std::vector<int64_t>& times, int64_t firstPcr, int64_t lastPcr);
};

PsiCadence MeasurePsiCadence(const uint8_t* ts, size_t size);

// A constant-rate multiplex as a receiver measures it: the steps (27 MHz) between two PCRs
// of each program's PCR_PID (their values), and between two copies of each table by their
// places in the stream (packet k leaves k x 188 x 8 / muxRate s after the first); every
// program's packets (its PMT and the PIDs the PMT lists).
struct MultiplexCadence {
  struct Steps {
    std::vector<int64_t> length;  // 27 MHz
    std::vector<int64_t> end;     // where each ends, 27 MHz from the first packet
    size_t AtMost(int64_t bound) const;
    // The longest of those that end at or after from.
    int64_t LongestSince(int64_t from) const;
  };
  std::map<int, Steps> pcr;  // by program_number
  // "pat", "sdt", "nit", "tdt" (SDT, NIT actual; TDT, not TOT), "pmt:N" for program N
  std::map<std::string, Steps> tables;
  std::map<int, uint64_t> packets;  // by program_number
  uint64_t nulls = 0;
  int64_t endTicks = 0;  // where the last packet leaves
};

// The first packets of ts (whole packets, at muxRate bit/s); the programs as the last PAT
// and their PMTs name them.
MultiplexCadence MeasureMultiplexCadence(const uint8_t* ts, size_t packets, int64_t muxRate);

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_PSI_CADENCE_H_
