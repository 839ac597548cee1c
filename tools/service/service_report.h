// What one service counts and tells: its frames, packets and incidents (RunCounts), the
// progress line (with percentage and time left when the input's duration is known), and
// the log every line of palvex-mux goes through: on a terminal as it is; under a service
// manager (standard error not a terminal: a journal, a file) each line behind its ISO-8601
// UTC time and level, and no progress line.
#ifndef PALVEX_TOOLS_SERVICE_REPORT_H_
#define PALVEX_TOOLS_SERVICE_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

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
  uint64_t inputErrors = 0;            // libavformat's errors: a damaged input
  uint64_t corruptFrames = 0;          // frames the demuxer flagged corrupt (lost or broken input packets)
  uint64_t packets = 0;
  int64_t firstUs = -1, lastUs = -1;   // span of the muxed frame times (end of the last frame)
  // The output between its first and last PCR, for the rate a receiver measures there.
  int64_t lastPCR = -1;
  int64_t pcrTicks = 0;                // from the first PCR to the last
  uint64_t pcrPackets = 0;             // packets from the first PCR's packet to the last one's
  uint64_t sinceFirstPCR = 0;
  uint64_t loops = 0;
  uint64_t clockJumps = 0;             // frames re-based: the input's clock stepped back or jumped
  uint64_t inputLosses = 0;            // a live input without frames for a second or more
  int64_t inputLostNs = 0;             // how long in all
  uint64_t lateDropped = 0;            // frames held back from before a loss, too late for their time
  uint64_t cutPictures = 0;            // reordered pictures left out after a time jump within their GOP
  bool interrupted = false;
};

enum class LogLevel { kError, kWarning, kInfo };

// A message of one or more lines ("palvex-mux: ..."), written whole. On a terminal as it is;
// into systemd's journal (JOURNAL_STREAM names standard error) each line behind its syslog
// priority ("<4>palvex-mux: ...", so that journalctl -p warning shows the warnings); into
// a file or a pipe each line behind its time and level ("2026-12-07T22:40:00.123Z warning
// palvex-mux: ..."). Where the level is given apart, a "warning: " or "error: " opening the
// text (after "palvex-mux: " and a "service N: ") is left out: it would say it twice.
// Control characters other than the line ends (an escape sequence, a carriage return) are
// written escaped, as LogSafe writes them.
void Log(LogLevel level, const std::string& text);
// Text from outside (a service name or provider, an input's URL) for a log line: every
// control character, the line end too, and the C1 controls of UTF-8 as \n, \r, \t or
// \xNN, so that it can neither end the line nor reach the terminal as a control.
std::string LogSafe(const std::string& text);
// Whether standard error is a terminal (progress lines are shown only there).
bool LogToTerminal();

// "00:01:02.345"
std::string ClockText(int64_t us);

// Whole packets on their way out: counted per PID, PCRs noted.
void CountPackets(const uint8_t* ts, size_t size, RunCounts* counts);

// How late an access unit left, in ms, or in us below a millisecond.
std::string LateText(int64_t ticks);

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

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SERVICE_REPORT_H_
