#include "support/splice_sections.h"

#include "ts_reader.h"

namespace palvex_test {
namespace {

using namespace palvex_host;

constexpr int64_t kPTSModulus = int64_t{1} << 33;

std::vector<uint8_t> Sealed(std::vector<uint8_t> s) {
  SealSection(&s);
  return s;
}

std::vector<uint8_t> Header(int64_t adjustment) {
  return {0xFC, 0x30, 0x00, 0x00, uint8_t(adjustment >> 32 & 1), uint8_t(adjustment >> 24), uint8_t(adjustment >> 16),
          uint8_t(adjustment >> 8), uint8_t(adjustment), 0xFF};
}

}  // namespace

std::vector<uint8_t> SpliceInsertAt(int64_t time, int64_t adjustment, uint32_t event) {
  const int64_t t = (time - adjustment + kPTSModulus) % kPTSModulus;
  std::vector<uint8_t> s = Header(adjustment);
  const std::vector<uint8_t> tail = {0xFF, 0xF0, 0x14, 0x05, uint8_t(event >> 24), uint8_t(event >> 16),
                                     uint8_t(event >> 8), uint8_t(event), 0x7F, 0xEF, uint8_t(0xFE | t >> 32),
                                     uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t), 0xFE, 0x00,
                                     0x14, 0x99, 0x70, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  s.insert(s.end(), tail.begin(), tail.end());
  return Sealed(s);
}

std::vector<uint8_t> TimeSignalAt(int64_t time) {
  std::vector<uint8_t> s = Header(0);
  const std::vector<uint8_t> tail = {0xFF, 0xF0, 0x05, 0x06, uint8_t(0xFE | time >> 32), uint8_t(time >> 24),
                                     uint8_t(time >> 16), uint8_t(time >> 8), uint8_t(time), 0x00, 0x16, 0x02, 0x14,
                                     'C', 'U', 'E', 'I', 0x00, 0x00, 0x00, 0x09, 0x7F, 0xFF, 0x00, 0x00, 0x14, 0x99,
                                     0x70, 0x00, 0x00, 0x30, 0x01, 0x01};
  s.insert(s.end(), tail.begin(), tail.end());
  return Sealed(s);
}

std::vector<uint8_t> WithCues(const std::vector<uint8_t>& ts, const std::vector<InputCue>& cues) {
  std::vector<uint8_t> out;
  int pmtPid = -1, videoPid = -1, cc = 0, pmtCC = 0;
  size_t pictures = 0;
  for (size_t off = 0; off + kTSPacketSize <= ts.size(); off += kTSPacketSize) {
    const uint8_t* p = &ts[off];
    const int pid = PacketPid(p);
    size_t size = 0;
    const uint8_t* section = PacketUnitStart(p) ? PacketSection(p, &size) : nullptr;
    PAT pat;
    PMT pmt;
    if (pid == 0 && section != nullptr && ReadPAT(section, size, &pat)) pmtPid = pat.programs.back().pid;
    if (pid == pmtPid && section != nullptr && ReadPMT(section, size, &pmt)) {
      videoPid = pmt.streams.at(0).pid;
      std::vector<uint8_t> s(section, section + 10);
      const std::vector<uint8_t> info = {0xF0, 0x06, 0x05, 0x04, 'C', 'U', 'E', 'I'};  // program_info_length 6
      s.insert(s.end(), info.begin(), info.end());
      s.insert(s.end(), section + 12 + ((section[10] & 0x0F) << 8 | section[11]), section + size - 4);
      const std::vector<uint8_t> entry = {0x86, uint8_t(0xE0 | kInputCuePid >> 8), uint8_t(kInputCuePid), 0xF0, 0x00};
      s.insert(s.end(), entry.begin(), entry.end());
      s = Sealed(s);
      AppendSectionPackets(pid, s.data(), s.size(), &pmtCC, &out);
      continue;
    }
    if (pid == videoPid && PacketUnitStart(p)) {
      for (const InputCue& cue : cues)
        if (cue.beforePicture == pictures) AppendSectionPackets(kInputCuePid, cue.section.data(), cue.section.size(), &cc, &out);
      ++pictures;
    }
    out.insert(out.end(), p, p + kTSPacketSize);
  }
  return out;
}

}  // namespace palvex_test
