#include "table_memory.h"

#include <algorithm>
#include <cstring>

namespace palvex_host {
namespace {

constexpr int kFirstSIPid = 0x0010;
constexpr int kLastSIPid = 0x001F;
constexpr uint8_t kTDTTableId = 0x70;
constexpr uint8_t kTOTTableId = 0x73;
constexpr uint8_t kPMTTableId = 0x02;

constexpr size_t kMaxTablePackets = 23;  // a section of 4096 bytes and its pointer_field

bool InSIRange(int pid) { return pid >= kFirstSIPid && pid <= kLastSIPid; }

// Two copies of a table: the same packets but for their continuity_counters.
bool SamePackets(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return false;
  for (size_t off = 0; off < a.size(); off += kTSPacketSize)
    if (std::memcmp(&a[off], &b[off], 3) != 0 || std::memcmp(&a[off + 4], &b[off + 4], kTSPacketSize - 4) != 0)
      return false;
  return true;
}

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
  t->named = pid == 0 || si || std::find(m_pmtPids.begin(), m_pmtPids.end(), pid) != m_pmtPids.end();
  return t;
}

void TableMemory::Pass(uint8_t* p, int64_t line) {
  const int pid = PacketPid(p);
  Table* t = Find(pid);
  if (t == nullptr) {
    // A PID becomes a table PID with its first section start; on a DVB SI PID, one whose
    // table_id is an SI table's (0x40-0x7F), not a PES packet.
    size_t size = 0;
    const uint8_t* q = PacketPayload(p, &size);
    if (!PacketUnitStart(p) || q == nullptr) return;
    const size_t tableId = 1 + size_t{q[0]};  // behind the pointer_field
    const bool elementary = m_elementaryPids[static_cast<size_t>(pid)];
    // A PMT the PAT names, or one on a PID that is no elementary stream's, ahead of its PAT.
    const bool pmt = std::find(m_pmtPids.begin(), m_pmtPids.end(), pid) != m_pmtPids.end() ||
                     (pid != 0 && !elementary && tableId < size && q[tableId] == kPMTTableId);
    const bool si = !pmt && InSIRange(pid) && !elementary;
    if ((pid != 0 && !pmt && !si) || (si && (tableId >= size || q[tableId] < 0x40 || q[tableId] > 0x7F))) return;
    // A time_date_section or time_offset_section tells the time it left: a copy later would
    // tell a wrong one.
    if (si && (q[tableId] == kTDTTableId || q[tableId] == kTOTTableId)) return;
    t = Take(pid, si);
  }
  p[3] = uint8_t((p[3] & 0xF0) | ((p[3] + t->ccShift) & 0x0F));  // continuity_counter after the repeats
  t->lastCC = p[3] & 0x0F;
  if (PacketUnitStart(p)) {
    t->lastSent = line;
    t->fresh = false;
    t->repeatNext = 0;  // the table's own copy takes over from a repeat under way
    t->whole = false;
    t->pending.clear();
  }
  const bool gathering = PacketUnitStart(p) || !t->pending.empty();
  if (gathering && t->pending.size() < kMaxTablePackets * kTSPacketSize)
    t->pending.insert(t->pending.end(), p, p + kTSPacketSize);
  if (!t->gatherer.Push(p)) return;
  t->whole = t->pending.size() == t->gatherer.packets() * kTSPacketSize;
  // The same section again (all but the continuity_counters equal): nothing to read.
  if (t->whole && !SamePackets(t->packets, t->pending)) {
    t->packets = t->pending;
    Remember(t, t->gatherer.section());
  }
  t->pending.clear();
}

void TableMemory::Remember(Table* t, const std::vector<uint8_t>& section) {
  if (t->pid == 0) {
    ReadPATSection(section.data(), section.size());
  } else if (!t->si) {
    ReadPMTSection(t, section.data(), section.size());
  }
}

void TableMemory::ReadPATSection(const uint8_t* section, size_t size) {
  PAT pat;
  if (!ReadPAT(section, size, &pat)) return;
  m_pmtPids.clear();
  for (const PATProgram& program : pat.programs)
    if (program.number != 0) m_pmtPids.push_back(program.pid);  // program 0 names the NIT's PID
  for (Table& t : m_tables) {
    const bool pmt = std::find(m_pmtPids.begin(), m_pmtPids.end(), t.pid) != m_pmtPids.end();
    if (t.pid != 0) t.si = InSIRange(t.pid) && !pmt;
    t.fresh = t.fresh || (pmt && !t.named);  // named for the first time: its PMT goes right behind
    t.named = t.pid == 0 || t.si || pmt;
  }
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

bool TableMemory::Named(int pid) const {
  return std::find(m_pmtPids.begin(), m_pmtPids.end(), pid) != m_pmtPids.end();
}

bool TableMemory::Whole(int pid) const {
  const Table* t = Find(pid);
  return t != nullptr && t->whole && t->repeatNext == 0;
}

int TableMemory::DueTable(int64_t line, int64_t margin) const {
  for (const Table& t : m_tables) {
    if (t.whole && t.named && (t.fresh || t.repeatNext > 0 || line + margin - t.lastSent > (t.si ? kSIRepeatTicks : kPSIRepeatTicks)))
      return t.pid;
  }
  return -1;
}

bool TableMemory::Repeat(int pid, int64_t line, uint8_t* out) {
  Table* t = Find(pid);
  if (t == nullptr || !t->whole) return false;
  std::memcpy(out, &t->packets[t->repeatNext * kTSPacketSize], kTSPacketSize);
  const int cc = (t->lastCC + 1) & 0x0F;
  out[3] = uint8_t((out[3] & 0xF0) | cc);  // continuity_counter: the next on the PID
  t->lastCC = cc;
  t->ccShift = (t->ccShift + 1) & 0x0F;
  if (t->repeatNext == 0) t->lastSent = line;
  t->fresh = false;
  t->repeatNext = (t->repeatNext + 1) % (t->packets.size() / kTSPacketSize);
  return true;
}

}  // namespace palvex_host
