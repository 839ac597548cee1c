// A muxer's output in small, for the scheduler's tests and benchmark: PAT, PMT (its
// PCR_PID chosen; in one packet or, with descriptors, two), an SDT, or for a multiplex a
// program of its own on PIDs of its own and a PAT of several programs, H.264 and AAC PES packets with PTS/DTS and a PCR 400 ms behind
// the DTS, as whole packets with continuity counters per PID; the PIDs are not palvex's
// own, as after a DVB stage that moved them.
#ifndef PALVEX_TESTS_SUPPORT_PROGRAM_MAKER_H_
#define PALVEX_TESTS_SUPPORT_PROGRAM_MAKER_H_

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "ts/pes_header.h"
#include "ts_reader.h"

namespace palvex_test {

constexpr int kPMTPid = 0x0100, kVideoPid = 0x0200, kAudioPid = 0x0201, kSDTPid = 0x0011, kTDTPid = 0x0014;

using palvex_host::kPCRHz;
using palvex_host::kTSPacketSize;
using palvex_host::SectionCRC;
using palvex_host::SetPacketPCR;

// A whole section from its bytes up to the CRC_32 (section_length any value): section_length
// set, the CRC_32 behind it.
inline std::vector<uint8_t> CompleteSection(std::vector<uint8_t> s) {
  s[1] = uint8_t((s[1] & 0xF0) | (s.size() + 4 - 3) >> 8);  // section_length, CRC_32 included
  s[2] = uint8_t(s.size() + 4 - 3);
  const uint32_t crc = SectionCRC(s.data(), s.size());
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(uint8_t(crc >> shift));
  return s;
}

// A program of a multiplex: its program_number and PIDs.
struct ProgramPids {
  int number = 1;
  int pmtPid = kPMTPid;
  int videoPid = kVideoPid;
  int audioPid = kAudioPid;
};

class ProgramMaker {
 public:
  // pcrPid: the video or the audio PID of ids.
  explicit ProgramMaker(int pcrPid, const ProgramPids& ids = ProgramPids()) : m_pcrPid(pcrPid), m_ids(ids) {}

  // longPMT: the audio entry carries 200 bytes of descriptors, so that the PMT goes on
  // over two packets. pat: the PAT naming this program alone goes first.
  void Tables(bool sdt, bool longPMT = false, bool pat = true) {
    if (pat) PAT({m_ids});
    // PMT: PCR_PID, H.264 on the video PID, AAC on the audio PID.
    const int number = m_ids.number, video = m_ids.videoPid, audio = m_ids.audioPid;
    std::vector<uint8_t> pmt{0x02, 0xB0, 0, uint8_t(number >> 8), uint8_t(number), 0xC1, 0x00, 0x00,
                             uint8_t(0xE0 | m_pcrPid >> 8), uint8_t(m_pcrPid), 0xF0, 0x00,
                             0x1B, uint8_t(0xE0 | video >> 8), uint8_t(video), 0xF0, 0x00,
                             0x0F, uint8_t(0xE0 | audio >> 8), uint8_t(audio), 0xF0, 0x00};
    if (longPMT) {
      pmt[pmt.size() - 1] = 200;  // ES_info_length: 20 ISO 639 language descriptors
      for (int i = 0; i < 20; ++i) pmt.insert(pmt.end(), {0x0A, 0x08, 'e', 'n', 'g', 0x00, 'f', 'r', 'a', 0x00});
    }
    Section(pmt, m_ids.pmtPid);
    // SDT actual: one service, no descriptors.
    if (sdt) Section({0x42, 0xF0, 0, 0x00, 0x66, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x01, 0xFC, 0x80, 0x00}, kSDTPid);
  }

  // A PAT of transport_stream_id 0x66 naming the programs given, version_number version.
  void PAT(const std::vector<ProgramPids>& programs, int version = 0) {
    std::vector<uint8_t> pat{0x00, 0xB0, 0, 0x00, 0x66, uint8_t(0xC1 | (version & 31) << 1), 0x00, 0x00};
    for (const ProgramPids& p : programs)
      pat.insert(pat.end(), {uint8_t(p.number >> 8), uint8_t(p.number), uint8_t(0xE0 | p.pmtPid >> 8), uint8_t(p.pmtPid)});
    Section(pat, 0);
  }

  // A time_date_section (DVB SI, PID 0x0014; no CRC_32), as a multiplex sends its TDT.
  void TDT() {
    uint8_t* p = Packet(kTDTPid, true);
    std::memset(p + 4, 0xFF, kTSPacketSize - 4);
    const uint8_t tdt[] = {0x00, 0x70, 0x70, 0x05, 0xE9, 0x8C, 0x12, 0x00, 0x00};  // pointer_field, section
    std::memcpy(p + 4, tdt, sizeof tdt);
  }

  // One access unit of n packets; a PCR 400 ms behind its DTS in the first when asked.
  void Unit(int pid, int64_t dts90k, int64_t pts90k, int n, bool pcr) {
    uint8_t* p = Packet(pid, true);
    size_t at = 4;
    if (pcr) {
      p[3] = uint8_t(p[3] | 0x20);  // adaptation field, then payload
      p[4] = 7;
      p[5] = 0x10;
      SetPacketPCR(p, dts90k * 300 - kPCRHz * 4 / 10);
      at = 12;
    }
    const uint8_t pes[] = {0, 0, 1, uint8_t(pid == m_ids.videoPid ? 0xE0 : 0xC0), 0, 0, 0x80, 0xC0, 10};
    std::memcpy(p + at, pes, sizeof pes);
    palvex::PutTimestamp(p + at + 9, 3, pts90k);   // '0011', PTS
    palvex::PutTimestamp(p + at + 14, 1, dts90k);  // '0001', DTS
    for (int i = 1; i < n; ++i) Packet(pid, false);
  }

  std::vector<uint8_t> Take() { return std::move(m_out); }

 private:
  uint8_t* Packet(int pid, bool start) {
    m_out.resize(m_out.size() + kTSPacketSize, 0xA5);
    uint8_t* p = &m_out[m_out.size() - kTSPacketSize];
    p[0] = 0x47;
    p[1] = uint8_t((start ? 0x40 : 0) | pid >> 8);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (m_cc[pid]++ & 0x0F));
    return p;
  }
  // One section, in as many packets as it takes.
  void Section(const std::vector<uint8_t>& bytes, int pid) {
    std::vector<uint8_t> s = CompleteSection(bytes);
    s.insert(s.begin(), 0);  // pointer_field
    for (size_t done = 0; done < s.size(); done += kTSPacketSize - 4) {
      uint8_t* p = Packet(pid, done == 0);
      std::memset(p + 4, 0xFF, kTSPacketSize - 4);
      std::memcpy(p + 4, s.data() + done, std::min(kTSPacketSize - 4, s.size() - done));
    }
  }

  int m_pcrPid;
  ProgramPids m_ids;
  std::vector<uint8_t> m_out;
  int m_cc[8192] = {};
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_PROGRAM_MAKER_H_
