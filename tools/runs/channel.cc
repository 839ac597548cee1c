#include "channel.h"

#include <unistd.h>

#include <cstdio>

#include "input_thread.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

// The output's packets counted as they go from the scheduler to the pacer, with their
// departure times.
class MeteredOutput final : public PacketOutput {
 public:
  MeteredOutput(TSMeter* meter, PacketOutput* next) : m_meter(meter), m_next(next) {}
  bool Send(const uint8_t* packets, const int64_t* departures, size_t count) override {
    m_meter->Count(packets, count, departures);
    return m_next->Send(packets, departures, count);
  }

 private:
  TSMeter* m_meter;
  PacketOutput* m_next;
};

constexpr int64_t kInputPollNs = 10000000;        // a silent input is looked at every 10 ms
constexpr int64_t kKeepAheadTicks = kPCRHz / 20;  // kept on air 50 ms ahead of the clock
// Without --muxrate, a live input re-based onto the channel's clock resumes this far past
// the last PCR's line: a frame of it that then comes a little late (a sender starting up,
// a busy machine) is still on time, where a re-base within a GOP would cut the GOP.
constexpr int64_t kLiveResumeSlackUs = 200000;

}  // namespace

Channel::Channel(const Options& options, const volatile std::sig_atomic_t* stop, int tsFd, Registry* registry)
    : m_options(options), m_stop(stop), m_tsFd(tsFd), m_service(options, ""), m_registry(registry) {
  m_send = [this](const uint8_t* ts, size_t size) { return Send(ts, size) || Fail(m_sink->error()); };
}

Channel::~Channel() {
  if (m_metrics != nullptr) m_registry->RemoveService(m_metrics->info().serviceId);
}

bool Channel::Fail(const std::string& text) const {
  if (m_sink != nullptr && m_sink->readerGone()) return false;  // the end the reader chose: no message
  return m_service.Fail(text);
}

// With --http: the service in the registry, named as the SDT names it (service_id 1 unless
// --program-number gives one), its input up from here on; the output's packets metered.
bool Channel::RegisterService() {
  if (m_registry == nullptr) return true;
  ServiceInfo info;
  info.serviceId = m_options.programNumber > 0 ? m_options.programNumber : 1;
  info.name = m_service.name();
  info.provider = m_service.provider();
  info.inputUrl = m_options.input;  // shown without credentials by the registry
  m_metrics = m_registry->AddService(info);
  if (m_metrics == nullptr) return true;  // the id is taken: this run is not metered
  m_metrics->SetInputUp(true, WallNowNs());
  m_service.SetMetrics(m_metrics);
  m_meter = std::make_unique<TSMeter>(m_metrics, &m_registry->output());
  return true;
}

const PacerStats& Channel::pacerStats() const {
  static const PacerStats kNone;
  return m_pacer != nullptr ? m_pacer->stats() : kNone;
}

int Channel::InputInterrupted(void* channel) {
  const Channel* c = static_cast<const Channel*>(channel);
  return *c->m_stop != 0 || c->m_quitInput.load() ? 1 : 0;
}

// Before the input is opened: an output that may not be written is refused without a wait
// for the input, and nothing is created or changed.
bool Channel::CheckOutput() {
  if (SameFile(m_options.input, m_options.output, m_tsFd))
    return Fail("refusing to write '" + m_options.output + "': it is the input file '" + m_options.input + "'");
  if (m_options.output == "-" && isatty(m_tsFd)) return Fail("refusing to write a transport stream to a terminal");
  std::string error;
  if (!CheckOutputFile(m_options.output, m_options.overwrite, &error)) return Fail(error);
  const std::string leftover = LeftoverNote(m_options.output);
  if (!leftover.empty()) m_service.Warn(leftover);
  return true;
}

bool Channel::OpenOutput() {
  PacerConfig config;
  std::string error;
  if (!OpenPacedOutput(m_options, m_tsFd, m_stop, &config, &m_sink, &m_pacer, &error)) return Fail(error);
  m_paced = config.paced;
  m_live = config.paced && !IsLocalFile(m_options.input);
  if (m_live && m_options.muxRate == 0) m_keepAlive = std::make_unique<KeepAlive>(config.packetsPerWrite);
  if (m_options.muxRate > 0) {
    SchedulerConfig schedule;
    schedule.muxRate = m_options.muxRate;
    schedule.leadTicks = m_options.leadTicks;
    PacketOutput* out = m_pacer.get();
    if (m_meter != nullptr) out = (m_meteredOutput = std::make_unique<MeteredOutput>(m_meter.get(), out)).get();
    m_scheduler = std::make_unique<Scheduler>(schedule, out);
  }
  return true;
}

