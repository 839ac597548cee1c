// What the benches measure palvex against, and on what: the packetizing ceiling (a
// packetizer that does nothing but lay a frame into 188-byte slots) and the processor the
// figures come from.
#ifndef PALVEX_BENCH_COPY_CEILING_H_
#define PALVEX_BENCH_COPY_CEILING_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace palvex_bench {

// A copy whose length the compiler cannot bound, so that it stays a call into the C
// library's memcpy: an inline `rep movs`, which the compiler picks for copies it knows to be
// short, starts up in a few cycles on some processors and in tens on others, and would make
// the ceiling a measure of that.
__attribute__((noinline)) inline void CopyBytes(uint8_t* dst, const uint8_t* src, size_t n) {
  std::memcpy(dst, src, n);
}

// One frame as the plainest packetizer writes it, into slots[*slot] on (wrapping after
// slotCount): the first slot a 4-byte header and a 19-byte PES header, every slot a 4-byte
// header and one copy of up to 184 bytes, a fixed-size copy for every full slot. Returns
// the slots written.
inline size_t CeilingFrame(uint8_t* slots, size_t slotCount, size_t* slot, const uint8_t* src,
                           size_t size) {
  static const uint8_t kPESHeader[19] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x84, 0xC0, 0x0A, 0x31,
                                         0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01};
  size_t written = 0;
  size_t pes = sizeof kPESHeader;
  size_t left = size;
  while (left > 0 || pes > 0) {
    uint8_t* p = slots + *slot * 188;
    std::memcpy(p, "\x47\x41\x00\x10", 4);
    uint8_t* q = p + 4;
    if (pes > 0) {
      std::memcpy(q, kPESHeader, sizeof kPESHeader);
      q += pes;
      pes = 0;
    }
    const size_t room = size_t(p + 188 - q);
    const size_t n = left < room ? left : room;
    if (n == 184) {
      std::memcpy(q, src, 184);
    } else {
      CopyBytes(p + 188 - n, src, n);
    }
    src += n;
    left -= n;
    ++written;
    if (++*slot == slotCount) *slot = 0;
  }
  return written;
}

// The processor's model name and the vector and string-copy features that decide the
// copies: "Intel(R) Xeon(R) Processor (2 cores; avx2 avx512bw erms fsrm)".
inline std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  std::string model = "unknown processor";
  std::string flags;
  int cores = 0;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
    const std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
    if (key == "model name") {
      model = value;
      ++cores;
    } else if (key == "flags" && flags.empty()) {
      flags = " " + value + " ";
    }
  }
  std::string features;
  for (const char* f : {"sse4_2", "avx2", "avx512bw", "erms", "fsrm"}) {
    if (flags.find(std::string(" ") + f + " ") != std::string::npos) features += std::string(" ") + f;
  }
  return model + " (" + std::to_string(cores) + " cores;" + features + ")";
}

}  // namespace palvex_bench

#endif  // PALVEX_BENCH_COPY_CEILING_H_
