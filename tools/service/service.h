// One service as palvex-mux makes it, for the single channel and for each service of a
// multiplex alike: its input opened and its streams chosen, the library's carriage of them
// checked, the frames muxed through the exported interface with clocks that start at 1.8 s,
// or a second past a longer --lead (first PCR a second or more above zero, far from the
// 2^33 wrap) and go on across loops and through the
// input's clock jumps (Timeline), the packets made what DVB receivers expect (dvb_stage.h;
// --keep-pids leaves them as they are). Where the packets go (a scheduler, a pacer) is the
// caller's; so is the reading of the input (a thread for a live one).
#ifndef PALVEX_TOOLS_SERVICE_H_
#define PALVEX_TOOLS_SERVICE_H_

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "carriage.h"
#include "clip_reader.h"
#include "dvb_stage.h"
#include "metrics.h"
#include "service_options.h"
#include "output.h"
#include "pacer.h"
#include "palvex/palvex.h"
#include "service_report.h"
#include "splice_cues.h"
#include "splice_requests.h"
#include "timeline.h"

namespace palvex_host {

// Exit status of a run whose content did not fit --muxrate (access units left late); the
// output is complete.
constexpr int kExitTooLittleRate = 3;
// Exit status of a run whose reader closed the pipe (or socket) it wrote to: no message, as
// a Unix tool killed by SIGPIPE ends (a shell shows 128 + 13 for it too).
constexpr int kExitReaderGone = 141;

// Frame times handed to the muxer start here: its PCR runs 400 ms behind the frames.
constexpr int64_t kClockStartUs = 1800000;
constexpr int64_t kPCRDelayUs = 400000;
// A constant-rate channel's first PCR comes the lead before the first decode time: frame
// times then start this far past the lead, so that with any --lead the clocks start a
// second or more above zero and far below the 2^33 wrap (26.5 hours on).
constexpr int64_t kClockAboveLeadUs = 1000000;
inline int64_t ClockStartUs(int64_t leadTicks) { return std::max(kClockStartUs, leadTicks / 27 + kClockAboveLeadUs); }
// A live input without a frame this long is told as lost.
constexpr int64_t kInputLostNs = 1000000000;

// The host's frame: the bytes palvex reads (it never writes them).
class HostFrame final : public IMediaFrame {
 public:
  void Assign(const std::vector<uint8_t>& bytes, int64_t timeUs) {
    if (m_storage.size() < bytes.size()) m_storage.resize(bytes.size());
    if (!bytes.empty()) std::memcpy(m_storage.data(), bytes.data(), bytes.size());
    m_size = static_cast<int>(bytes.size());
    m_time = timeUs;
  }
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_storage.data(); }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return m_time; }

 private:
  std::vector<uint8_t> m_storage;
  int m_size = 0;
  int64_t m_time = -1;
};

// Where a live service's own clock stands when the line of its packets is at line (27 MHz,
// on the service's clock) and a frame may leave lead before its DTS: a clock-stream frame
// due more than half the lead behind it is moved on to the lead ahead of it.
Timeline::Bounds BoundsOnLine(int64_t line, int64_t leadTicks);

// A run's output (options.output) and the pacer in front of it: paced for a network output
// and with -re, then (--rt-priority) under real-time scheduling, since pacing holds to the
// millisecond only when the process is woken in time (it sleeps between writes); a refusal
// of that is warned of. False with the error when the output cannot be opened.
bool OpenPacedOutput(const Options& options, int tsFd, const volatile std::sig_atomic_t* stop, PacerConfig* config,
                     std::unique_ptr<Sink>* sink, std::unique_ptr<Pacer>* pacer, std::string* error);

class Service {
 public:
  // The muxer's packets of one frame (or of a seam's repeat); false when they could not be
  // sent (the callee has said why).
  using Output = std::function<bool(const uint8_t* ts, size_t size)>;

  // options: the input, its maps and --loop, and the DVB options of the service; label
  // starts every line told about it ("" for a single channel).
  Service(const Options& options, std::string label);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The input opened (interrupt ends a blocked read when it returns nonzero), its streams
  // chosen and their carriage checked; false with a line on standard error.
  // stop: the run's stop flag (a stop while waiting for a live input is no failure:
  // counts().interrupted tells it).
  bool Open(int (*interrupt)(void*), void* opaque, const volatile std::sig_atomic_t* stop);
  // One service of a multiplex, before Start: its DVB stage as base gives it (PIDs,
  // program_number, PAT and SDT left to the multiplex; an empty provider or name: the
  // service's own choice), in place of the options' DVB settings.
  void SetInMultiplex(const DVBConfig& base) { m_base = base; }
  // The muxer, the time line and the DVB stage; false with a line.
  bool Start();
  // Progress line to end before a line is told (null: none).
  void SetProgress(Progress* progress) { m_progress = progress; }
  // The service's counters in a registry (--http) kept up as it runs (null: none).
  void SetMetrics(ServiceMetrics* metrics) { m_metrics = metrics; }

