#include "scheduler.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace palvex_host {
namespace {

constexpr int64_t kSlotBits = kTSPacketSize * 8;
constexpr int64_t kPCRByteBits = 10 * 8;            // byte 10 holds program_clock_reference_base's last bit
constexpr int64_t kStaleTicks = 3 * kPCRHz;         // a PID this far behind the others holds nothing up
constexpr int64_t kStartHoldTicks = kPCRHz;         // a listed PID not started yet holds the start this long
constexpr int64_t kTableMarginTicks = kPCRHz / 50;  // a table repeat goes 20 ms before its limit
constexpr int64_t kNeedBucketTicks = kPCRHz / 100;  // 10 ms
constexpr size_t kBatchPackets = 64;
constexpr int64_t kAlways = std::numeric_limits<int64_t>::min() / 4;
constexpr int64_t kWrap90k = int64_t{1} << 33;
constexpr int kPATTableId = 0x00;
constexpr int kPMTTableId = 0x02;
constexpr int kFirstSIPid = 0x0010;
constexpr int kLastSIPid = 0x001F;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// A difference of two 33-bit PTS/DTS values across their wrap: the one nearest zero.
int64_t Step90k(int64_t difference) {
  difference %= kWrap90k;
  if (difference >= kWrap90k / 2) difference -= kWrap90k;
  if (difference < -kWrap90k / 2) difference += kWrap90k;
  return difference;
}

}  // namespace

Scheduler::Scheduler(const SchedulerConfig& config, PacketOutput* output) : m_config(config), m_output(output) {
  if (m_config.muxRate < static_cast<int64_t>(kSlotBits)) m_config.muxRate = kSlotBits;
  m_slotTicks = (kSlotBits * kPCRHz + m_config.muxRate - 1) / m_config.muxRate;
  m_streamOf.fill(-1);
  m_lastCC.fill(-1);
  m_pcrProgram.fill(-1);
  m_programOf.fill(0);
  m_programs.emplace_back();
  m_streams.reserve(16);
  m_batch.reserve(kBatchPackets * kTSPacketSize);
  m_departures.reserve(kBatchPackets);
}

Scheduler::Stream& Scheduler::StreamOf(int pid) {
  int16_t& index = m_streamOf[static_cast<size_t>(pid)];
  if (index < 0) {
    index = static_cast<int16_t>(m_streams.size());
    m_streams.emplace_back();
    m_streams.back().pid = pid;
  }
  return m_streams[static_cast<size_t>(index)];
}

// Unwraps a 33-bit DTS on its program's clock (27 MHz): the value nearest the last one.
int64_t Scheduler::UnwrapDTS(Program& g, int64_t dts) {
  if (g.lastDTS90k < 0) {
    g.lastDTSLine = dts * 300;
  } else {
    g.lastDTSLine += Step90k(dts - g.lastDTS90k) * 300;
  }
  g.lastDTS90k = dts;
  return g.lastDTSLine;
}

// The program of program_number: the first program takes the first number named, any
// other number a program of its own (the latest, after StartAnew).
size_t Scheduler::ProgramNumbered(int number) {
  for (size_t i = 0; i < m_programs.size(); ++i)
    if (m_programs[i].current && m_programs[i].stats.number == number) return i;
  if (m_programs[0].stats.number < 0) {
    m_programs[0].stats.number = number;
    return 0;
  }
  m_programs.emplace_back();
  m_programs.back().stats.number = number;
  return m_programs.size() - 1;
}

// The program whose PMT names pcrPid its PCR_PID (else the program of the PID).
const Scheduler::Program& Scheduler::ClockProgram(int pcrPid) const {
  for (const Program& g : m_programs)
    if (g.named && g.pcrPid == pcrPid) return g;
  return ProgramOf(pcrPid);
}

