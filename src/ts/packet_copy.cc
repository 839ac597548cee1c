#include "ts/packet_copy.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace palvex {

namespace {


size_t CopyPortable(uint8_t* dst, const uint8_t* src, size_t count, uint8_t pidHigh, uint8_t pidLow,
                    unsigned* cc, bool* found) {
  size_t k = 0;
  bool hit = false;
  while (k < count && !hit) {
    CopyFullPackets(dst, src, 1, pidHigh, pidLow, cc);
    const uint8_t* p = src;
    const uint8_t* end = src + kTSPayloadRoom;
    while (p < end) {
      const void* one = std::memchr(p, 0x01, size_t(end - p));
      if (one == nullptr) break;
      const uint8_t* q = static_cast<const uint8_t*>(one);
      if (q[-1] == 0x00 && q[-2] == 0x00) {
        hit = true;
        break;
      }
      p = q + 1;
    }
    ++k;
    dst += kTSPacketSize;
    src += kTSPayloadRoom;
  }
  *found = hit;
  return k;
}

#if defined(__x86_64__) || defined(__i386__)

// The vector forms look at the payload as 16-bit words at even offsets from src: a word is
// a candidate when its first byte is 0x00 and its second 0x00 or 0x01, that is when the
// word with bit 8 cleared is 0 (little-endian: the first byte is the low one). A start code
// 00 00 01 has such a word at its first zero or at its second, whichever offset is even:
// one pass of loads that are also the copy's, one AND and one minimum per vector, and the
// minimum over the packet tells whether any word was 0. The last vector of a packet
// overlaps the one before (184 = 5 x 32 + 24), at an even offset like all the others.

// The low byte of the header word is the sync byte, the high one the last header byte:
// continuity_counter in its low four bits.
inline uint32_t HeaderWithCounter(uint32_t header, unsigned cc) { return header | uint32_t(cc) << 24; }

// 32 (16) payload bytes at offset j from src to the packet at dst, and their words masked.
__attribute__((target("avx2"), always_inline)) inline __m256i Move32(uint8_t* dst, const uint8_t* src,
                                                                     int j, __m256i mask) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 + j), v);
  return _mm256_and_si256(v, mask);
}

__attribute__((target("sse2"), always_inline)) inline __m128i Move16(uint8_t* dst, const uint8_t* src,
                                                                     int j, __m128i mask) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 + j), v);
  return _mm_and_si128(v, mask);
}

// Four of them from offset j on, and the minimum of their words.
__attribute__((target("sse2"), always_inline)) inline __m128i Move16x4(uint8_t* dst, const uint8_t* src,
                                                                       int j, __m128i mask) {
  __m128i acc = Move16(dst, src, j, mask);
  acc = _mm_min_epi16(acc, Move16(dst, src, j + 16, mask));
  acc = _mm_min_epi16(acc, Move16(dst, src, j + 32, mask));
  return _mm_min_epi16(acc, Move16(dst, src, j + 48, mask));
}

__attribute__((target("avx2"))) size_t CopyAvx2(uint8_t* dst, const uint8_t* src, size_t count,
                                                uint8_t pidHigh, uint8_t pidLow, unsigned* cc,
                                                bool* found) {
  const __m256i mask = _mm256_set1_epi16(int16_t(0xFEFF));
  const __m256i zero = _mm256_setzero_si256();
  const uint32_t header = TSHeaderWord(pidHigh, pidLow, kPayloadOnly);
  unsigned c = *cc;
  size_t k = 0;
  bool hit = false;
  while (k < count && !hit) {
    const uint32_t word = HeaderWithCounter(header, c);
    std::memcpy(dst, &word, 4);
    // Written out, and in address order: each store may alias the next load, so the
    // compiler keeps the order, and the loads run forward through the frame as the
    // hardware prefetchers expect (a packet read back to front is a third slower when the
    // frame comes from memory). A loop over a list of offsets GCC would keep as a loop.
    __m256i acc = Move32(dst, src, 0, mask);
    acc = _mm256_min_epu16(acc, Move32(dst, src, 32, mask));
    acc = _mm256_min_epu16(acc, Move32(dst, src, 64, mask));
    acc = _mm256_min_epu16(acc, Move32(dst, src, 96, mask));
    acc = _mm256_min_epu16(acc, Move32(dst, src, 128, mask));
    acc = _mm256_min_epu16(acc, Move32(dst, src, 152, mask));
    const __m256i zeros = _mm256_cmpeq_epi16(acc, zero);
    hit = !_mm256_testz_si256(zeros, zeros);
    c = NextContinuityCounter(c);
    ++k;
    dst += kTSPacketSize;
    src += kTSPayloadRoom;
  }
  *cc = c;
  *found = hit;
  return k;
}

// SSE2 has no unsigned 16-bit minimum: bit 15 is cleared too, so that every word is
// positive for the signed one (0x80 and 0x81 behind a zero are candidates as well).
__attribute__((target("sse2"))) size_t CopySse2(uint8_t* dst, const uint8_t* src, size_t count,
                                                uint8_t pidHigh, uint8_t pidLow, unsigned* cc,
                                                bool* found) {
  const __m128i mask = _mm_set1_epi16(int16_t(0x7EFF));
  const __m128i zero = _mm_setzero_si128();
  const uint32_t header = TSHeaderWord(pidHigh, pidLow, kPayloadOnly);
  unsigned c = *cc;
  size_t k = 0;
  bool hit = false;
  while (k < count && !hit) {
    const uint32_t word = HeaderWithCounter(header, c);
    std::memcpy(dst, &word, 4);
    // In address order, as in the AVX2 form.
    __m128i acc = Move16x4(dst, src, 0, mask);
    acc = _mm_min_epi16(acc, Move16x4(dst, src, 64, mask));
    acc = _mm_min_epi16(acc, Move16(dst, src, 128, mask));
    acc = _mm_min_epi16(acc, Move16(dst, src, 144, mask));
    acc = _mm_min_epi16(acc, Move16(dst, src, 160, mask));
    acc = _mm_min_epi16(acc, Move16(dst, src, 168, mask));
    hit = _mm_movemask_epi8(_mm_cmpeq_epi16(acc, zero)) != 0;
    c = NextContinuityCounter(c);
    ++k;
    dst += kTSPacketSize;
    src += kTSPayloadRoom;
  }
  *cc = c;
  *found = hit;
  return k;
}

CopyToStartCodeForm Choose() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return CopyAvx2;
  if (__builtin_cpu_supports("sse2")) return CopySse2;
  return CopyPortable;
}

#else

CopyToStartCodeForm Choose() { return CopyPortable; }

#endif

}  // namespace

size_t CopyFullPacketsToStartCode(uint8_t* dst, const uint8_t* src, size_t count, uint8_t pidHigh,
                                  uint8_t pidLow, unsigned* cc, bool* found) {
  static const CopyToStartCodeForm copy = Choose();
  return copy(dst, src, count, pidHigh, pidLow, cc, found);
}

int CopyToStartCodeForms(CopyToStartCodeForm forms[3]) {
  int n = 0;
  forms[n++] = CopyPortable;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse2")) forms[n++] = CopySse2;
  if (__builtin_cpu_supports("avx2")) forms[n++] = CopyAvx2;
#endif
  return n;
}

}  // namespace palvex
