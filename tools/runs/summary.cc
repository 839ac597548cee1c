#include "summary.h"

#include <cstdarg>
#include <cstdio>

#include "ts_reader.h"

namespace palvex_host {
namespace {

void Appendf(std::string* text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string* text, const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    const size_t at = text->size();
    text->resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(&(*text)[at], static_cast<size_t>(n) + 1, format, again);
    text->resize(at + static_cast<size_t>(n));
  }
  va_end(again);
}

std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The summary's name of a stream_type: AC-3 and E-AC-3 go as PES private data.
std::string TypeName(int streamType, const std::string& codec) {
  if (streamType == 0x06 && codec == "ac3") return "AC-3";
  if (streamType == 0x06 && codec == "eac3") return "E-AC-3";
  return StreamTypeName(streamType);
}

}  // namespace

int64_t SuggestedMuxRate(int64_t rate) {
  FixedLoad channel;  // a PCR every 40 ms; PAT, PMT and SDT every 0.5 s
  channel.pcrPrograms = 1;
  channel.psiPackets = 3;
  return NeededMuxRate(rate, channel);
}

void PrintSummary(const std::string& input, const std::string& output, const std::vector<ClipStream>& streams,
                  const std::vector<Carriage>& carriage, const RunCounts& counts, const PacerStats& pacer,
                  const SchedulerStats* scheduler, int64_t muxRate, int64_t fittingRate, double seconds) {
  const double media = counts.firstUs < 0 ? 0 : static_cast<double>(counts.lastUs - counts.firstUs) / 1e6;
  const uint64_t sent = scheduler != nullptr ? scheduler->packets : counts.packets;
  const double bytes = static_cast<double>(sent) * 188;
  std::string text;
  // What a receiver measures between PCRs: with --muxrate exactly the rate; else the
  // library's own pace, over the span of its PCRs (media time when there are not two).
  double rate = media > 0 ? bytes * 8 / media : 0.0;
  if (scheduler != nullptr) rate = static_cast<double>(muxRate);
  else if (counts.pcrTicks > 0)
    rate = static_cast<double>(counts.pcrPackets) * 188 * 8 * kPCRHz / static_cast<double>(counts.pcrTicks);
  Appendf(&text, "palvex-mux: %s -> %s: %s, media time %s, %s (%.2f MB, %.3f Mbit/s) in %.3f s%s\n",
               input.c_str(), output.c_str(), Plural(counts.frames, "frame").c_str(),
               ClockText(static_cast<int64_t>(media * 1e6)).c_str(), Plural(sent, "packet").c_str(), bytes / 1e6,
               rate / 1e6, seconds, counts.interrupted ? " (interrupted)" : "");
  const double span = rate > 0 ? bytes * 8 / rate : 0.0;  // the output's duration, on the same measure
  for (size_t i = 0; i < streams.size() && i < carriage.size(); ++i) {
    const int pid = carriage[i].pid;
    const uint64_t packets = pid >= 0 ? counts.pidPackets[static_cast<size_t>(pid)] : 0;
    Appendf(&text, "  PID 0x%04X  stream_type 0x%02X %-20s input stream %d (%s): %s, %.3f Mbit/s\n",
                 pid, carriage[i].streamType, TypeName(carriage[i].streamType, streams[i].codecName).c_str(),
                 streams[i].index, streams[i].codecName.c_str(), Plural(counts.streams[i].frames, "frame").c_str(),
                 span > 0 ? static_cast<double>(packets) * 188 * 8 / span / 1e6 : 0.0);
  }
  if (counts.loops > 0) Appendf(&text, "  loops completed: %llu\n", static_cast<unsigned long long>(counts.loops));
  if (counts.inputLosses > 0)
    Appendf(&text, "  input lost %llu time%s, %.1f s in all: the channel stayed on air\n",
                 static_cast<unsigned long long>(counts.inputLosses), counts.inputLosses == 1 ? "" : "s",
                 static_cast<double>(counts.inputLostNs) / 1e9);
  if (counts.lateDropped > 0)
    Appendf(&text, "  frames from before a loss left out, too late for their time: %llu\n",
                 static_cast<unsigned long long>(counts.lateDropped));
  if (counts.cutPictures > 0)
    Appendf(&text, "  pictures left out up to a key picture after a time jump within their GOP: %llu\n",
                 static_cast<unsigned long long>(counts.cutPictures));
  if (counts.clockJumps > 0)
    Appendf(&text, "  input time jumps: %llu (the output's time went on without a break)\n",
                 static_cast<unsigned long long>(counts.clockJumps));
  if (scheduler != nullptr) {
    Appendf(&text, "  constant rate %.3f Mbit/s: null packets %llu (%.1f %%), PCR-only packets %llu, table repeats %llu\n",
                 static_cast<double>(muxRate) / 1e6, static_cast<unsigned long long>(scheduler->nullPackets),
                 sent > 0 ? 100.0 * static_cast<double>(scheduler->nullPackets) / static_cast<double>(sent) : 0.0,
                 static_cast<unsigned long long>(scheduler->pcrPackets),
                 static_cast<unsigned long long>(scheduler->tableRepeats));
    if (scheduler->lateUnits > 0)
      Appendf(&text, "  access units late: %llu (up to %s after their decode time); the content fits "
                   "--muxrate %.2fM at this --lead\n", static_cast<unsigned long long>(scheduler->lateUnits),
                   LateText(scheduler->maxLateTicks).c_str(),
                   static_cast<double>(SuggestedMuxRate(fittingRate)) / 1e6);
  }
  if (pacer.lateRestarts > 0 || pacer.discontinuities > 0 || pacer.maxLateNs > 0)
    Appendf(&text, "  pacing: latest write %.3f ms after its time; clock taken up anew %llu times "
                 "(%llu PCR discontinuities)\n", static_cast<double>(pacer.maxLateNs) / 1e6,
                 static_cast<unsigned long long>(pacer.lateRestarts + pacer.discontinuities),
                 static_cast<unsigned long long>(pacer.discontinuities));
  if (counts.untimed > 0)
    Appendf(&text, "  frames left out without any time stamp: %llu\n", static_cast<unsigned long long>(counts.untimed));
  if (counts.inputErrors > 0)
    Appendf(&text, "  input damaged: %s from libavformat (the first: %s)\n",
                 Plural(counts.inputErrors, "error").c_str(), FirstLibavError().c_str());
  if (counts.corruptFrames > 0)
    Appendf(&text, "  input damaged: %s came corrupt (transport packets lost or broken on the way)\n",
                 Plural(counts.corruptFrames, "frame").c_str());
  if (counts.unwritten > 0)
    Appendf(&text, "  frames the library wrote nothing of (cut or empty): %llu\n",
                 static_cast<unsigned long long>(counts.unwritten));
  Log(LogLevel::kInfo, text);
}

}  // namespace palvex_host
