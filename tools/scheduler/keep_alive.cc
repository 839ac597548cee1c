#include "keep_alive.h"

namespace palvex_host {
namespace {

constexpr int64_t kMaxFillTicks = kPCRHz;  // a longer step of the clock is a discontinuity, not filled
constexpr int kPMTTableId = 0x02;

void Append(const uint8_t* packet, std::vector<uint8_t>* out) { out->insert(out->end(), packet, packet + kTSPacketSize); }

}  // namespace

KeepAlive::KeepAlive(size_t packetsPerStep) : m_packetsPerStep(packetsPerStep < 1 ? 1 : packetsPerStep) {
  m_lastCC.fill(-1);
}

void KeepAlive::Pass(const uint8_t* ts, size_t size, std::vector<uint8_t>* out) {
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const uint8_t* in = ts + off;
    if (m_moved[PacketPid(in) & 0x1FFF] && PacketTableId(in) == kPMTTableId) {
      m_moved[PacketPid(in) & 0x1FFF] = false;  // went ahead of its PAT
      continue;
    }
    const int64_t pcr = PacketPCR(in);
    if (pcr >= 0) {
      // On the line: the step from the last PCR, across the wrap of the 42-bit field.
      const int64_t line = m_known ? m_lastPCR + PCRStep(m_lastPCR, pcr) : pcr;
      while (m_filling && line - m_lastPCR > kPCRRepeatTicks && line - m_lastPCR <= kMaxFillTicks) Step(out);
      m_lastPCR = line;
      m_known = true;
      m_filling = false;
      // The muxer's own tables come further apart than TableMemory's interval: the copies due
      // go in front of its PCR.
      for (int table = m_tables.DueTable(m_lastPCR, kPCRRepeatTicks); table >= 0;
           table = m_tables.DueTable(m_lastPCR, kPCRRepeatTicks)) {
        uint8_t packet[kTSPacketSize];
        if (!m_tables.Repeat(table, m_lastPCR, packet)) break;
        m_lastCC[static_cast<size_t>(table)] = static_cast<int8_t>(PacketContinuity(packet));
        Append(packet, out);
        ++m_tableRepeats;
      }
    }
    if (PacketPid(in) == 0) MovePMTsAhead(in, ts + off + kTSPacketSize, ts + size, out);
    PassOne(in, out);
  }
}

void KeepAlive::PassOne(const uint8_t* in, std::vector<uint8_t>* out) {
  Append(in, out);
  uint8_t* p = &(*out)[out->size() - kTSPacketSize];
  m_tables.Pass(p, m_lastPCR);
  m_lastCC[static_cast<size_t>(PacketPid(p))] = static_cast<int8_t>(PacketContinuity(p));
}

// A PAT (in one packet) that names a program_map_PID for the first time, with that PMT (in
// one packet) behind it in the same call: the PMT goes first, so that a receiver never meets a
// program it cannot resolve (TableMemory sends it again behind the PAT).
void KeepAlive::MovePMTsAhead(const uint8_t* pat, const uint8_t* from, const uint8_t* end, std::vector<uint8_t>* out) {
  size_t size = 0;
  const uint8_t* section = PacketSection(pat, &size);
  if (section == nullptr || size < 12 || section[0] != 0x00) return;
  for (size_t at = 8; at + 4 + 4 <= size; at += 4) {  // the program loop, up to the CRC_32
    const int number = section[at] << 8 | section[at + 1];
    const int pid = (section[at + 2] & 0x1F) << 8 | section[at + 3];
    if (number == 0 || m_tables.Named(pid) || m_moved[static_cast<size_t>(pid)]) continue;
    for (const uint8_t* q = from; q + kTSPacketSize <= end; q += kTSPacketSize) {
      size_t pmtSize = 0;
      if (PacketPid(q) != pid || PacketTableId(q) != kPMTTableId) continue;
      if (PacketSection(q, &pmtSize) != nullptr) {  // whole in its packet
        PassOne(q, out);
        m_moved[static_cast<size_t>(pid)] = true;
      }
      break;
    }
  }
}

void KeepAlive::AdvanceTo(int64_t line, std::vector<uint8_t>* out) {
  if (!m_known || m_tables.pcrPids().empty()) return;
  if (line - m_lastPCR > kMaxFillTicks) m_lastPCR = line - kStepTicks;  // no filling back over a clock jump
  while (m_lastPCR + kStepTicks <= line) Step(out);
}

// One step: the PCRs, the tables due, nulls up to a datagram.
void KeepAlive::Step(std::vector<uint8_t>* out) {
  m_lastPCR += kStepTicks;
  m_filling = true;
  uint8_t packet[kTSPacketSize];
  size_t added = 0;
  for (int pid : m_tables.pcrPids()) {
    const int8_t cc = m_lastCC[static_cast<size_t>(pid)];
    MakePCRPacket(pid, cc < 0 ? 15 : cc, m_lastPCR, packet);  // 15: the PID's first packet will carry 0
    Append(packet, out);
    ++added;
    ++m_pcrPackets;
  }
  // A table goes out in this step when it would be late by the next PCR. That PCR may be the
  // muxer's own when the input comes back, up to 40 ms on (the filling gives way to it), and a
  // receiver times the packets in between on the line from this PCR to that one.
  for (int table = m_tables.DueTable(m_lastPCR, kPCRRepeatTicks); table >= 0 && added < m_packetsPerStep;
       table = m_tables.DueTable(m_lastPCR, kPCRRepeatTicks)) {
    if (!m_tables.Repeat(table, m_lastPCR, packet)) break;
    m_lastCC[static_cast<size_t>(table)] = static_cast<int8_t>(PacketContinuity(packet));
    Append(packet, out);
    ++added;
    ++m_tableRepeats;
  }
  MakeNullPacket(packet);
  for (; added < m_packetsPerStep; ++added) Append(packet, out);
}

}  // namespace palvex_host
