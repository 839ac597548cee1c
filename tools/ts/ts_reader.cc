#include "ts_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace palvex_host {
namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr uint8_t kPCRFlag = 0x10;       // PCR_flag in the adaptation field flags
constexpr uint8_t kTableIdPAT = 0x00;
constexpr uint8_t kTableIdPMT = 0x02;
constexpr size_t kLongHeaderSize = 8;    // table_id up to last_section_number
constexpr size_t kCRCSize = 4;

int Field13(const uint8_t* q) { return (q[0] & 0x1F) << 8 | q[1]; }
size_t Field12(const uint8_t* q) { return size_t(q[0] & 0x0F) << 8 | q[1]; }

}  // namespace

int64_t PESTimestamp(const uint8_t* q) {  // 4-bit prefix, 32..30, 29..15, 14..0, marker bits out
  return int64_t(q[0] & 0x0E) << 29 | int64_t(q[1]) << 22 | int64_t(q[2] & 0xFE) << 14 | int64_t(q[3]) << 7 |
         q[4] >> 1;
}

const uint8_t* PacketPayload(const uint8_t* p, size_t* size) {
  *size = 0;
  if (p[0] != kSyncByte || !PacketHasPayload(p)) return nullptr;
  size_t pos = 4;
  if (PacketHasAdaptation(p)) pos += 1 + size_t{p[4]};  // adaptation_field_length
  if (pos >= kTSPacketSize) return nullptr;
  *size = kTSPacketSize - pos;
  return p + pos;
}

int64_t PacketPCR(const uint8_t* p) {
  if (p[0] != kSyncByte || !PacketHasAdaptation(p) || p[4] < 7 || p[4] > 183 || (p[5] & kPCRFlag) == 0) return -1;
  const int64_t base = int64_t{p[6]} << 25 | int64_t{p[7]} << 17 | int64_t{p[8]} << 9 | int64_t{p[9]} << 1 | p[10] >> 7;
  const int64_t extension = (p[10] & 1) << 8 | p[11];
  return base * 300 + extension;
}

int64_t PCRStep(int64_t from, int64_t pcr) {
  int64_t step = (pcr - from % kPCRWrap) % kPCRWrap;
  if (step > kPCRWrap / 2) step -= kPCRWrap;
  if (step <= -kPCRWrap / 2) step += kPCRWrap;
  return step;
}

void SetPacketPCR(uint8_t* p, int64_t pcr) {
  pcr %= kPCRWrap;
  if (pcr < 0) pcr += kPCRWrap;
  const int64_t base = pcr / 300;
  const int extension = int(pcr % 300);
  p[6] = uint8_t(base >> 25);                                       // program_clock_reference_base[32:25]
  p[7] = uint8_t(base >> 17);
  p[8] = uint8_t(base >> 9);
  p[9] = uint8_t(base >> 1);
  p[10] = uint8_t((base & 1) << 7 | 0x7E | (extension >> 8 & 1));   // base[0], reserved, extension[8]
  p[11] = uint8_t(extension);                                       // program_clock_reference_extension[7:0]
}

void MakePCRPacket(int pid, int cc, int64_t pcr, uint8_t* p) {
  std::memset(p, 0xFF, kTSPacketSize);
  p[0] = 0x47;                                // sync_byte
  p[1] = uint8_t(pid >> 8 & 0x1F);            // PID[12:8]
  p[2] = uint8_t(pid);                        // PID[7:0]
  p[3] = uint8_t(0x20 | (cc & 0x0F));         // adaptation_field_control '10', continuity_counter
  p[4] = 183;                                 // adaptation_field_length
  p[5] = 0x10;                                // PCR_flag
  SetPacketPCR(p, pcr);
}

void MakeNullPacket(uint8_t* p) {
  std::memset(p, 0xFF, kTSPacketSize);
  p[0] = 0x47;                                // sync_byte
  p[1] = 0x1F;                                // PID[12:8] of 0x1FFF
  p[2] = 0xFF;                                // PID[7:0]
  p[3] = 0x10;                                // payload only, continuity_counter 0
}

void SealSection(std::vector<uint8_t>* section) {
  std::vector<uint8_t>& s = *section;
  const size_t length = s.size() + 4 - 3;  // the CRC_32 still to come included
  s[1] = uint8_t((s[1] & 0xF0) | (length >> 8 & 0x0F));
  s[2] = uint8_t(length);
  const uint32_t crc = SectionCRC(s.data(), s.size());
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(uint8_t(crc >> shift));
}

void AppendSectionPackets(int pid, const uint8_t* section, size_t size, int* cc, std::vector<uint8_t>* out) {
  size_t done = 0;
  while (done < size) {
    const bool first = done == 0;
    out->resize(out->size() + kTSPacketSize, 0xFF);
    uint8_t* p = &(*out)[out->size() - kTSPacketSize];
    p[0] = 0x47;                                                // sync_byte
    p[1] = uint8_t((first ? 0x40 : 0x00) | (pid >> 8 & 0x1F));  // payload_unit_start_indicator, PID[12:8]
    p[2] = uint8_t(pid);                                        // PID[7:0]
    p[3] = uint8_t(0x10 | (*cc & 0x0F));                        // payload only, continuity_counter
    *cc = (*cc + 1) & 0x0F;
    size_t at = 4;
    if (first) p[at++] = 0x00;  // pointer_field
    const size_t take = std::min(kTSPacketSize - at, size - done);
    std::memcpy(p + at, section + done, take);
    done += take;
  }
}

