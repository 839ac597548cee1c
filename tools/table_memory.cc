#include "table_memory.h"

#include <algorithm>
#include <cstring>

namespace palvex_host {
namespace {

constexpr int kFirstSIPid = 0x0010;
constexpr int kLastSIPid = 0x001F;

bool InSIRange(int pid) { return pid >= kFirstSIPid && pid <= kLastSIPid; }

}  // namespace

TableMemory::TableMemory() { m_tables.reserve(4); }

TableMemory::Table* TableMemory::Find(int pid) {
  for (Table& t : m_tables)
    if (t.pid == pid) return &t;
  return nullptr;
}

const TableMemory::Table* TableMemory::Find(int pid) const {
  for (const Table& t : m_tables)
    if (t.pid == pid) return &t;
  return nullptr;
}

TableMemory::Table* TableMemory::Take(int pid, bool si) {
  m_tables.emplace_back();
  Table* t = &m_tables.back();
  t->pid = pid;
  t->si = si;
  return t;
}

void TableMemory::Pass(uint8_t* p, int64_t line) {
  const int pid = PacketPid(p);
  Table* t = Find(pid);
  if (t == nullptr) {
    // A PID becomes a table PID with its first whole section.
    if (!PacketUnitStart(p)) return;
    const bool pmt = std::find(m_pmtPids.begin(), m_pmtPids.end(), pid) != m_pmtPids.end();
    const bool si = !pmt && InSIRange(pid) && !m_elementaryPids[static_cast<size_t>(pid)];
    size_t size = 0;
    if ((pid != 0 && !pmt && !si) || PacketSection(p, &size) == nullptr) return;
    t = Take(pid, si);
  }
  p[3] = uint8_t((p[3] & 0xF0) | ((p[3] + t->ccShift) & 0x0F));  // continuity_counter after the repeats
  t->lastCC = p[3] & 0x0F;
  if (!PacketUnitStart(p)) return;
  t->lastSent = line;
  // The same section again (all but the continuity_counter equal): nothing to read.
  if (t->whole && std::memcmp(t->packet, p, 3) == 0 && std::memcmp(t->packet + 4, p + 4, kTSPacketSize - 4) == 0)
    return;
  size_t size = 0;
  const uint8_t* section = PacketSection(p, &size);
  t->whole = section != nullptr;
  if (t->whole) Remember(t, p, section, size);
}

void TableMemory::Remember(Table* t, const uint8_t* packet, const uint8_t* section, size_t size) {
  std::memcpy(t->packet, packet, kTSPacketSize);
  if (t->pid == 0) {
    ReadPATSection(section, size);
  } else if (!t->si) {
    ReadPMTSection(t, section, size);
  }
}

void TableMemory::ReadPATSection(const uint8_t* section, size_t size) {
  PAT pat;
  if (!ReadPAT(section, size, &pat)) return;
  m_pmtPids.clear();
  for (const PATProgram& program : pat.programs)
    if (program.number != 0) m_pmtPids.push_back(program.pid);  // program 0 names the NIT's PID
  for (Table& t : m_tables)
    if (t.pid != 0) t.si = InSIRange(t.pid) && std::find(m_pmtPids.begin(), m_pmtPids.end(), t.pid) == m_pmtPids.end();
  CollectPCRPids();
}

void TableMemory::ReadPMTSection(Table* t, const uint8_t* section, size_t size) {
  PMT pmt;
  if (!ReadPMT(section, size, &pmt)) return;
  t->pcrPid = pmt.pcrPid == kNullPid ? -1 : pmt.pcrPid;
  for (const PMTStream& stream : pmt.streams) m_elementaryPids.set(static_cast<size_t>(stream.pid));
  CollectPCRPids();
}

void TableMemory::CollectPCRPids() {
  std::vector<int> pids;
  for (int pmtPid : m_pmtPids) {
    const Table* t = Find(pmtPid);
    if (t != nullptr && t->pcrPid >= 0 && std::find(pids.begin(), pids.end(), t->pcrPid) == pids.end())
      pids.push_back(t->pcrPid);
  }
  if (pids != m_pcrPids) {
    m_pcrPids.swap(pids);
    ++m_changes;
  }
}

int TableMemory::DueTable(int64_t line, int64_t margin) const {
  for (const Table& t : m_tables) {
    const bool named = t.pid == 0 || t.si || std::find(m_pmtPids.begin(), m_pmtPids.end(), t.pid) != m_pmtPids.end();
    if (t.whole && named && line + margin - t.lastSent > (t.si ? kSIRepeatTicks : kPSIRepeatTicks)) return t.pid;
  }
  return -1;
}

bool TableMemory::Repeat(int pid, int64_t line, uint8_t* out) {
  Table* t = Find(pid);
  if (t == nullptr || !t->whole) return false;
  std::memcpy(out, t->packet, kTSPacketSize);
  const int cc = (t->lastCC + 1) & 0x0F;
  out[3] = uint8_t((out[3] & 0xF0) | cc);  // continuity_counter: the next on the PID
  t->lastCC = cc;
  t->ccShift = (t->ccShift + 1) & 0x0F;
  t->lastSent = line;
  return true;
}

}  // namespace palvex_host
