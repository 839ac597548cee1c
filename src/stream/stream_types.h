// The stream_type values of the PMT entries the library writes, and the H.264 syntax
// element values it acts on.
#ifndef PALVEX_STREAM_STREAM_TYPES_H_
#define PALVEX_STREAM_STREAM_TYPES_H_

#include <cstdint>

namespace palvex {

constexpr uint8_t kStreamTypeH264 = 0x1B;  // AVC video

}  // namespace palvex

#endif  // PALVEX_STREAM_STREAM_TYPES_H_