// Where the channel's own clock stands for a live input: a frame of the clock stream due
// to leave more than half the lead behind the scheduler's slots (or, without --muxrate,
// whose PCR would not come after the last one sent) is moved on to it.
Timeline::Bounds Channel::LiveBounds() const {
  Timeline::Bounds bounds;
  if (!m_live) return bounds;
  if (m_scheduler != nullptr && m_scheduler->started()) {
    bounds = BoundsOnLine(m_scheduler->now(), m_options.leadTicks);
  } else if (m_keepAlive != nullptr && m_keepAlive->lastPCR() >= 0) {
    bounds.floorUs = m_keepAlive->lastPCR() / 27 + kPCRDelayUs + 12;  // 12 us: one 90 kHz tick on
    bounds.resumeUs = bounds.floorUs + kLiveResumeSlackUs;
  }
  return bounds;
}

bool Channel::Send(const uint8_t* ts, size_t size) {
  if (m_scheduler != nullptr) {
    const bool ok = m_scheduler->Push(ts, size);
    ReportLate();
    return ok;
  }
  if (m_keepAlive == nullptr) return PushPaced(ts, size);
  m_keepBuffer.clear();
  m_keepAlive->Pass(ts, size, &m_keepBuffer);
  return PushPaced(m_keepBuffer.data(), m_keepBuffer.size());
}

// Packets to the pacer without the scheduler (whose slots are metered as they leave it).
bool Channel::PushPaced(const uint8_t* ts, size_t size) {
  if (m_meter != nullptr) m_meter->Count(ts, size / kTSPacketSize, nullptr);
  return m_pacer->Push(ts, size);
}

// Too little rate is told as soon as an access unit leaves late, then at most once a
// second while it goes on.
void Channel::ReportLate() {
  const SchedulerStats& stats = m_scheduler->stats();
  if (m_metrics != nullptr) m_metrics->SetLateFrames(stats.lateUnits);
  if (stats.lateUnits == m_lateReported) return;
  const int64_t now = SteadyNowNs();
  if (m_lateReported > 0 && now - m_lateReportNs < 1000000000) return;
  char text[320];
  std::snprintf(text, sizeof text,
                "palvex-mux: --muxrate %.3f Mbit/s is too little: %llu access unit%s late so far (up to %s after "
                "their decode time); the content so far fits --muxrate %.2fM",
                static_cast<double>(m_options.muxRate) / 1e6, static_cast<unsigned long long>(stats.lateUnits),
                stats.lateUnits == 1 ? "" : "s", LateText(stats.maxLateTicks).c_str(),
                static_cast<double>(SuggestedMuxRate(m_scheduler->FittingRate())) / 1e6);
  Log(LogLevel::kWarning, text);
  m_lateReported = stats.lateUnits;
  m_lateReportNs = now;
}

bool Channel::MuxAll() {
  Progress progress(m_options.verbosity != Verbosity::kQuiet && isatty(STDERR_FILENO),
                    m_options.loop ? 0.0 : m_service.reader().durationSeconds());
  m_progress = &progress;
  m_service.SetProgress(&progress);
  const bool ok = m_live ? MuxLive() : MuxFile();
  progress.End();
  m_progress = nullptr;
  m_service.SetProgress(nullptr);
  return ok && !m_failed;
}

bool Channel::MuxFile() {
  ClipFrame clip;
  std::string error;
  bool ok = true;
  while (ok && *m_stop == 0) {
    if (!m_service.reader().Next(&clip, &error)) {
      if (!error.empty() && *m_stop == 0) ok = Fail(error);
      if (!ok || *m_stop != 0 || !m_options.loop) break;
      if (!m_service.NextPass(m_send, m_stop)) {
        m_failed = m_service.failed();
        break;
      }
      continue;
    }
    ok = m_service.MuxFrame(clip, LiveBounds(), m_send);
    m_progress->Update(m_service.counts(), SteadyNowNs());
  }
  return ok;
}

// A live input on a thread of its own: while no frame comes the channel stays on air on
// the wall clock, and the input's loss and return are told.
bool Channel::MuxLive() {
  m_input = std::make_unique<InputThread>(&m_service.reader());
  InputThread& input = *m_input;
  input.Start();
  ClipFrame clip;
  std::string error;
  bool ok = true;
  int64_t waitNs = kInputPollNs;
  while (ok && *m_stop == 0) {
    const InputThread::Got got = input.Next(&clip, waitNs, &error);
    const int64_t now = SteadyNowNs();
    if (got == InputThread::Got::kEnd) {
      if (!error.empty() && *m_stop == 0) ok = Fail(error);
      break;
    }
    if (got == InputThread::Got::kFrame) {
      m_service.FrameCame(now);
      ok = m_service.MuxFrame(clip, LiveBounds(), m_send);
      m_progress->Update(m_service.counts(), now);
      waitNs = 0;  // the frames already waiting go first
      continue;
    }
    waitNs = kInputPollNs;
    m_service.NoFrame(now, m_scheduler != nullptr ? "null packets, PAT/PMT and PCR at the same rate" : "PAT/PMT and PCR");
    if (ok) ok = KeepOnAir();
  }
  m_service.EndLoss(SteadyNowNs());
  // The reader is joined after the last packets are out (Run): a network read notices the
  // end only within its poll interval, and the wire would fall silent that long.
  m_quitInput = true;
  input.RequestStop();
  return ok;
}

