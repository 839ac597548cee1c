// The PES packet header of a frame's first PES packet, apart from the rule that decides
// its time stamps: the decision yields a PESTimestamps, PutPESHeader writes the bytes.
#ifndef PALVEX_STREAM_PES_HEADER_H_
#define PALVEX_STREAM_PES_HEADER_H_

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "stream/ts_packet_writer.h"

namespace palvex {

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

#endif  // PALVEX_STREAM_PES_HEADER_H_
