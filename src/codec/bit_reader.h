// Bit reader over the RBSP of one H.264 or HEVC NAL unit (u(n), ue(v), se(v) of clause 7.2).
//
// The reader is given the NAL unit's bytes after its header and their count, and never
// reads outside them. It removes emulation_prevention_three_byte (0x03 after two zero bytes,
// clause 7.3.1) as it goes, into a small window of unescaped bytes that slides forward with
// the position, so nothing is copied beyond the next few bytes and an RBSP of any length can
// be read. Bits past the end of the RBSP read as 0; Failed() then reports the overrun.
#ifndef PALVEX_CODEC_BIT_READER_H_
#define PALVEX_CODEC_BIT_READER_H_

#include <cstdint>
#include <cstring>
#include <limits>

#include "codec/exp_golomb.h"

namespace palvex {

class BitReader {
 public:
  // What ReadUe and ReadSe return for a code with 32 or more leading zero bits: no value of
  // ue(v) or se(v) in H.264 needs one (the largest, 2^32 - 2, has 31), so such a code marks
  // the reader as failed.
  static constexpr uint32_t kInvalidUe = 0xFFFFFFFFu;
  static constexpr int32_t kInvalidSe = std::numeric_limits<int32_t>::min();

  BitReader(const uint8_t* data, int32_t length)
      : m_raw(data), m_rawEnd(data != nullptr && length > 0 ? data + length : data) {
    Fill(0);
  }

  // u(n) for n from 1 to 31. Any other width returns -1 and consumes nothing.
  int32_t ReadBits(int32_t n) {
    if (n <= 0 || n > 31) return -1;
    const uint32_t value = Peek32() >> (32 - n);
    m_pos += n;
    return int32_t(value);
  }

  // u(32): num_units_in_tick, time_scale and other 32-bit fields.
  uint32_t ReadBits32() {
    const uint32_t value = Peek32();
    m_pos += 32;
    return value;
  }

  void SkipBits(int32_t n) {
    if (n > 0) m_pos += n;
  }

  // ue(v), clause 9.1: z leading zero bits, a one, z information bits.
  uint32_t ReadUe() {
    const uint32_t window = Peek32();
    if (window >= uint32_t{1} << 27) {  // at most 4 leading zeros: a code of at most 9 bits
      const uint32_t index = window >> (32 - kExpGolombIndexBits);
      m_pos += kUeLength[index];
      return kUeValue[index];
    }
    if (window >= uint32_t{1} << 16) {  // 5 to 15 leading zeros: the whole code is in the window
      const int highBit = FloorLog2(window);  // 16..26
      m_pos += 63 - 2 * highBit;
      return (window >> (2 * highBit - 31)) - 1;
    }
    if (window == 0) {  // 32 or more leading zeros
      m_invalidCode = true;
      m_pos += 32;
      return kInvalidUe;
    }
    // 16 to 31 leading zeros: skip them, then read the one and the z information bits.
    const int leadingZeros = 31 - FloorLog2(window);
    m_pos += leadingZeros;
    const uint32_t oneAndInfo = Peek32() >> (31 - leadingZeros);
    m_pos += leadingZeros + 1;
    return oneAndInfo - 1;
  }

  // se(v), clause 9.1.1.
  int32_t ReadSe() {
    const uint32_t window = Peek32();
    if (window >= uint32_t{1} << 27) {
      const uint32_t index = window >> (32 - kExpGolombIndexBits);
      m_pos += kUeLength[index];
      return kSeValue[index];
    }
    const uint32_t codeNum = ReadUe();
    return codeNum == kInvalidUe ? kInvalidSe : SeFromCodeNum(codeNum);
  }

  // Bits consumed so far, counted in the RBSP (emulation prevention bytes excluded).
  int32_t Position() const { return m_pos; }

  // True once a read has gone past the end of the RBSP or met a code with 32 or more leading
  // zeros. The values read are defined either way; the caller decides whether to use them.
  bool Failed() {
    if (m_invalidCode) return true;
    Peek32();  // unescapes up to the position, so that the RBSP length is known if it ends here
    return m_raw == m_rawEnd && int64_t{m_pos} > int64_t{m_rbspBytes} * 8;
  }

 private:
  static constexpr int32_t kWindowBytes = 16;

  // The 32 bits from the current position on, from five window bytes.
  uint32_t Peek32() {
    int32_t index = (m_pos >> 3) - m_windowStart;
    if (index > kWindowBytes - 5) {
      Slide(index);
      index = 0;
    }
    const uint8_t* p = m_window + index;
    const uint32_t word = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    const int shift = m_pos & 7;
    return shift == 0 ? word : (word << shift | uint32_t(p[4]) >> (8 - shift));
  }

  // Moves the window so that it starts at window byte `index`.
  void Slide(int32_t index) {
    int32_t keep = 0;
    if (index < kWindowBytes) {
      keep = kWindowBytes - index;
      std::memmove(m_window, m_window + index, size_t(keep));
    } else {
      for (int32_t skip = index - kWindowBytes; skip > 0 && m_raw != m_rawEnd; --skip) NextByte();
    }
    m_windowStart += index;
    Fill(keep);
  }

  void Fill(int32_t from) {
    for (uint8_t* out = m_window + from; out < m_window + kWindowBytes; ++out) *out = NextByte();
  }

  // Next RBSP byte, 0 past the end. 7.3.1: 0x000003 inside the NAL unit stands for 0x0000.
  uint8_t NextByte() {
    while (m_raw != m_rawEnd) {
      const uint8_t byte = *m_raw++;
      if (m_zeros >= 2 && byte == 0x03) {  // emulation_prevention_three_byte
        m_zeros = 0;
        continue;
      }
      m_zeros = byte == 0 ? (m_zeros < 2 ? m_zeros + 1 : 2) : 0;
      ++m_rbspBytes;
      return byte;
    }
    return 0;
  }

  const uint8_t* m_raw;      // next NAL byte to unescape
  const uint8_t* m_rawEnd;   // one past the NAL unit's last byte
  int32_t m_zeros = 0;       // zero bytes just before m_raw (at most 2 counted)
  int32_t m_rbspBytes = 0;   // RBSP bytes unescaped so far
  int32_t m_windowStart = 0; // RBSP byte index of m_window[0]
  int32_t m_pos = 0;         // bit position in the RBSP; reads are bounded, so it stays small
  bool m_invalidCode = false;
  uint8_t m_window[kWindowBytes] = {};
};

}  // namespace palvex

#endif  // PALVEX_CODEC_BIT_READER_H_
