// One palvex-mux run as a head-end channel: the input opened and its streams chosen, the
// library's carriage of them checked, the output opened (never onto the input), the
// frames muxed through the exported interface with clocks that start at 1.8 s, or a second
// past a longer --lead (first PCR a second or more above zero, far from the 2^33 wrap) and go on across loops and through the input's clock
// jumps (Timeline), the packets made what DVB receivers expect (dvb_stage.h; --keep-pids
// leaves them as they are) and paced out: with --muxrate through the scheduler's
// constant-rate slots, else as they come. A paced run whose input can fall silent (a
// network source, a pipe) reads it on a thread of its own and keeps the channel on air on
// the wall clock while no frame comes: the scheduler's slots, or without --muxrate the
// keep-alive's PCRs and tables.
#ifndef PALVEX_TOOLS_CHANNEL_H_
#define PALVEX_TOOLS_CHANNEL_H_

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "carriage.h"
#include "clip_reader.h"
#include "dvb_stage.h"
#include "keep_alive.h"
#include "options.h"
#include "output.h"
#include "pacer.h"
#include "palvex/palvex.h"
#include "report.h"
#include "scheduler.h"
#include "timeline.h"

namespace palvex_host {

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

// Exit status of a run whose content did not fit --muxrate (access units left after their
// decode time); the output is complete.
constexpr int kExitTooLittleRate = 3;

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

class Channel {
 public:
  // stop is set by the signal handler; tsFd is where "-" writes.
  Channel(const Options& options, const volatile std::sig_atomic_t* stop, int tsFd);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The exit status: 0 when frames were muxed and nothing failed (an interruption
  // included), 1 on an error (written to standard error; a file output is then left as it
  // was, or not made), kExitTooLittleRate when access units left late for want of rate.
  int Run();
  const RunCounts& counts() const { return m_counts; }
  const PacerStats& pacerStats() const;
  // Null while the run has no mux rate.
  const Scheduler* scheduler() const { return m_scheduler.get(); }

 private:
  bool OpenInput();
  bool CheckCarriage();
  bool CheckOutput();
  bool OpenOutput();
  void TakeRealTimePriority(int priority) const;
  bool StartMuxer();
  bool MuxAll();
  bool MuxFile();
  bool MuxLive();
  bool KeepOnAir();
  bool MuxFrame(const ClipFrame& clip);
  bool MuxAt(const ClipFrame& clip, int64_t timeUs);
  Timeline::Bounds LiveBounds() const;
  bool NextPass();
  bool Send(const uint8_t* ts, size_t size);
  void ReportLate();
  void ReportJump();
  void Tell(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  static int InputInterrupted(void* channel);
  void Warn(const std::string& text) const;
  bool Fail(const std::string& text) const;

  Options m_options;
  const volatile std::sig_atomic_t* m_stop;
  int m_tsFd;
  ClipReader m_reader;
  std::vector<Carriage> m_carriage;
  std::unique_ptr<Sink> m_sink;
  std::unique_ptr<Pacer> m_pacer;
  std::unique_ptr<Scheduler> m_scheduler;  // with --muxrate, in front of the pacer
  std::unique_ptr<DVBStage> m_dvb;         // between the library and the output; null with --keep-pids
  std::unique_ptr<KeepAlive> m_keepAlive;  // live, paced, without --muxrate
  std::vector<uint8_t> m_keepBuffer;
  bool m_live = false;                     // paced, and the input can fall silent
  std::atomic<bool> m_quitInput{false};    // ends a blocked read of the input thread
  Progress* m_progress = nullptr;
  int64_t m_jumpReportNs = -1;
  uint64_t m_lateDroppedAtLoss = 0;        // m_counts.lateDropped when the input was last lost
  bool m_cutting = false;                  // pictures are left out up to a key picture
  uint64_t m_lateReported = 0;             // late access units already told
  int64_t m_lateReportNs = 0;
  std::unique_ptr<MediaFormat> m_format;
  iptv::IVorlux* m_mux = nullptr;
  RunCounts m_counts;
  std::unique_ptr<Timeline> m_timeline;  // the clip's times to the muxer's
  std::vector<ClipFrame> m_lastFrames;   // --loop: each audio stream's last frame, for a repeat at the seam
  bool m_failed = false;
  HostFrame m_frame;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_CHANNEL_H_
