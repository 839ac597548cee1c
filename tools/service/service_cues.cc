// A service's SCTE-35 splice cues (splice_cues.h): the input's carried, --splice-out's
// placed before the run, breaks asked at run time answered from the muxing thread.
#include <cmath>
#include <cstdio>

#include "service.h"
#include "splice_out.h"
#include "ts_reader.h"

namespace palvex_host {

bool Service::StartCues() {
  if (m_options.keepPids && m_reader.hasCues())
    Warn("--keep-pids: the input's SCTE-35 cues are not carried (the library's PMT cannot list their PID)");
  m_cuesWanted = !m_options.keepPids && (m_reader.hasCues() || !m_options.spliceOuts.empty() || m_options.spliceCues);
  if (!m_cuesWanted) return true;
  m_cues = std::make_unique<SpliceCues>();
  if (m_options.spliceOuts.empty()) return true;
  Selection selection;
  selection.maps = m_options.maps;
  selection.everyAudio = true;
  std::vector<SplicePicture> pictures;
  std::string error;
  if (!FindSplicePictures(m_options.input, selection, m_reader.streams()[m_clockStream].index, m_options.spliceOuts,
                          &pictures, &error))
    return Fail(error);
  for (size_t i = 0; i < pictures.size(); ++i)
    m_cues->AddBreakAtInput(pictures[i].pts90k, std::llround(m_options.spliceOuts[i].duration * 90000.0),
                            pictures[i].key);
  return true;
}

void Service::TakeCue(const ClipFrame& clip) {
  std::string why;
  if (m_cues != nullptr && !m_cues->Take(clip.data.data(), clip.data.size(), &why))
    Tell("dropped a damaged SCTE-35 splice_info_section: %s", why.c_str());
}

// A picture of the clock stream leaves behind the cues due before it: the input's held
// since the last picture, and the breaks' copies; both behind the tables the library put in
// front of the picture. Any other frame leaves as it is.
bool Service::SendWithCues(const ClipFrame& clip, const uint8_t* library, int libraryLength, const uint8_t* packets,
                           size_t size, const Output& out) {
  const size_t stream = static_cast<size_t>(clip.streamId - 1);
  if (m_cues == nullptr || stream != m_clockStream) return out(packets, size);
  CuePicture picture;
  const int pid = m_carriage[stream].pid;
  for (int off = 0; off + static_cast<int>(kTSPacketSize) <= libraryLength && picture.outPts < 0; off += kTSPacketSize) {
    PESStart pes;
    if (PacketPid(library + off) == pid && ReadPESStart(library + off, &pes) && pes.pts >= 0) {
      picture.outPts = pes.pts;
      picture.outDts = pes.dts;
    }
  }
  if (picture.outPts < 0) return out(packets, size);
  picture.inPts = clip.pts90k;
  picture.step = clip.durationUs * 9 / 100;
  picture.key = clip.key;
  m_cues->SetPid(m_dvb->CuePid());
  m_cueOut.clear();
  m_cues->OnPicture(picture, &m_cueOut);
  m_spliceRequests.Serve([this](double inSeconds, double durationSeconds) {
    SpliceReply reply;
    SpliceBreak placed;
    if (!m_cues->AddBreakIn(std::llround(inSeconds * 90000.0), std::llround(durationSeconds * 90000.0), &placed)) {
      reply.error = "the service has muxed no picture yet";
      return reply;
    }
    reply.ok = true;
    reply.eventId = placed.eventId;
    reply.splicePts = placed.splicePts;
    reply.key = placed.key;
    Tell("splice_insert event %u asked for: out at PTS %lld for %.3f s; %s", placed.eventId,
         static_cast<long long>(placed.splicePts), durationSeconds, KeyPictureText(placed.key));
    return reply;
  });
  for (const std::string& line : m_cues->TakeLines()) Tell("%s", line.c_str());
  if (m_cueOut.empty()) return out(packets, size);
  for (size_t off = 0; off + kTSPacketSize <= m_cueOut.size(); off += kTSPacketSize) {
    ++m_counts.pidPackets[PacketPid(m_cueOut.data() + off)];
    if (m_metrics != nullptr && PacketUnitStart(m_cueOut.data() + off)) m_metrics->AddCue();
  }
  m_counts.packets += m_cueOut.size() / kTSPacketSize;
  const int outPid = m_dvb->OutputPid(pid);
  size_t at = 0;
  while (at + kTSPacketSize <= size && PacketPid(packets + at) != outPid) at += kTSPacketSize;
  return (at == 0 || out(packets, at)) && out(m_cueOut.data(), m_cueOut.size()) &&
         (at == size || out(packets + at, size - at));
}

// The summary's line on the cue PID.
void Service::ReportCues() const {
  if (m_cues == nullptr || m_dvb == nullptr || m_dvb->CuePid() < 0 || m_options.verbosity == Verbosity::kQuiet) return;
  std::fprintf(stderr, "  PID 0x%04X  stream_type 0x86 SCTE-35 splice cues: %llu carried, %llu dropped\n",
               static_cast<unsigned>(m_dvb->CuePid()), static_cast<unsigned long long>(m_cues->carried()),
               static_cast<unsigned long long>(m_cues->dropped()));
}

SpliceReply Service::RequestSplice(double inSeconds, double durationSeconds) {
  if (!m_cuesWanted) {
    SpliceReply reply;
    reply.error = "this service carries no splice cues (palvex-mux --splice-cues gives it a cue PID)";
    return reply;
  }
  return m_spliceRequests.Ask(inSeconds, durationSeconds);
}

}  // namespace palvex_host
