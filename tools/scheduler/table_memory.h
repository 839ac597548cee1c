// The tables of a transport stream as its packets leave: the PAT on PID 0, the PMT on each
// program_map_PID the PAT names, and DVB SI on PIDs 0x0010-0x001F that no PMT lists as an
// elementary stream (NIT, SDT, EIT ...). The packets of the latest whole section of each
// table PID are kept (but for the TDT and TOT, which tell the time they leave) (one packet for every PAT, PMT and SDT of palvex; a PMT of palvex-mux
// that its descriptors make longer goes on over a few), so that the table can be sent
// again later with its continuity_counter going on; the PMTs give each program's PCR_PID.
// A TS_program_map_section on a PID the PAT does not name yet is kept too (a multiplex sends
// a new service's PMT ahead of the PAT that names it); once a PAT names it, its PMT is due
// at once, so that a receiver that reads PMTs only behind the PAT gets one right away.
//
// Once a table was repeated, every later packet on its PID gets its continuity_counter
// moved on by the number of repeated packets (mod 16), so the PID stays continuous for a
// receiver. A table of several packets is repeated one packet per Repeat: DueTable names
// it until its last packet is out (unless the table's own next section starts first).
// No libavformat here; memory is taken when a table PID is first seen or a table changes,
// never per packet.
#ifndef PALVEX_TOOLS_TABLE_MEMORY_H_
#define PALVEX_TOOLS_TABLE_MEMORY_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ts_reader.h"

namespace palvex_host {

// Longest time between two copies of a table. Receivers expect the PAT and PMT at least
// every 0.5 s (TR 101 290 PAT_error, PMT_error), DVB SI at least every 2 s (EN 300 468,
// TR 101 290 SDT_error); an analyzer times them by the packets' arrival, so the copies go
// well within those limits (the PAT and PMT every 100 ms, as FFmpeg's muxer sends them;
// SI every second) and network jitter never takes a gap past them.
constexpr int64_t kPSIRepeatTicks = kPCRHz / 10;
constexpr int64_t kSIRepeatTicks = kPCRHz;

class TableMemory {
 public:
  TableMemory();

  // One packet on its way out, leaving at line (27 MHz): remembered when it holds a whole
  // table section; on a table PID its continuity_counter is moved on by the repeats.
  void Pass(uint8_t* packet, int64_t line);

  // A remembered table whose last copy left so long before line that line + margin would
  // be past its limit, or whose repeat is under way; -1 when none is due.
  int DueTable(int64_t line, int64_t margin) const;

  // Writes the next remembered packet of pid's table into out with the continuity_counter
  // after the PID's last one, as its copy leaving at line. False when pid has no whole table.
  bool Repeat(int pid, int64_t line, uint8_t* out);

  // pid is a program_map_PID of the last PAT that left.
  bool Named(int pid) const;
  // The last packet of pid's table section (its own copy or a repeat) has left.
  bool Whole(int pid) const;

  // The PCR_PID of every program the PAT names whose PMT was seen (0x1FFF, no PCR, left
  // out); changes() counts the changes of this list.
  const std::vector<int>& pcrPids() const { return m_pcrPids; }
  uint32_t changes() const { return m_changes; }

 private:
  struct Table {
    int pid = -1;
    bool si = false;        // DVB SI (0x0010-0x001F): the longer limit
    bool named = false;     // the PAT, SI, or a PMT the last PAT names: repeated
    bool whole = false;     // packets hold a whole section
    std::vector<uint8_t> packets;  // the latest whole section's packets
    std::vector<uint8_t> pending;  // the packets of the section coming in
    SectionGatherer gatherer;
    bool fresh = false;     // a PMT the last PAT named for the first time: due at once
    size_t repeatNext = 0;  // the packet a repeat under way sends next; 0: none under way
    int64_t lastSent = 0;   // line of the last copy that left
    int lastCC = -1;        // continuity_counter of the PID's last packet
    int ccShift = 0;        // repeats so far, mod 16
    int pcrPid = -1;        // a PMT's PCR_PID
  };

  Table* Find(int pid);
  const Table* Find(int pid) const;
  Table* Take(int pid, bool si);
  void Remember(Table* table, const std::vector<uint8_t>& section);
  void ReadPATSection(const uint8_t* section, size_t size);
  void ReadPMTSection(Table* table, const uint8_t* section, size_t size);
  void CollectPCRPids();

  std::vector<Table> m_tables;
  std::vector<int> m_pmtPids;          // program_map_PIDs of the last PAT
  std::bitset<8192> m_elementaryPids;  // elementary_PIDs of the PMTs
  std::vector<int> m_pcrPids;
  uint32_t m_changes = 0;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_TABLE_MEMORY_H_
