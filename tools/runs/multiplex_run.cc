#include "multiplex_run.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>

#include "stream_select.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kKeepAheadTicks = kPCRHz / 20;     // kept on air 50 ms ahead of the clock
constexpr int64_t kFileAheadTicks = kPCRHz / 10;      // a file's frames reach the scheduler this long before the lead
constexpr int64_t kTDTEveryTicks = kPCRHz * 5;        // the TDT, well within its 30 s
constexpr int kFramesPerTurn = 64;                    // an input's frames taken in one turn of the loop
constexpr int64_t kIdleNs = 2000000;                  // the loop's nap when nothing came
constexpr int64_t kOpenWaitNs = 3000000000;           // the start waits this long for the inputs to open
constexpr int64_t kHolderWaitNs = 5000000000;         // a new service waits this long for a stopped one to close its input
constexpr int64_t kNever = std::numeric_limits<int64_t>::min() / 2;
constexpr int kNoService = -2;  // below every service_id: a stopping service's stand-in

// What running a service anew would change: another input, other streams, other PIDs.
bool SameCarriage(const ServicePlan& a, const ServicePlan& b) {
  return a.input == b.input && a.maps == b.maps && a.pmtPid == b.pmtPid && a.firstPid == b.firstPid;
}

// One line (or more) through the run's log, as printf formats it.
void Say(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Say(LogLevel level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log(level, text);
}

void Nap(int64_t ns) {
  timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  nanosleep(&t, nullptr);
}

}  // namespace

MultiplexRun::MultiplexRun(const Options& options, const Plan& plan, const volatile std::sig_atomic_t* stop,
                           volatile std::sig_atomic_t* reload, int tsFd, Registry* registry)
    : m_options(options), m_plan(plan), m_stop(stop), m_reload(reload), m_tsFd(tsFd), m_registry(registry) {
  m_options.output = plan.output;
  m_options.muxRate = plan.muxRate;
  m_options.leadTicks = plan.leadTicks;
  m_options.pacingWindowNs = plan.pacingWindowNs;
}

MultiplexRun::~MultiplexRun() {
  for (std::unique_ptr<Member>& m : m_members) {
    Retire(m.get());
    m_retired.push_back(std::move(m));
  }
  m_members.clear();
  Reap(true);
}

int MultiplexRun::Interrupted(void* member) {
  const Member* m = static_cast<const Member*>(member);
  return *m->stop != 0 || m->quit.load() ? 1 : 0;
}

// Before any input is opened: an output that may not be written is refused, and nothing is
// created or changed.
bool MultiplexRun::CheckOutput() const {
  for (const ServicePlan& s : m_plan.services)
    if (SameFile(s.input, m_options.output, m_tsFd)) {
      Say(LogLevel::kError, "palvex-mux: refusing to write '%s': it is the input file of service %d",
                   m_options.output.c_str(), s.serviceId);
      return false;
    }
  if (m_options.output == "-" && isatty(m_tsFd)) {
    Say(LogLevel::kError, "palvex-mux: refusing to write a transport stream to a terminal");
    return false;
  }
  std::string error;
  if (CheckOutputFile(m_options.output, m_options.overwrite, &error)) return true;
  Say(LogLevel::kError, "palvex-mux: %s", error.c_str());
  return false;
}

bool MultiplexRun::OpenOutput() {
  PacerConfig config;
  std::string error;
  // A live input (a network source, a pipe) comes in real time: the multiplex goes out in
  // real time too, into a file as well, so that each input is read on its own thread while
  // the others go on (read as a file, an input that ended would block the rest).
  if (std::any_of(m_plan.services.begin(), m_plan.services.end(),
                  [](const ServicePlan& s) { return !IsLocalFile(s.input); }))
    m_options.realtime = true;
  if (!OpenPacedOutput(m_options, m_tsFd, m_stop, &config, &m_sink, &m_pacer, &error)) {
    Say(LogLevel::kError, "palvex-mux: %s", error.c_str());
    return false;
  }
  m_paced = config.paced;
  SchedulerConfig schedule;
  schedule.muxRate = m_options.muxRate;
  schedule.leadTicks = m_options.leadTicks;
  PacketOutput* out = m_pacer.get();
  if (m_registry != nullptr) {
    m_meter = std::make_unique<TSMeter>(&m_registry->output());
    out = (m_metered = std::make_unique<MeteredOutput>(m_meter.get(), &m_registry->output(), m_pacer.get(),
                                                       m_sink.get())).get();
  }
  m_scheduler = std::make_unique<Scheduler>(schedule, out);
  if (m_paced) m_scheduler->FollowHostClock();
  return true;
}

