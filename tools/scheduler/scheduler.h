// The transmission clock of a constant-rate channel or multiplex. The scheduler takes the
// whole 188-byte packets muxers returned, in the order each returned them (PIDs possibly
// rewritten, DVB SI packets possibly put in between, the packets of several programs
// interleaved), and gives every packet its slot on a line of fixed slots of 188 x 8 / R
// seconds; it hands each packet, with the 27 MHz time its first byte leaves, to a
// PacketOutput. Releasing them at those times (pacing to the wall clock, datagrams) is the
// output's job. No libavformat here: any host of palvex can use it.
//
// Programs. The PAT names the programs, their PMTs their PCR_PID and elementary PIDs; a PID
// no PMT lists belongs to the first program. Each program keeps its own clock: its PTS/DTS
// in the PES headers are left as they are, and the program's offset maps its clock onto the
// line, fixed when its first access unit comes in. The program whose access unit starts the
// line has offset 0 (the line is its clock, unwrapped); a program that starts later (a
// service added to a running multiplex) is laid so that its first presentation less the
// lead falls on the next slot, as the line's own start does. A receiver locked to the PCRs
// of a program meets each of its DTS where its muxer meant it.
//
// The line. One 27 MHz count that never wraps. Slot k leaves at start + k x 188 x 8 x 27e6
// / R (exact, no drift); every PCR is rewritten to the line time of its own packet's byte
// 10 (the one holding the last bit of program_clock_reference_base) less its program's
// offset, so each PCR is exact to its byte position on its program's clock. The line
// starts at the earliest PTS of the access units seen before its first slot left, less the
// lead, and Finish ends it at the end of the last presentation less the lead, so the output
// lasts as long as the content plays.
//
// Access units. A packet starting a PES packet with a DTS (or a PTS alone) starts an access
// unit on its PID; the packets after it on that PID belong to it. Each of them leaves no
// earlier than the lead before the unit's DTS on the line (a receiver's buffer never holds
// more than the lead) and before the DTS (its last byte has arrived when the unit is
// decoded). A unit whose last packet leaves later is late: counted for the multiplex and
// for its program, and the rate the content (all of it, and the program's) needed over the
// second before is measured. Packets outside any unit (PSI, SI, PES without time stamps)
// leave as soon as the clock reaches the point where they came in.
//
// Order. Per PID the packets leave in the order they came (continuity counters stay as
// the muxer wrote them). Across PIDs, in each slot: a PCR when a program's PCR_PID would
// otherwise go more than 40 ms without one (the PCR PID's next packet if it carries a PCR
// and may leave, else an adaptation-field-only packet on that PID, adaptation_field_control
// '10', continuity_counter unchanged; none before the program's first access unit, whose
// clock is not known yet); then a table whose last copy is about to be older than its
// interval (TableMemory: PAT, PMT 100 ms, SI 1 s) (the table's own next packet if it may
// leave, else a repeat of it); then the PAT, PMT and SI sections that came in, in the order
// they came (a table never waits behind late content: the TDT of a multiplex whose content
// outgrew its rate still leaves when it is due); then, of the packets that may leave, the
// one with the earliest DTS on the line, whatever its program (earliest deadline first: it
// meets every deadline any order can meet with these slots), ties in the order they came;
// else a null packet (PID 0x1FFF).
//
// Tables a receiver can act on. A PAT that names a program_map_PID for the first time
// leaves behind that PMT, when its copy waits (a receiver meets no program it cannot
// resolve), and a copy of the PMT goes again right behind it (TableMemory), for receivers
// that read a PMT only once the PAT named its PID. A PMT is read on the way in wherever it
// comes, before or after the PAT naming it. Nothing leaves on a PID a PMT lists (no
// elementary packet, no PCR-only packet, no splice cue) until such a PMT left behind a PAT
// naming it; at the end of the input (Finish) whatever waits leaves.
//
// When slots are fixed. A slot is filled only once no packet still to come could take it:
// the DTS of each PID only grows, so no later packet may leave before the smallest of the
// PIDs' latest DTS less the lead. A PID more than 3 s behind the others is left out of that
// minimum, so a stream or a program that stops holds nothing up, and so are the PIDs of a
// program the PAT no longer names; an elementary PID that its program's PMT lists but that
// has not started yet holds the start of its program until the program's others are 1 s
// on. Late packets are not held: while any waiting packet is already due, slots go out
// beyond that point.
//
// Keeping the channel on air. AdvanceTo(line) fills every slot up to a line whether input
// came or not: what may leave, and otherwise nulls, PCR-only packets and repeats of the
// remembered tables (TableMemory), at the same bounds. A host calls it while an input is
// silent, with the line from its own wall clock: a silent program keeps its PMT and PCRs.
// From then on, a PID is left out of the frontier when it is 3 s behind that line plus the
// lead (or behind the others, when they are not as far on), so that a program whose time
// stamps run ahead of the host's clock takes no slot ahead of it.
//
// Memory: taken when a PID, program or table is first seen and when the queue grows past
// its largest size so far; never per packet in steady state.
#ifndef PALVEX_TOOLS_SCHEDULER_H_
#define PALVEX_TOOLS_SCHEDULER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rate_bound.h"
#include "table_memory.h"
#include "ts_reader.h"