// A program's first access unit (presentation at pts on its clock): the line starts with
// it, or the program is laid onto the running line so that pts less the lead is the next
// slot.
void Scheduler::StartProgram(Program& g, int64_t pts) {
  g.started = true;
  // Its clock first: on a PCR_PID that carried another program's, the new time base
  // (discontinuity_indicator) goes before any time stamp of it.
  for (Clock& c : m_clocks)
    if (c.pid == g.pcrPid) c.sent = false;
  g.offset = m_started ? m_slotLine + m_config.leadTicks - pts : 0;
  g.startLine = m_started ? m_slotLine : pts - m_config.leadTicks;
}

void Scheduler::StartAnew(int number) {
  int instances = 0;
  bool known = false;
  for (const ProgramStats& ended : m_endedStats) instances += ended.number == number ? 1 : 0;
  for (Program& g : m_programs) {
    if (g.stats.number != number) continue;
    ++instances;
    known = known || g.current;
    g.current = false;
    g.named = false;
  }
  if (!known) return;
  // The PAT and PMTs are read again even when they come as they were (the same PIDs; a
  // PMT PID the PAT stopped naming and names again).
  for (Stream& s : m_streams) s.tableCRC = 0;
  // The place of a program replaced before whose PIDs have all gone to others is taken
  // again (its counts kept): restarts over months take no memory per restart but those.
  size_t slot = m_programs.size();
  for (size_t i = 1; i < m_programs.size() && slot == m_programs.size(); ++i)
    if (!m_programs[i].current && !Referenced(i)) slot = i;
  if (slot == m_programs.size()) {
    m_programs.emplace_back();
  } else {
    m_endedStats.push_back(m_programs[slot].stats);
    m_programs[slot] = Program();
  }
  m_programs[slot].stats.number = number;
  m_programs[slot].stats.instance = instances;
  m_programs[slot].named = false;  // until a PAT names it
}

// Whether a PID, or the last PCR on one, is still the program's at index.
bool Scheduler::Referenced(size_t index) const {
  const int16_t program = static_cast<int16_t>(index);
  for (size_t pid = 0; pid < m_programOf.size(); ++pid)
    if (m_programOf[pid] == program || m_pcrProgram[pid] == program) return true;
  for (const Stream& s : m_streams)
    if (s.owner == static_cast<int>(index)) return true;
  return false;
}

std::vector<ProgramStats> Scheduler::programStats() const {
  std::vector<ProgramStats> stats = m_endedStats;
  for (const Program& g : m_programs) stats.push_back(g.stats);
  return stats;
}

bool Scheduler::ProgramOffset(int number, int64_t* offset) const {
  for (const Program& g : m_programs)
    if (g.stats.number == number && g.current && g.started) {
      *offset = g.offset;
      return true;
    }
  return false;
}

bool Scheduler::Push(const uint8_t* ts, size_t size) {
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const uint8_t* p = ts + off;
    const int pid = PacketPid(p);
    if (pid == kNullPid || p[0] != 0x47) continue;  // the slots make their own nulls
    // A PMT is read wherever it comes: a multiplex sends a new service's PMT ahead of the
    // PAT that names it, and that service's packets come right behind.
    const int16_t known = m_streamOf[static_cast<size_t>(pid)];
    const Stream* seen = known >= 0 ? &m_streams[static_cast<size_t>(known)] : nullptr;
    const bool pmtAhead = pid != 0 && (seen == nullptr || !seen->listed) &&
                          (PacketUnitStart(p) ? PacketTableId(p) == kPMTTableId : seen != nullptr && seen->sections.open());
    if (pid == 0 || pmtAhead || std::find(m_pmtPids.begin(), m_pmtPids.end(), pid) != m_pmtPids.end()) LearnTables(p);
    Stream& s = StreamOf(pid);
    PESStart pes;
    if (PacketUnitStart(p) && ReadPESStart(p, &pes) && pes.dts >= 0) {
      Program& g = ProgramOf(pid);
      int64_t dts = UnwrapDTS(g, pes.dts);
      int64_t pts = dts + Step90k(pes.pts - pes.dts) * 300;
      if (!g.started) {
        StartProgram(g, pts);
        g.firstDeadline = dts + g.offset;
        g.lastDeadline = g.firstDeadline;
      }
      dts += g.offset;
      pts += g.offset;
      g.lastDeadline = std::max(g.lastDeadline, dts);
      s.step = s.timed && dts > s.lastDeadline ? dts - s.lastDeadline : s.step;
      s.lastDeadline = s.timed ? std::max(s.lastDeadline, dts) : dts;
      s.lastPresented = s.timed ? std::max(s.lastPresented, pts) : pts;
      s.timed = true;
      s.unitDeadline = dts;
      s.unit = s.unit + 1 == 0 ? 1 : s.unit + 1;
      if (!m_started || (m_stats.packets == 0 && pts - m_config.leadTicks < m_startLine)) {
        m_started = true;
        m_startLine = pts - m_config.leadTicks;
        m_slotLine = m_startLine;
        m_bound.Start(m_startLine, m_config.leadTicks);
      }
    } else if (PacketUnitStart(p)) {
      s.unit = 0;  // a section, or a PES packet without time stamps
    }
    Enqueue(s, p);
  }
  // Following a host's clock that has not started: the first slot goes at once, so that
  // the output's clock starts with it.
  return !m_started || Fill(m_followHost && !m_hostClock ? std::max(Frontier(), m_startLine + m_slotTicks) : Frontier(),
                            true);
}

