// PES packet header bytes: the fixed 9 bytes, the 33-bit PTS/DTS fields, and the whole
// header of a frame's first PES packet from the time stamps its stream decided (a
// PESTimestamps; the decision itself is the packetizer's).
#ifndef PALVEX_TS_PES_HEADER_H_
#define PALVEX_TS_PES_HEADER_H_

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ts/ts_packet_writer.h"

namespace palvex {

// data_alignment_indicator 1 on the PES packet that starts an access unit, 0 on those
// that continue one; both with the '10' marker bits and no scrambling or priority.
constexpr uint8_t kPESFlagsAligned = 0x84;
constexpr uint8_t kPESFlagsContinued = 0x80;
constexpr uint8_t kPtsDtsFlagsBoth = 0xC0;  // PTS_DTS_flags '11'
constexpr uint8_t kPtsDtsFlagsNone = 0x00;  // PTS_DTS_flags '00'
// Bytes of the PES packet header up to and including PES_header_data_length.
constexpr uint32_t kPESHeaderFixedLength = 9;

// packet_start_code_prefix and stream_id: the first 4 bytes of every PES packet.
inline void PutPESStartCode(uint8_t* p, uint8_t streamId) {
  p[0] = 0x00;      // packet_start_code_prefix
  p[1] = 0x00;
  p[2] = 0x01;
  p[3] = streamId;  // stream_id
}

// The 9 fixed bytes of a PES packet header; the header data (time stamps or stuffing)
// follows at p + 9. packetLength 0 leaves the PES packet unbounded (video only).
inline void PutPESHeaderStart(uint8_t* p, uint8_t streamId, uint32_t packetLength, uint8_t flags,
                              uint8_t ptsDtsFlags, uint8_t headerDataLength) {
  PutPESStartCode(p, streamId);
  p[4] = uint8_t(packetLength >> 8);  // PES_packet_length[15:8]
  p[5] = uint8_t(packetLength);       // PES_packet_length[7:0]
  p[6] = flags;                       // '10', PES_scrambling_control, PES_priority, data_alignment_indicator, copyright, original_or_copy
  p[7] = ptsDtsFlags;                 // PTS_DTS_flags, ESCR_flag .. PES_extension_flag 0
  p[8] = headerDataLength;            // PES_header_data_length
}

// 33-bit PTS/DTS: 4-bit prefix, bits 32..30, 29..15, 14..0, each group closed by a marker bit.
inline uint8_t* PutTimestamp(uint8_t* q, unsigned prefix, int64_t t) {
  const uint64_t v = uint64_t(t) & uint64_t(kTimestampMask);
  *q++ = uint8_t(prefix << 4 | (v >> 29 & 0x0E) | 1);
  *q++ = uint8_t(v >> 22);
  *q++ = uint8_t((v >> 14 & 0xFE) | 1);
  *q++ = uint8_t(v >> 7);
  *q++ = uint8_t((v << 1 & 0xFE) | 1);
  return q;
}

// Largest PES_packet_length: the bytes a bounded PES packet holds after the field.
constexpr uint32_t kMaxPESPacketLength = 0xFFFF;
// PES_header_data_length of a header with time stamps: PTS and DTS, 5 bytes each.
constexpr uint32_t kPESTimestampDataLength = 10;

// The time stamps of one frame as its stream's rule decided them.
struct PESTimestamps {
  // The header carries kPESTimestampDataLength bytes of header data: PTS and DTS when
  // stamped, 0xFF stuffing otherwise. False for a frame before tick 0.
  bool present = false;
  // PTS_DTS_flags '11'.
  bool stamped = false;
  int64_t pts = 0;  // 90 kHz ticks, taken modulo 2^33 when written
  int64_t dts = 0;
  // PES_header_data_length: kPESTimestampDataLength when present, else 0.
  uint32_t headerDataLength = 0;
};

// PES_packet_length of the first PES packet of a frame: 0 (unbounded) on video; otherwise
// the bytes after the field, with the payload cut to what 16 bits can count.
inline uint32_t PESPacketLength(uint32_t payload, bool isVideo, uint32_t headerDataLength) {
  if (isVideo) return 0;
  // PES_packet_length counts the flags, PES_header_data_length, the header data and the payload.
  return std::min(payload, kMaxPESPacketLength - 3 - headerDataLength) + headerDataLength + 3;
}

// Writes the header of a frame's first PES packet at dest (room for 19 bytes):
// data_alignment_indicator 1 and the time stamps. Returns its length, 9 or 19.
inline int32_t PutPESHeader(uint8_t* dest, uint8_t streamId, uint32_t packetLength,
                            const PESTimestamps& stamps) {
  PutPESHeaderStart(dest, streamId, packetLength, kPESFlagsAligned,
                    stamps.stamped ? kPtsDtsFlagsBoth : kPtsDtsFlagsNone,
                    uint8_t(stamps.headerDataLength));
  uint8_t* q = dest + kPESHeaderFixedLength;
  if (!stamps.present) return int32_t(q - dest);
  if (!stamps.stamped) {
    std::memset(q, 0xFF, stamps.headerDataLength);  // stuffing_byte
    return int32_t(q + stamps.headerDataLength - dest);
  }
  q = PutTimestamp(q, 0x3, stamps.pts);  // '0011', PTS
  q = PutTimestamp(q, 0x1, stamps.dts);  // '0001', DTS
  return int32_t(q - dest);
}

}  // namespace palvex

#endif  // PALVEX_TS_PES_HEADER_H_