  // One frame of the input, its time mapped; false when the muxer refused it or out failed.
  bool MuxFrame(const ClipFrame& clip, const Timeline::Bounds& bounds, const Output& out);
  // --loop: the next pass of the input starts where this one ends, after the audio frames
  // sent again to fill its seam. False at the end: failed() tells whether by a fault.
  bool NextPass(const Output& out, const volatile std::sig_atomic_t* stop);

  // A live input: a frame came at nowNs (its return after a loss is told), or none did
  // (a loss is told after kInputLostNs; how: what keeps the service on air). End: the
  // loss so far is counted.
  void FrameCame(int64_t nowNs);
  void NoFrame(int64_t nowNs, const char* how);
  void EndLoss(int64_t nowNs);

  ClipReader& reader() { return m_reader; }
  const std::vector<Carriage>& carriage() const { return m_carriage; }
  // The streams as the output carries them (after the DVB stage).
  std::vector<Carriage> OutputCarriage() const;
  RunCounts& counts() { return m_counts; }
  const RunCounts& counts() const { return m_counts; }
  const DVBStage* dvb() const { return m_dvb.get(); }
  // The service's provider and name as the SDT gives them (the options', else the input's
  // metadata, else the input's name), and its service_type from its streams.
  std::string provider() const;
  std::string name() const;
  // The name without a plan's: --service-name, else the one the input gives itself, else its
  // file name.
  std::string NameFromInput() const;
  int serviceType() const;
  bool failed() const { return m_failed; }
  // Any thread, while the service runs: an ad break (SCTE-35 splice_insert) inSeconds of
  // stream time from the picture being muxed, for durationSeconds, at the first picture at
  // or after that point; answered at the service's next picture with the splice_event_id,
  // the splice PTS and whether the picture there is a key picture (not known yet when it is
  // still to be read: a line tells it when it is muxed). An error when the service carries
  // no cue PID (--splice-cues) or muxes no pictures.
  SpliceReply RequestSplice(double inSeconds, double durationSeconds);
  // Any thread: the service has a cue PID (known once Start has run).
  bool carriesCues() const { return m_cuesWanted; }
  // The summary's line on the cue PID (none without one).
  void ReportCues() const;
  // A line about the input (a warning when it opens with "warning: ").
  void Tell(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // A line about what befell the input (lost, back, its clock jumped, frames left out): a
  // warning, so that a journal's warnings show every incident and its end.
  void TellIncident(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void Warn(const std::string& text) const;
  void TellAt(LogLevel level, const char* format, va_list args) const;
  bool Fail(const std::string& text) const;

 private:
  bool CheckCarriage();
  bool MuxAt(const ClipFrame& clip, int64_t timeUs, const Output& out);
  void ReportJump();
  void NoteDamage(const ClipFrame& clip);
  // Splice cues (service_cues.cc): the input's carried and the breaks' copies sent in front
  // of the clock stream's pictures.
  bool StartCues();
  void TakeCue(const ClipFrame& clip);
  bool SendWithCues(const ClipFrame& clip, const uint8_t* library, int libraryLength, const uint8_t* packets,
                    size_t size, const Output& out);

  Options m_options;
  std::string m_label;
  ClipReader m_reader;
  std::vector<Carriage> m_carriage;
  std::unique_ptr<DVBStage> m_dvb;  // between the library and the output; null with --keep-pids
  std::unique_ptr<MediaFormat> m_format;
  iptv::IVorlux* m_mux = nullptr;
  std::unique_ptr<Timeline> m_timeline;  // the input's times to the muxer's
  std::vector<ClipFrame> m_lastFrames;   // --loop: each audio stream's last frame, for a repeat at the seam
  RunCounts m_counts;
  HostFrame m_frame;
  Progress* m_progress = nullptr;
  ServiceMetrics* m_metrics = nullptr;
  int64_t m_jumpReportNs = -1;
  int64_t m_damageReportNs = -1;
  int64_t m_lastFrameNs = -1;
  uint64_t m_lateDroppedAtLoss = 0;  // m_counts.lateDropped when the input was last lost
  bool m_cutting = false;            // pictures are left out up to a key picture
  bool m_lost = false;
  bool m_failed = false;
  std::optional<DVBConfig> m_base;  // a service of a multiplex
  std::atomic<bool> m_cuesWanted{false};  // the service carries a cue PID
  size_t m_clockStream = 0;               // the stream whose pictures carry the cues
  std::unique_ptr<SpliceCues> m_cues;     // null without a cue PID
  SpliceRequests m_spliceRequests;
  std::vector<uint8_t> m_cueOut;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SERVICE_H_