// The PAT and PMTs on the way in, for the elementary PIDs still to come; read again only
// when a section changes (its CRC_32).
void Scheduler::LearnTables(const uint8_t* p) {
  Stream& s = StreamOf(PacketPid(p));
  if (!s.sections.Push(p)) return;
  const uint8_t* section = s.sections.section().data();
  const size_t size = s.sections.section().size();
  const uint32_t crc = uint32_t{section[size - 4]} << 24 | uint32_t{section[size - 3]} << 16 |
                       uint32_t{section[size - 2]} << 8 | section[size - 1];
  if (s.tableCRC == crc) return;
  s.tableCRC = crc;
  PAT pat;
  PMT pmt;
  if (ReadPAT(section, size, &pat)) {
    m_pmtPids.clear();
    for (Program& g : m_programs) g.named = g.stats.number < 0;
    for (const PATProgram& program : pat.programs) {
      if (program.number == 0) continue;
      m_pmtPids.push_back(program.pid);
      const size_t index = ProgramNumbered(program.number);
      m_programs[index].named = true;
      Own(program.pid, index);
    }
  } else if (ReadPMT(section, size, &pmt)) {
    const size_t index = ProgramNumbered(pmt.programNumber);
    const int pmtPid = s.pid;
    s.pmt = true;
    // The PMT's own PID too: a PMT may come ahead of the PAT naming its program, on a PID
    // another program had (a service started anew), and its packets go on from that one's.
    Own(pmtPid, index);
    m_programs[index].pcrPid = pmt.pcrPid;
    for (const PMTStream& stream : pmt.streams) {
      if (stream.pid <= 0 || stream.pid >= kNullPid) continue;
      Stream& listed = StreamOf(stream.pid);
      listed.listed = true;
      // A PID that moves to another program (a service replaced on a reload) starts anew on
      // that program's clock.
      int16_t& program = m_programOf[static_cast<size_t>(stream.pid)];
      if (program != static_cast<int16_t>(index) && listed.timed) listed.timed = false;
      // Listed by another PMT than before: held until that one has left.
      if (program != static_cast<int16_t>(index) || listed.pmtPid != pmtPid) listed.announced = false;
      program = static_cast<int16_t>(index);
      listed.pmtPid = pmtPid;
      Own(stream.pid, index);
    }
  }
}

// A PID named by a program: when it was another program's, that program's packets on it
// came from another muxer, so this one's continuity_counter is picked up where they left it.
void Scheduler::Own(int pid, size_t program) {
  Stream& s = StreamOf(pid);
  if (s.owner >= 0 && s.owner != static_cast<int>(program)) s.rejoin = true;
  s.owner = static_cast<int>(program);
}

