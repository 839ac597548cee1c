#include "access_unit_delimiter.h"

#include <cstring>

namespace palvex_host {
namespace {

constexpr int kH264Delimiter = 9, kHevcDelimiter = 35;

// One NAL unit of the access unit: its start code at [start, begin), its bytes [begin, end).
struct Nal {
  size_t start, begin, end;
};

// Offset of the next 00 00 01 at or after pos, or size (memchr finds the 01 bytes).
size_t FindStartCode(const std::vector<uint8_t>& au, size_t pos) {
  const uint8_t* p = au.data();
  const size_t size = au.size();
  while (pos + 3 <= size) {
    const void* one = std::memchr(p + pos + 2, 1, size - pos - 2);
    if (one == nullptr) return size;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(one) - p);
    if (p[at - 1] == 0 && p[at - 2] == 0) return at - 2;
    pos = at - 1;
  }
  return size;
}

// The NAL unit whose start code is found at or after pos; false when there is none.
// Empty ones are passed over.
bool NextNal(const std::vector<uint8_t>& au, size_t pos, Nal* nal) {
  const size_t size = au.size();
  for (;;) {
    pos = FindStartCode(au, pos);
    if (pos >= size) return false;
    nal->start = pos > 0 && au[pos - 1] == 0 ? pos - 1 : pos;
    nal->begin = pos + 3;
    nal->end = FindStartCode(au, nal->begin);
    while (nal->end > nal->begin && au[nal->end - 1] == 0 && nal->end < size) --nal->end;  // the next code's zero
    if (nal->end > nal->begin) return true;
    pos = nal->begin;
  }
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

// What one pass over the access unit finds.
struct Scan {
  bool any = false;          // a NAL unit
  bool delimiterFirst = false;
  bool delimiterFound = false;
  Nal delimiter{0, 0, 0};
  unsigned sliceTypes = 0;   // H.264: bits of slice_type % 5
  bool unread = false;       // H.264: a slice header that could not be read
  bool anyPicture = false, allIrap = true;  // HEVC
  int temporalIdPlus1 = 0;   // HEVC: of the first picture
};

Scan ScanAccessUnit(bool hevc, const std::vector<uint8_t>& au) {
  Scan scan;
  Nal nal{0, 0, 0};
  for (size_t pos = 0; NextNal(au, pos, &nal); pos = nal.end) {
    const uint8_t* p = au.data() + nal.begin;
    const size_t size = nal.end - nal.begin;
    const int type = hevc ? p[0] >> 1 & 0x3F : p[0] & 0x1F;
    if (type == (hevc ? kHevcDelimiter : kH264Delimiter)) {
      scan.delimiterFirst = !scan.any;
      scan.delimiterFound = true;
      scan.delimiter = nal;
      return scan;
    }
    scan.any = true;
    if (hevc) {
      if (type > 31 || size < 2) continue;
      scan.anyPicture = true;
      scan.allIrap = scan.allIrap && type >= 16 && type <= 23;
      if (scan.temporalIdPlus1 == 0) scan.temporalIdPlus1 = p[1] & 7;
      continue;
    }
    if (type != 1 && type != 2 && type != 5) continue;
    BitReader bits(p + 1, size - 1);
    bits.Ue();  // first_mb_in_slice
    const uint32_t sliceType = bits.Ue();
    if (!bits.ok() || sliceType > 9) scan.unread = true;
    else scan.sliceTypes |= 1u << (sliceType % 5);
  }
  return scan;
}

}  // namespace

bool PutAccessUnitDelimiter(bool hevc, std::vector<uint8_t>* accessUnit) {
  std::vector<uint8_t>& au = *accessUnit;
  const Scan scan = ScanAccessUnit(hevc, au);
  if (scan.delimiterFirst) return false;
  uint8_t unit[7] = {0, 0, 0, 1};
  size_t length = 4;
  if (scan.delimiterFound) {
    // Behind other NAL units: moved to the front as it is.
    std::vector<uint8_t> moved(unit, unit + 4);
    const Nal& d = scan.delimiter;
    moved.insert(moved.end(), au.begin() + static_cast<std::ptrdiff_t>(d.begin),
                 au.begin() + static_cast<std::ptrdiff_t>(d.end));
    au.erase(au.begin() + static_cast<std::ptrdiff_t>(d.start), au.begin() + static_cast<std::ptrdiff_t>(d.end));
    au.insert(au.begin(), moved.begin(), moved.end());
    return true;
  }
  if (!scan.any) return false;
  if (hevc) {
    unit[length++] = kHevcDelimiter << 1;
    unit[length++] = static_cast<uint8_t>(scan.temporalIdPlus1 > 0 ? scan.temporalIdPlus1 : 1);
    unit[length++] = static_cast<uint8_t>((scan.anyPicture && scan.allIrap ? 0 : 2) << 5 | 0x10);
  } else {
    int primary = 7;
    if (!scan.unread && scan.sliceTypes != 0)
      for (int k = 7; k >= 0; --k)
        if ((scan.sliceTypes & ~kAllowed[k]) == 0) primary = k;
    unit[length++] = kH264Delimiter;
    unit[length++] = static_cast<uint8_t>(primary << 5 | 0x10);
  }
  au.insert(au.begin(), unit, unit + length);
  return true;
}

}  // namespace palvex_host
