#include "support/psi_cadence.h"

#include <algorithm>

namespace palvex_test {
namespace {

constexpr size_t kPacket = 188;
constexpr int64_t kWrap = int64_t{1} << 33;

int PidOf(const uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }

// The start of the section in a packet whose payload_unit_start_indicator is set, or null.
const uint8_t* SectionStart(const uint8_t* p) {
  if ((p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) return nullptr;
  size_t offset = 4;
  if (p[3] & 0x20) offset += 1u + p[4];
  if (offset >= kPacket) return nullptr;
  offset += 1u + p[offset];  // pointer_field
  return offset + 12 <= kPacket ? p + offset : nullptr;
}

bool PcrBase(const uint8_t* p, int64_t* base) {
  if ((p[3] & 0x20) == 0 || p[4] == 0 || (p[5] & 0x10) == 0) return false;
  *base = int64_t{p[6]} << 25 | int64_t{p[7]} << 17 | int64_t{p[8]} << 9 | int64_t{p[9]} << 1 | p[10] >> 7;
  return true;
}

// PCR time at a packet index by linear interpolation between the PCR samples around it.
bool TimeAt(const std::vector<std::pair<size_t, int64_t>>& pcrs, size_t index, int64_t* time) {
  if (pcrs.empty() || index < pcrs.front().first || index > pcrs.back().first) return false;
  auto after = std::lower_bound(pcrs.begin(), pcrs.end(), index,
                                [](const std::pair<size_t, int64_t>& s, size_t i) { return s.first < i; });
  if (after->first == index) {
    *time = after->second;
    return true;
  }
  const auto before = after - 1;
  *time = before->second + (after->second - before->second) * static_cast<int64_t>(index - before->first) /
                               static_cast<int64_t>(after->first - before->first);
  return true;
}

}  // namespace

PsiCadence::Gap PsiCadence::LongestGap(const std::vector<int64_t>& times, int64_t firstPcr, int64_t lastPcr) {
  Gap longest;
  int64_t previous = firstPcr;
  for (int64_t t : times) {
    if (t - previous > longest.length) longest = {t - previous, previous};
    previous = t;
  }
  if (lastPcr - previous > longest.length) longest = {lastPcr - previous, previous};
  return longest;
}

PsiCadence MeasurePsiCadence(const uint8_t* ts, size_t size) {
  PsiCadence c;
  const size_t count = size / kPacket;
  // The PMT PID from the first PAT, the PCR PID from the first PMT.
  for (size_t i = 0; i < count && c.pcrPid < 0; ++i) {
    const uint8_t* p = ts + i * kPacket;
    const uint8_t* s = SectionStart(p);
    if (s == nullptr) continue;
    if (PidOf(p) == 0 && s[0] == 0x00 && c.pmtPid < 0) {
      const int sectionLength = (s[1] & 0x0F) << 8 | s[2];
      for (int k = 8; k + 4 <= 3 + sectionLength - 4 && k + 4 <= static_cast<int>(kPacket); k += 4) {
        if ((s[k] << 8 | s[k + 1]) != 0) {  // program_number 0 is the network PID
          c.pmtPid = (s[k + 2] & 0x1F) << 8 | s[k + 3];
          break;
        }
      }
    } else if (c.pmtPid >= 0 && PidOf(p) == c.pmtPid && s[0] == 0x02) {
      c.pcrPid = (s[8] & 0x1F) << 8 | s[9];
    }
  }
  std::vector<std::pair<size_t, int64_t>> pcrs;
  std::vector<size_t> pats;
  std::vector<size_t> pmts;
  std::vector<size_t> sdts;
  int64_t unwrap = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = ts + i * kPacket;
    const int pid = PidOf(p);
    int64_t base = 0;
    if (pid == c.pcrPid && PcrBase(p, &base)) {
      if (!pcrs.empty() && base + unwrap < pcrs.back().second - kWrap / 2) unwrap += kWrap;
      pcrs.emplace_back(i, base + unwrap);
    }
    if (pid == 0) pats.push_back(i);
    if (pid == c.pmtPid) pmts.push_back(i);
    const uint8_t* s = pid == 0x0011 ? SectionStart(p) : nullptr;
    if (s != nullptr && s[0] == 0x42) sdts.push_back(i);
  }
  c.pcrCount = pcrs.size();
  if (pcrs.empty()) return c;
  c.firstPcr = pcrs.front().second;
  c.lastPcr = pcrs.back().second;
  int64_t t = 0;
  for (size_t i : pats)
    if (TimeAt(pcrs, i, &t)) c.patTimes.push_back(t);
  for (size_t i : pmts)
    if (TimeAt(pcrs, i, &t)) c.pmtTimes.push_back(t);
  for (size_t i : sdts)
    if (TimeAt(pcrs, i, &t)) c.sdtTimes.push_back(t);
  return c;
}

}  // namespace palvex_test
