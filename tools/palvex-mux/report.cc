#include "report.h"

#include <cmath>
#include <cstdio>

namespace palvex_host {

std::string ClockText(int64_t us) {
  if (us < 0) us = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(us / 3600000000),
                static_cast<int>(us / 60000000 % 60), static_cast<int>(us / 1000000 % 60),
                static_cast<int>(us / 1000 % 1000));
  return text;
}

void Progress::Update(const RunCounts& counts, int64_t nowNs) {
  if (!m_shown) return;
  if (m_beginNs < 0) m_beginNs = nowNs;
  if (nowNs - m_lastNs < 250000000) return;
  m_lastNs = nowNs;
  const double media = counts.firstUs < 0 ? 0 : static_cast<double>(counts.lastUs - counts.firstUs) / 1e6;
  const double elapsed = static_cast<double>(nowNs - m_beginNs) / 1e9;
  std::string done;
  if (m_duration > 0 && counts.loops == 0) {
    const double share = media / m_duration > 1 ? 1 : media / m_duration;
    const double left = share > 0 ? elapsed * (1 - share) / share : 0;
    char text[64];
    // The time left in whole seconds, rounded up ("00:00:00" only at the end); unknown
    // until some time has passed.
    std::snprintf(text, sizeof text, " %3.0f %%  ETA %.8s", share * 100,
                  elapsed > 0 ? ClockText(static_cast<int64_t>(std::ceil(left)) * 1000000).c_str() : "--:--:--");
    done = text;
  }
  std::fprintf(stderr, "\rmedia %s%s  frames %llu  packets %llu   ", ClockText(static_cast<int64_t>(media * 1e6)).c_str(),
               done.c_str(), static_cast<unsigned long long>(counts.frames),
               static_cast<unsigned long long>(counts.packets));
  m_printed = true;
}

void Progress::End() {
  if (m_printed) std::fputc('\n', stderr);
  m_printed = false;
}

void PrintSummary(const std::string& input, const std::string& output, const std::vector<ClipStream>& streams,
                  const std::vector<Carriage>& carriage, const RunCounts& counts, const PacerStats& pacer,
                  const SchedulerStats* scheduler, int64_t muxRate, double seconds) {
  const double media = counts.firstUs < 0 ? 0 : static_cast<double>(counts.lastUs - counts.firstUs) / 1e6;
  const uint64_t sent = scheduler != nullptr ? scheduler->packets : counts.packets;
  const double bytes = static_cast<double>(sent) * 188;
  std::fprintf(stderr, "palvex-mux: %s -> %s: %llu frames, media time %s, %llu packets (%.2f MB, %.3f Mbit/s) in %.3f s%s\n",
               input.c_str(), output.c_str(), static_cast<unsigned long long>(counts.frames),
               ClockText(static_cast<int64_t>(media * 1e6)).c_str(), static_cast<unsigned long long>(sent),
               bytes / 1e6, media > 0 ? bytes * 8 / media / 1e6 : 0.0, seconds,
               counts.interrupted ? " (interrupted)" : "");
  for (size_t i = 0; i < streams.size() && i < carriage.size(); ++i) {
    const int pid = carriage[i].pid;
    const uint64_t packets = pid >= 0 ? counts.pidPackets[static_cast<size_t>(pid)] : 0;
    std::fprintf(stderr, "  PID 0x%04X  stream_type 0x%02X %-20s input stream %d (%s): %llu frames, %.3f Mbit/s\n",
                 pid, carriage[i].streamType, StreamTypeName(carriage[i].streamType), streams[i].index,
                 streams[i].codecName.c_str(), static_cast<unsigned long long>(counts.streams[i].frames),
                 media > 0 ? static_cast<double>(packets) * 188 * 8 / media / 1e6 : 0.0);
  }
  if (counts.loops > 0) std::fprintf(stderr, "  loops completed: %llu\n", static_cast<unsigned long long>(counts.loops));
  if (counts.inputLosses > 0)
    std::fprintf(stderr, "  input lost %llu time%s, %.1f s in all: the channel stayed on air\n",
                 static_cast<unsigned long long>(counts.inputLosses), counts.inputLosses == 1 ? "" : "s",
                 static_cast<double>(counts.inputLostNs) / 1e9);
  if (counts.lateDropped > 0)
    std::fprintf(stderr, "  frames from before a loss left out, too late for their time: %llu\n",
                 static_cast<unsigned long long>(counts.lateDropped));
  if (counts.cutPictures > 0)
    std::fprintf(stderr, "  pictures left out up to a key picture after a time jump within their GOP: %llu\n",
                 static_cast<unsigned long long>(counts.cutPictures));
  if (counts.clockJumps > 0)
    std::fprintf(stderr, "  input time jumps: %llu (the output's time went on without a break)\n",
                 static_cast<unsigned long long>(counts.clockJumps));
  if (scheduler != nullptr) {
    std::fprintf(stderr, "  constant rate %.3f Mbit/s: null packets %llu (%.1f %%), PCR-only packets %llu, table repeats %llu\n",
                 static_cast<double>(muxRate) / 1e6, static_cast<unsigned long long>(scheduler->nullPackets),
                 sent > 0 ? 100.0 * static_cast<double>(scheduler->nullPackets) / static_cast<double>(sent) : 0.0,
                 static_cast<unsigned long long>(scheduler->pcrPackets),
                 static_cast<unsigned long long>(scheduler->tableRepeats));
    if (scheduler->lateUnits > 0)
      std::fprintf(stderr, "  access units late: %llu (up to %.1f ms after their decode time; the content needed up to "
                   "%.3f Mbit/s over a second)\n", static_cast<unsigned long long>(scheduler->lateUnits),
                   static_cast<double>(scheduler->maxLateTicks) / 27000.0,
                   static_cast<double>(scheduler->maxNeededRate) / 1e6);
  }
  if (pacer.lateRestarts > 0 || pacer.discontinuities > 0 || pacer.maxLateNs > 0)
    std::fprintf(stderr, "  pacing: latest write %.3f ms after its time; clock taken up anew %llu times "
                 "(%llu PCR discontinuities)\n", static_cast<double>(pacer.maxLateNs) / 1e6,
                 static_cast<unsigned long long>(pacer.lateRestarts + pacer.discontinuities),
                 static_cast<unsigned long long>(pacer.discontinuities));
  if (counts.untimed > 0)
    std::fprintf(stderr, "  frames left out without any time stamp: %llu\n", static_cast<unsigned long long>(counts.untimed));
  if (counts.unwritten > 0)
    std::fprintf(stderr, "  frames the library wrote nothing of (cut or empty): %llu\n",
                 static_cast<unsigned long long>(counts.unwritten));
}

}  // namespace palvex_host