void Scheduler::Enqueue(Stream& s, const uint8_t* packet) {
  if (m_free < 0) {
    const size_t old = m_pool.size();
    m_pool.resize(old == 0 ? 256 : old * 2);
    m_packets.resize(m_pool.size() * kTSPacketSize);
    for (size_t i = m_pool.size(); i-- > old;) {
      m_pool[i].next = m_free;
      m_free = static_cast<int32_t>(i);
    }
  }
  const int32_t index = m_free;
  Entry& e = m_pool[static_cast<size_t>(index)];
  m_free = e.next;
  uint8_t* stored = PacketOf(index);
  std::memcpy(stored, packet, kTSPacketSize);
  if (s.rejoin && s.lastInCC >= 0)
    s.ccShift = (s.lastInCC + (PacketHasPayload(packet) ? 1 : 0) - PacketContinuity(packet)) & 0x0F;
  s.rejoin = false;
  if (s.ccShift != 0) stored[3] = static_cast<uint8_t>((stored[3] & 0xF0) | ((stored[3] + s.ccShift) & 0x0F));
  s.lastInCC = PacketContinuity(stored);
  e.unit = s.unit;
  if (s.unit != 0) {
    e.deadline = s.unitDeadline;
    e.release = s.unitDeadline - m_config.leadTicks;
    NoteNeed(m_need, e.deadline);
    m_bound.Add(e.deadline);
    NoteNeed(ProgramOf(s.pid).need, e.deadline);
  } else {
    e.release = kAlways;
    e.deadline = m_started ? m_slotLine : kAlways;
  }
  e.order = m_order++;
  e.next = -1;
  if (s.tail >= 0) {
    m_pool[static_cast<size_t>(s.tail)].next = index;
  } else {
    s.head = index;
    CacheHead(s);
  }
  s.tail = index;
  ++m_queued;
}

int32_t Scheduler::Pop(Stream& s) {
  const int32_t index = s.head;
  s.head = m_pool[static_cast<size_t>(index)].next;
  if (s.head < 0) s.tail = -1;
  CacheHead(s);
  --m_queued;
  return index;
}

void Scheduler::CacheHead(Stream& s) {
  if (s.head < 0) return;
  const Entry& e = m_pool[static_cast<size_t>(s.head)];
  s.headRelease = e.release;
  s.headDeadline = e.deadline;
  s.headOrder = e.order;
  s.headTimed = e.unit != 0;
}

// The smallest of the PIDs' latest DTS on the line, less the lead: no packet still to come
// may leave before it. PIDs of a program the PAT no longer names hold nothing up. Once the
// host's clock is known (AdvanceTo), a PID is behind when it is behind that clock, not
// behind a program whose time stamps run ahead of it (a live input re-based forward):
// else that program would leave the others behind and take the line with it, ahead of
// the packets still to come.
int64_t Scheduler::Frontier() const {
  int64_t latest = kAlways;
  for (const Stream& s : m_streams)
    if (s.timed && ProgramOf(s.pid).named) latest = std::max(latest, s.lastDeadline);
  if (m_hostClock && latest != kAlways) latest = std::min(latest, m_hostLine + m_config.leadTicks);
  int64_t frontier = std::numeric_limits<int64_t>::max();
  for (const Stream& s : m_streams) {
    const Program& g = ProgramOf(s.pid);
    if (!g.named) continue;
    if (s.timed && s.lastDeadline >= latest - kStaleTicks) frontier = std::min(frontier, s.lastDeadline);
    if (!s.timed && s.listed && g.started && g.lastDeadline - g.firstDeadline < kStartHoldTicks)
      frontier = std::min(frontier, g.firstDeadline);
  }
  int64_t line = latest == kAlways ? m_slotLine : frontier - m_config.leadTicks;
  // Every stream stale against the host's clock (their inputs ended or lost) says nothing
  // of the packets still to come: the host's clock does.
  if (m_hostClock && latest != kAlways && frontier == std::numeric_limits<int64_t>::max()) line = m_hostLine;
  return line;
}

