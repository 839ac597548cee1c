// Counts the packets of an output into its metrics on the mux thread, as they leave (from
// the scheduler of a constant-rate run, with their departure times): what a receiver of
// the output sees. Each packet goes by its PID to its service (the packets, the PCR steps
// of its PCR_PID, the repetition of its PMT) or to the output (nulls; the PAT, SDT, NIT
// and TDT, their packets and repetition).
//
// Services. A multiplex names each service's PIDs (its PMT PID and its block of
// elementary PIDs, where its cue PID is too); a single channel's one service owns every
// PID that is not the output's, its PMT PID read from the PAT. Time is the packets'
// departure on the output's line where the run has it, else the latest PCR sent (steps of
// the tables are then known to about the PCR spacing). Memory is taken when a service is
// added, never per packet.
#ifndef PALVEX_TOOLS_TS_METER_H_
#define PALVEX_TOOLS_TS_METER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics.h"

namespace palvex_host {

class TSMeter {
 public:
  explicit TSMeter(OutputMetrics* output);
  // A single channel: service (null: none) owns every PID but the output's.
  TSMeter(ServiceMetrics* service, OutputMetrics* output);

  // A service of a multiplex, its packets those of pmtPid and of firstPid..lastPid. Its
  // metrics stay in use until RemoveService.
  void AddService(ServiceMetrics* service, int pmtPid, int firstPid, int lastPid);
  void RemoveService(const ServiceMetrics* service);

  // count whole packets; departures (27 MHz, one per packet) may be null. nowNs (steady
  // clock) places the steps in the recent maxima.
  void Count(const uint8_t* ts, size_t count, const int64_t* departures, int64_t nowNs);
  void Count(const uint8_t* ts, size_t count, const int64_t* departures) {
    Count(ts, count, departures, SteadyClockNs());
  }

 private:
  struct Route {
    ServiceMetrics* metrics = nullptr;  // null: a free slot
    int pmtPid = -1;
    int pcrPid = -1;  // the first of its PIDs seen with a PCR
    int64_t lastPCR = -1;
    int64_t lastPMT = -1;
    uint64_t packets = 0;  // counted in this call, added at its end
  };
  void NoteOutputTable(Table table, int64_t now, int64_t nowNs);

  OutputMetrics* m_output;
  bool m_single = false;  // every PID but the output's to m_routes[0]
  std::vector<Route> m_routes;
  std::array<int16_t, 8192> m_routeOf;  // index into m_routes, -1: none
  std::array<int64_t, kTableCount> m_lastTable;
  int64_t m_lastPCR = -1;  // the latest PCR sent, of any service
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_TS_METER_H_
