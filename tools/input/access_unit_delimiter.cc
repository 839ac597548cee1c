#include "access_unit_delimiter.h"

namespace palvex_host {
namespace {

constexpr int kH264Delimiter = 9, kHevcDelimiter = 35;

// One NAL unit of the access unit: its start code at [start, begin), its bytes [begin, end).
struct Nal {
  size_t start, begin, end;
};

// The NAL unit whose start code is found at or after pos; false when there is none.
bool NextNal(const std::vector<uint8_t>& au, size_t pos, Nal* nal) {
  const size_t size = au.size();
  auto startCodeAt = [&](size_t i) { return i + 3 <= size && au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1; };
  while (pos + 3 <= size && !startCodeAt(pos)) ++pos;
  if (pos + 3 > size) return false;
  nal->start = pos > 0 && au[pos - 1] == 0 ? pos - 1 : pos;
  nal->begin = pos + 3;
  size_t next = nal->begin;
  while (next + 3 <= size && !startCodeAt(next)) ++next;
  if (next + 3 > size) next = size;
  nal->end = next;
  while (nal->end > nal->begin && au[nal->end - 1] == 0 && nal->end < size) --nal->end;  // the next code's zero
  return nal->end > nal->begin;
}

// Exp-Golomb reading of an RBSP behind its emulation prevention bytes, within [p, p + size).
class BitReader {
 public:
  BitReader(const uint8_t* p, size_t size) : m_p(p), m_size(size) {}
  bool ok() const { return m_ok; }
  uint32_t Ue() {
    int zeros = 0;
    while (m_ok && Bit() == 0)
      if (++zeros > 31) m_ok = false;
    uint32_t value = 0;
    for (int i = 0; i < zeros && m_ok; ++i) value = value << 1 | Bit();
    return m_ok ? (uint32_t{1} << zeros) - 1 + value : 0;
  }

 private:
  uint32_t Bit() {
    if (m_bit == 0) {  // a new byte: an emulation prevention byte is skipped
      if (m_zeros >= 2 && m_pos < m_size && m_p[m_pos] == 3) {
        ++m_pos;
        m_zeros = 0;
      }
      if (m_pos >= m_size) {
        m_ok = false;
        return 0;
      }
      m_zeros = m_p[m_pos] == 0 ? m_zeros + 1 : 0;
    }
    const uint32_t bit = m_p[m_pos] >> (7 - m_bit) & 1;
    if (++m_bit == 8) {
      m_bit = 0;
      ++m_pos;
    }
    return bit;
  }

  const uint8_t* m_p;
  size_t m_size;
  size_t m_pos = 0;
  int m_bit = 0;
  int m_zeros = 0;
  bool m_ok = true;
};

// The slice types one primary_pic_type allows, as bits of slice_type % 5 (P 0, B 1, I 2,
// SP 3, SI 4), for primary_pic_type 0 to 7.
constexpr unsigned kP = 1, kB = 2, kI = 4, kSP = 8, kSI = 16;
constexpr unsigned kAllowed[8] = {kI, kI | kP, kI | kP | kB, kSI, kSI | kSP, kI | kSI, kI | kSI | kP | kSP,
                                  kI | kSI | kP | kSP | kB};

// The delimiter's NAL unit (header and payload) for the access unit.
std::vector<uint8_t> MakeDelimiter(bool hevc, const std::vector<uint8_t>& au) {
  unsigned types = 0;
  bool unread = false, anyPicture = false, allIrap = true;
  int temporalIdPlus1 = 0;
  Nal nal{0, 0, 0};
  for (size_t pos = 0; NextNal(au, pos, &nal); pos = nal.end) {
    const uint8_t* p = au.data() + nal.begin;
    const size_t size = nal.end - nal.begin;
    if (hevc) {
      const int type = p[0] >> 1 & 0x3F;
      if (type > 31 || size < 2) continue;
      anyPicture = true;
      allIrap = allIrap && type >= 16 && type <= 23;
      if (temporalIdPlus1 == 0) temporalIdPlus1 = p[1] & 7;
      continue;
    }
    const int type = p[0] & 0x1F;
    if (type != 1 && type != 2 && type != 5) continue;
    BitReader bits(p + 1, size - 1);
    bits.Ue();  // first_mb_in_slice
    const uint32_t sliceType = bits.Ue();
    if (!bits.ok() || sliceType > 9) unread = true;
    else types |= 1u << (sliceType % 5);
  }
  if (hevc)
    return {kHevcDelimiter << 1, static_cast<uint8_t>(temporalIdPlus1 > 0 ? temporalIdPlus1 : 1),
            static_cast<uint8_t>((anyPicture && allIrap ? 0 : 2) << 5 | 0x10)};
  int primary = 7;
  if (!unread && types != 0)
    for (int k = 7; k >= 0; --k)
      if ((types & ~kAllowed[k]) == 0) primary = k;
  return {kH264Delimiter, static_cast<uint8_t>(primary << 5 | 0x10)};
}

}  // namespace

bool PutAccessUnitDelimiter(bool hevc, std::vector<uint8_t>* accessUnit) {
  std::vector<uint8_t>& au = *accessUnit;
  Nal nal{0, 0, 0};
  bool first = true;
  for (size_t pos = 0; NextNal(au, pos, &nal); pos = nal.end, first = false) {
    const int type = hevc ? au[nal.begin] >> 1 & 0x3F : au[nal.begin] & 0x1F;
    if (type != (hevc ? kHevcDelimiter : kH264Delimiter)) continue;
    if (first) return false;
    // Behind other NAL units: moved to the front as it is.
    std::vector<uint8_t> moved = {0, 0, 0, 1};
    moved.insert(moved.end(), au.begin() + static_cast<std::ptrdiff_t>(nal.begin),
                 au.begin() + static_cast<std::ptrdiff_t>(nal.end));
    au.erase(au.begin() + static_cast<std::ptrdiff_t>(nal.start), au.begin() + static_cast<std::ptrdiff_t>(nal.end));
    au.insert(au.begin(), moved.begin(), moved.end());
    return true;
  }
  if (first) return false;  // no NAL unit
  std::vector<uint8_t> delimiter = {0, 0, 0, 1};
  const std::vector<uint8_t> unit = MakeDelimiter(hevc, au);
  delimiter.insert(delimiter.end(), unit.begin(), unit.end());
  au.insert(au.begin(), delimiter.begin(), delimiter.end());
  return true;
}

}  // namespace palvex_host
