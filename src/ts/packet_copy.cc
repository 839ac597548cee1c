#include "ts/packet_copy.h"

#include <initializer_list>

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

// Per 32 (16) bytes v at offset j, with a and b the bytes one and two in front: a lane of
// (a | b | (v ^ 1)) is 0 exactly where a 0x01 follows two zeros; the minimum over the packet
// tells whether any lane was. 184 = 5 x 32 + 24: the last vector overlaps the one before.
__attribute__((target("avx2"))) size_t CopyAvx2(uint8_t* dst, const uint8_t* src, size_t count,
                                                uint8_t pidHigh, uint8_t pidLow, unsigned* cc,
                                                bool* found) {
  const __m256i one = _mm256_set1_epi8(1);
  const __m256i zero = _mm256_setzero_si256();
  unsigned c = *cc;
  size_t k = 0;
  bool hit = false;
  while (k < count && !hit) {
    const uint32_t header = TSHeaderWord(pidHigh, pidLow, kPayloadOnly | c);
    std::memcpy(dst, &header, 4);
    __m256i acc = _mm256_set1_epi8(-1);
    for (int j : {0, 32, 64, 96, 128, 152}) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 + j), v);
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j - 1));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j - 2));
      acc = _mm256_min_epu8(acc, _mm256_or_si256(_mm256_or_si256(a, b), _mm256_xor_si256(v, one)));
    }
    const __m256i ends = _mm256_cmpeq_epi8(acc, zero);
    hit = !_mm256_testz_si256(ends, ends);
    c = NextContinuityCounter(c);
    ++k;
    dst += kTSPacketSize;
    src += kTSPayloadRoom;
  }
  *cc = c;
  *found = hit;
  return k;
}

__attribute__((target("sse2"))) size_t CopySse2(uint8_t* dst, const uint8_t* src, size_t count,
                                                uint8_t pidHigh, uint8_t pidLow, unsigned* cc,
                                                bool* found) {
  const __m128i one = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  unsigned c = *cc;
  size_t k = 0;
  bool hit = false;
  while (k < count && !hit) {
    const uint32_t header = TSHeaderWord(pidHigh, pidLow, kPayloadOnly | c);
    std::memcpy(dst, &header, 4);
    __m128i acc = _mm_set1_epi8(-1);
    for (int j : {0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 168}) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 + j), v);
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j - 1));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j - 2));
      acc = _mm_min_epu8(acc, _mm_or_si128(_mm_or_si128(a, b), _mm_xor_si128(v, one)));
    }
    hit = _mm_movemask_epi8(_mm_cmpeq_epi8(acc, zero)) != 0;
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
