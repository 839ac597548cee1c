#include "channel.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input_thread.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kInputPollNs = 10000000;        // a silent input is looked at every 10 ms
constexpr int64_t kKeepAheadTicks = kPCRHz / 20;  // kept on air 50 ms ahead of the clock

// The service name when neither --service-name nor the input's metadata gives one: a
// file's name without its extension, a URL as it is.
std::string InputName(const std::string& input) {
  if (input == "-") return "palvex";
  if (!IsLocalFile(input)) return input;
  const std::string name = input.substr(input.find_last_of('/') == std::string::npos ? 0 : input.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The DVB stage over the library's packets, with what the input tells of itself and of the
// streams the library carries.
std::unique_ptr<DVBStage> MakeDVBStage(const Options& o, const ClipReader& reader, const std::vector<Carriage>& carriage) {
  DVBConfig config;
  config.pmtPid = o.pmtPid;
  config.firstPid = o.firstPid;
  config.programNumber = o.programNumber;
  config.transportStreamId = o.transportStreamId;
  config.originalNetworkId = o.originalNetworkId;
  const std::string provider = reader.Tag("service_provider");
  config.provider = o.serviceProvider ? *o.serviceProvider : !provider.empty() ? provider : "palvex";
  std::string name = reader.Tag("service_name");
  if (name.empty()) name = reader.Tag("title");
  config.name = o.serviceName ? *o.serviceName : !name.empty() ? name : InputName(o.input);
  for (size_t i = 0; i < carriage.size() && i < reader.streams().size(); ++i) {
    DVBStreamNote note;
    note.libraryPid = carriage[i].pid;
    note.language = reader.streams()[i].language;
    note.height = reader.streams()[i].height;
    config.streams.push_back(note);
  }
  return std::make_unique<DVBStage>(config);
}

}  // namespace

Channel::Channel(const Options& options, const volatile std::sig_atomic_t* stop, int tsFd)
    : m_options(options), m_stop(stop), m_tsFd(tsFd) {}

Channel::~Channel() {
  if (m_mux != nullptr) {
    m_mux->Stop();
    m_mux->Close();
    iptv::RemovePalvex(m_mux);
  }
}

const PacerStats& Channel::pacerStats() const {
  static const PacerStats kNone;
  return m_pacer != nullptr ? m_pacer->stats() : kNone;
}

void Channel::Warn(const std::string& text) const {
  if (m_options.verbosity != Verbosity::kQuiet) std::fprintf(stderr, "palvex-mux: warning: %s\n", text.c_str());
}

// A line about the input, between the progress lines.
void Channel::Tell(const char* format, ...) const {
  if (m_options.verbosity == Verbosity::kQuiet) return;
  if (m_progress != nullptr) m_progress->End();
  va_list args;
  va_start(args, format);
  std::fputs("palvex-mux: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

int Channel::InputInterrupted(void* channel) {
  const Channel* c = static_cast<const Channel*>(channel);
  return *c->m_stop != 0 || c->m_quitInput.load() ? 1 : 0;
}

bool Channel::Fail(const std::string& text) const {
  std::fprintf(stderr, "palvex-mux: %s\n", text.c_str());
  return false;
}

bool Channel::OpenInput() {
  m_reader.SetInterrupt(InputInterrupted, this);
  Selection selection;
  selection.maps = m_options.maps;
  selection.everyAudio = true;
  std::string error;
  const bool opened = m_reader.Open(m_options.input, selection, &error);
  for (const std::string& w : m_reader.warnings()) Warn(w);
  return opened ? CheckCarriage() : Fail(error);
}

// Every chosen stream must come out on a PID of its own that the PMT lists. By default,
// when the library does not carry every audio stream, the first audio stream goes alone.
bool Channel::CheckCarriage() {
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

// Pacing holds to the millisecond only when the scheduler wakes the process in time; on a
// busy machine SCHED_FIFO makes sure it does (it sleeps between writes).
void Channel::TakeRealTimePriority(int priority) const {
  sched_param param{};
  param.sched_priority = priority;
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
    Warn(std::string("cannot pace under real-time scheduling: ") + std::strerror(errno));
}

// Before the input is opened: an output that may not be written is refused without a wait
// for the input, and nothing is created or changed.
bool Channel::CheckOutput() {
  if (SameFile(m_options.input, m_options.output, m_tsFd))
    return Fail("refusing to write '" + m_options.output + "': it is the input file '" + m_options.input + "'");
  if (m_options.output == "-" && isatty(m_tsFd)) return Fail("refusing to write a transport stream to a terminal");
  std::string error;
  return CheckOutputFile(m_options.output, m_options.overwrite, &error) || Fail(error);
}

bool Channel::OpenOutput() {
  SinkOptions sinkOptions;
  sinkOptions.ttl = m_options.ttl;
  sinkOptions.multicastInterface = m_options.multicastInterface;
  sinkOptions.stdoutFd = m_tsFd;
  sinkOptions.overwrite = m_options.overwrite;
  std::string error;
  m_sink = OpenSink(m_options.output, sinkOptions, &error);
  if (m_sink == nullptr) return Fail(error);
  PacerConfig config;
  config.paced = m_options.realtime || m_sink->network();
  if (config.paced && m_options.rtPriority > 0) TakeRealTimePriority(m_options.rtPriority);
  m_pacer = std::make_unique<Pacer>(m_sink.get(), config, m_stop);
  m_live = config.paced && !IsLocalFile(m_options.input);
  if (m_live && m_options.muxRate == 0) m_keepAlive = std::make_unique<KeepAlive>(config.packetsPerWrite);
  if (m_options.muxRate > 0) {
    SchedulerConfig schedule;
    schedule.muxRate = m_options.muxRate;
    schedule.leadTicks = m_options.leadTicks;
    m_scheduler = std::make_unique<Scheduler>(schedule, m_pacer.get());
  }
  return true;
}

bool Channel::StartMuxer() {
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
  m_timeline = std::make_unique<Timeline>(audio, clock == m_reader.streams().size() ? 0 : clock);
  m_lastFrames.assign(m_reader.streams().size(), ClipFrame());
  if (m_options.keepPids) {
    Warn("--keep-pids: no SDT is sent (its PID 0x0011 carries the library's first stream) and the PMT has no "
         "descriptors");
    return true;
  }
  m_dvb = MakeDVBStage(m_options, m_reader, m_carriage);
  if (m_dvb->NamesShortened()) Warn("the service's provider and name are cut to the 252 bytes the SDT holds");
  return true;
}

bool Channel::MuxFrame(const ClipFrame& clip) {
  if (clip.timeUs < 0) {
    ++m_counts.untimed;
    return true;
  }
  if (!m_timeline->started()) m_timeline->Start(ClockStartUs(m_options.muxRate > 0 ? m_options.leadTicks : 0) - m_reader.earliestUs());
  const size_t stream = static_cast<size_t>(clip.streamId - 1);
  int64_t timeUs = 0;
  const uint64_t rebases = m_timeline->rebases();
  const Timeline::Step step = m_timeline->Map(stream, clip.timeUs, clip.durationUs, LiveBounds(), &timeUs,
                                              clip.ptsUs >= 0 ? clip.ptsUs : Timeline::kNone,
                                              clip.mainType != kMediaMainTypeVideo || clip.key);
  if (m_timeline->rebases() != rebases) ReportJump();
  if (step == Timeline::Step::kDropped) return true;
  if (step == Timeline::Step::kLate) {
    // Told for the first of a loss; the summary counts them all.
    if (m_counts.lateDropped++ == m_lateDroppedAtLoss)
      Tell("input stream %d: a frame from before the loss came %.3f s too late to keep its time: left out, as are "
           "any more such",
           m_reader.streams()[stream].index, static_cast<double>(m_timeline->lateUs()) / 1e6);
    return true;
  }
  // Told once for each GOP cut; the summary counts the pictures.
  if (step == Timeline::Step::kCut && !m_cutting)
    Tell("input stream %d: its time moved within a GOP: pictures left out up to the next key picture",
         m_reader.streams()[stream].index);
  m_cutting = step == Timeline::Step::kCut || (m_cutting && clip.mainType != kMediaMainTypeVideo);
  m_counts.cutPictures += step == Timeline::Step::kCut ? 1 : 0;
  if (step == Timeline::Step::kCut) return true;
  if (m_options.loop && m_reader.streams()[stream].mainType == kMediaMainTypeAudio) m_lastFrames[stream] = clip;
  return MuxAt(clip, std::max<int64_t>(0, timeUs));
}

// Where the channel's own clock stands for a live input: a frame of the clock stream due
// to leave more than half the lead behind the scheduler's slots (or, without --muxrate,
// whose PCR would not come after the last one sent) is moved on to it.
Timeline::Bounds Channel::LiveBounds() const {
  Timeline::Bounds bounds;
  if (!m_live) return bounds;
  if (m_scheduler != nullptr && m_scheduler->started()) {
    bounds.floorUs = (m_scheduler->now() + m_options.leadTicks / 2) / 27;
    bounds.resumeUs = (m_scheduler->now() + m_options.leadTicks) / 27;
  } else if (m_keepAlive != nullptr && m_keepAlive->lastPCR() >= 0) {
    bounds.floorUs = m_keepAlive->lastPCR() / 27 + kPCRDelayUs + 12;  // 12 us: one 90 kHz tick on
    bounds.resumeUs = bounds.floorUs + KeepAlive::kStepTicks / 27;
  }
  return bounds;
}

// The input's clock jumped: told at once, then at most once a second.
void Channel::ReportJump() {
  const int64_t now = SteadyNowNs();
  if (m_jumpReportNs >= 0 && now - m_jumpReportNs < 1000000000) return;
  m_jumpReportNs = now;
  const double seconds = static_cast<double>(std::llabs(m_timeline->lastJumpUs())) / 1e6;
  const unsigned long long count = static_cast<unsigned long long>(m_timeline->rebases());
  if (m_timeline->lastJumpBehind())
    Tell("input %.3f s late: its frames go on from the channel's time (%llu time jumps so far)", seconds, count);
  else
    Tell("input clock %s %.3f s: the output's time goes on without a break (%llu time jumps so far)",
         m_timeline->lastJumpUs() < 0 ? "stepped back" : "jumped forward", seconds, count);
}

bool Channel::MuxAt(const ClipFrame& clip, int64_t timeUs) {
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
  const uint8_t* out = ts;
  size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  if (m_dvb != nullptr) {
    const std::vector<uint8_t>& rewritten = m_dvb->Rewrite(ts, size);
    out = rewritten.data();
    size = rewritten.size();
  }
  for (size_t off = 0; off + 188 <= size; off += 188) ++m_counts.pidPackets[PacketPid(out + off)];
  if (!Send(out, size)) return Fail(m_sink->error());
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

bool Channel::Send(const uint8_t* ts, size_t size) {
  if (m_scheduler != nullptr) {
    const bool ok = m_scheduler->Push(ts, size);
    ReportLate();
    return ok;
  }
  if (m_keepAlive == nullptr) return m_pacer->Push(ts, size);
  m_keepBuffer.clear();
  m_keepAlive->Pass(ts, size, &m_keepBuffer);
  return m_pacer->Push(m_keepBuffer.data(), m_keepBuffer.size());
}

// Too little rate is told as soon as an access unit leaves late, then at most once a
// second while it goes on.
void Channel::ReportLate() {
  const SchedulerStats& stats = m_scheduler->stats();
  if (stats.lateUnits == m_lateReported) return;
  const int64_t now = SteadyNowNs();
  if (m_lateReported > 0 && now - m_lateReportNs < 1000000000) return;
  std::fprintf(stderr,
               "palvex-mux: --muxrate %.3f Mbit/s is too little: %llu access units late so far (up to %.1f ms after "
               "their decode time); the last second needed %.3f Mbit/s\n",
               static_cast<double>(m_options.muxRate) / 1e6, static_cast<unsigned long long>(stats.lateUnits),
               static_cast<double>(stats.maxLateTicks) / 27000.0, static_cast<double>(stats.neededRate) / 1e6);
  m_lateReported = stats.lateUnits;
  m_lateReportNs = now;
}

// --loop: the next pass starts where this one ends (see Timeline), after the audio frames
// sent again to fill its seam.
bool Channel::NextPass() {
  std::vector<Timeline::Repeat> repeats;
  if (!m_timeline->NextPass(&repeats)) return false;
  for (const Timeline::Repeat& r : repeats)
    if (!MuxAt(m_lastFrames[r.stream], r.timeUs)) {
      m_failed = true;
      return false;
    }
  ++m_counts.loops;
  std::string error;
  if (!m_reader.Rewind(&error)) {
    m_failed = *m_stop == 0;  // a signal during the reopening is an interruption, not a fault
    return m_failed ? Fail(error) : false;
  }
  return true;
}

bool Channel::MuxAll() {
  Progress progress(m_options.verbosity != Verbosity::kQuiet && isatty(STDERR_FILENO),
                    m_options.loop ? 0.0 : m_reader.durationSeconds());
  m_progress = &progress;
  const bool ok = m_live ? MuxLive() : MuxFile();
  progress.End();
  m_progress = nullptr;
  m_counts.clockJumps = m_timeline->rebases();
  return ok && !m_failed;
}

bool Channel::MuxFile() {
  ClipFrame clip;
  std::string error;
  bool ok = true;
  while (ok && *m_stop == 0) {
    if (!m_reader.Next(&clip, &error)) {
      if (!error.empty() && *m_stop == 0) ok = Fail(error);
      if (!ok || *m_stop != 0 || !m_options.loop || !NextPass()) break;
      continue;
    }
    ok = MuxFrame(clip);
    m_progress->Update(m_counts, SteadyNowNs());
  }
  return ok;
}

// A live input on a thread of its own: while no frame comes the channel stays on air on
// the wall clock, and the input's loss and return are told.
bool Channel::MuxLive() {
  InputThread input(&m_reader);
  input.Start();
  ClipFrame clip;
  std::string error;
  bool ok = true;
  int64_t lastFrameNs = -1;
  bool lost = false;
  int64_t waitNs = kInputPollNs;
  while (ok && *m_stop == 0) {
    const InputThread::Got got = input.Next(&clip, waitNs, &error);
    const int64_t now = SteadyNowNs();
    if (got == InputThread::Got::kEnd) {
      if (!error.empty() && *m_stop == 0) ok = Fail(error);
      break;
    }
    if (got == InputThread::Got::kFrame) {
      if (lost) {
        m_counts.inputLostNs += now - lastFrameNs;
        Tell("input back after %.1f s without frames", static_cast<double>(now - lastFrameNs) / 1e9);
      }
      lost = false;
      lastFrameNs = now;
      ok = MuxFrame(clip);
      m_progress->Update(m_counts, now);
      waitNs = 0;  // the frames already waiting go first
      continue;
    }
    waitNs = kInputPollNs;
    if (lastFrameNs >= 0 && !lost && now - lastFrameNs >= kInputLostNs) {
      lost = true;
      ++m_counts.inputLosses;
      m_timeline->InputLost();
      m_lateDroppedAtLoss = m_counts.lateDropped;
      Tell("input lost: no frame for %.1f s; the channel stays on air (%s)",
           static_cast<double>(now - lastFrameNs) / 1e9,
           m_scheduler != nullptr ? "null packets, PAT/PMT and PCR at the same rate" : "PAT/PMT and PCR");
    }
    if (ok) ok = KeepOnAir();
  }
  if (lost) m_counts.inputLostNs += SteadyNowNs() - lastFrameNs;
  m_quitInput = true;
  input.Stop();
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
  return m_keepBuffer.empty() || m_pacer->Push(m_keepBuffer.data(), m_keepBuffer.size()) || Fail(m_sink->error());
}

// One message per failure, and no summary after one: a file output is then left as it
// was (or not made), so the counts would describe nothing that exists.
int Channel::Run() {
  if (!CheckOutput() || !OpenInput() || !OpenOutput() || !StartMuxer()) return 1;
  const int64_t begin = SteadyNowNs();
  bool ok = MuxAll();
  m_counts.interrupted = *m_stop != 0;
  if (m_scheduler != nullptr && m_sink->error().empty()) {
    if (!m_scheduler->Finish()) ok = Fail(m_sink->error());
    ReportLate();
  }
  if (m_sink->error().empty() && !m_pacer->Finish()) ok = Fail(m_sink->error());
  if (ok && m_counts.frames == 0)
    ok = Fail(m_counts.untimed > 0 ? "nothing was muxed: no frame with a time stamp" : "nothing was muxed");
  if (ok && !m_sink->Commit()) ok = Fail(m_sink->error());
  std::vector<Carriage> carried = m_carriage;  // as the output carries the streams
  if (m_dvb != nullptr)
    for (Carriage& c : carried) c = Carriage{m_dvb->OutputPid(c.pid), m_dvb->OutputStreamType(c.pid)};
  if (ok && m_options.verbosity != Verbosity::kQuiet)
    PrintSummary(m_options.input, m_options.output, m_reader.streams(), carried, m_counts, m_pacer->stats(),
                 m_scheduler != nullptr ? &m_scheduler->stats() : nullptr, m_options.muxRate,
                 static_cast<double>(SteadyNowNs() - begin) / 1e9);
  if (!ok) return 1;
  return m_scheduler != nullptr && m_scheduler->stats().lateUnits > 0 ? kExitTooLittleRate : 0;
}

}  // namespace palvex_host
