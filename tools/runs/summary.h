// The summary a run of one channel prints at its end on standard error: the input and
// output, one line per stream with its PID, stream_type and bit rate, the constant rate's
// null packets, PCR-only packets and table repeats, and what went wrong on the way.
#ifndef PALVEX_TOOLS_SUMMARY_H_
#define PALVEX_TOOLS_SUMMARY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "carriage.h"
#include "clip_reader.h"
#include "pacer.h"
#include "scheduler.h"
#include "service_report.h"

namespace palvex_host {

// A --muxrate that carries content whose deadlines fit rate (Scheduler::FittingRate), with
// room for the PCR-only packets and table repeats the slots add: rounded up to 10 kbit/s.
int64_t SuggestedMuxRate(int64_t rate);
// The summary on standard error; scheduler is null without a mux rate. With one, the
// packet count is the output's, null packets included, and the rate is --muxrate (each
// PCR is exact to its slot); without, the rate is the one between the first and last PCR.
// Each stream's rate is over the same span.
// fittingRate: the scheduler's, told when access units were late.
void PrintSummary(const std::string& input, const std::string& output, const std::vector<ClipStream>& streams,
                  const std::vector<Carriage>& carriage, const RunCounts& counts, const PacerStats& pacer,
                  const SchedulerStats* scheduler, int64_t muxRate, int64_t fittingRate, double seconds);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SUMMARY_H_
