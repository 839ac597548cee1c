// CRC_32 of ISO/IEC 13818-1 Annex A (CRC-32/MPEG-2): polynomial 0x04C11DB7, register
// preset to 0xFFFFFFFF, most significant bit first, no reflection, no final inversion.
// Stored most significant byte first behind a section, it makes the CRC recomputed over
// the whole section, CRC bytes included, come out 0.
#ifndef PALVEX_TS_CRC32_H_
#define PALVEX_TS_CRC32_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace palvex {

constexpr uint32_t kCrc32Polynomial = 0x04C11DB7u;

// One entry per value of the top byte of the register: that byte shifted through eight
// steps of the polynomial division.
constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ kCrc32Polynomial : crc << 1;
    }
    table[i] = crc;
  }
  return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = MakeCrc32Table();

// One table lookup per byte: crc = table[(crc >> 24) ^ byte] ^ (crc << 8).
constexpr uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc = kCrc32Table[((crc >> 24) ^ data[i]) & 0xFF] ^ (crc << 8);
  }
  return crc;
}

namespace crc32_check {
constexpr uint8_t kCheckInput[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
}  // namespace crc32_check

static_assert(Crc32(crc32_check::kCheckInput, 9) == 0x0376E6E7u, "CRC-32/MPEG-2 check value");
static_assert(kCrc32Table[1] == kCrc32Polynomial, "CRC-32/MPEG-2 table entry 1 is the polynomial");

// Writes the CRC of the section bytes [section, section + size) behind them, most
// significant byte first, and returns the 4 bytes written.
inline int32_t PutSectionCrc32(uint8_t* section, size_t size) {
  const uint32_t crc = Crc32(section, size);
  uint8_t* q = section + size;
  q[0] = uint8_t(crc >> 24);                   // CRC_32[31:24]
  q[1] = uint8_t(crc >> 16);                   // CRC_32[23:16]
  q[2] = uint8_t(crc >> 8);                    // CRC_32[15:8]
  q[3] = uint8_t(crc);                         // CRC_32[7:0]
  return 4;
}

}  // namespace palvex

#endif  // PALVEX_TS_CRC32_H_
