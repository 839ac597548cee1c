// Reading a transport stream on the host side: the fields of one 188-byte packet, the PCR
// in its adaptation field, the PTS/DTS at the start of a PES packet, the PSI sections that
// start and end in one packet (every PAT, PMT and SDT of the library, and most that
// palvex-mux writes) and those that go on over the next packets of their PID (a PMT that
// its descriptors make longer than one packet). Every reader is bounded by the packet it
// is given; no length field read from the packet is trusted. Beside them, the few writers
// the tool's output stage needs (a PCR in place, PCR-only and null packets). No libavformat
// here: the tool's output stage and the tests share it.
#ifndef PALVEX_TOOLS_TS_READER_H_
#define PALVEX_TOOLS_TS_READER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palvex_host {

constexpr size_t kTSPacketSize = 188;
constexpr int kNullPid = 0x1FFF;
constexpr int64_t kPCRHz = 27000000;                        // system_clock_frequency
constexpr int64_t kPCRWrap = (int64_t{1} << 33) * 300;      // program_clock_reference wraps here
// Longest time between two PCRs of a program (TR 101 290 PCR_repetition_error, DVB).
constexpr int64_t kPCRRepeatTicks = kPCRHz * 40 / 1000;

inline int PacketPid(const uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }
inline bool PacketUnitStart(const uint8_t* p) { return (p[1] & 0x40) != 0; }  // payload_unit_start_indicator
inline int PacketContinuity(const uint8_t* p) { return p[3] & 0x0F; }        // continuity_counter
inline bool PacketHasAdaptation(const uint8_t* p) { return (p[3] & 0x20) != 0; }
inline bool PacketHasPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }

// The payload behind the header and adaptation field; null (size 0) when the packet has
// none, is not synchronised (0x47), or its adaptation_field_length runs past the packet.
const uint8_t* PacketPayload(const uint8_t* packet, size_t* size);

// The program_clock_reference in 27 MHz units, or -1 when the packet carries none.
int64_t PacketPCR(const uint8_t* packet);
// The step from a PCR (on the line or as read) to the next one as read, across the wrap of
// program_clock_reference: the one nearest zero, in (-kPCRWrap / 2, kPCRWrap / 2].
int64_t PCRStep(int64_t from, int64_t pcr);
// Rewrites the PCR of a packet that carries one (PacketPCR >= 0), wrapped to its 42 bits.
void SetPacketPCR(uint8_t* packet, int64_t pcr);
// An adaptation-field-only packet carrying a PCR: adaptation_field_control '10', the
// PCR_flag alone, stuffing to the end; the continuity_counter as given (a packet without
// payload does not move it on).
void MakePCRPacket(int pid, int cc, int64_t pcr, uint8_t* packet);
// A null packet (PID 0x1FFF).
void MakeNullPacket(uint8_t* packet);
// Ends a section written up to its CRC_32: section_length (the low 12 bits of bytes 1-2,
// the flags above them kept) counted over what follows it with the CRC_32, then the
// CRC_32 appended. The section holds at least its 3 header bytes.
void SealSection(std::vector<uint8_t>* section);
// A whole section (its CRC_32 included) in packets of the PID behind out: the first with
// payload_unit_start_indicator and pointer_field 0, the next (when it does not fit) going
// on without; continuity_counter from *cc on (left at the next one), 0xFF behind the section.
void AppendSectionPackets(int pid, const uint8_t* section, size_t size, int* cc, std::vector<uint8_t>* out);

// The 33-bit value of a 5-byte PTS or DTS field, its prefix and marker bits left out.
int64_t PESTimestamp(const uint8_t* field);

// The header fields at the start of a PES packet: stream_id and the 33-bit PTS/DTS (-1
// when absent; DTS is the PTS when only a PTS is sent), PES_packet_length, and the bytes in
// front of the payload (9 + PES_header_data_length; 6 for the stream_ids without the
// optional header). False when the packet does not start a PES packet (no
// payload_unit_start_indicator, no 00 00 01 prefix, cut header).
struct PESStart {
  int streamId = -1;
  int64_t pts = -1;
  int64_t dts = -1;
  int packetLength = 0;
  size_t headerSize = 0;
};
bool ReadPESStart(const uint8_t* packet, PESStart* out);

// CRC-32/MPEG-2 of a section (polynomial 0x04C11DB7, initial value all ones, no reflection):
// over a whole section with its CRC_32 the result is 0.
uint32_t SectionCRC(const uint8_t* data, size_t size);

// A whole PSI section that starts and ends in this packet: pointer to its table_id and its
// size (3 + section_length); null when the packet starts none, the section runs past the
// packet, or its CRC_32 is wrong.
const uint8_t* PacketSection(const uint8_t* packet, size_t* size);
// The byte behind the pointer_field of a packet that starts a payload unit: the table_id
// when the unit is a section (a PES packet's start reads as 0x00). -1 when the packet starts
// none or its pointer_field points past it.
int PacketTableId(const uint8_t* packet);

// The sections of one PID gathered over its packets: each starts behind the pointer_field
// of a packet with payload_unit_start_indicator (as palvex and palvex-mux write them: one
// section per packet start, 0xFF behind it) and goes on in the payload of the PID's next
// packets. A section cut short (a new start, a continuity_counter gap, a section_length
// past 4096 bytes) is dropped; so is one whose CRC_32 is wrong.
class SectionGatherer {
 public:
  // One packet of the PID; true when a whole section ended in it, held in section() until
  // the next Push.
  bool Push(const uint8_t* packet);
  const std::vector<uint8_t>& section() const { return m_section; }
  // A section begun and not yet whole: false again once it ended, whole or dropped.
  bool open() const { return m_open; }
  // Packets of the section in progress, or of the whole one just returned, so far.
  size_t packets() const { return m_packets; }

 private:
  std::vector<uint8_t> m_section;
  size_t m_need = 0;     // 3 + section_length once known; 0 while no section is open
  size_t m_packets = 0;
  int m_lastCC = -1;
  bool m_open = false;
};

struct PATProgram {
  int number = 0;  // program_number; 0 names the network PID
  int pid = -1;    // program_map_PID (network_PID for program 0)
};
struct PAT {
  int transportStreamId = -1;
  int version = -1;
  std::vector<PATProgram> programs;
};

struct PMTStream {
  int streamType = -1;
  int pid = -1;
  std::vector<uint8_t> descriptors;  // the ES_info descriptors as they stand
};
struct PMT {
  int programNumber = -1;
  int version = -1;
  int pcrPid = -1;
  std::vector<uint8_t> descriptors;  // program_info descriptors
  std::vector<PMTStream> streams;
};

// A section from PacketSection (or any whole, CRC-checked section); false when it is not
// the table or its loops run past section_length.
bool ReadPAT(const uint8_t* section, size_t size, PAT* out);
bool ReadPMT(const uint8_t* section, size_t size, PMT* out);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_TS_READER_H_
