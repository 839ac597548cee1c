// Counts the packets of an output that carries one service into its metrics, on the mux
// thread as the packets leave: packets and nulls, the PCR steps of the PCR_PID, the
// repetition of PAT, PMT and SDT. Time is the packets' departure on the output's line
// where the runner has it (a constant-rate channel), else the latest PCR sent (the tables'
// steps are then known to about the PCR spacing). A multiplex runner meters each service's
// packets before they are put together, and the output's nulls itself.
#ifndef PALVEX_TOOLS_TS_METER_H_
#define PALVEX_TOOLS_TS_METER_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "metrics.h"

namespace palvex_host {

class TSMeter {
 public:
  // output may be null (a service of a multiplex).
  TSMeter(ServiceMetrics* service, OutputMetrics* output) : m_service(service), m_output(output) {}

  // count whole packets; departures (27 MHz, one per packet) may be null.
  void Count(const uint8_t* ts, size_t count, const int64_t* departures);

 private:
  void NoteTable(Table table, int64_t now);

  ServiceMetrics* m_service;
  OutputMetrics* m_output;
  int m_pmtPid = -1;  // from the PAT, its first program
  int m_pcrPid = -1;  // the first PID seen with a PCR
  int64_t m_lastPCR = -1;
  std::array<int64_t, kTableCount> m_lastTable{{-1, -1, -1}};
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_TS_METER_H_