namespace palvex_host {

// The lead when none is given: a first picture arrives 0.8 s before its DTS, a little
// more than FFmpeg's own muxer gives (0.7 s). GStreamer tunes in to a live feed without a
// late frame; VLC drops its first audio buffer as late with any lead up to 1 s,
// FFmpeg's muxer included (its own second of buffering), so no longer lead buys it more.
constexpr int64_t kDefaultLeadTicks = kPCRHz * 8 / 10;

// A paced output sends the datagrams due within this window together, at its middle: one
// wake-up and one system call for several datagrams, each at most half the window off its
// time.
// 2 ms: at 15 and 100 Mbit/s palvex-mux then spends about the CPU ffmpeg -re spends on the
// same stream (docs/palvex-mux.md, "Pacing"), in bursts of 2 ms at the most.
constexpr int64_t kDefaultPacingWindowNs = 2000000;

// Where scheduled packets go: count whole packets, packet i leaving at departures[i] (27 MHz,
// on the scheduler's line). False when they cannot be written.
class PacketOutput {
 public:
  virtual ~PacketOutput() = default;
  virtual bool Send(const uint8_t* packets, const int64_t* departures, size_t count) = 0;
};

struct SchedulerConfig {
  int64_t muxRate = 0;                   // bit/s, at least 1 packet a second
  int64_t leadTicks = kDefaultLeadTicks;  // 27 MHz
};

struct SchedulerStats {
  uint64_t packets = 0;         // every packet sent, nulls included
  uint64_t nullPackets = 0;
  uint64_t pcrPackets = 0;      // adaptation-field-only packets for the PCR
  uint64_t tableRepeats = 0;
  uint64_t lateUnits = 0;       // access units whose last packet left after their DTS
  int64_t maxLateTicks = 0;     // the latest of them: its last packet's end past its DTS
  int64_t neededRate = 0;       // bit/s of content due in the second before the last late unit's DTS
                                // (since the first slot, when that is shorter)
  int64_t maxNeededRate = 0;
};

// The same for one program, for telling which service was late and by how much.
struct ProgramStats {
  int number = -1;              // program_number; -1 for PIDs no PMT lists
  int instance = 0;             // programs with this number before it (StartAnew)
  uint64_t lateUnits = 0;
  int64_t maxLateTicks = 0;
  int64_t neededRate = 0;       // bit/s of this program's content due in the second before its last late unit's DTS
  int64_t maxNeededRate = 0;
};

class Scheduler {
 public:
  Scheduler(const SchedulerConfig& config, PacketOutput* output);
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Whole packets (size / 188 of them) in the order the muxer returned them; the slots
  // no later packet can take go out. False when the output fails.
  bool Push(const uint8_t* ts, size_t size);
  // Fills every slot that starts before line (see above). False when the output fails.
  bool AdvanceTo(int64_t line);
  // A host whose output is paced to its wall clock (AdvanceTo every turn): the packets it
  // pushes fill no slot beyond the line AdvanceTo last gave, and before the first AdvanceTo
  // no slot beyond the first, so that a Push never writes ahead of the clock (a paced output
  // would block the host until then, its live inputs waiting).
  void FollowHostClock() { m_followHost = true; }
  // End of the input: every waiting packet leaves, then nulls up to the end of the content
  // (the latest PTS plus its PID's frame duration, the last DTS step) less the lead; the
  // last slots are handed over.
  bool Finish();

