// The bytes of a TS packet that carries one PSI section alone: the packet header with the
// pointer_field in front of the section.
#ifndef PALVEX_TS_PSI_SECTION_H_
#define PALVEX_TS_PSI_SECTION_H_

#include <cstdint>

#include "ts/ts_packet.h"
#include "ts/ts_packet_writer.h"

namespace palvex {

constexpr int32_t kPSIHeaderSize = kTSHeaderSize + 1;  // TS header and pointer_field

// TS header of a PSI packet: payload_unit_start_indicator set, payload only, then the
// pointer_field, so that the section begins at byte 5.
inline void PutPSIPacketHeader(uint8_t* p, uint16_t pid, uint8_t counter) {
  PutTSHeader(p, PidHighByte(pid, true), PidLowByte(pid), kPayloadOnly, counter);
  p[kTSHeaderSize] = 0x00;  // pointer_field
}

}  // namespace palvex

#endif  // PALVEX_TS_PSI_SECTION_H_