// A service starts: its input is opened and its muxer started on a thread of their own, so
// that an input slow to open (a network source waiting for its first packets) holds no
// other service up.
void MultiplexRun::Launch(const ServicePlan& plan, const ServicePids& pids,
                          const std::vector<std::unique_ptr<Member>>* others) {
  auto member = std::make_unique<Member>();
  Member* m = member.get();
  m->plan = plan;
  m->pids = pids;
  m->stop = m_stop;
  m->live = m_paced && !IsLocalFile(plan.input);
  Options o = m_options;
  o.input = plan.input;
  o.maps = plan.maps;
  m->service = std::make_unique<Service>(o, "service " + std::to_string(plan.serviceId) + ": ");
  m->service->SetInMultiplex(ServiceDVBConfig(m_plan, plan, pids));
  // A network input (a UDP port) that a stopped service still holds is opened once that one
  // closed it.
  std::vector<std::shared_ptr<std::atomic<bool>>> holders;
  using Members = const std::vector<std::unique_ptr<Member>>*;
  for (Members list : {Members{&m_members}, Members{&m_retired}, others})
    for (size_t i = 0; list != nullptr && !IsLocalFile(plan.input) && i < list->size(); ++i)
      if ((*list)[i]->plan.input == plan.input && !(*list)[i]->closed->load()) holders.push_back((*list)[i]->closed);
  m->opener = std::thread([m, holders] {
    InputThread::LeaveRealTime();  // probing an input never holds the paced output off the processors
    const int64_t until = SteadyNowNs() + kHolderWaitNs;
    while (Interrupted(m) == 0 && SteadyNowNs() < until &&
           std::any_of(holders.begin(), holders.end(), [](const auto& closed) { return !closed->load(); }))
      Nap(kIdleNs);
    const bool ok = m->service->Open(Interrupted, m, m->stop) && m->service->Start();
    m->state = ok ? State::kReady : State::kFailed;
  });
  m_members.push_back(std::move(member));
}

// A service stops: its input told to end. Nothing waits here (a network read notices within
// its poll interval, an input being opened when its probe ends): Reap frees it once its
// threads ended, the output going on meanwhile.
void MultiplexRun::Retire(Member* m) {
  m->quit = true;
  if (m->input != nullptr) m->input->RequestStop();
  if (m->state == State::kReady) m->service->EndLoss(SteadyNowNs());
  if (m->metrics != nullptr) {
    m->service->SetMetrics(nullptr);
    if (m_meter != nullptr) m_meter->RemoveService(m->metrics);
    m_registry->RemoveService(m->plan.serviceId);
    m->metrics = nullptr;
  }
  m->onAir = false;
  m->done = true;
}

