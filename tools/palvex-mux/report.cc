#include "report.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "ts_reader.h"
#include "metrics.h"

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

}  // namespace

bool LogToTerminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

void Log(LogLevel level, const std::string& text) {
  std::string out;
  const char* name = level == LogLevel::kError ? " error " : level == LogLevel::kWarning ? " warning " : " info ";
  const std::string stamp = LogToTerminal() ? "" : ISOTime(WallNowNs(), true) + name;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    out += stamp + text.substr(at, end - at) + "\n";
    at = end + 1;
  }
  std::fputs(out.c_str(), stderr);
}

std::string ClockText(int64_t us) {
  if (us < 0) us = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(us / 3600000000),
                static_cast<int>(us / 60000000 % 60), static_cast<int>(us / 1000000 % 60),
                static_cast<int>(us / 1000 % 1000));
  return text;
}

void CountPackets(const uint8_t* ts, size_t size, RunCounts* counts) {
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const uint8_t* p = ts + off;
    ++counts->pidPackets[PacketPid(p)];
    const int64_t pcr = PacketPCR(p);
    if (pcr >= 0 && counts->lastPCR >= 0) {
      counts->pcrTicks += PCRStep(counts->lastPCR, pcr);
      counts->pcrPackets = counts->sinceFirstPCR;
    }
    if (pcr >= 0) counts->lastPCR = pcr;
    if (counts->lastPCR >= 0) ++counts->sinceFirstPCR;
  }
}

int64_t SuggestedMuxRate(int64_t rate) {
  // A second's PCR-only packets (25) and tables: PAT and PMT repeats (one each 80 to 100 ms),
  // the SDT's and the library's own copies.
  constexpr int64_t kAdded = 60 * kTSPacketSize * 8;
  const int64_t wanted = rate + rate / 100 + kAdded;
  return (wanted + 9999) / 10000 * 10000;
}

namespace {

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
      Appendf(&text, "  access units late: %llu (up to %.1f ms after their decode time); the content fits "
                   "--muxrate %.2fM at this --lead\n", static_cast<unsigned long long>(scheduler->lateUnits),
                   static_cast<double>(scheduler->maxLateTicks) / 27000.0,
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
  if (counts.unwritten > 0)
    Appendf(&text, "  frames the library wrote nothing of (cut or empty): %llu\n",
                 static_cast<unsigned long long>(counts.unwritten));
  Log(LogLevel::kInfo, text);
}

}  // namespace palvex_host
