// Writers of the fixed-layout parts of a transport stream packet: the TS header and the
// adaptation field, with stuffing or with a PCR. Each writes whole syntax elements at a
// pointer into a 188-byte slot and needs no bound beyond it.
#ifndef PALVEX_TS_TS_PACKET_WRITER_H_
#define PALVEX_TS_TS_PACKET_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ts/ts_packet.h"

namespace palvex {

constexpr int kTSPCRPayloadRoom = 176;  // beside the 8-byte PCR adaptation field
constexpr int kTSFlagsPayloadRoom = 182;  // beside an adaptation field of length and flags only
constexpr uint8_t kRandomAccessFlag = 0x40;  // random_access_indicator in the adaptation field flags
constexpr unsigned kPayloadOnly = 0x10;         // adaptation_field_control '01'
constexpr unsigned kAdaptationAndPayload = 0x30;  // adaptation_field_control '11'
// PCR base, PTS and DTS are 33-bit counts of the 90 kHz clock, written modulo 2^33.
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

// Copies and fills of up to a packet's bytes, in 16-byte moves laid out straight, the last
// one overlapping the one before. A plain memcpy or memset whose length the compiler knows
// to be short is laid out as `rep movs` or `rep stos`, whose start-up costs tens of cycles
// on many processors: more than the move itself, once or twice on every frame.
template <typename Move>
inline void MoveShort(size_t n, Move move) {
  if (n >= 16) {
    switch ((n - 1) / 16) {  // the moves from offset 0 on that end before n - 16
      case 11: move(160, 16); [[fallthrough]];
      case 10: move(144, 16); [[fallthrough]];
      case 9: move(128, 16); [[fallthrough]];
      case 8: move(112, 16); [[fallthrough]];
      case 7: move(96, 16); [[fallthrough]];
      case 6: move(80, 16); [[fallthrough]];
      case 5: move(64, 16); [[fallthrough]];
      case 4: move(48, 16); [[fallthrough]];
      case 3: move(32, 16); [[fallthrough]];
      case 2: move(16, 16); [[fallthrough]];
      case 1: move(0, 16); [[fallthrough]];
      default: break;
    }
    move(n - 16, 16);
  } else if (n >= 8) {
    move(0, 8);
    move(n - 8, 8);
  } else if (n >= 4) {
    move(0, 4);
    move(n - 4, 4);
  } else if (n > 0) {
    move(0, 1);
    move(n / 2, 1);
    move(n - 1, 1);
  }
}

// n bytes (n <= 192) from src to dst; the two do not overlap.
inline void CopyShort(uint8_t* dst, const uint8_t* src, size_t n) {
  MoveShort(n, [dst, src](size_t at, size_t step) {
    switch (step) {
      case 16: std::memcpy(dst + at, src + at, 16); break;
      case 8: std::memcpy(dst + at, src + at, 8); break;
      case 4: std::memcpy(dst + at, src + at, 4); break;
      default: dst[at] = src[at]; break;
    }
  });
}

// n bytes 0xFF (n <= 192) at p: stuffing_byte.
inline void FillStuffing(uint8_t* p, size_t n) {
  MoveShort(n, [p](size_t at, size_t step) {
    switch (step) {
      case 16: std::memset(p + at, 0xFF, 16); break;
      case 8: std::memset(p + at, 0xFF, 8); break;
      case 4: std::memset(p + at, 0xFF, 4); break;
      default: p[at] = 0xFF; break;
    }
  });
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
    FillStuffing(p + 6, size_t(182 - n));  // stuffing_byte
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
  if (e < 176) FillStuffing(p + 12, size_t(176 - e));  // stuffing_byte
}

}  // namespace palvex

#endif  // PALVEX_TS_TS_PACKET_WRITER_H_
