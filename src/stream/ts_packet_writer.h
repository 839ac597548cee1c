// Writers of the fixed-layout parts of a transport stream packet (TS header, adaptation
// field), of the fixed PES header bytes and of the 33-bit PES time stamps. Each writes
// whole syntax elements at a pointer into a 188-byte slot and needs no bound beyond it.
#ifndef PALVEX_STREAM_TS_PACKET_WRITER_H_
#define PALVEX_STREAM_TS_PACKET_WRITER_H_

#include <cstdint>
#include <cstring>

#include "stream/ts_packet.h"

namespace palvex {

constexpr int kTSPCRPayloadRoom = 176;  // beside the 8-byte PCR adaptation field
constexpr int kTSFlagsPayloadRoom = 182;  // beside an adaptation field of length and flags only
constexpr uint8_t kRandomAccessFlag = 0x40;  // random_access_indicator in the adaptation field flags
constexpr unsigned kPayloadOnly = 0x10;         // adaptation_field_control '01'
constexpr unsigned kAdaptationAndPayload = 0x30;  // adaptation_field_control '11'
constexpr int64_t kPCRDelayTicks = 36000;  // the PCR runs 400 ms behind the frame time
constexpr int64_t kTimestampMask = (int64_t{1} << 33) - 1;

constexpr uint8_t kTSSyncByte = 0x47;

// continuity_counter of the next packet of the same PID: 4 bits, wrapping after 15.
constexpr unsigned NextContinuityCounter(unsigned cc) { return (cc + 1) & 0x0F; }

// Second header byte: transport_error_indicator 0, payload_unit_start_indicator as given,
// transport_priority 0, PID[12:8].
constexpr uint8_t PidHighByte(uint16_t pid, bool unitStart) {
  return uint8_t((unitStart ? 0x40 : 0x00) | (pid >> 8 & 0x1F));
}
constexpr uint8_t PidLowByte(uint16_t pid) { return uint8_t(pid); }  // PID[7:0]

// The 4-byte TS header as it lies in memory, for one store per packet. pidHigh is the
// PidHighByte; controlAndCc the adaptation_field_control bits with the continuity_counter.
inline uint32_t TSHeaderWord(uint8_t pidHigh, uint8_t pidLow, unsigned controlAndCc) {
  const uint8_t bytes[kTSHeaderSize] = {
      kTSSyncByte,           // sync_byte
      pidHigh,               // transport_error_indicator, payload_unit_start_indicator, transport_priority, PID[12:8]
      pidLow,                // PID[7:0]
      uint8_t(controlAndCc)  // transport_scrambling_control '00', adaptation_field_control, continuity_counter
  };
  uint32_t word;
  std::memcpy(&word, bytes, kTSHeaderSize);
  return word;
}

// The same header stored at p; cc is taken modulo 16.
inline void PutTSHeader(uint8_t* p, uint8_t pidHigh, uint8_t pidLow, unsigned control, unsigned cc) {
  const uint32_t word = TSHeaderWord(pidHigh, pidLow, control | (cc & 0x0F));
  std::memcpy(p, &word, kTSHeaderSize);
}

// Adaptation field that pads a payload of n bytes (0 <= n < 184) to the end of the packet.
// n = 183 leaves only the length byte; n = 182 adds the flags byte; below, 0xFF stuffing.
inline void PutStuffingField(uint8_t* p, int n) {
  p[4] = uint8_t(183 - n);                  // adaptation_field_length
  if (n <= 182) {
    p[5] = 0x00;                            // discontinuity..adaptation_field_extension flags, all 0
    std::memset(p + 6, 0xFF, size_t(182 - n));  // stuffing_byte
  }
}

// Adaptation field with a PCR beside e bytes of payload (0 < e <= 176): base as given
// (modulo 2^33), extension 0, then 0xFF stuffing up to the payload.
inline void PutPCRField(uint8_t* p, int64_t pcrBase, int e) {
  const uint64_t base = uint64_t(pcrBase) & uint64_t(kTimestampMask);
  p[4] = uint8_t(183 - e);                  // adaptation_field_length
  p[5] = 0x10;                              // PCR_flag
  p[6] = uint8_t(base >> 25);               // program_clock_reference_base[32:25]
  p[7] = uint8_t(base >> 17);               // program_clock_reference_base[24:17]
  p[8] = uint8_t(base >> 9);                // program_clock_reference_base[16:9]
  p[9] = uint8_t(base >> 1);                // program_clock_reference_base[8:1]
  p[10] = uint8_t((base & 1) << 7 | 0x7E);  // program_clock_reference_base[0], reserved '111111', extension[8] 0
  p[11] = 0x00;                             // program_clock_reference_extension[7:0]
  if (e < 176) std::memset(p + 12, 0xFF, size_t(176 - e));  // stuffing_byte
}

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

// Microseconds to 90 kHz ticks, t * 90 / 1000 truncated toward zero, without overflow for
// any 64-bit t: t = 1000a + b with a and b of the same sign gives 90a + 90b / 1000.
constexpr int64_t MicrosecondsToTicks(int64_t t) { return t / 1000 * 90 + t % 1000 * 90 / 1000; }

// 100-ns units to 90 kHz ticks, v * 9 / 1000 truncated toward zero, without overflow.
constexpr int64_t HundredNanosecondsToTicks(int64_t v) { return v / 1000 * 9 + v % 1000 * 9 / 1000; }

static_assert(MicrosecondsToTicks(1000000) == 90000, "one second");
static_assert(MicrosecondsToTicks(1000999) == 90089, "truncated toward zero");
static_assert(MicrosecondsToTicks(-1000) == -90, "negative times");
static_assert(MicrosecondsToTicks(-11) == 0, "-0.99 ticks truncates to 0");
static_assert(HundredNanosecondsToTicks(10000000) == 90000, "one second");

}  // namespace palvex

#endif  // PALVEX_STREAM_TS_PACKET_WRITER_H_