  bool started() const { return m_started; }
  // Line of the next slot (meaningful once started).
  int64_t now() const { return m_slotLine; }
  const SchedulerStats& stats() const { return m_stats; }
  // The smallest rate at which every access unit so far meets its DTS (RateBound).
  int64_t FittingRate() const { return m_bound.Rate(); }
  // Every program seen: those replaced (StartAnew) whose PIDs all went to others, then the
  // others in the order first seen.
  std::vector<ProgramStats> programStats() const;
  // The offset from program_number's clock to the line (line = clock + offset), once its
  // first access unit came in; false before. Of the program's latest instance.
  bool ProgramOffset(int number, int64_t* offset) const;
  // program_number names a new program from now on (a service started anew): its clock is
  // laid when its first access unit comes in, as for a service added. The one it replaces
  // keeps its counts, and its packets still waiting leave on its own clock; a PID that goes
  // from one to the other continues its continuity_counter, and the first PCR of the new
  // program on it carries discontinuity_indicator. Nothing happens when no program has
  // the number yet.
  void StartAnew(int number);

 private:
  // A waiting packet; its bytes are in m_packets at the same index, apart, so that walking
  // the queues and the free list reads these few bytes alone.
  struct Entry {
    int64_t release;   // earliest departure
    int64_t deadline;  // DTS of its access unit; for packets outside one, their release
    uint64_t order;    // arrival
    uint32_t unit;     // serial of its access unit on its PID, 0 outside one
    int32_t next;      // next entry of the PID, or of the free list
  };
  struct Stream {
    int pid = -1;
    int32_t head = -1, tail = -1;
    int64_t headRelease = 0;   // the head entry's release, deadline and order, kept here so that
    int64_t headDeadline = 0;  // a slot's choice reads the streams alone, not the pool
    uint64_t headOrder = 0;
    bool headTimed = false;    // the head entry is in an access unit
    bool timed = false;        // has had an access unit
    int64_t unitDeadline = 0;  // DTS of the access unit in progress
    uint32_t unit = 0;         // its serial; 0 while packets are outside a unit
    uint32_t lateUnit = 0;     // the last unit counted late
    int64_t lastDeadline = 0;  // latest DTS seen
    int64_t step = 0;          // between the last two DTS: the frame duration
    int64_t lastPresented = 0; // latest PTS seen
    bool listed = false;       // an elementary PID of a PMT
    int pmtPid = -1;           // the PID of that PMT
    bool announced = false;    // that PMT left behind a PAT naming it: its packets may leave
    bool pmt = false;          // carries a PMT
    int owner = -1;            // the program (index) whose PAT or PMT entry named it last
    bool rejoin = false;       // went to another program: its next packet picks up its continuity_counter
    int ccShift = 0;           // added to the continuity_counter of its packets, mod 16
    int lastInCC = -1;         // continuity_counter of its last packet queued (after ccShift)
    uint32_t tableCRC = 0;     // CRC_32 of the last PAT or PMT section read on this PID
    SectionGatherer sections;  // of the PAT or a PMT, over their packets
  };
  struct Clock {
    int pid = -1;
    int64_t lastPCR = 0;  // on the line
    bool sent = false;
  };
  // Packets due per 10 ms of the line, the last second: the rate the content needs.
  struct Bucket {
    int64_t index = -1;
    uint32_t packets = 0;
  };
  using NeedBuckets = std::array<Bucket, 100>;
  struct Program {
    ProgramStats stats;
    bool current = true;        // its number names it (false once StartAnew replaced it)
    bool named = true;          // the last PAT names it (always, for PIDs no PMT lists)
    int pcrPid = -1;
    bool started = false;       // its first access unit came in
    int64_t offset = 0;         // line - its clock
    int64_t startLine = 0;      // the line where it started
    int64_t firstDeadline = 0;  // its first DTS, on the line
    int64_t lastDeadline = 0;   // its latest DTS, on the line
    int64_t lastDTS90k = -1;    // for unwrapping
    int64_t lastDTSLine = 0;
    NeedBuckets need{};
  };

