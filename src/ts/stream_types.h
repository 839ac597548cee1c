// The stream_type values of the PMT entries the library writes.
#ifndef PALVEX_TS_STREAM_TYPES_H_
#define PALVEX_TS_STREAM_TYPES_H_

#include <cstdint>

namespace palvex {

constexpr uint8_t kStreamTypeMPEG2Video = 0x02;
constexpr uint8_t kStreamTypeMPEG1Audio = 0x03;
constexpr uint8_t kStreamTypeMPEG2Audio = 0x04;
constexpr uint8_t kStreamTypeAACADTS = 0x0F;       // AAC with ADTS transport syntax
constexpr uint8_t kStreamTypeMPEG4Visual = 0x10;
constexpr uint8_t kStreamTypeAACLATM = 0x11;       // MPEG-4 audio with LATM transport syntax
constexpr uint8_t kStreamTypeH264 = 0x1B;          // AVC video
constexpr uint8_t kStreamTypeHEVC = 0x24;          // HEVC video
constexpr uint8_t kStreamTypePrivateFirst = 0x80;  // private audio (AC-3 0x81, E-AC-3 0x87, ...)
constexpr uint8_t kStreamTypePrivateLast = 0x87;

}  // namespace palvex

#endif  // PALVEX_TS_STREAM_TYPES_H_
