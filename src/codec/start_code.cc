#include "codec/start_code.h"

#include <cstring>

namespace palvex {

// Every start code ends in the byte 0x01, which is rare in coded slice data (emulation
// prevention keeps 00 00 01 out of NAL units), so memchr finds the candidates at vector
// speed and only those are checked for the two zeros in front.
const uint8_t* FindStartCodeFrom(const uint8_t* origin, const uint8_t* from, const uint8_t* end) {
  const uint8_t* p = from - origin >= 2 ? from : origin + 2;
  while (p < end) {
    const void* hit = std::memchr(p, 0x01, size_t(end - p));
    if (hit == nullptr) return nullptr;
    const uint8_t* one = static_cast<const uint8_t*>(hit);
    if (one[-1] == 0x00 && one[-2] == 0x00) {
      if (one - origin >= 3 && one[-3] == 0x00) return one - 3;  // zero_byte of a four-byte code
      return one - 2;
    }
    // The next two bytes have this 0x01 within their two bytes in front: the next
    // candidate is three bytes on.
    if (end - one <= 3) return nullptr;
    p = one + 3;
  }
  return nullptr;
}

const uint8_t* FindStartCode(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr || count < 3) return nullptr;
  return FindStartCodeFrom(bytes, bytes + 2, bytes + count);
}

}  // namespace palvex
