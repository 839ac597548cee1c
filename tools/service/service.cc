#include "service.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "pacer.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

// The service name when neither the options nor the input's metadata give one: a file's
// name without its extension, a URL as it is.
std::string InputName(const std::string& input) {
  if (input == "-") return "palvex";
  if (!IsLocalFile(input)) return input;
  const std::string name = input.substr(input.find_last_of('/') == std::string::npos ? 0 : input.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

Timeline::Bounds BoundsOnLine(int64_t line, int64_t leadTicks) {
  Timeline::Bounds bounds;
  bounds.floorUs = (line + leadTicks / 2) / 27;
  bounds.resumeUs = (line + leadTicks) / 27;
  return bounds;
}

bool OpenPacedOutput(const Options& options, int tsFd, const volatile std::sig_atomic_t* stop, PacerConfig* config,
                     std::unique_ptr<Sink>* sink, std::unique_ptr<Pacer>* pacer, std::string* error) {
  SinkOptions sinkOptions;
  sinkOptions.ttl = options.ttl;
  sinkOptions.multicastInterface = options.multicastInterface;
  sinkOptions.stdoutFd = tsFd;
  sinkOptions.overwrite = options.overwrite;
  *sink = OpenSink(options.output, sinkOptions, error);
  if (*sink == nullptr) return false;
  config->paced = options.realtime || (*sink)->network();
  config->batchNs = options.pacingWindowNs;
  sched_param param{};
  param.sched_priority = options.rtPriority;
  if (config->paced && options.rtPriority > 0 && sched_setscheduler(0, SCHED_FIFO, &param) != 0 &&
      options.verbosity != Verbosity::kQuiet)
    std::fprintf(stderr, "palvex-mux: warning: cannot pace under real-time scheduling: %s\n", std::strerror(errno));
  *pacer = std::make_unique<Pacer>(sink->get(), *config, stop);
  return true;
}

Service::Service(const Options& options, std::string label) : m_options(options), m_label(std::move(label)) {}

Service::~Service() {
  if (m_mux != nullptr) {
    m_mux->Stop();
    m_mux->Close();
    iptv::RemovePalvex(m_mux);
  }
}

void Service::Warn(const std::string& text) const {
  if (m_options.verbosity != Verbosity::kQuiet) Log(LogLevel::kWarning, "palvex-mux: warning: " + m_label + text);
}

// A line about the input, between the progress lines.
void Service::TellAt(LogLevel level, const char* format, va_list args) const {
  if (m_options.verbosity == Verbosity::kQuiet) return;
  if (m_progress != nullptr) m_progress->End();
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  if (std::strncmp(text, "warning: ", 9) == 0) level = LogLevel::kWarning;
  Log(level, "palvex-mux: " + m_label + text);
}

void Service::Tell(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  TellAt(LogLevel::kInfo, format, args);
  va_end(args);
}

void Service::TellIncident(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  TellAt(LogLevel::kWarning, format, args);
  va_end(args);
}

bool Service::Fail(const std::string& text) const {
  Log(LogLevel::kError, "palvex-mux: " + m_label + text);
  return false;
}

bool Service::Open(int (*interrupt)(void*), void* opaque, const volatile std::sig_atomic_t* stop) {
  m_reader.SetInterrupt(interrupt, opaque);
  Selection selection;
  selection.maps = m_options.maps;
  selection.everyAudio = true;
  std::string error;
  const bool opened = m_reader.Open(m_options.input, selection, &error);
  for (const std::string& w : m_reader.warnings()) Warn(w);
  m_counts.interrupted = !opened && *stop != 0;  // stopped while waiting for a live input
  return opened ? CheckCarriage() : m_counts.interrupted || Fail(error);
}

// Every chosen stream must come out on a PID of its own that the PMT lists. By default,
// when the library does not carry every audio stream, the first audio stream goes alone.
bool Service::CheckCarriage() {
  m_carriage = ProbeCarriage(m_reader.streams());
  const std::vector<ClipStream>& streams = m_reader.streams();
  const bool allCarried =
      std::all_of(m_carriage.begin(), m_carriage.end(), [](const Carriage& c) { return c.pid >= 0; });
  if (!allCarried && m_options.maps.empty()) {
    std::vector<bool> keep(streams.size(), true);
    bool audioSeen = false;
    for (size_t i = 0; i < streams.size(); ++i) {
      if (streams[i].mainType != kMediaMainTypeAudio) continue;
      keep[i] = !audioSeen;
      if (audioSeen)
        Warn("skipping audio stream " + std::to_string(streams[i].index) + " (" + streams[i].codecName +
             "): this palvex library carries one audio stream per program");
      audioSeen = true;
    }
    m_reader.KeepStreams(keep);
    m_carriage = ProbeCarriage(m_reader.streams());
  }
  for (size_t i = 0; i < m_carriage.size(); ++i)
    if (m_carriage[i].pid < 0)
      return Fail("input stream " + std::to_string(streams[i].index) + " (" + streams[i].codecName +
                  ") cannot be carried by this palvex library");
  return true;
}

std::string Service::provider() const {
  if (m_base && !m_base->provider.empty()) return m_base->provider;
  const std::string tag = m_reader.Tag("service_provider");
  return m_options.serviceProvider ? *m_options.serviceProvider : !tag.empty() ? tag : "palvex";
}

std::string Service::name() const {
  return m_base && !m_base->name.empty() ? m_base->name : NameFromInput();
}

std::string Service::NameFromInput() const {
  std::string tag = m_reader.Tag("service_name");
  if (tag.empty()) tag = m_reader.Tag("title");
  return m_options.serviceName ? *m_options.serviceName : !tag.empty() ? tag : InputName(m_options.input);
}

int Service::serviceType() const {
  std::vector<int> types;
  int height = 0;
  for (size_t i = 0; i < m_carriage.size() && i < m_reader.streams().size(); ++i) {
    types.push_back(m_carriage[i].streamType);
    if (height == 0 && m_reader.streams()[i].mainType == kMediaMainTypeVideo) height = m_reader.streams()[i].height;
  }
  return ServiceType(types, height);
}

std::vector<Carriage> Service::OutputCarriage() const {
  std::vector<Carriage> carried = m_carriage;
  if (m_dvb != nullptr)
    for (Carriage& c : carried) c = Carriage{m_dvb->OutputPid(c.pid), m_dvb->OutputStreamType(c.pid)};
  return carried;
}

bool Service::Start() {
  m_format = Describe(m_reader.streams());
  m_mux = iptv::CreatePalvex();
  if (m_mux == nullptr) return Fail("cannot create a muxer");
  if (m_mux->AddMediaFormat(m_format.get()) == nullptr || m_mux->Open() != 0 || m_mux->Start() != 0)
    return Fail("the muxer refused the media description");
  m_counts.streams.assign(m_reader.streams().size(), StreamCount{});
  // The clock stream: the first video stream, else the first (the one the library puts the PCR on).
  std::vector<bool> audio;
  size_t clock = m_reader.streams().size();
  for (size_t i = 0; i < m_reader.streams().size(); ++i) {
    audio.push_back(m_reader.streams()[i].mainType == kMediaMainTypeAudio);
    if (clock == m_reader.streams().size() && m_reader.streams()[i].mainType == kMediaMainTypeVideo) clock = i;
  }
  m_clockStream = clock == m_reader.streams().size() ? 0 : clock;
  m_timeline = std::make_unique<Timeline>(audio, m_clockStream);
  m_lastFrames.assign(m_reader.streams().size(), ClipFrame());
  if (!StartCues()) return false;
  if (m_options.keepPids) {
    Warn("--keep-pids: no SDT is sent (its PID 0x0011 carries the library's first stream) and the PMT has no "
         "descriptors");
    return true;
  }
  // The DVB stage over the library's packets, with what the input tells of itself and of
  // the streams the library carries.
  std::string error;
  if (!m_base && !CheckPidPlan(m_options, m_carriage.size(), &error)) return Fail(error);
  DVBConfig config = m_base ? *m_base : DVBConfig();
  if (!m_base) {
    config.pmtPid = m_options.pmtPid;
    config.firstPid = m_options.firstPid;
    config.programNumber = m_options.programNumber;
    config.transportStreamId = m_options.transportStreamId;
    config.originalNetworkId = m_options.originalNetworkId;
  }
  config.provider = provider();
  config.name = name();
  config.cues = m_cuesWanted;
  for (size_t i = 0; i < m_carriage.size() && i < m_reader.streams().size(); ++i) {
    DVBStreamNote note;
    note.libraryPid = m_carriage[i].pid;
    note.language = m_reader.streams()[i].language;
    note.height = m_reader.streams()[i].height;
    config.streams.push_back(note);
  }
  m_dvb = std::make_unique<DVBStage>(config);
  if (m_dvb->NamesShortened()) Warn("the service's provider and name are cut to the 252 bytes the SDT holds");
  return true;
}

bool Service::MuxFrame(const ClipFrame& clip, const Timeline::Bounds& bounds, const Output& out) {
  if (clip.corrupt) NoteDamage(clip);
  if (clip.cue) {
    TakeCue(clip);
    return true;
  }
  // libavformat's errors before the first frame are a live input joined between key frames
  // (its parser meets slices before their parameter sets), not damage. They are counted for
  // the process: a service of a multiplex leaves them to the run.
  if (!m_base) {
    if (!m_timeline->started()) ForgetLibavErrors();
    if (m_counts.inputErrors == 0 && LibavErrorCount() > 0)
      Tell("warning: the input is damaged: %s (errors are counted in the summary; -v shows each)",
           FirstLibavError().c_str());
    m_counts.inputErrors = LibavErrorCount();
  }
  if (clip.timeUs < 0) {
    ++m_counts.untimed;
    return true;
  }
  if (!m_timeline->started())
    m_timeline->Start(ClockStartUs(m_options.muxRate > 0 ? m_options.leadTicks : 0) - m_reader.earliestUs());
  const size_t stream = static_cast<size_t>(clip.streamId - 1);
  int64_t timeUs = 0;
  const uint64_t rebases = m_timeline->rebases();
  const Timeline::Step step = m_timeline->Map(stream, clip.timeUs, clip.durationUs, bounds, &timeUs,
                                              clip.ptsUs >= 0 ? clip.ptsUs : Timeline::kNone,
                                              clip.mainType != kMediaMainTypeVideo || clip.key);
  if (m_timeline->rebases() != rebases) {
    m_counts.clockJumps = m_timeline->rebases();
    if (m_metrics != nullptr) m_metrics->SetClockJumps(m_timeline->rebases());
    ReportJump();
  }
  if (step == Timeline::Step::kDropped) return true;
  if (step == Timeline::Step::kLate) {
    // Told for the first of a loss; the summary counts them all.
    if (m_counts.lateDropped++ == m_lateDroppedAtLoss)
      TellIncident("input stream %d: a frame from before the loss came %.3f s too late to keep its time: left out, "
                   "as are any more such",
                   m_reader.streams()[stream].index, static_cast<double>(m_timeline->lateUs()) / 1e6);
    return true;
  }
  // Told once for each GOP cut; the summary counts the pictures.
  if (step == Timeline::Step::kCut && !m_cutting)
    TellIncident("input stream %d: its time moved within a GOP: pictures left out up to the next key picture",
                 m_reader.streams()[stream].index);
  m_cutting = step == Timeline::Step::kCut || (m_cutting && clip.mainType != kMediaMainTypeVideo);
  m_counts.cutPictures += step == Timeline::Step::kCut ? 1 : 0;
  if (step == Timeline::Step::kCut) return true;
  if (m_options.loop && m_reader.streams()[stream].mainType == kMediaMainTypeAudio) m_lastFrames[stream] = clip;
  return MuxAt(clip, std::max<int64_t>(0, timeUs), out);
}

// The input's clock jumped: told at once, then at most once a second.
// A frame the demuxer flagged corrupt (its transport packets lost or broken on the way):
// counted for the service's summary, told at once and then at most once a minute while
// more come, whatever the verbosity of libavformat's own lines.
void Service::NoteDamage(const ClipFrame& clip) {
  ++m_counts.corruptFrames;
  const int64_t now = SteadyNowNs();
  if (m_damageReportNs >= 0 && now - m_damageReportNs < 60000000000) return;
  m_damageReportNs = now;
  const size_t stream = clip.streamId > 0 ? static_cast<size_t>(clip.streamId - 1) : m_reader.streams().size();
  std::string which = "its SCTE-35 stream";
  if (stream < m_reader.streams().size()) which = "input stream " + std::to_string(m_reader.streams()[stream].index);
  Tell("warning: the input is damaged: a frame of %s came corrupt (transport packets lost or broken on the way), "
       "muxed as it came; %llu so far (counted in the summary)",
       which.c_str(), static_cast<unsigned long long>(m_counts.corruptFrames));
}

void Service::ReportJump() {
  const int64_t now = SteadyNowNs();
  if (m_jumpReportNs >= 0 && now - m_jumpReportNs < 1000000000) return;
  m_jumpReportNs = now;
  double seconds = static_cast<double>(std::llabs(m_timeline->lastJumpUs())) / 1e6;
  bool back = m_timeline->lastJumpUs() < 0;
  // A sender started again from 0 is seen through libavformat's 33-bit unwrapping as a step
  // forward of nearly a whole wrap (26.5 hours): told as the step back it was.
  constexpr double kWrapSeconds = 8589934592.0 / 90000.0;
  if (!back && seconds > kWrapSeconds / 2 && seconds < kWrapSeconds) {
    seconds = kWrapSeconds - seconds;
    back = true;
  }
  const unsigned long long count = static_cast<unsigned long long>(m_timeline->rebases());
  if (m_timeline->lastJumpBehind())
    TellIncident("input %.3f s late: its frames go on from the channel's time (%llu time jumps so far)", seconds,
                 count);
  else
    TellIncident("input clock %s %.3f s: the output's time goes on without a break (%llu time jumps so far)",
                 back ? "stepped back" : "jumped forward", seconds, count);
}

bool Service::MuxAt(const ClipFrame& clip, int64_t timeUs, const Output& out) {
  m_frame.Assign(clip.data, timeUs);
  uint8_t* ts = nullptr;
  int length = 0;
  if (m_mux->ProcessFrame(clip.streamId, &m_frame, &ts, &length) != 0)
    return Fail("the muxer refused frame " + std::to_string(m_counts.frames));
  // A frame counts as written when a PES packet of its stream starts in what came back.
  const int pid = m_carriage[static_cast<size_t>(clip.streamId - 1)].pid;
  bool written = false;
  for (int off = 0; off + 188 <= length; off += 188)
    written = written || (PacketPid(ts + off) == pid && PacketUnitStart(ts + off));
  const uint8_t* packets = ts;
  size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  if (m_dvb != nullptr) {
    const std::vector<uint8_t>& rewritten = m_dvb->Rewrite(ts, size);
    packets = rewritten.data();
    size = rewritten.size();
  }
  CountPackets(packets, size, &m_counts);
  if (!SendWithCues(clip, ts, length, packets, size, out)) return false;
  StreamCount& stream = m_counts.streams[static_cast<size_t>(clip.streamId - 1)];
  m_counts.unwritten += written ? 0 : 1;
  stream.frames += written ? 1 : 0;
  stream.bytes += written ? clip.data.size() : 0;
  m_counts.frames += written ? 1 : 0;
  m_counts.packets += size / 188;
  if (m_counts.firstUs < 0 || timeUs < m_counts.firstUs) m_counts.firstUs = timeUs;
  m_counts.lastUs = std::max(m_counts.lastUs, timeUs + clip.durationUs);
  return true;
}

bool Service::NextPass(const Output& out, const volatile std::sig_atomic_t* stop) {
  std::vector<Timeline::Repeat> repeats;
  if (!m_timeline->NextPass(&repeats)) return false;
  for (const Timeline::Repeat& r : repeats)
    if (!MuxAt(m_lastFrames[r.stream], r.timeUs, out)) {
      m_failed = true;
      return false;
    }
  ++m_counts.loops;
  std::string error;
  if (!m_reader.Rewind(&error)) {
    m_failed = *stop == 0;  // a signal during the reopening is an interruption, not a fault
    return m_failed ? Fail(error) : false;
  }
  return true;
}

void Service::FrameCame(int64_t nowNs) {
  if (m_lost) {
    m_counts.inputLostNs += nowNs - m_lastFrameNs;
    TellIncident("input back after %.1f s without frames", static_cast<double>(nowNs - m_lastFrameNs) / 1e9);
    if (m_metrics != nullptr) m_metrics->SetInputUp(true, WallNowNs());
  }
  m_lost = false;
  m_lastFrameNs = nowNs;
}

void Service::NoFrame(int64_t nowNs, const char* how) {
  if (m_lastFrameNs < 0 || m_lost || nowNs - m_lastFrameNs < kInputLostNs) return;
  m_lost = true;
  ++m_counts.inputLosses;
  m_timeline->InputLost();
  m_lateDroppedAtLoss = m_counts.lateDropped;
  if (m_metrics != nullptr) m_metrics->SetInputUp(false, WallNowNs());
  TellIncident("input lost: no frame for %.1f s; %s stays on air (%s)",
               static_cast<double>(nowNs - m_lastFrameNs) / 1e9, m_label.empty() ? "the channel" : "the service", how);
}

void Service::EndLoss(int64_t nowNs) {
  if (m_lost) m_counts.inputLostNs += nowNs - m_lastFrameNs;
  m_lost = false;
}

}  // namespace palvex_host
