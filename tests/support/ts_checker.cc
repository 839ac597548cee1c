#include "support/ts_checker.h"

#include <cstdio>

namespace palvex_test {

using palvex_host::kTSPacketSize;

bool StartsSISection(const uint8_t* packet) {
  const int pid = palvex_host::PacketPid(packet);
  const int tableId = palvex_host::PacketTableId(packet);
  return pid >= 0x10 && pid <= 0x1F && tableId >= 0x40 && tableId <= 0x7F;
}

void TsChecker::Error(const std::string& what) {
  char where[48];
  std::snprintf(where, sizeof where, "packet %zu: ", m_packets);
  m_errors.push_back(where + what);
}

void TsChecker::Feed(const uint8_t* data, size_t size) {
  if (size % kTSPacketSize != 0) Error("output length " + std::to_string(size) + " is not a multiple of 188");
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize, ++m_packets) {
    const uint8_t* p = data + off;
    if (p[0] != 0x47) {
      Error("sync byte missing");
      continue;
    }
    const int pid = palvex_host::PacketPid(p);
    const int cc = palvex_host::PacketContinuity(p);
    const bool payload = palvex_host::PacketHasPayload(p);
    const bool adaptation = palvex_host::PacketHasAdaptation(p);
    if (!payload && !adaptation) Error("adaptation_field_control 00");
    // A null packet's continuity_counter is undefined; a packet without payload keeps the
    // PID's last one.
    auto it = m_lastCC.find(pid);
    if (payload && pid != palvex_host::kNullPid) {
      if (it != m_lastCC.end() && ((it->second + 1) & 0x0F) != cc)
        Error("continuity error on PID " + std::to_string(pid));
      m_lastCC[pid] = cc;
    } else if (adaptation && !payload && it != m_lastCC.end() && it->second != cc) {
      Error("continuity_counter moved without payload on PID " + std::to_string(pid));
    }
    if (adaptation && p[4] > 183) {
      Error("adaptation_field_length above 183");
      continue;
    }
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (m_keepPcrs && pcr >= 0) m_pcrBases[pid].push_back(pcr / 300);
    // The TDT is a short section without CRC_32: section_length 5, whole in its packet.
    if (pid == 0x14 && palvex_host::PacketTableId(p) == 0x70) {
      size_t n = 0;
      const uint8_t* q = palvex_host::PacketPayload(p, &n);
      const size_t at = 1 + size_t{q[0]};  // behind the pointer_field
      if (at + 8 > n || ((q[at + 1] & 0x0F) << 8 | q[at + 2]) != 5) Error("TDT without section_length 5");
      continue;
    }
    if (StartsSISection(p)) m_siPids.insert(pid);
    if (pid == 0 || m_pmtPids.count(pid) != 0 || m_siPids.count(pid) != 0) CheckSection(p, pid);
  }
}

// Each section whole, with its CRC_32, before the PID's next one starts.
void TsChecker::CheckSection(const uint8_t* p, int pid) {
  palvex_host::SectionGatherer& sections = m_sections[pid];
  const bool start = palvex_host::PacketUnitStart(p);
  const bool wasOpen = sections.open();
  if (start && wasOpen) Error("section cut short on PID " + std::to_string(pid));
  const bool whole = sections.Push(p);
  if (!whole && !sections.open() && (start || wasOpen))
    Error("section cut short, past 4096 bytes or with a wrong CRC_32 on PID " + std::to_string(pid));
  palvex_host::PAT pat;
  if (!whole || pid != 0 || !palvex_host::ReadPAT(sections.section().data(), sections.section().size(), &pat))
    return;
  std::set<int> pmtPids;
  for (const palvex_host::PATProgram& program : pat.programs)
    if (program.number != 0) pmtPids.insert(program.pid);
  // A later run may give a PMT's PID to a stream.
  for (int old : m_pmtPids)
    if (pmtPids.count(old) == 0) m_sections.erase(old);
  m_pmtPids = pmtPids;
}

}  // namespace palvex_test
