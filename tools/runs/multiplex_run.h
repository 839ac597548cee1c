// `palvex-mux --plan FILE [OUTPUT]`: many services from many inputs in one constant-rate
// transport stream. Each service of the plan is a palvex-mux service of its own (service.h):
// its input (a live one read on a thread of its own; a file read as a file, as far ahead of
// the output as the lead needs), its muxer, its time line, its DVB stage moving its PIDs
// into the service's block (plan.h) with program_number = service_id. Their packets, less
// their own PAT and SDT, go into one scheduler, each program on its own clock, with the
// multiplex's PAT, SDT, NIT and TDT (network_tables.h), out of one output.
//
// Faults stay in their service: an input that cannot be opened, goes silent, jumps or
// restarts is told with the service's id and handled in its service alone (a silent one
// keeps its PMT, SDT entry and PCRs going through the scheduler's slots). A file service
// ends with its input (with --loop it loops on its own): it leaves the tables; the run ends
// with the last service. SIGHUP reads the plan again: services added, removed or changed
// (input, maps, PIDs) start or stop while the others go on untouched; names, providers,
// service types and logical channel numbers change in the tables; the tables' versions
// step. A plan with an error is refused with its line and the running one kept.
#ifndef PALVEX_TOOLS_MULTIPLEX_RUN_H_
#define PALVEX_TOOLS_MULTIPLEX_RUN_H_

#include <atomic>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input_thread.h"
#include "metrics.h"
#include "network_tables.h"
#include "service_options.h"
#include "output.h"
#include "pacer.h"
#include "plan.h"
#include "scheduler.h"
#include "service_report.h"
#include "service.h"
#include "ts_meter.h"

namespace palvex_host {

// The plan of options.plan (ReadPlan) with palvex-mux's own checks of its maps and output,
// the command line's OUTPUT in place of the plan's; false with one line when the plan is not
// usable or names no output. Opens no input.
bool ReadMuxPlan(const Options& options, Plan* plan, std::string* error);

class MultiplexRun {
 public:
  // options: the command line (its output options, --loop, -re, verbosity, options.plan);
  // plan: read from options.plan (ReadMuxPlan). stop is set by SIGINT/SIGTERM, reload by
  // SIGHUP; tsFd is where "-" writes.
  // registry (--http, or the plan's http): each service on air is registered in it and
  // metered, the output's packets and nulls counted (null: none).
  MultiplexRun(const Options& options, const Plan& plan, const volatile std::sig_atomic_t* stop,
               volatile std::sig_atomic_t* reload, int tsFd, Registry* registry = nullptr);
  ~MultiplexRun();
  MultiplexRun(const MultiplexRun&) = delete;
  MultiplexRun& operator=(const MultiplexRun&) = delete;

  // The exit status: 0 when every service ended (or the run was interrupted) and nothing
  // failed, 1 when the output failed or no service could be muxed, kExitTooLittleRate when
  // access units left late for want of rate.
  int Run();

 private:
  enum class State { kOpening, kReady, kFailed };
  struct Member {
    ServicePlan plan;
    ServicePids pids;
    std::unique_ptr<Service> service;
    std::unique_ptr<InputThread> input;  // a live input
    std::thread opener;                  // opens the input and starts the muxer
    std::atomic<State> state{State::kOpening};
    std::atomic<bool> quit{false};       // ends a blocked read of its input
    const volatile std::sig_atomic_t* stop = nullptr;
    bool live = false;
    bool onAir = false;  // in the tables
    bool ending = false;  // its input ended: no more frames, its last packets still to leave
    bool done = false;    // ended, failed or stopped: off the tables
    uint64_t lateReported = 0;
    ServiceMetrics* metrics = nullptr;  // in the registry while on air
    std::unique_ptr<TSMeter> meter;     // its packets, before they are put together
  };

  bool CheckOutput() const;
  bool OpenOutput();
  void Launch(const ServicePlan& plan, const ServicePids& pids);
  void Retire(Member* member);
  void Poll();
  void Reload();
  void SetTables();
  bool PushTables(bool tdt);
  bool FeedLive(Member* member, bool* worked);
  bool FeedFiles(bool* worked);
  bool MuxFrame(Member* member, const ClipFrame& clip);
  bool Send(Member* member, const uint8_t* ts, size_t size);
  void Register(Member* member);
  bool Scheduled(bool ok);
  int64_t Position(Member* member) const;
  void ReportLate();
  void PrintSummary(double seconds) const;
  int Failed(uint64_t frames);
  static int Interrupted(void* member);

  Options m_options;
  Plan m_plan;
  const volatile std::sig_atomic_t* m_stop;
  volatile std::sig_atomic_t* m_reload;
  int m_tsFd;
  std::unique_ptr<Sink> m_sink;
  std::unique_ptr<Pacer> m_pacer;
  std::unique_ptr<Scheduler> m_scheduler;
  Registry* m_registry;
  std::unique_ptr<PacketOutput> m_counted;  // between the scheduler and the pacer, with a registry
  NetworkTables m_tables;
  int64_t m_nextTDTLine = 0;
  bool m_paced = false;
  bool m_failed = false;
  std::vector<std::unique_ptr<Member>> m_members;  // on air or opening, in the plan's order
  std::vector<std::unique_ptr<Member>> m_retired;  // for the summary
  uint64_t m_lateReported = 0;
  FixedLoad m_fixedLoad;  // of the services on air when the last late line was told
  int64_t m_lateReportNs = 0;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_MULTIPLEX_RUN_H_