bool Scheduler::Fill(int64_t until, bool drainLate) {
  const int64_t cap = !m_followHost || m_finishing ? std::numeric_limits<int64_t>::max()
                      : m_hostClock                ? m_hostLine
                                                   : m_startLine + m_slotTicks;
  for (;;) {
    if (m_slotLine >= cap) break;
    bool go = m_slotLine < until;
    for (size_t i = 0; !go && drainLate && i < m_streams.size(); ++i) {
      const Stream& s = m_streams[i];
      go = s.head >= 0 && s.headTimed && !Held(s) && s.headDeadline < m_slotLine + m_slotTicks;
    }
    if (!go) break;
    if (!FillSlot()) return false;
  }
  return Flush();
}

bool Scheduler::AdvanceTo(int64_t line) {
  m_hostLine = m_hostClock ? std::max(m_hostLine, line) : line;
  m_hostClock = true;
  return !m_started || Fill(line, true);
}

bool Scheduler::Finish() {
  if (!m_started && m_queued > 0) m_started = true;  // tables alone: the line starts at 0
  m_finishing = true;
  while (m_queued > 0)
    if (!FillSlot()) return false;
  int64_t end = kAlways;
  for (const Stream& s : m_streams)
    if (s.timed) end = std::max(end, s.lastPresented + s.step - m_config.leadTicks);
  return Fill(end, false);
}

void Scheduler::UpdateClocks() {
  m_clockChanges = m_tables.changes();
  std::vector<Clock> clocks;
  for (int pid : m_tables.pcrPids()) {
    Clock c;
    c.pid = pid;
    for (const Clock& old : m_clocks)
      if (old.pid == pid) c = old;
    clocks.push_back(c);
  }
  m_clocks.swap(clocks);
}

bool Scheduler::FillSlot() {
  const int64_t line = m_slotLine;
  if (m_clockChanges != m_tables.changes()) UpdateClocks();
  // A PCR when the program would otherwise go more than 40 ms without one. One goes per
  // slot: with several clocks due at once the last waits a slot for each before it, so
  // each is sent that many slots early.
  const int64_t pcrMargin = m_slotTicks * static_cast<int64_t>(m_clocks.size());
  for (Clock& c : m_clocks) {
    if (c.sent && line + pcrMargin + kPCRByteBits * kPCRHz / m_config.muxRate - c.lastPCR <= kPCRRepeatTicks) continue;
    const Program& g = ClockProgram(c.pid);
    if (!g.started && &g != &m_programs[0]) continue;  // its clock is not known yet
    if (!g.named) continue;                            // it left the PAT: a clock for no one
    const int16_t index = m_streamOf[static_cast<size_t>(c.pid)];
    Stream* s = index >= 0 ? &m_streams[static_cast<size_t>(index)] : nullptr;
    if (s != nullptr && Held(*s)) continue;  // no PCR before its PMT
    if (s != nullptr && s->head >= 0) {
      if (s->headRelease <= line && PacketPCR(PacketOf(s->head)) >= 0) return SendEntry(*s, Pop(*s));
    }
    int cc = m_lastCC[static_cast<size_t>(c.pid)];
    if (cc < 0) cc = s != nullptr && s->head >= 0 ? PacketContinuity(PacketOf(s->head)) - 1 : 15;
    uint8_t packet[kTSPacketSize];
    c.lastPCR = SlotLineAfter(kPCRByteBits);
    c.sent = true;
    MakePCRPacket(c.pid, cc, c.lastPCR - g.offset, packet);
    MarkPCR(g, c.pid, packet);
    ++m_stats.pcrPackets;
    return Put(packet);
  }
  // A table about to be older than its limit: its own next packet, or a repeat.
  const int tablePid = m_tables.DueTable(line, m_slotTicks + kTableMarginTicks);
  if (tablePid >= 0) {
    const int16_t index = m_streamOf[static_cast<size_t>(tablePid)];
    Stream* s = index >= 0 ? &m_streams[static_cast<size_t>(index)] : nullptr;
    if (s != nullptr && s->head >= 0 && s->headRelease <= line && PacketUnitStart(PacketOf(s->head))) {
      Stream* pmt = tablePid == 0 ? PMTBeforePAT(*s) : nullptr;
      return pmt != nullptr ? SendEntry(*pmt, Pop(*pmt)) : SendEntry(*s, Pop(*s));
    }
    uint8_t packet[kTSPacketSize];
    if (m_tables.Repeat(tablePid, line, packet)) {
      m_lastCC[static_cast<size_t>(tablePid)] = static_cast<int8_t>(PacketContinuity(packet));
      ++m_stats.tableRepeats;
      if (m_tables.Named(tablePid) && m_tables.Whole(tablePid)) Announce(tablePid);
      return Put(packet);
    }
  }
  // The tables that came in, before any content.
  if (Stream* table = WaitingTable()) {
    Stream* pmt = table->pid == 0 ? PMTBeforePAT(*table) : nullptr;
    return pmt != nullptr ? SendEntry(*pmt, Pop(*pmt)) : SendEntry(*table, Pop(*table));
  }
  // Earliest deadline first among the packets that may leave; ties in arrival order.
  Stream* best = nullptr;
  for (Stream& s : m_streams) {
    if (s.head < 0 || s.headRelease > line || Held(s)) continue;
    if (best == nullptr || s.headDeadline < best->headDeadline ||
        (s.headDeadline == best->headDeadline && s.headOrder < best->headOrder))
      best = &s;
  }
  if (best != nullptr) {
    Stream* pmt = best->pid == 0 ? PMTBeforePAT(*best) : nullptr;
    return pmt != nullptr ? SendEntry(*pmt, Pop(*pmt)) : SendEntry(*best, Pop(*best));
  }
  uint8_t null[kTSPacketSize];
  MakeNullPacket(null);
  ++m_stats.nullPackets;
  return Put(null);
}