// With a live input: the output filled up to a little ahead of the clock, whether frames
// came or not (what is due, else nulls, PCR-only packets and table repeats).
bool Channel::KeepOnAir() {
  int64_t line = 0;
  if (!m_pacer->LineNow(&line)) return true;
  line += kKeepAheadTicks;
  if (m_scheduler != nullptr) {
    const bool ok = m_scheduler->AdvanceTo(line);
    ReportLate();
    return ok || Fail(m_sink->error());
  }
  m_keepBuffer.clear();
  m_keepAlive->AdvanceTo(line, &m_keepBuffer);
  return m_keepBuffer.empty() || PushPaced(m_keepBuffer.data(), m_keepBuffer.size()) || Fail(m_sink->error());
}

// One message per failure, and no summary after one: a file output is then left as it
// was (or not made), so the counts would describe nothing that exists.
int Channel::Run() {
  if (!CheckOutput() || !m_service.Open(InputInterrupted, this, m_stop)) return Failed();
  // Stopped while a live input was still being opened: there is no input to read (a paced
  // run would start its input thread on it), nothing is opened or written.
  if (m_service.counts().interrupted) return Failed();
  if (!RegisterService() || !OpenOutput() || !m_service.Start()) return Failed();
  if (m_options.verbosity != Verbosity::kQuiet) {
    char rate[48] = "";
    if (m_options.muxRate > 0)
      std::snprintf(rate, sizeof rate, "constant rate %.3f Mbit/s, ", static_cast<double>(m_options.muxRate) / 1e6);
    std::string how = rate;
    how += m_paced ? "paced" : "as fast as it can be written";
    Log(LogLevel::kInfo, "palvex-mux: " + ShownURL(m_options.input) + " -> " + ShownURL(m_options.output) + " (" + how +
                             (m_live ? ", a live input" : "") + ")");
  }
  const int64_t begin = SteadyNowNs();
  bool ok = MuxAll();
  RunCounts& counts = m_service.counts();
  counts.interrupted = *m_stop != 0;
  counts.inputErrors = LibavErrorCount();
  m_pacer->PaceTheTail();
  if (m_scheduler != nullptr && m_sink->error().empty()) {
    if (!m_scheduler->Finish()) ok = Fail(m_sink->error());
    ReportLate();
  }
  if (m_sink->error().empty() && !m_pacer->Finish()) ok = Fail(m_sink->error());
  m_input.reset();
  if (ok && counts.frames == 0 && counts.interrupted) return Failed();
  if (ok && counts.frames == 0)
    ok = Fail(counts.untimed > 0 ? "nothing was muxed: no frame with a time stamp" : "nothing was muxed");
  if (ok && !m_sink->Commit()) ok = Fail(m_sink->error());
  if (ok && m_options.verbosity != Verbosity::kQuiet)
    PrintSummary(m_options.input, m_options.output, m_service.reader().streams(), m_service.OutputCarriage(), counts,
                 m_pacer->stats(),
                 m_scheduler != nullptr ? &m_scheduler->stats() : nullptr, m_options.muxRate,
                 m_scheduler != nullptr ? m_scheduler->FittingRate() : 0, static_cast<double>(SteadyNowNs() - begin) / 1e9);
  if (ok) m_service.ReportCues();
  if (!ok) return Failed();
  return m_scheduler != nullptr && m_scheduler->stats().lateUnits > 0 ? kExitTooLittleRate : 0;
}

// A run that ends without its summary: quietly when the reader closed the pipe, cleanly
// when stopped before the input sent a frame (nothing was written); after a failure a file
// output keeps the whole packets written before it.
int Channel::Failed() {
  const RunCounts& counts = m_service.counts();
  if (m_sink != nullptr && m_sink->readerGone()) return kExitReaderGone;
  if (counts.interrupted && counts.frames == 0) {
    m_service.Tell("stopped before the input sent a frame: nothing was written");
    return 0;
  }
  std::string note;
  if (m_sink != nullptr && counts.frames > 0 && m_sink->Keep(&note)) Log(LogLevel::kWarning, "palvex-mux: " + note);
  return 1;
}

}  // namespace palvex_host
