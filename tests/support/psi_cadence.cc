#include "support/psi_cadence.h"

#include <algorithm>

#include "ts_reader.h"

namespace palvex_test {
namespace {

using palvex_host::kTSPacketSize;
constexpr int64_t kWrap = int64_t{1} << 33;

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
  const size_t count = size / kTSPacketSize;
  // The PMT PID from the first PAT, the PCR PID from the first PMT (which may go on over
  // several packets).
  palvex_host::SectionGatherer patSections, pmtSections;
  for (size_t i = 0; i < count && c.pcrPid < 0; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    palvex_host::PAT pat;
    palvex_host::PMT pmt;
    if (pid == 0 && c.pmtPid < 0 && patSections.Push(p) &&
        palvex_host::ReadPAT(patSections.section().data(), patSections.section().size(), &pat)) {
      for (const palvex_host::PATProgram& program : pat.programs) {
        if (program.number != 0) {  // program_number 0 is the network PID
          c.pmtPid = program.pid;
          break;
        }
      }
    } else if (pid == c.pmtPid && pmtSections.Push(p) &&
               palvex_host::ReadPMT(pmtSections.section().data(), pmtSections.section().size(), &pmt)) {
      c.pcrPid = pmt.pcrPid;
    }
  }
  std::vector<std::pair<size_t, int64_t>> pcrs;
  std::vector<size_t> pats;
  std::vector<size_t> pmts;
  std::vector<size_t> sdts;
  int64_t unwrap = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (pid == c.pcrPid && pcr >= 0) {
      const int64_t base = pcr / 300;
      if (!pcrs.empty() && base + unwrap < pcrs.back().second - kWrap / 2) unwrap += kWrap;
      pcrs.emplace_back(i, base + unwrap);
    }
    if (pid == 0) pats.push_back(i);
    if (pid == c.pmtPid) pmts.push_back(i);
    if (pid == 0x0011 && palvex_host::PacketTableId(p) == 0x42) sdts.push_back(i);  // service_description_section
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