// The PAT waiting at the head of pat names a program_map_PID no PAT that left named yet, and
// that PMT waits too: the PMT goes first.
Scheduler::Stream* Scheduler::PMTBeforePAT(const Stream& pat) {
  if (pat.head < 0) return nullptr;
  size_t size = 0;
  const uint8_t* section = PacketSection(PacketOf(pat.head), &size);
  if (section == nullptr || size < 12 || section[0] != kPATTableId) return nullptr;
  for (size_t at = 8; at + 4 + 4 <= size; at += 4) {  // the program loop, up to the CRC_32
    const int number = section[at] << 8 | section[at + 1];
    const int pid = (section[at + 2] & 0x1F) << 8 | section[at + 3];
    if (number == 0 || m_tables.Named(pid)) continue;
    const int16_t index = m_streamOf[static_cast<size_t>(pid)];
    if (index < 0) continue;
    Stream& pmt = m_streams[static_cast<size_t>(index)];
    if (pmt.head >= 0 && !pmt.headTimed && pmt.headRelease <= m_slotLine) return &pmt;  // all its packets
  }
  return nullptr;
}

// The earliest PAT, PMT or DVB SI packet that came in and may leave (null: none).
Scheduler::Stream* Scheduler::WaitingTable() {
  Stream* first = nullptr;
  for (Stream& s : m_streams) {
    const bool table = s.pid == 0 || s.pmt || (s.pid >= kFirstSIPid && s.pid <= kLastSIPid && !s.listed);
    if (!table || s.head < 0 || s.headTimed || s.headRelease > m_slotLine) continue;
    if (first == nullptr || s.headOrder < first->headOrder) first = &s;
  }
  return first;
}

// The PMT on pmtPid left whole behind a PAT naming it: the PIDs it lists may go.
void Scheduler::Announce(int pmtPid) {
  for (Stream& s : m_streams)
    if (s.listed && s.pmtPid == pmtPid) s.announced = true;
}

