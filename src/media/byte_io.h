// Little-endian readers and writers for the packed byte forms of the media description.
#ifndef PALVEX_MEDIA_BYTE_IO_H_
#define PALVEX_MEDIA_BYTE_IO_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace palvex {

// Reads from a buffer of known length and never past it. A read that does not fit fails,
// yields zero and leaves the reader failed for good, so that a caller can read a whole run
// of fields and test Ok() once.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}

  bool Ok() const { return m_ok; }
  size_t Left() const { return m_size - m_pos; }
  const uint8_t* Pos() const { return m_data + m_pos; }

  // The next n bytes, or null (and failed) when fewer are left.
  const uint8_t* Take(size_t n) {
    if (!m_ok || n > Left()) {
      m_ok = false;
      return nullptr;
    }
    const uint8_t* p = Pos();
    m_pos += n;
    return p;
  }

  uint8_t U8() { return uint8_t(Uint(1)); }
  uint32_t U32() { return uint32_t(Uint(4)); }
  int32_t I32() { return int32_t(U32()); }
  int64_t I64() { return int64_t(Uint(8)); }

 private:
  uint64_t Uint(size_t bytes) {
    const uint8_t* p = Take(bytes);
    uint64_t v = 0;
    for (size_t i = bytes; p && i-- > 0;) v = v << 8 | p[i];
    return v;
  }

  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
  bool m_ok = true;
};

// Writes at a destination the caller has made large enough; with a null destination it only
// counts, so that a size query and a real write go through the same code.
class ByteWriter {
 public:
  explicit ByteWriter(uint8_t* dst) : m_dst(dst) {}

  size_t Count() const { return m_count; }
  uint8_t* Pos() const { return m_dst ? m_dst + m_count : nullptr; }
  void Skip(size_t n) { m_count += n; }

  void U8(uint8_t v) { Uint(v, 1); }
  void U32(uint32_t v) { Uint(v, 4); }
  void I32(int32_t v) { Uint(uint32_t(v), 4); }
  void I64(int64_t v) { Uint(uint64_t(v), 8); }
  void Bytes(const void* src, size_t n) {
    if (m_dst && n) std::memcpy(m_dst + m_count, src, n);
    m_count += n;
  }

 private:
  void Uint(uint64_t v, size_t bytes) {
    for (size_t i = 0; m_dst && i < bytes; ++i) m_dst[m_count + i] = uint8_t(v >> (8 * i));
    m_count += bytes;
  }

  uint8_t* m_dst;
  size_t m_count = 0;
};

}  // namespace palvex

#endif  // PALVEX_MEDIA_BYTE_IO_H_
