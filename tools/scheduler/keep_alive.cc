#include "keep_alive.h"

namespace palvex_host {
namespace {

constexpr int64_t kMaxFillTicks = kPCRHz;  // a longer step of the clock is a discontinuity, not filled

void Append(const uint8_t* packet, std::vector<uint8_t>* out) { out->insert(out->end(), packet, packet + kTSPacketSize); }

}  // namespace

KeepAlive::KeepAlive(size_t packetsPerStep) : m_packetsPerStep(packetsPerStep < 1 ? 1 : packetsPerStep) {
  m_lastCC.fill(-1);
}

void KeepAlive::Pass(const uint8_t* ts, size_t size, std::vector<uint8_t>* out) {
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const uint8_t* in = ts + off;
    const int64_t pcr = PacketPCR(in);
    if (pcr >= 0) {
      // On the line: the step from the last PCR, across the wrap of the 42-bit field.
      const int64_t line = m_known ? m_lastPCR + PCRStep(m_lastPCR, pcr) : pcr;
      while (m_filling && line - m_lastPCR > kPCRRepeatTicks && line - m_lastPCR <= kMaxFillTicks) Step(out);
      m_lastPCR = line;
      m_known = true;
      m_filling = false;
    }
    Append(in, out);
    uint8_t* p = &(*out)[out->size() - kTSPacketSize];
    m_tables.Pass(p, m_lastPCR);
    m_lastCC[static_cast<size_t>(PacketPid(p))] = static_cast<int8_t>(PacketContinuity(p));
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
