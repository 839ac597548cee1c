// One palvex-mux run as a head-end channel: one service (service.h: the input opened and
// its streams chosen, the library's carriage checked, the frames muxed with clocks that
// start at 1.8 s and go on across loops and through the input's clock jumps, the packets
// made what DVB receivers expect), the output opened (never onto the input), and the
// packets paced out: with --muxrate through the scheduler's
// constant-rate slots, else as they come. A paced run whose input can fall silent (a
// network source, a pipe) reads it on a thread of its own and keeps the channel on air on
// the wall clock while no frame comes: the scheduler's slots, or without --muxrate the
// keep-alive's PCRs and tables.
#ifndef PALVEX_TOOLS_CHANNEL_H_
#define PALVEX_TOOLS_CHANNEL_H_

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "input_thread.h"
#include "keep_alive.h"
#include "metrics.h"
#include "service_options.h"
#include "output.h"
#include "pacer.h"
#include "summary.h"
#include "scheduler.h"
#include "service.h"
#include "ts_meter.h"

namespace palvex_host {

class Channel {
 public:
  // stop is set by the signal handler; tsFd is where "-" writes. With a registry (--http)
  // the channel's service is registered in it and its counters kept there as it runs.
  Channel(const Options& options, const volatile std::sig_atomic_t* stop, int tsFd, Registry* registry = nullptr);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The exit status: 0 when frames were muxed and nothing failed (an interruption
  // included), 1 on an error (written to standard error; a file output is then left as it
  // was, or not made), kExitTooLittleRate when access units left late for want of rate.
  int Run();
  const RunCounts& counts() const { return m_service.counts(); }
  const PacerStats& pacerStats() const;
  // Null while the run has no mux rate.
  const Scheduler* scheduler() const { return m_scheduler.get(); }

  // Any thread, while Run goes on: an ad break (SCTE-35 splice_insert) asked of the
  // channel's service (Service::RequestSplice).
  SpliceReply RequestSplice(double inSeconds, double durationSeconds) {
    return m_service.RequestSplice(inSeconds, durationSeconds);
  }
  bool carriesCues() const { return m_service.carriesCues(); }

 private:
  bool CheckOutput();
  bool OpenOutput();
  bool MuxAll();
  bool MuxFile();
  bool MuxLive();
  bool KeepOnAir();
  Timeline::Bounds LiveBounds() const;
  bool Send(const uint8_t* ts, size_t size);
  bool PushPaced(const uint8_t* ts, size_t size);
  bool RegisterService();
  int Failed();
  void ReportLate();
  static int InputInterrupted(void* channel);
  bool Fail(const std::string& text) const;

  Options m_options;
  const volatile std::sig_atomic_t* m_stop;
  int m_tsFd;
  Service m_service;
  Service::Output m_send;                  // the service's packets to Send
  std::unique_ptr<Sink> m_sink;
  std::unique_ptr<Pacer> m_pacer;
  std::unique_ptr<Scheduler> m_scheduler;  // with --muxrate, in front of the pacer
  std::unique_ptr<KeepAlive> m_keepAlive;  // live, paced, without --muxrate
  std::vector<uint8_t> m_keepBuffer;
  bool m_live = false;                     // paced, and the input can fall silent
  bool m_paced = false;                    // leaves in real time
  std::atomic<bool> m_quitInput{false};    // ends a blocked read of the input thread
  std::unique_ptr<InputThread> m_input;    // a live input's reader
  Progress* m_progress = nullptr;
  uint64_t m_lateReported = 0;             // late access units already told
  int64_t m_lateReportNs = 0;
  bool m_failed = false;
  Registry* m_registry;
  ServiceMetrics* m_metrics = nullptr;           // in m_registry, while the run goes on
  std::unique_ptr<TSMeter> m_meter;              // the output's packets into m_metrics
  std::unique_ptr<PacketOutput> m_meteredOutput;  // between the scheduler and the pacer
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_CHANNEL_H_
