// Full transport stream packets of one PID written in a run: per 188-byte slot the 4-byte
// header and 184 payload bytes. The H.264 form looks for the ends of start codes in the
// bytes while it copies them, so that every byte of the frame is read once.
#ifndef PALVEX_TS_PACKET_COPY_H_
#define PALVEX_TS_PACKET_COPY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ts/ts_packet_writer.h"

namespace palvex {

// `count` packets without payload_unit_start_indicator or adaptation field into consecutive
// slots from dst, 184 bytes each from src; *cc is the continuity counter of the first and
// comes back advanced past the last.
inline void CopyFullPackets(uint8_t* dst, const uint8_t* src, size_t count, uint8_t pidHigh,
                            uint8_t pidLow, unsigned* cc) {
  unsigned c = *cc;
  for (size_t k = 0; k < count; ++k) {
    const uint32_t header = TSHeaderWord(pidHigh, pidLow, kPayloadOnly | c);
    std::memcpy(dst, &header, 4);
    std::memcpy(dst + 4, src, kTSPayloadRoom);
    c = NextContinuityCounter(c);
    dst += kTSPacketSize;
    src += kTSPayloadRoom;
  }
  *cc = c;
}

// The same packets, stopping after the first one that may hold the end of a start code
// (00 00 01); returns the packets written and sets *found when it stopped at such a packet.
// A start code whose 0x01 stands at src[1] or later, up to the byte right after the
// packets written, ends in the last packet written or in that byte, never in a packet
// before it: the caller searches from the last packet's start to one byte past its end.
// Start codes ending at src[0] are the caller's to have found. A packet is reported on a
// zero byte pair or a 00 01 pair at an even offset from src (vector forms), or on a 0x01
// behind two zeros, the two bytes in front of src included (the portable form; src - 2
// must be readable): it may hold no start code that a NAL walk takes, which costs the
// caller one search. Vector code where the processor has it.
size_t CopyFullPacketsToStartCode(uint8_t* dst, const uint8_t* src, size_t count, uint8_t pidHigh,
                                  uint8_t pidLow, unsigned* cc, bool* found);

// Every form of CopyFullPacketsToStartCode this processor can run, the portable one first;
// returns how many were stored (at most 3). For tests.
using CopyToStartCodeForm = size_t (*)(uint8_t*, const uint8_t*, size_t, uint8_t, uint8_t,
                                       unsigned*, bool*);
int CopyToStartCodeForms(CopyToStartCodeForm forms[3]);

}  // namespace palvex

#endif  // PALVEX_TS_PACKET_COPY_H_
