#include "carriage.h"

#include <cstring>
#include <memory>

#include "output.h"
#include "palvex/palvex.h"

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
  uint8_t m_bytes[64] = {};  // room for a header the muxer may put in front
  int m_size = sizeof kProbeBytes;
};

int PidOf(const uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }

// The start of the section in a packet with payload_unit_start_indicator, and where the
// packet ends; null when the packet starts none.
const uint8_t* SectionStart(const uint8_t* p) {
  if (p[0] != 0x47 || (p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) return nullptr;
  size_t pos = 4;
  if (p[3] & 0x20) pos += 1 + size_t{p[4]};
  if (pos >= kTSPacketSize) return nullptr;
  pos += 1 + size_t{p[pos]};  // pointer_field
  return pos + 3 <= kTSPacketSize ? p + pos : nullptr;
}

// section_length of a section that ends inside the packet, 0 otherwise.
size_t SectionLength(const uint8_t* section, const uint8_t* packet) {
  const size_t length = size_t(section[1] & 0x0F) << 8 | section[2];
  return section + 3 + length <= packet + kTSPacketSize && length >= 9 ? length : 0;
}

// The stream_type and PID found for every probed stream, PMT read from the output.
struct ProbeOutput {
  int pmtPid = -1;
  std::map<int, int> streamTypes;
};

int FramePid(const uint8_t* ts, int length, ProbeOutput* out) {
  int pid = -1;
  for (int off = 0; off + static_cast<int>(kTSPacketSize) <= length; off += kTSPacketSize) {
    const uint8_t* p = ts + off;
    const int at = PidOf(p);
    if (at == 0) ReadPatPacket(p, &out->pmtPid);
    else if (at == out->pmtPid) ReadPmtPacket(p, &out->streamTypes);
    else if (pid < 0 && at != 0x1FFF) pid = at;
  }
  return pid;
}

}  // namespace

bool ReadPatPacket(const uint8_t* packet, int* pmtPid) {
  const uint8_t* s = SectionStart(packet);
  const size_t length = s == nullptr || s[0] != 0x00 ? 0 : SectionLength(s, packet);
  for (size_t pos = 8; length != 0 && pos + 4 <= 3 + length - 4; pos += 4) {
    if ((s[pos] << 8 | s[pos + 1]) == 0) continue;  // the network PID
    *pmtPid = (s[pos + 2] & 0x1F) << 8 | s[pos + 3];
    return true;
  }
  return false;
}

bool ReadPmtPacket(const uint8_t* packet, std::map<int, int>* streamTypes) {
  const uint8_t* s = SectionStart(packet);
  const size_t length = s == nullptr || s[0] != 0x02 ? 0 : SectionLength(s, packet);
  if (length < 13) return false;
  const size_t end = 3 + length - 4;  // before the CRC_32
  size_t pos = 12 + (size_t(s[10] & 0x0F) << 8 | s[11]);
  while (pos + 5 <= end) {
    (*streamTypes)[(s[pos + 1] & 0x1F) << 8 | s[pos + 2]] = s[pos];
    pos += 5 + (size_t(s[pos + 3] & 0x0F) << 8 | s[pos + 4]);
  }
  return true;
}

std::vector<Carriage> ProbeCarriage(const std::vector<ClipStream>& streams) {
  std::vector<Carriage> result(streams.size());
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
    case 0x0F: return "AAC (ADTS)";
    case 0x10: return "MPEG-4 Visual video";
    case 0x11: return "AAC (LATM)";
    case 0x1B: return "H.264";
    case 0x81: return "AC-3";
    case 0x87: return "E-AC-3";
    default: return "private";
  }
}

}  // namespace palvex_host
