#include "service_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ts_reader.h"
#include "metrics.h"

namespace palvex_host {

bool LogToTerminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

namespace {

// Standard error is systemd's journal: JOURNAL_STREAM holds its device and inode.
bool LogToJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev && inode == st.st_ino;
  }();
  return journal;
}

// "palvex-mux: [service N: ]warning: text" -> "palvex-mux: [service N: ]text".
void LeaveOutLevelWord(std::string* line) {
  const std::string program = "palvex-mux: ";
  if (line->rfind(program, 0) != 0) return;
  size_t at = program.size();
  if (line->compare(at, 8, "service ") == 0) {
    const size_t colon = line->find(": ", at + 8);
    if (colon == std::string::npos || line->find_first_not_of("0123456789", at + 8) != colon) return;
    at = colon + 2;
  }
  for (const char* word : {"warning: ", "error: "})
    if (line->compare(at, std::strlen(word), word) == 0) line->erase(at, std::strlen(word));
}

}  // namespace

std::string LogSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F (C2 80 to C2 9F): CSI and the other C1 controls of a terminal.
    const bool c1 = c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c >= 0x20 && c != 0x7F && !c1) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char escape[8];
    if (c1) std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(text[++i])));
    else if (c == '\n') std::snprintf(escape, sizeof escape, "\\n");
    else if (c == '\r') std::snprintf(escape, sizeof escape, "\\r");
    else if (c == '\t') std::snprintf(escape, sizeof escape, "\\t");
    else std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
    out += escape;
  }
  return out;
}

void Log(LogLevel level, const std::string& text) {
  std::string out;
  const char* name = level == LogLevel::kError ? " error " : level == LogLevel::kWarning ? " warning " : " info ";
  const char* priority = level == LogLevel::kError ? "<3>" : level == LogLevel::kWarning ? "<4>" : "<6>";
  const bool terminal = LogToTerminal();
  const std::string stamp = terminal ? "" : LogToJournal() ? priority : ISOTime(WallNowNs(), true) + name;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string line = LogSafe(text.substr(at, end - at));
    if (!terminal) LeaveOutLevelWord(&line);
    out += stamp + line + "\n";
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

std::string LateText(int64_t ticks) {
  char text[32];
  if (ticks < kPCRHz / 1000) std::snprintf(text, sizeof text, "%.0f us", static_cast<double>(ticks) / 27.0);
  else std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ticks) / 27000.0);
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

}  // namespace palvex_host