  Stream& StreamOf(int pid);
  Program& ProgramOf(int pid) { return m_programs[static_cast<size_t>(m_programOf[static_cast<size_t>(pid)])]; }
  const Program& ProgramOf(int pid) const {
    return m_programs[static_cast<size_t>(m_programOf[static_cast<size_t>(pid)])];
  }
  size_t ProgramNumbered(int number);
  const Program& ClockProgram(int pcrPid) const;
  void StartProgram(Program& g, int64_t pts);
  void Enqueue(Stream& s, const uint8_t* packet);
  void Own(int pid, size_t program);
  bool Referenced(size_t program) const;
  void MarkPCR(const Program& g, int pid, uint8_t* packet);
  void LearnTables(const uint8_t* packet);
  bool Held(const Stream& s) const { return s.listed && !s.announced && !m_finishing; }
  Stream* PMTBeforePAT(const Stream& pat);
  Stream* WaitingTable();
  void Announce(int pmtPid);
  int64_t Frontier() const;
  bool Fill(int64_t until, bool drainLate);
  bool FillSlot();
  int32_t Pop(Stream& s);
  void CacheHead(Stream& s);
  bool SendEntry(Stream& s, int32_t index);
  static void NoteNeed(NeedBuckets& need, int64_t deadline);
  static int64_t NeededRate(const NeedBuckets& need, int64_t at, int64_t since);
  bool Put(const uint8_t* packet);
  bool Flush();
  void NextSlot();
  int64_t SlotLineAfter(int64_t bits) const;
  void UpdateClocks();
  static int64_t UnwrapDTS(Program& g, int64_t dts90k);

  SchedulerConfig m_config;
  PacketOutput* m_output;
  SchedulerStats m_stats;
  TableMemory m_tables;

  uint8_t* PacketOf(int32_t index) { return &m_packets[static_cast<size_t>(index) * kTSPacketSize]; }

  std::vector<Entry> m_pool;
  std::vector<uint8_t> m_packets;  // kTSPacketSize bytes per entry of m_pool
  int32_t m_free = -1;
  std::vector<Stream> m_streams;
  std::array<int16_t, 8192> m_streamOf{};  // index into m_streams, -1 when none
  std::array<int8_t, 8192> m_lastCC{};     // continuity_counter last sent on each PID, -1 none
  std::array<int16_t, 8192> m_pcrProgram{};  // the program (index) of the last PCR sent on each PID, -1 none
  std::vector<Clock> m_clocks;
  uint32_t m_clockChanges = 0;
  uint64_t m_order = 0;
  std::vector<int> m_pmtPids;    // as the PAT names them on the way in
  std::vector<Program> m_programs;            // [0]: the first program, and PIDs no PMT lists
  std::vector<ProgramStats> m_endedStats;     // of programs replaced whose places were taken again
  std::array<int16_t, 8192> m_programOf{};    // index into m_programs of each PID
  size_t m_queued = 0;

  bool m_started = false;
  bool m_finishing = false;      // Finish: nothing is held for its PMT any more
  int64_t m_startLine = 0;       // line of slot 0
  int64_t m_slotLine = 0;        // line of the next slot
  int64_t m_slotSeconds = 0;     // its start: m_slotSeconds x R + m_slotBits bits after slot 0
  int64_t m_slotBits = 0;
  int64_t m_slotTicks = 0;       // one slot, rounded up
  bool m_hostClock = false;      // AdvanceTo has told where the host's clock stands
  bool m_followHost = false;     // FollowHostClock: no slot beyond the host's line
  int64_t m_hostLine = 0;        // the latest line it gave
  NeedBuckets m_need{};          // of the whole multiplex
  RateBound m_bound;

  std::vector<uint8_t> m_batch;  // packets handed to the output together
  std::vector<int64_t> m_departures;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SCHEDULER_H_
