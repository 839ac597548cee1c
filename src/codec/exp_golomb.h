// Lookup tables for the Exp-Golomb codes of H.264 clause 9.1 (ue(v), se(v)) and for
// floor(log2) of a byte, generated at compile time from their definitions.
#ifndef PALVEX_CODEC_EXP_GOLOMB_H_
#define PALVEX_CODEC_EXP_GOLOMB_H_

#include <array>
#include <cstdint>

namespace palvex {

// floor(log2(v)) for v in 1..255; entry 0 is 0 and is never used to locate a bit.
constexpr std::array<uint8_t, 256> MakeFloorLog2Table() {
  std::array<uint8_t, 256> table{};
  for (int v = 2; v < 256; ++v) table[v] = uint8_t(table[v / 2] + 1);
  return table;
}

inline constexpr std::array<uint8_t, 256> kFloorLog2 = MakeFloorLog2Table();

static_assert(kFloorLog2[1] == 0 && kFloorLog2[2] == 1 && kFloorLog2[3] == 1, "floor(log2) 1..3");
static_assert(kFloorLog2[127] == 6 && kFloorLog2[128] == 7 && kFloorLog2[255] == 7,
              "floor(log2) 127, 128, 255");

// Index of the highest one bit of a non-zero 32-bit value: the top 16 or 8 bits first, then
// the byte that holds the bit.
constexpr int FloorLog2(uint32_t v) {
  if (v >> 16 != 0) {
    return v >> 24 != 0 ? 24 + kFloorLog2[v >> 24] : 16 + kFloorLog2[v >> 16 & 0xFF];
  }
  return v >> 8 != 0 ? 8 + kFloorLog2[v >> 8] : kFloorLog2[v & 0xFF];
}

static_assert(FloorLog2(1) == 0 && FloorLog2(0x100) == 8 && FloorLog2(0xFFFF) == 15 &&
                  FloorLog2(0x10000) == 16 && FloorLog2(0x80000000u) == 31,
              "floor(log2) of 32-bit values");

// The three tables below are indexed by the next 9 bits of the bitstream. Every index of 16
// or more starts with a complete code of at most 9 bits (at most four leading zero bits):
// z leading zeros, a one, z information bits; codeNum = 2^z - 1 + information bits.
// Indices below 16 start with a longer code and hold 0.
inline constexpr int kExpGolombIndexBits = 9;
inline constexpr uint32_t kExpGolombShortIndexMin = 16;

constexpr std::array<uint8_t, 512> MakeUeLengthTable() {
  std::array<uint8_t, 512> table{};
  for (int index = int(kExpGolombShortIndexMin); index < 512; ++index) {
    const int highBit = index >> 8 != 0 ? 8 : kFloorLog2[index];  // 4..8
    const int leadingZeros = 8 - highBit;
    table[index] = uint8_t(2 * leadingZeros + 1);
  }
  return table;
}

inline constexpr std::array<uint8_t, 512> kUeLength = MakeUeLengthTable();

// ue(v) codeNum of the code at the start of the index: the code read as a binary number, - 1.
constexpr std::array<uint8_t, 512> MakeUeValueTable() {
  std::array<uint8_t, 512> table{};
  for (int index = int(kExpGolombShortIndexMin); index < 512; ++index) {
    table[index] = uint8_t((index >> (kExpGolombIndexBits - kUeLength[index])) - 1);
  }
  return table;
}

inline constexpr std::array<uint8_t, 512> kUeValue = MakeUeValueTable();

// 9.1.1: se(v) maps codeNum k to (k + 1) / 2 when k is odd and to -(k / 2) when k is even.
constexpr int32_t SeFromCodeNum(uint32_t k) {
  return (k & 1) != 0 ? int32_t((k >> 1) + 1) : -int32_t(k >> 1);
}

constexpr std::array<int8_t, 512> MakeSeValueTable() {
  std::array<int8_t, 512> table{};
  for (int index = int(kExpGolombShortIndexMin); index < 512; ++index) {
    table[index] = int8_t(SeFromCodeNum(kUeValue[index]));
  }
  return table;
}

inline constexpr std::array<int8_t, 512> kSeValue = MakeSeValueTable();

static_assert(kUeLength[0b100000000] == 1 && kUeValue[0b100000000] == 0, "ue 1 -> 0");
static_assert(kUeLength[0b010000000] == 3 && kUeValue[0b010000000] == 1, "ue 010 -> 1");
static_assert(kUeLength[0b011111111] == 3 && kUeValue[0b011111111] == 2, "ue 011 -> 2");
static_assert(kUeLength[0b001000000] == 5 && kUeValue[0b001000000] == 3, "ue 00100 -> 3");
static_assert(kUeLength[0b000010000] == 9 && kUeValue[0b000010000] == 15, "ue 000010000 -> 15");
static_assert(kUeLength[0b000011111] == 9 && kUeValue[0b000011111] == 30, "ue 000011111 -> 30");
static_assert(kUeLength[0b000001111] == 0, "codes longer than 9 bits are not in the table");
static_assert(kSeValue[0b100000000] == 0 && kSeValue[0b010000000] == 1 &&
                  kSeValue[0b011000000] == -1 && kSeValue[0b001000000] == 2 &&
                  kSeValue[0b001010000] == -2 && kSeValue[0b000011111] == -15,
              "se 0, 1, 2, 3, 4, 30 -> 0, 1, -1, 2, -2, -15");
static_assert(SeFromCodeNum(0xFFFFFFFDu) == 2147483647 && SeFromCodeNum(0xFFFFFFFEu) == -2147483647,
              "se of the largest codeNums");

}  // namespace palvex

#endif  // PALVEX_CODEC_EXP_GOLOMB_H_
