// What palvex-mux tells its user on standard error: the progress line (with percentage and
// time left when the input's duration is known) and the summary at the end, one line per
// stream with its PID, stream_type and bit rate.
#ifndef PALVEX_TOOLS_REPORT_H_
#define PALVEX_TOOLS_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "carriage.h"
#include "clip_reader.h"
#include "pacer.h"
#include "scheduler.h"

namespace palvex_host {

struct StreamCount {
  uint64_t frames = 0;
  uint64_t bytes = 0;
};

struct RunCounts {
  std::vector<StreamCount> streams;    // per muxed stream, in order
  std::vector<uint64_t> pidPackets = std::vector<uint64_t>(8192);
  uint64_t frames = 0;                 // frames written: a PES packet of theirs came back
  uint64_t untimed = 0;                // frames left out: no time stamp at all
  uint64_t unwritten = 0;              // frames the library gave no packet of (cut or empty)
  uint64_t packets = 0;
  int64_t firstUs = -1, lastUs = -1;   // span of the muxed frame times (end of the last frame)
  uint64_t loops = 0;
  uint64_t clockJumps = 0;             // frames re-based: the input's clock stepped back or jumped
  uint64_t inputLosses = 0;            // a live input without frames for a second or more
  int64_t inputLostNs = 0;             // how long in all
  uint64_t lateDropped = 0;            // frames held back from before a loss, too late for their time
  uint64_t cutPictures = 0;            // reordered pictures left out after a time jump within their GOP
  bool interrupted = false;
};

// "00:01:02.345"
std::string ClockText(int64_t us);

class Progress {
 public:
  Progress(bool shown, double durationSeconds) : m_shown(shown), m_duration(durationSeconds) {}
  void Update(const RunCounts& counts, int64_t nowNs);
  void End();

 private:
  bool m_shown;
  double m_duration;
  int64_t m_beginNs = -1;
  int64_t m_lastNs = 0;
  bool m_printed = false;
};

// The summary on standard error; scheduler is null without a mux rate. With one, the
// packet count and the rate are the output's, null packets included.
void PrintSummary(const std::string& input, const std::string& output, const std::vector<ClipStream>& streams,
                  const std::vector<Carriage>& carriage, const RunCounts& counts, const PacerStats& pacer,
                  const SchedulerStats* scheduler, int64_t muxRate, double seconds);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_REPORT_H_