// Stopped services whose threads have ended: their input closed (its socket free for a
// service started anew on it) and their muxer freed, their counts kept for the summary; the
// packets they sent are the scheduler's. wait: each is waited for (the end of the run).
void MultiplexRun::Reap(bool wait) {
  for (size_t i = 0; i < m_retired.size();) {
    Member* m = m_retired[i].get();
    if (!wait && (m->state == State::kOpening || (m->input != nullptr && !m->input->finished()))) {
      ++i;
      continue;
    }
    if (m->input != nullptr) m->input->Stop();
    if (m->opener.joinable()) m->opener.join();
    if (m->state == State::kReady)
      m_summaries.push_back(Summary{m->plan.serviceId, m->instance, NameOf(*m), m->plan.input, m->service->counts()});
    m->input.reset();
    m->service.reset();
    m->closed->store(true);
    m_retired.erase(m_retired.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// Services whose input opened go on air; those that could not are left out (told).
void MultiplexRun::Poll() {
  Reap(false);
  bool changed = false;
  for (std::unique_ptr<Member>& m : m_members) {
    if (m->done || m->onAir || m->state == State::kOpening) continue;
    m->opener.join();
    if (m->state == State::kFailed) {
      m->done = true;
      continue;
    }
    if (m->live) {
      m->input = std::make_unique<InputThread>(&m->service->reader());
      m->input->Start(true);
    }
    // A service_id on air before: this one is a program of its own, on a clock of its own.
    m_scheduler->StartAnew(m->plan.serviceId);
    m->instance = -1;
    for (const ProgramStats& p : m_scheduler->programStats()) m->instance += p.number == m->plan.serviceId ? 1 : 0;
    m->instance = std::max(m->instance, 0);
    m->onAir = true;
    Register(m.get());
    changed = true;
    if (m_options.verbosity != Verbosity::kQuiet)
      Say(LogLevel::kInfo, "palvex-mux: service %d \"%s\" on air from %s (PMT PID 0x%04X)", m->plan.serviceId,
          LogSafe(m->plan.name.empty() ? m->service->NameFromInput() : m->plan.name).c_str(),
          LogSafe(ShownURL(m->plan.input)).c_str(), m->pids.pmtPid);
  }
  // Ended services leave the tables and the list once their last packets have left (until
  // then they keep their PMT and PCRs), while the multiplex goes on with others: at its end
  // the tables stay as they are.
  const bool goesOn = std::any_of(m_members.begin(), m_members.end(),
                                  [](const std::unique_ptr<Member>& m) { return !m->ending && !m->done; });
  for (std::unique_ptr<Member>& m : m_members)
    if (goesOn && m->ending && (!m_scheduler->started() || m_scheduler->now() > Position(m.get()))) m->done = true;
  for (size_t i = 0; i < m_members.size();) {
    if (!m_members[i]->done) {
      ++i;
      continue;
    }
    changed = changed || m_members[i]->onAir;
    Retire(m_members[i].get());
    m_retired.push_back(std::move(m_members[i]));
    m_members.erase(m_members.begin() + static_cast<std::ptrdiff_t>(i));
    changed = true;
  }
  if (changed) SetTables();
}

// The multiplex's PAT, SDT and NIT for the services on air whose PMT has gone to the
// scheduler (a receiver told of a program can read its PMT at once: the scheduler sends it
// ahead of the PAT and again behind it); sent at once (the scheduler repeats them at their
// intervals), their versions stepping when they changed. None before a service is named.
void MultiplexRun::SetTables() {
  m_tablesDue = false;
  Multiplex multiplex;
  if (m_plan.transportStreamId >= 0) multiplex.transportStreamId = m_plan.transportStreamId;
  multiplex.originalNetworkId = m_plan.originalNetworkId;
  multiplex.networkId = m_plan.networkId;
  multiplex.networkName = m_plan.networkName;
  for (const std::unique_ptr<Member>& m : m_members) {
    if (!m->onAir || !m->pmtSent) continue;
    NetworkService s;
    s.serviceId = m->plan.serviceId;
    s.pmtPid = m->pids.pmtPid;
    s.name = m->plan.name.empty() ? m->service->NameFromInput() : m->plan.name;
    s.provider = m->plan.provider;
    s.serviceType = m->plan.serviceType ? *m->plan.serviceType : m->service->serviceType();
    s.lcn = m->plan.lcn ? *m->plan.lcn : -1;
    multiplex.services.push_back(s);
  }
  if (multiplex.services.empty() && !m_tablesSent) return;
  m_tablesSent = true;
  m_tables.Set(multiplex);
  if (!PushTables(false)) m_failed = true;
}

// The TDT, every 5 s of the line: checked as each service's packets go in too, so that it
// keeps its interval while the line runs ahead in long steps (content late for the rate).
bool MultiplexRun::PushTimeTable() {
  if (!m_tablesSent || !m_scheduler->started() || m_scheduler->now() < m_nextTDTLine) return true;
  m_nextTDTLine = m_scheduler->now() + kTDTEveryTicks;
  return PushTables(true);
}

bool MultiplexRun::PushTables(bool tdt) {
  bool ok = true;
  if (tdt) {
    const std::vector<uint8_t>& p = m_tables.Packets(NetworkTable::kTDT, std::time(nullptr));
    return Scheduled(m_scheduler->Push(p.data(), p.size()));
  }
  for (NetworkTable table : {NetworkTable::kPAT, NetworkTable::kSDT, NetworkTable::kNIT}) {
    const std::vector<uint8_t>& p = m_tables.Packets(table);
    ok = ok && Scheduled(m_scheduler->Push(p.data(), p.size()));
  }
  return ok;
}

// SIGHUP: the plan read again. Services whose input, maps and PIDs stay go on untouched
// (their names, providers, types and channel numbers may change in the tables); the others
// stop or start. A plan with an error changes nothing.
void MultiplexRun::Reload() {
  Plan plan;
  std::string error;
  if (!ReadMuxPlan(m_options, &plan, &error)) {
    Say(LogLevel::kWarning, "palvex-mux: plan not reloaded, the running one goes on: %s", error.c_str());
    if (m_registry != nullptr) m_registry->NoteReload(false, WallNowNs(), error);
    return;
  }
  if (plan.muxRate != m_plan.muxRate || plan.leadTicks != m_plan.leadTicks || plan.output != m_plan.output)
    Say(LogLevel::kWarning, "palvex-mux: warning: the muxrate, lead and output of a running multiplex stay as they are");
  // The PIDs of services that go on stay theirs; those of services that stop or start anew
  // are kept under a service_id no service has, so that a new service is not given them at
  // once (their last packets are still on their way).
  std::vector<ServicePids> kept;
  for (const std::unique_ptr<Member>& m : m_members) {
    if (m->done || m->state == State::kFailed) continue;
    const bool goesOn = std::any_of(plan.services.begin(), plan.services.end(), [&m](const ServicePlan& s) {
      return m->plan.serviceId == s.serviceId && SameCarriage(m->plan, s);
    });
    kept.push_back(m->pids);
    if (!goesOn) kept.back().serviceId = kNoService - static_cast<int>(kept.size());
  }
  std::vector<ServicePids> pids;
  if (!AssignPids(plan, kept, &pids, &error)) {
    Say(LogLevel::kWarning, "palvex-mux: plan not reloaded, the running one goes on: %s", error.c_str());
    if (m_registry != nullptr) m_registry->NoteReload(false, WallNowNs(), error);
    return;
  }
  std::vector<std::unique_ptr<Member>> members;
  int added = 0, removed = 0;
  for (size_t i = 0; i < plan.services.size(); ++i) {
    const ServicePlan& s = plan.services[i];
    auto same = std::find_if(m_members.begin(), m_members.end(), [&s](const std::unique_ptr<Member>& m) {
      return !m->done && m->plan.serviceId == s.serviceId && SameCarriage(m->plan, s);
    });
    if (same != m_members.end()) {
      (*same)->plan = s;
      if ((*same)->metrics != nullptr) m_registry->UpdateService(Info(**same));  // a new name or provider
      members.push_back(std::move(*same));
      m_members.erase(same);
    } else {
      std::swap(members, m_members);
      Launch(s, pids[i], &members);
      std::swap(members, m_members);
      ++added;
    }
  }
  for (std::unique_ptr<Member>& m : m_members) {
    removed += m->done ? 0 : 1;
    Retire(m.get());
    m_retired.push_back(std::move(m));
  }
  m_members = std::move(members);
  const int64_t muxRate = m_plan.muxRate, lead = m_plan.leadTicks;
  const std::string output = m_plan.output;
  m_plan = plan;
  m_plan.muxRate = muxRate;
  m_plan.leadTicks = lead;
  m_plan.output = output;
  SetTables();
  if (m_registry != nullptr) m_registry->NoteReload(true, WallNowNs());
  if (m_options.verbosity != Verbosity::kQuiet)
    Say(LogLevel::kInfo, "palvex-mux: plan reloaded: %zu services, %d started, %d stopped", plan.services.size(),
                 added, removed);
}

// The service's name as the SDT gives it: the plan's, else its input's (the plan's may
// change on a reload).
std::string MultiplexRun::NameOf(const Member& m) {
  return m.plan.name.empty() ? m.service->NameFromInput() : m.plan.name;
}

ServiceInfo MultiplexRun::Info(const Member& m) {
  ServiceInfo info;
  info.serviceId = m.plan.serviceId;
  info.name = NameOf(m);
  info.provider = m.plan.provider;
  info.inputUrl = m.plan.input;  // shown without credentials by the registry
  return info;
}

// With a registry: the service on air in it, named as the SDT names it, its packets metered.
void MultiplexRun::Register(Member* m) {
  if (m_registry == nullptr) return;
  m->metrics = m_registry->AddService(Info(*m));
  if (m->metrics == nullptr) return;
  m->metrics->SetInputUp(true, WallNowNs());
  m->service->SetMetrics(m->metrics);
  // Its packets are counted as they leave the scheduler, by their PIDs.
  if (m_meter != nullptr) m_meter->AddService(m->metrics, m->pids.pmtPid, m->pids.firstPid, m->pids.lastPid);
}

// A file service's place on the line: the end of its latest frame; before its program's
// clock is known, ahead of everything.
int64_t MultiplexRun::Position(Member* m) const {
  int64_t offset = 0;
  if (!m_scheduler->ProgramOffset(m->plan.serviceId, &offset)) return kNever;
  return m->service->counts().lastUs * 27 + offset;
}

// A failed write ends the run with one message; none when the reader of the pipe closed it
// (the end it chose).
bool MultiplexRun::Scheduled(bool ok) {
  ReportLate();
  if (!ok && !m_failed) {
    m_failed = true;
    if (!m_sink->readerGone()) Say(LogLevel::kError, "palvex-mux: %s", m_sink->error().c_str());
  }
  return ok;
}

// A service's packets (its DVB stage leaves its PAT and SDT to the multiplex); metered as
// they leave the scheduler. The first that carry its PMT make the PAT due: the scheduler
// holds the service's own PIDs until the PAT names it.
bool MultiplexRun::Send(Member* m, const uint8_t* ts, size_t size) {
  for (size_t off = 0; !m->pmtSent && off + kTSPacketSize <= size; off += kTSPacketSize)
    if (PacketPid(ts + off) == m->pids.pmtPid && PacketUnitStart(ts + off)) m->pmtSent = m_tablesDue = true;
  return Scheduled(m_scheduler->Push(ts, size)) && PushTimeTable();
}

bool MultiplexRun::MuxFrame(Member* m, const ClipFrame& clip) {
  Timeline::Bounds bounds;
  int64_t offset = 0;
  if (m->live && m_scheduler->started() && m_scheduler->ProgramOffset(m->plan.serviceId, &offset))
    bounds = BoundsOnLine(m_scheduler->now() - offset, m_options.leadTicks);
  const bool ok = m->service->MuxFrame(
      clip, bounds, [this, m](const uint8_t* ts, size_t size) { return Send(m, ts, size); });
  if (!ok && !m_failed) m->ending = true;  // the muxer refused it: this service ends, the others go on
  return ok || !m_failed;
}

// A live input: the frames that came, or its silence noted (the scheduler keeps it on air).
bool MultiplexRun::FeedLive(Member* m, bool* worked) {
  ClipFrame clip;
  std::string error;
  for (int n = 0; n < kFramesPerTurn && !m->ending; ++n) {
    const InputThread::Got got = m->input->Next(&clip, 0, &error);
    const int64_t now = SteadyNowNs();
    if (got == InputThread::Got::kTimeout) {
      m->service->NoFrame(now, "null packets, its PMT and PCR at the same rate");
      break;
    }
    if (got == InputThread::Got::kEnd) {
      if (!error.empty() && *m_stop == 0) m->service->Fail(error);
      m->ending = true;
      break;
    }
    m->service->FrameCame(clip.readNs >= 0 ? std::min(clip.readNs, now) : now);  // when it came, not when muxed
    *worked = true;
    if (!MuxFrame(m, clip)) return false;
    if (m_tablesDue) break;  // the PAT names the service before more of it comes
  }
  return true;
}

// The files, read in the order of their places on the line, as far as the lead ahead of
// the output (paced) or as they come (a file output). The scheduler follows the output's
// clock and sends its first slot as soon as a program starts, whatever it still waits
// for: the output's clock starts there and the files are read on by it.
bool MultiplexRun::FeedFiles(bool* worked) {
  int64_t horizon = std::numeric_limits<int64_t>::max();
  int64_t line = 0;
  if (m_paced) horizon = (m_pacer->LineNow(&line) ? line : m_scheduler->started() ? m_scheduler->now() : kNever) +
                         m_options.leadTicks + kFileAheadTicks;
  for (int n = 0; n < kFramesPerTurn * 4; ++n) {
    Member* next = nullptr;
    int64_t best = 0;
    for (const std::unique_ptr<Member>& m : m_members) {
      if (!m->onAir || m->live || m->ending) continue;
      const int64_t position = Position(m.get());
      if (next == nullptr || position < best) {
        next = m.get();
        best = position;
      }
    }
    if (next == nullptr || (best > horizon && best != kNever)) return true;
    // A service whose PMT came is named in the PAT before more comes, once every file
    // service starting with it has brought its own (one PAT version for them all).
    if (m_tablesDue && best != kNever) return true;
    ClipFrame clip;
    std::string error;
    if (next->service->reader().Next(&clip, &error)) {
      *worked = true;
      if (!MuxFrame(next, clip)) return false;
      continue;
    }
    if (!error.empty() && *m_stop == 0) {
      next->service->Fail(error);
      next->ending = true;
      continue;
    }
    const Service::Output out = [this, next](const uint8_t* ts, size_t size) { return Send(next, ts, size); };
    if (*m_stop != 0 || !m_options.loop || !next->service->NextPass(out, m_stop)) next->ending = true;
    if (m_failed) return false;
  }
  return true;
}

// Too little rate is told as soon as an access unit leaves late, then at most once a second
// while it goes on, in one line for the multiplex however many services are late: the
// service with the most late units since the last line, and the rate the content so far
// fits with the tables and PCRs of the services on air.
void MultiplexRun::ReportLate() {
  const SchedulerStats& stats = m_scheduler->stats();
  if (stats.lateUnits == m_lateReported) return;
  const std::vector<ProgramStats> programs = m_scheduler->programStats();
  if (m_registry != nullptr)
    for (const ProgramStats& p : programs)
      for (const std::unique_ptr<Member>& m : m_members)
        if (m->metrics != nullptr && m->plan.serviceId == p.number && m->instance == p.instance)
          m->metrics->SetLateFrames(p.lateUnits);
  const int64_t now = SteadyNowNs();
  if (m_lateReported > 0 && now - m_lateReportNs < 1000000000) return;
  const uint64_t lateNow = stats.lateUnits - m_lateReported;
  const char* since = m_lateReported == 0 ? "so far" : "since the last line";
  m_lateReported = stats.lateUnits;
  m_lateReportNs = now;
  const Member* worst = nullptr;
  uint64_t worstLate = 0;
  int64_t worstTicks = 0;
  int services = 0, late = 0;
  for (const std::unique_ptr<Member>& m : m_members) {
    services += m->onAir ? 1 : 0;
    for (const ProgramStats& p : programs) {
      if (m->plan.serviceId != p.number || m->instance != p.instance || p.lateUnits == m->lateReported) continue;
      ++late;
      if (worst == nullptr || p.lateUnits - m->lateReported > worstLate) {
        worst = m.get();
        worstLate = p.lateUnits - m->lateReported;
        worstTicks = p.maxLateTicks;
      }
      m->lateReported = p.lateUnits;
    }
  }
  m_fixedLoad = MultiplexLoad(m_tables, std::max(services, 1));
  const int64_t needed = NeededMuxRate(m_scheduler->FittingRate(), m_fixedLoad);
  std::string most;
  if (worst != nullptr)
    most = "; the most, service " + std::to_string(worst->plan.serviceId) + " (" + LogSafe(NameOf(*worst)) + "): " +
           std::to_string(worstLate) + ", up to " + LateText(worstTicks) + " late";
  Say(LogLevel::kWarning,
      "palvex-mux: muxrate %.3f Mbit/s is too little: %llu access units of %d service%s late %s%s; the content so "
      "far fits muxrate %.2fM",
      static_cast<double>(m_options.muxRate) / 1e6, static_cast<unsigned long long>(lateNow), late,
      late == 1 ? "" : "s", since, most.c_str(), static_cast<double>(needed) / 1e6);
}

bool ReadMuxPlan(const Options& options, Plan* plan, std::string* error) {
  PlanChecks checks;
  checks.map = [](const std::string& map, std::string* message) {
    StreamChoice choice;
    if (ParseStreamChoice(map, &choice)) return true;
    *message = "bad map '" + map + "' (N, v, a, v:N or a:N)";
    return false;
  };
  checks.output = [](const std::string& output, std::string* message) { return CheckOutputName(output, message); };
  if (!ReadPlan(options.plan, plan, error, checks)) return false;
  if (!options.output.empty()) plan->output = options.output;
  if (plan->output.empty()) {
    *error = options.plan + ": output: none: give OUTPUT in the plan or after it on the command line";
    return false;
  }
  return true;
}

int MultiplexRun::Run() {
  if (!CheckOutput() || !OpenOutput()) return 1;
  if (m_options.verbosity != Verbosity::kQuiet)
    Say(LogLevel::kInfo, "palvex-mux: multiplex of %zu services to %s at %.3f Mbit/s, %s", m_plan.services.size(),
        LogSafe(ShownURL(m_options.output)).c_str(), static_cast<double>(m_options.muxRate) / 1e6,
        m_paced ? "paced" : "as fast as it can be written");
  std::vector<ServicePids> pids;
  std::string error;
  if (!AssignPids(m_plan, {}, &pids, &error)) {
    Say(LogLevel::kError, "palvex-mux: %s", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < m_plan.services.size(); ++i) Launch(m_plan.services[i], pids[i]);
  // The multiplex starts with every service whose input opens soon (its first tables name
  // them all); one slower to open joins it later.
  const int64_t begin = SteadyNowNs();
  while (*m_stop == 0 && SteadyNowNs() - begin < kOpenWaitNs &&
         std::any_of(m_members.begin(), m_members.end(),
                     [](const std::unique_ptr<Member>& m) { return m->state == State::kOpening; }))
    Nap(kIdleNs);
  while (*m_stop == 0 && !m_failed) {
    if (*m_reload != 0) {
      *m_reload = 0;
      Reload();
    }
    Poll();
    if (m_failed || std::all_of(m_members.begin(), m_members.end(),
                                [](const std::unique_ptr<Member>& m) { return m->ending; }))
      break;
    bool worked = false;
    for (const std::unique_ptr<Member>& m : m_members)
      if (m->onAir && m->live && !m->ending && !FeedLive(m.get(), &worked)) break;
    if (!m_failed && !FeedFiles(&worked)) break;
    if (m_tablesDue) SetTables();
    if (m_failed || !PushTimeTable()) break;
    int64_t line = 0;
    if (m_paced && m_pacer->LineNow(&line) && !Scheduled(m_scheduler->AdvanceTo(line + kKeepAheadTicks))) break;
    if (!worked) Nap(kIdleNs);
  }
  const bool interrupted = *m_stop != 0;
  for (std::unique_ptr<Member>& m : m_members) {
    Retire(m.get());
    m_retired.push_back(std::move(m));
  }
  m_members.clear();
  bool ok = !m_failed;
  m_pacer->PaceTheTail();
  if (ok && !Scheduled(m_scheduler->Finish())) ok = false;
  if (ok && !m_pacer->Finish()) ok = Scheduled(false);
  Reap(true);  // after the last packets: a network read ends only within its poll interval
  uint64_t frames = 0;
  for (const Summary& summary : m_summaries) frames += summary.counts.frames;
  if (ok && frames == 0) {
    Say(LogLevel::kError, "palvex-mux: nothing was muxed");
    ok = false;
  }
  if (ok && !m_sink->Commit()) ok = Scheduled(false);
  if (ok && m_options.verbosity != Verbosity::kQuiet) {
    if (interrupted) Say(LogLevel::kInfo, "palvex-mux: interrupted");
    PrintSummary(static_cast<double>(SteadyNowNs() - begin) / 1e9);
  }
  if (!ok) return Failed(frames);
  return m_scheduler->stats().lateUnits > 0 ? kExitTooLittleRate : 0;
}

// A run that ends without its summary: quietly when the reader closed the pipe; after a
// write failure (a full disk, a file size limit) a file output keeps the whole packets
// written before it, as a single channel's does.
int MultiplexRun::Failed(uint64_t frames) {
  if (m_sink->readerGone()) return kExitReaderGone;
  std::string note;
  if (frames > 0 && m_sink->Keep(&note)) Say(LogLevel::kWarning, "palvex-mux: %s", note.c_str());
  return 1;
}

// One line per service, then the multiplex's.
void MultiplexRun::PrintSummary(double seconds) const {
  const std::vector<ProgramStats> programs = m_scheduler->programStats();
  for (const Summary& m : m_summaries) {
    const RunCounts& c = m.counts;
    uint64_t late = 0;
    int64_t lateTicks = 0;
    for (const ProgramStats& p : programs)
      if (p.number == m.serviceId && p.instance == m.instance) {
        late = p.lateUnits;
        lateTicks = p.maxLateTicks;
      }
    Say(LogLevel::kInfo,
                 "palvex-mux: service %d \"%s\" from %s: %llu frames, %s muxed, %llu loops, %llu input losses (%.1f s), "
                 "%llu clock jumps, %llu frames corrupt in the input, %llu access units late%s",
                 m.serviceId, LogSafe(m.name).c_str(), LogSafe(m.input).c_str(),
                 static_cast<unsigned long long>(c.frames),
                 ClockText(c.lastUs > c.firstUs ? c.lastUs - c.firstUs : 0).c_str(),
                 static_cast<unsigned long long>(c.loops), static_cast<unsigned long long>(c.inputLosses),
                 static_cast<double>(c.inputLostNs) / 1e9, static_cast<unsigned long long>(c.clockJumps),
                 static_cast<unsigned long long>(c.corruptFrames), static_cast<unsigned long long>(late),
                 late > 0 ? (" (up to " + LateText(lateTicks) + ")").c_str() : "");
  }
  const SchedulerStats& s = m_scheduler->stats();
  Say(LogLevel::kInfo,
               "palvex-mux: multiplex to %s: %llu packets at %.3f Mbit/s (%.1f%% null, %llu PCR-only, %llu table "
               "repeats), %llu access units late, in %.1f s",
               m_options.output.c_str(), static_cast<unsigned long long>(s.packets),
               static_cast<double>(m_options.muxRate) / 1e6,
               s.packets > 0 ? 100.0 * static_cast<double>(s.nullPackets) / static_cast<double>(s.packets) : 0.0,
               static_cast<unsigned long long>(s.pcrPackets), static_cast<unsigned long long>(s.tableRepeats),
               static_cast<unsigned long long>(s.lateUnits), seconds);
  if (s.lateUnits > 0)
    Say(LogLevel::kInfo, "palvex-mux: the content fits muxrate %.2fM (up to %s late at %.3f Mbit/s)",
        static_cast<double>(NeededMuxRate(m_scheduler->FittingRate(), m_fixedLoad)) / 1e6, LateText(s.maxLateTicks).c_str(),
        static_cast<double>(m_options.muxRate) / 1e6);
}

}  // namespace palvex_host
