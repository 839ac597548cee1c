// What the tests of the exported interface share: a muxer released through RemovePalvex,
// and a small H.264 key frame.
#ifndef PALVEX_TESTS_SUPPORT_MUXER_FIXTURES_H_
#define PALVEX_TESTS_SUPPORT_MUXER_FIXTURES_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "palvex/palvex.h"

namespace palvex_test {

struct MuxerDeleter {
  void operator()(iptv::IVorlux* m) const { iptv::RemovePalvex(m); }
};
using MuxerPtr = std::unique_ptr<iptv::IVorlux, MuxerDeleter>;

// H.264 Baseline access unit: SPS, PPS, IDR slice, then payload bytes.
inline std::vector<uint8_t> H264KeyFrame(size_t payload, uint8_t fill = 0x5A) {
  std::vector<uint8_t> f = {0, 0, 0, 1, 0x67, 66, 0, 30, 0xF4, 0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80,
                            0, 0, 0, 1, 0x65, 0x88, 0x84};
  f.resize(f.size() + payload, fill);
  return f;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_MUXER_FIXTURES_H_
