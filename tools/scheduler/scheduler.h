// The transmission clock of a constant-rate channel. The scheduler takes the whole 188-byte
// packets a muxer returned, in the order it returned them (PIDs possibly rewritten, DVB SI
// packets possibly put in between), and gives every packet its slot on a line of fixed
// slots of 188 x 8 / R seconds; it hands each packet, with the 27 MHz time its first byte
// leaves, to a PacketOutput. Releasing them at those times (pacing to the wall clock,
// datagrams) is the output's job. No libavformat here: any host of palvex can use it.
//
// The line. One 27 MHz count that never wraps, on the stream's own program clock: the
// PTS/DTS in the PES headers are left as they are and the line is their time (unwrapped),
// so that a receiver's system time clock, locked to the PCRs written here, meets every DTS
// where the muxer meant it. Slot k leaves at start + k x 188 x 8 x 27e6 / R (exact, no
// drift); every PCR is rewritten to the time of its own packet's byte 10 (the one holding
// the last bit of program_clock_reference_base), so each PCR is exact to its byte position.
// The line starts at the earliest PTS of the access units seen before its first slot left,
// less the lead, and Finish ends it at the end
// of the last presentation less the lead, so the output lasts as long as the content plays.
//
// Access units. A packet starting a PES packet with a DTS (or a PTS alone) starts an access
// unit on its PID; the packets after it on that PID belong to it. Each of them leaves no
// earlier than the lead before the unit's DTS (a receiver's buffer never holds more than
// the lead) and before the DTS (its last byte has arrived when the unit is decoded). A unit
// whose last packet leaves later is late: counted, and the rate its content needed over
// the second before is measured. Packets outside any unit (PSI, SI, PES without time
// stamps) leave as soon as the clock reaches the point where they came in.
//
// Order. Per PID the packets leave in the order they came (continuity counters stay as
// the muxer wrote them). Across PIDs, in each slot: a PCR when the program's PCR_PID would
// otherwise go more than 40 ms without one (the PCR PID's next packet if it carries a PCR
// and may leave, else an adaptation-field-only packet on that PID, adaptation_field_control
// '10', continuity_counter unchanged); then a table whose last copy is about to be older
// than 0.5 s (PAT, PMT) or 2 s (SI) (the table's own next packet if it may leave, else a
// repeat of it); then, of the packets that may leave, the one with the earliest DTS
// (earliest deadline first: it meets every deadline any order can meet with these slots),
// ties in the order they came; else a null packet (PID 0x1FFF). The PCR_PID comes from the
// PMTs (PAT -> PMT), never from a fixed PID.
//
// When slots are fixed. A slot is filled only once no packet still to come could take it:
// the DTS of each PID only grows, so no later packet may leave before the smallest of the
// PIDs' latest DTS less the lead (a PID more than 3 s behind the others is left out of that
// minimum, so a stream that stops holds nothing up; an elementary PID that the PMT lists
// but that has not started yet holds the start until the others are 1 s on). Late packets are not held: while any
// waiting packet is already due, slots go out beyond that point.
//
// Keeping the channel on air. AdvanceTo(line) fills every slot up to a line whether input
// came or not: what may leave, and otherwise nulls, PCR-only packets and repeats of the
// remembered tables (TableMemory), at the same bounds. A host calls it while its input is
// silent, with the line from its own wall clock.
//
// Memory: taken when a PID or table is first seen and when the queue grows past its
// largest size so far; never per packet in steady state.
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

 private:
  struct Entry {
    uint8_t packet[kTSPacketSize];
    int64_t release;   // earliest departure
    int64_t deadline;  // DTS of its access unit; for packets outside one, their release
    uint64_t order;    // arrival
    uint32_t unit;     // serial of its access unit on its PID, 0 outside one
    int32_t next;      // next entry of the PID, or of the free list
  };
  struct Stream {
    int pid = -1;
    int32_t head = -1, tail = -1;
    bool timed = false;        // has had an access unit
    int64_t unitDeadline = 0;  // DTS of the access unit in progress
    uint32_t unit = 0;         // its serial; 0 while packets are outside a unit
    uint32_t lateUnit = 0;     // the last unit counted late
    int64_t lastDeadline = 0;  // latest DTS seen
    int64_t step = 0;          // between the last two DTS: the frame duration
    int64_t lastPresented = 0; // latest PTS seen
    bool listed = false;       // an elementary PID of a PMT
    uint32_t tableCRC = 0;     // CRC_32 of the last PAT or PMT section read on this PID
    SectionGatherer sections;  // of the PAT or a PMT, over their packets
  };
  struct Clock {
    int pid = -1;
    int64_t lastPCR = 0;
    bool sent = false;
  };

  Stream& StreamOf(int pid);
  void Enqueue(Stream& s, const uint8_t* packet);
  void LearnTables(const uint8_t* packet);
  int64_t Frontier() const;
  bool Fill(int64_t until, bool drainLate);
  bool FillSlot();
  int32_t Pop(Stream& s);
  bool SendEntry(Stream& s, int32_t index);
  void NoteNeed(int64_t deadline);
  int64_t NeededRate(int64_t at) const;
  bool Put(const uint8_t* packet);
  bool Flush();
  void NextSlot();
  int64_t SlotLineAfter(int64_t bits) const;
  void UpdateClocks();
  int64_t UnwrapDTS(int64_t dts90k);

  SchedulerConfig m_config;
  PacketOutput* m_output;
  SchedulerStats m_stats;
  TableMemory m_tables;

  std::vector<Entry> m_pool;
  int32_t m_free = -1;
  std::vector<Stream> m_streams;
  std::array<int16_t, 8192> m_streamOf{};  // index into m_streams, -1 when none
  std::array<int8_t, 8192> m_lastCC{};     // continuity_counter last sent on each PID, -1 none
  std::vector<Clock> m_clocks;
  uint32_t m_clockChanges = 0;
  uint64_t m_order = 0;
  std::vector<int> m_pmtPids;    // as the PAT names them on the way in
  int64_t m_firstDeadline = 0;   // the first DTS seen
  size_t m_queued = 0;

  bool m_started = false;
  int64_t m_startLine = 0;       // line of slot 0
  int64_t m_slotLine = 0;        // line of the next slot
  int64_t m_slotSeconds = 0;     // its start: m_slotSeconds x R + m_slotBits bits after slot 0
  int64_t m_slotBits = 0;
  int64_t m_slotTicks = 0;       // one slot, rounded up
  int64_t m_lastDTS90k = -1;     // for unwrapping
  int64_t m_lastDTSLine = 0;

  // Packets due per 10 ms of the line, the last second: the rate the content needs.
  struct Bucket {
    int64_t index = -1;
    uint32_t packets = 0;
  };
  std::array<Bucket, 100> m_need{};
  RateBound m_bound;

  std::vector<uint8_t> m_batch;  // packets handed to the output together
  std::vector<int64_t> m_departures;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SCHEDULER_H_