bool ReadPESStart(const uint8_t* packet, PESStart* out) {
  size_t size = 0;
  const uint8_t* q = PacketPayload(packet, &size);
  if (q == nullptr || !PacketUnitStart(packet) || size < 6 || q[0] != 0 || q[1] != 0 || q[2] != 1) return false;
  *out = PESStart{};
  out->streamId = q[3];
  out->packetLength = q[4] << 8 | q[5];  // PES_packet_length
  out->headerSize = 6;
  // Streams without the optional header (padding, private_stream_2, ECM/EMM, DSM-CC, ...).
  const int id = q[3];
  if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8 || id == 0xFF)
    return true;
  if (size < 9 || (q[6] & 0xC0) != 0x80) return false;  // '10' in front of the optional header
  const unsigned flags = q[7] >> 6;                       // PTS_DTS_flags
  const size_t headerEnd = 9 + size_t{q[8]};              // PES_header_data_length
  if (headerEnd > size) return false;
  out->headerSize = headerEnd;
  if ((flags & 2) != 0) {
    if (q[8] < 5) return false;
    out->pts = PESTimestamp(q + 9);
    out->dts = out->pts;
  }
  if (flags == 3) {
    if (q[8] < 10) return false;
    out->dts = PESTimestamp(q + 14);
  }
  return true;
}

uint32_t SectionCRC(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= uint32_t{data[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? crc << 1 ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

const uint8_t* PacketSection(const uint8_t* packet, size_t* size) {
  *size = 0;
  size_t payloadSize = 0;
  const uint8_t* q = PacketPayload(packet, &payloadSize);
  if (q == nullptr || !PacketUnitStart(packet)) return nullptr;
  const size_t pointer = 1 + size_t{q[0]};  // pointer_field
  if (pointer + 3 > payloadSize) return nullptr;
  const uint8_t* section = q + pointer;
  const size_t whole = 3 + Field12(section + 1);  // section_length
  if (pointer + whole > payloadSize || whole < kLongHeaderSize + kCRCSize || SectionCRC(section, whole) != 0)
    return nullptr;
  *size = whole;
  return section;
}

bool SectionGatherer::Push(const uint8_t* packet) {
  const int cc = PacketContinuity(packet);
  const bool inOrder = m_lastCC < 0 || cc == ((m_lastCC + 1) & 0x0F);
  size_t size = 0;
  const uint8_t* q = PacketPayload(packet, &size);
  if (q == nullptr) return false;  // no payload: the continuity_counter stays
  m_lastCC = cc;
  if (PacketUnitStart(packet)) {
    const size_t pointer = 1 + size_t{q[0]};  // pointer_field
    m_open = pointer < size;
    m_section.clear();
    m_need = 0;
    m_packets = 0;
    if (!m_open) return false;
    q += pointer;
    size -= pointer;
  } else if (!m_open || !inOrder) {
    m_open = false;
    return false;
  }
  ++m_packets;
  const size_t take = m_need == 0 ? size : std::min(size, m_need - m_section.size());
  m_section.insert(m_section.end(), q, q + take);
  if (m_need == 0 && m_section.size() >= 3) {
    m_need = 3 + Field12(m_section.data() + 1);  // section_length
    if (m_need < kLongHeaderSize + kCRCSize || m_need > 4096) m_open = false;
    if (m_section.size() > m_need) m_section.resize(m_need);
  }
  if (!m_open || m_need == 0 || m_section.size() < m_need) return false;
  m_open = false;
  return SectionCRC(m_section.data(), m_section.size()) == 0;
}

int PacketTableId(const uint8_t* packet) {
  size_t size = 0;
  const uint8_t* q = PacketPayload(packet, &size);
  if (q == nullptr || !PacketUnitStart(packet)) return -1;
  const size_t pointer = 1 + size_t{q[0]};  // pointer_field
  return pointer < size ? q[pointer] : -1;
}

bool ReadPAT(const uint8_t* s, size_t size, PAT* out) {
  if (size < kLongHeaderSize + kCRCSize || s[0] != kTableIdPAT) return false;
  *out = PAT{};
  out->transportStreamId = s[3] << 8 | s[4];
  out->version = s[5] >> 1 & 0x1F;
  const size_t end = size - kCRCSize;
  if ((end - kLongHeaderSize) % 4 != 0) return false;
  for (size_t pos = kLongHeaderSize; pos + 4 <= end; pos += 4)
    out->programs.push_back(PATProgram{s[pos] << 8 | s[pos + 1], Field13(s + pos + 2)});
  return true;
}

bool ReadPMT(const uint8_t* s, size_t size, PMT* out) {
  if (size < kLongHeaderSize + 4 + kCRCSize || s[0] != kTableIdPMT) return false;
  *out = PMT{};
  out->programNumber = s[3] << 8 | s[4];
  out->version = s[5] >> 1 & 0x1F;
  out->pcrPid = Field13(s + 8);
  const size_t end = size - kCRCSize;
  size_t pos = kLongHeaderSize + 4;
  const size_t programInfo = Field12(s + 10);
  if (pos + programInfo > end) return false;
  out->descriptors.assign(s + pos, s + pos + programInfo);
  pos += programInfo;
  while (pos < end) {
    if (pos + 5 > end) return false;
    const size_t esInfo = Field12(s + pos + 3);
    if (pos + 5 + esInfo > end) return false;
    PMTStream stream;
    stream.streamType = s[pos];
    stream.pid = Field13(s + pos + 1);
    stream.descriptors.assign(s + pos + 5, s + pos + 5 + esInfo);
    out->streams.push_back(std::move(stream));
    pos += 5 + esInfo;
  }
  return true;
}

}  // namespace palvex_host
