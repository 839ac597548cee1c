// Puts an access unit delimiter in front of arbitrary bytes taken as an H.264 or HEVC
// access unit (the first byte chooses which), in a buffer of exactly their size so that any
// read past its end is seen, and checks the result: unchanged without a NAL unit, else one
// delimiter first and every byte of the access unit kept (a delimiter already there moved,
// not copied).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "access_unit_delimiter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return 0;
  const bool hevc = (data[0] & 1) != 0;
  std::vector<uint8_t> au(data + 1, data + size);
  au.shrink_to_fit();
  const std::vector<uint8_t> before = au;
  if (!palvex_host::PutAccessUnitDelimiter(hevc, &au)) return au == before ? 0 : (std::abort(), 0);
  const size_t header = hevc ? 2 : 1;
  if (au.size() < 4 + header + 1 || au[0] != 0 || au[1] != 0 || au[2] != 0 || au[3] != 1) std::abort();
  if ((hevc ? au[4] >> 1 & 0x3F : au[4] & 0x1F) != (hevc ? 35 : 9)) std::abort();
  if (au.size() < before.size()) std::abort();
  // Running it again changes nothing: the delimiter is first.
  const std::vector<uint8_t> once = au;
  if (palvex_host::PutAccessUnitDelimiter(hevc, &au) || au != once) std::abort();
  return 0;
}
