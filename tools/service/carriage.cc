#include "carriage.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "output.h"
#include "palvex/palvex.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

// A probe frame every codec's path takes whole: an H.264 access unit delimiter and filler
// bytes, which no audio path mistakes for a header of its own.
const uint8_t kProbeBytes[16] = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0x80};

class ProbeFrame final : public IMediaFrame {
 public:
  ProbeFrame() { std::memcpy(m_bytes, kProbeBytes, sizeof kProbeBytes); }
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_bytes; }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return 0; }

 private:
  uint8_t m_bytes[sizeof kProbeBytes] = {};
  int m_size = sizeof kProbeBytes;
};

// The scratch muxer keeps its lines to itself (they would repeat the run's): the library reads
// PALVEX_DIAGNOSTICS when a muxer is created, and the host's setting comes back after.
class QuietMuxerLines {
 public:
  QuietMuxerLines() {
    const char* value = std::getenv(kName);
    m_had = value != nullptr;
    if (m_had) m_value = value;
    setenv(kName, "off", 1);
  }
  ~QuietMuxerLines() {
    if (m_had) setenv(kName, m_value.c_str(), 1);
    else unsetenv(kName);
  }
  QuietMuxerLines(const QuietMuxerLines&) = delete;
  QuietMuxerLines& operator=(const QuietMuxerLines&) = delete;

 private:
  static constexpr const char* kName = "PALVEX_DIAGNOSTICS";
  bool m_had = false;
  std::string m_value;
};

// The PID of the frame's first packet that is neither PSI nor null; the PAT and PMT in
// front of it give the stream_type of each PID.
struct ProbeOutput {
  int pmtPid = -1;
  std::map<int, int> streamTypes;
};

int FramePid(const uint8_t* ts, int length, ProbeOutput* out) {
  int pid = -1;
  for (int off = 0; off + static_cast<int>(kTSPacketSize) <= length; off += kTSPacketSize) {
    const uint8_t* p = ts + off;
    const int at = PacketPid(p);
    size_t size = 0;
    const uint8_t* section = at == 0 || at == out->pmtPid ? PacketSection(p, &size) : nullptr;
    PAT pat;
    PMT pmt;
    if (section != nullptr && ReadPAT(section, size, &pat)) {
      for (const PATProgram& program : pat.programs)
        if (program.number != 0 && out->pmtPid < 0) out->pmtPid = program.pid;
    } else if (section != nullptr && ReadPMT(section, size, &pmt)) {
      for (const PMTStream& stream : pmt.streams) out->streamTypes[stream.pid] = stream.streamType;
    } else if (pid < 0 && at != 0 && at != out->pmtPid && at != kNullPid) {
      pid = at;
    }
  }
  return pid;
}

}  // namespace

std::vector<Carriage> ProbeCarriage(const std::vector<ClipStream>& streams) {
  std::vector<Carriage> result(streams.size());
  const QuietMuxerLines quiet;
  iptv::IVorlux* mux = iptv::CreatePalvex();
  if (mux == nullptr) return result;
  std::unique_ptr<MediaFormat> format = Describe(streams);
  if (mux->AddMediaFormat(format.get()) != nullptr && mux->Open() == 0 && mux->Start() == 0) {
    ProbeOutput out;
    for (size_t i = 0; i < streams.size(); ++i) {
      ProbeFrame frame;
      uint8_t* ts = nullptr;
      int length = 0;
      if (mux->ProcessFrame(streams[i].streamId, &frame, &ts, &length) != 0 || ts == nullptr) continue;
      result[i].pid = FramePid(ts, length, &out);
      for (size_t k = 0; k < i; ++k)
        if (result[k].pid == result[i].pid) result[i].pid = -1;  // frames on another stream's PID
    }
    for (Carriage& c : result) {
      const auto type = out.streamTypes.find(c.pid);
      c.streamType = type == out.streamTypes.end() ? -1 : type->second;
      if (c.streamType < 0) c.pid = -1;  // packets on a PID the PMT does not list
    }
  }
  mux->Stop();
  mux->Close();
  iptv::RemovePalvex(mux);
  return result;
}

const char* StreamTypeName(int streamType) {
  switch (streamType) {
    case 0x01: return "MPEG-1 video";
    case 0x02: return "MPEG-2 video";
    case 0x03: return "MPEG-1 audio";
    case 0x04: return "MPEG-2 audio";
    case 0x06: return "PES private data";
    case 0x0F: return "AAC (ADTS)";
    case 0x10: return "MPEG-4 Visual video";
    case 0x11: return "AAC (LATM)";
    case 0x1B: return "H.264";
    case 0x24: return "HEVC";
    case 0x81: return "AC-3";
    case 0x87: return "E-AC-3";
    default: return "private";
  }
}

}  // namespace palvex_host
