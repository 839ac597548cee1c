// The bytes of a PSI section travelling alone in one TS packet: the packet header with the
// pointer_field in front of it, and the long section header (table_id through
// last_section_number) with the CRC_32 behind it, written once for every table.
#ifndef PALVEX_TS_PSI_SECTION_H_
#define PALVEX_TS_PSI_SECTION_H_

#include <cstddef>
#include <cstdint>

#include "ts/crc32.h"
#include "ts/ts_packet.h"
#include "ts/ts_packet_writer.h"

namespace palvex {

constexpr int32_t kPSIHeaderSize = kTSHeaderSize + 1;  // TS header and pointer_field
// A section travels alone in one packet, behind the TS header and pointer_field.
constexpr int32_t kMaxSectionLength = kTSPacketSize - kPSIHeaderSize;
constexpr int32_t kLongSectionHeaderSize = 8;  // table_id up to last_section_number
constexpr int32_t kSectionCRCSize = 4;         // CRC_32
// The bytes between last_section_number and CRC_32 of a section that fits one packet.
constexpr int32_t kMaxSectionBody = kMaxSectionLength - kLongSectionHeaderSize - kSectionCRCSize;

// TS header of a PSI packet: payload_unit_start_indicator set, payload only, then the
// pointer_field, so that the section begins at byte 5.
inline void PutPSIPacketHeader(uint8_t* p, uint16_t pid, uint8_t counter) {
  PutTSHeader(p, PidHighByte(pid, true), PidLowByte(pid), kPayloadOnly, counter);
  p[kTSHeaderSize] = 0x00;  // pointer_field
}

// The fields of a long section header that differ between tables. Every table here is one
// section: section_number and last_section_number are 0.
struct LongSectionHeader {
  uint8_t tableId;
  uint16_t tableIdExtension;  // transport_stream_id of a PAT, program_number of a PMT
  uint8_t version;            // version_number, carried mod 32
  uint8_t currentNext;        // current_next_indicator
};

// Completes the section at s whose body, bodyLength bytes from s + 8, is written: the long
// header in front, section_length counting the body and the CRC_32, then the CRC_32
// computed over the finished section. Returns the section's length.
inline int32_t PutLongSection(uint8_t* s, const LongSectionHeader& header, int32_t bodyLength) {
  const int32_t end = kLongSectionHeaderSize + bodyLength;
  const int32_t sectionLength = end + kSectionCRCSize - 3;  // the bytes behind section_length
  s[0] = header.tableId;                                         // table_id
  s[1] = uint8_t(0xB0 | (sectionLength >> 8 & 0x0F));           // section_syntax_indicator 1, '0', reserved '11', section_length[11:8]
  s[2] = uint8_t(sectionLength);                                 // section_length[7:0]
  s[3] = uint8_t(header.tableIdExtension >> 8);                  // transport_stream_id / program_number [15:8]
  s[4] = uint8_t(header.tableIdExtension);                       // transport_stream_id / program_number [7:0]
  s[5] = uint8_t(0xC0 | (header.version & 0x1F) << 1 | (header.currentNext & 1));  // reserved '11', version_number, current_next_indicator
  s[6] = 0x00;                                                   // section_number
  s[7] = 0x00;                                                   // last_section_number
  return end + PutSectionCrc32(s, size_t(end));
}

}  // namespace palvex

#endif  // PALVEX_TS_PSI_SECTION_H_