bool Scheduler::SendEntry(Stream& s, int32_t index) {
  Entry& e = m_pool[static_cast<size_t>(index)];
  uint8_t* p = PacketOf(index);
  if (PacketPCR(p) >= 0) {
    const int64_t pcr = SlotLineAfter(kPCRByteBits);
    const Program& g = ClockProgram(s.pid);
    SetPacketPCR(p, pcr - g.offset);
    MarkPCR(g, s.pid, p);
    for (Clock& c : m_clocks)
      if (c.pid == s.pid) {
        c.lastPCR = pcr;
        c.sent = true;
      }
  }
  m_tables.Pass(p, m_slotLine);
  if (s.pmt && m_tables.Named(s.pid) && m_tables.Whole(s.pid)) Announce(s.pid);
  m_lastCC[static_cast<size_t>(s.pid)] = static_cast<int8_t>(PacketContinuity(p));
  if (e.unit != 0) {
    const int64_t end = SlotLineAfter(kSlotBits);  // its last byte has arrived
    if (end > e.deadline) {
      Program& g = ProgramOf(s.pid);
      m_stats.maxLateTicks = std::max(m_stats.maxLateTicks, end - e.deadline);
      g.stats.maxLateTicks = std::max(g.stats.maxLateTicks, end - e.deadline);
      if (s.lateUnit != e.unit) {
        s.lateUnit = e.unit;
        ++m_stats.lateUnits;
        ++g.stats.lateUnits;
        m_stats.neededRate = NeededRate(m_need, e.deadline, m_startLine);
        m_stats.maxNeededRate = std::max(m_stats.maxNeededRate, m_stats.neededRate);
        g.stats.neededRate = NeededRate(g.need, e.deadline, std::max(m_startLine, g.startLine));
        g.stats.maxNeededRate = std::max(g.stats.maxNeededRate, g.stats.neededRate);
      }
    }
  }
  const bool ok = Put(p);
  e.next = m_free;
  m_free = index;
  return ok;
}

// The first PCR of a program on a PID that carried another program's clock: a new time
// base, told by discontinuity_indicator.
void Scheduler::MarkPCR(const Program& g, int pid, uint8_t* packet) {
  const int16_t program = static_cast<int16_t>(&g - m_programs.data());
  int16_t& last = m_pcrProgram[static_cast<size_t>(pid)];
  if (last >= 0 && last != program && PacketHasAdaptation(packet) && packet[4] > 0) packet[5] |= 0x80;
  last = program;
}

void Scheduler::NoteNeed(NeedBuckets& need, int64_t deadline) {
  const int64_t index = FloorDiv(deadline, kNeedBucketTicks);
  const int64_t count = static_cast<int64_t>(need.size());
  Bucket& b = need[static_cast<size_t>((index % count + count) % count)];
  if (b.index != index) {
    b.index = index;
    b.packets = 0;
  }
  ++b.packets;
}

// Bit/s of the content in need due over the second up to at, or since the line since when
// that is shorter.
int64_t Scheduler::NeededRate(const NeedBuckets& need, int64_t at, int64_t since) {
  const int64_t last = FloorDiv(at, kNeedBucketTicks);
  const int64_t count = std::min(static_cast<int64_t>(need.size()), last - FloorDiv(since, kNeedBucketTicks) + 1);
  uint64_t packets = 0;
  for (const Bucket& b : need)
    if (b.index > last - count && b.index <= last) packets += b.packets;
  return static_cast<int64_t>(packets) * kSlotBits * kPCRHz / (std::max<int64_t>(count, 1) * kNeedBucketTicks);
}

// The line at bits after the start of the next slot.
int64_t Scheduler::SlotLineAfter(int64_t bits) const {
  const int64_t rate = m_config.muxRate;
  const int64_t total = m_slotBits + bits;
  return m_startLine + (m_slotSeconds + total / rate) * kPCRHz + total % rate * kPCRHz / rate;
}

bool Scheduler::Put(const uint8_t* packet) {
  m_batch.insert(m_batch.end(), packet, packet + kTSPacketSize);
  m_departures.push_back(m_slotLine);
  ++m_stats.packets;
  m_slotBits += kSlotBits;
  if (m_slotBits >= m_config.muxRate) {
    m_slotSeconds += m_slotBits / m_config.muxRate;
    m_slotBits %= m_config.muxRate;
  }
  m_slotLine = SlotLineAfter(0);
  return m_departures.size() < kBatchPackets || Flush();
}

bool Scheduler::Flush() {
  if (m_departures.empty()) return true;
  const bool ok = m_output->Send(m_batch.data(), m_departures.data(), m_departures.size());
  m_batch.clear();
  m_departures.clear();
  return ok;
}

}  // namespace palvex_host
