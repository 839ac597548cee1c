#include "support/psi_cadence.h"

#include <algorithm>
#include <array>

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

namespace palvex_test {

size_t MultiplexCadence::Steps::AtMost(int64_t bound) const {
  return static_cast<size_t>(std::count_if(length.begin(), length.end(), [bound](int64_t s) { return s <= bound; }));
}

int64_t MultiplexCadence::Steps::LongestSince(int64_t from) const {
  int64_t longest = 0;
  for (size_t i = 0; i < length.size(); ++i)
    if (end[i] >= from) longest = std::max(longest, length[i]);
  return longest;
}

MultiplexCadence MeasureMultiplexCadence(const uint8_t* ts, size_t packets, int64_t muxRate) {
  MultiplexCadence c;
  std::array<int, 8192> programOf;  // program_number of each PID, -1 none
  programOf.fill(-1);
  std::map<int, int> pcrPidOf, pmtPidOf;  // by program_number
  std::map<int, int64_t> lastPCR;         // by program_number
  std::map<std::string, int64_t> lastTable;
  const auto slotTicks = [muxRate](size_t k) {
    // Whole seconds apart from the rest, so that no product leaves 64 bits (no __int128 on
    // 32-bit hosts).
    const int64_t bits = static_cast<int64_t>(k) * static_cast<int64_t>(kTSPacketSize) * 8;
    return bits / muxRate * palvex_host::kPCRHz + bits % muxRate * palvex_host::kPCRHz / muxRate;
  };
  const auto table = [&](const std::string& name, int64_t at) {
    const auto last = lastTable.find(name);
    if (last != lastTable.end()) {
      c.tables[name].length.push_back(at - last->second);
      c.tables[name].end.push_back(at);
    }
    lastTable[name] = at;
  };
  c.endTicks = slotTicks(packets);
  for (size_t k = 0; k < packets; ++k) {
    const uint8_t* p = ts + k * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    const int64_t at = slotTicks(k);
    if (pid == palvex_host::kNullPid) {
      ++c.nulls;
      continue;
    }
    const int program = programOf[static_cast<size_t>(pid)];
    if (program >= 0) ++c.packets[program];
    if (program >= 0 && pcrPidOf[program] == pid && palvex_host::PacketHasAdaptation(p)) {
      const int64_t pcr = palvex_host::PacketPCR(p);
      if (pcr >= 0 && lastPCR.count(program) != 0) {
        c.pcr[program].length.push_back(palvex_host::PCRStep(lastPCR[program], pcr));
        c.pcr[program].end.push_back(at);
      }
      if (pcr >= 0) lastPCR[program] = pcr;
    }
    if (!palvex_host::PacketUnitStart(p)) continue;
    const int tableId = palvex_host::PacketTableId(p);
    size_t size = 0;
    const uint8_t* section = palvex_host::PacketSection(p, &size);
    if (pid == 0x0000) {
      table("pat", at);
      palvex_host::PAT pat;
      if (section != nullptr && palvex_host::ReadPAT(section, size, &pat))
        for (const palvex_host::PATProgram& g : pat.programs)
          if (g.number != 0 && pmtPidOf[g.number] != g.pid) {
            pmtPidOf[g.number] = g.pid;
            programOf[static_cast<size_t>(g.pid)] = g.number;
          }
    } else if (pid == 0x0011 && tableId == 0x42) {
      table("sdt", at);
    } else if (pid == 0x0010 && tableId == 0x40) {
      table("nit", at);
    } else if (pid == 0x0014 && tableId == 0x70) {
      table("tdt", at);
    } else if (program >= 0 && pmtPidOf[program] == pid && tableId == 0x02) {
      table("pmt:" + std::to_string(program), at);
      palvex_host::PMT pmt;
      if (section != nullptr && palvex_host::ReadPMT(section, size, &pmt)) {
        pcrPidOf[program] = pmt.pcrPid;
        for (const palvex_host::PMTStream& s : pmt.streams) programOf[static_cast<size_t>(s.pid)] = program;
        programOf[static_cast<size_t>(pmt.pcrPid)] = program;
      }
    }
  }
  return c;
}

}  // namespace palvex_test
