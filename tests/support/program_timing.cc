#include "support/program_timing.h"

#include <algorithm>
#include <map>
#include <set>

#include "ts_reader.h"

namespace palvex_test {
namespace {

using palvex_host::kPCRWrap;
using palvex_host::kTSPacketSize;

constexpr size_t kPCRByte = 10;  // holds the last bit of program_clock_reference_base

struct Unit {
  int64_t dts = -1;  // 90 kHz, as written
  size_t firstByte = 0;
  size_t lastByte = 0;
};

int64_t Unwrap(int64_t value, int64_t near) {
  int64_t d = (value - near) % kPCRWrap;
  if (d > kPCRWrap / 2) d -= kPCRWrap;
  if (d < -kPCRWrap / 2) d += kPCRWrap;
  return near + d;
}

int64_t ToNs(int64_t ticks) { return ticks * 1000 / 27; }

}  // namespace

std::vector<int> ProgramNumbers(const uint8_t* ts, size_t size) {
  palvex_host::SectionGatherer pat;
  for (size_t i = 0; (i + 1) * kTSPacketSize <= size; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    palvex_host::PAT table;
    if (palvex_host::PacketPid(p) != 0 || !pat.Push(p) ||
        !palvex_host::ReadPAT(pat.section().data(), pat.section().size(), &table))
      continue;
    std::vector<int> numbers;
    for (const palvex_host::PATProgram& program : table.programs)
      if (program.number != 0) numbers.push_back(program.number);
    return numbers;
  }
  return {};
}

ProgramTiming ReadProgramTiming(const uint8_t* ts, size_t size, int programNumber) {
  ProgramTiming r;
  int pmtPid = -1;
  std::set<int> elementary;
  std::map<int, palvex_host::SectionGatherer> sections;
  std::map<int, Unit> open;
  std::vector<Unit> units;
  std::vector<std::pair<size_t, int64_t>> pcrs;  // byte of the PCR's last bit, unwrapped value
  const auto close = [&](int pid) {
    auto it = open.find(pid);
    if (it == open.end()) return;
    units.push_back(it->second);
    open.erase(it);
  };
  for (size_t i = 0; (i + 1) * kTSPacketSize <= size; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const size_t byte = i * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    if ((pid == 0 || pid == pmtPid) && sections[pid].Push(p)) {
      const std::vector<uint8_t>& s = sections[pid].section();
      palvex_host::PAT pat;
      palvex_host::PMT pmt;
      if (pid == 0 && palvex_host::ReadPAT(s.data(), s.size(), &pat)) {
        for (const palvex_host::PATProgram& program : pat.programs)
          if (program.number != 0 && pmtPid < 0 && (programNumber < 0 || program.number == programNumber))
            pmtPid = program.pid;
      } else if (pid == pmtPid && palvex_host::ReadPMT(s.data(), s.size(), &pmt)) {
        r.pcrPid = pmt.pcrPid;
        for (const palvex_host::PMTStream& stream : pmt.streams) elementary.insert(stream.pid);
      }
    }
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (pcr >= 0 && pid == r.pcrPid) {
      const int64_t value = pcrs.empty() ? pcr : Unwrap(pcr, pcrs.back().second);
      if (!pcrs.empty() && value < pcrs.back().second) ++r.pcrStepsBack;
      pcrs.emplace_back(byte + kPCRByte, value);
    }
    if (elementary.count(pid) == 0 || !palvex_host::PacketHasPayload(p)) continue;
    if (palvex_host::PacketUnitStart(p)) {
      close(pid);
      palvex_host::PESStart pes;  // sections (SCTE-35 cues) start no access unit
      if (palvex_host::ReadPESStart(p, &pes) && pes.dts >= 0) open[pid] = Unit{pes.dts, byte, byte};
    }
    auto it = open.find(pid);
    if (it != open.end()) it->second.lastByte = byte + kTSPacketSize - 1;
  }
  for (const auto& entry : std::map<int, Unit>(open)) close(entry.first);
  if (pmtPid < 0 || r.pcrPid < 0 || pcrs.size() < 2) {
    r.errors.push_back("program " + std::to_string(programNumber) + ": no PAT entry, PMT or two PCRs");
    return r;
  }
  r.pcrs = pcrs.size();
  for (size_t k = 1; k < pcrs.size(); ++k)
    r.maxPCRIntervalNs = std::max(r.maxPCRIntervalNs, ToNs(pcrs[k].second - pcrs[k - 1].second));
  // The PCR time of a byte: between the two PCRs around it, or at the rate of the nearest
  // interval outside them.
  const auto timeAt = [&pcrs](size_t b) {
    auto after = std::upper_bound(pcrs.begin(), pcrs.end(), b,
                                  [](size_t byte, const std::pair<size_t, int64_t>& pcr) { return byte < pcr.first; });
    if (after == pcrs.begin()) ++after;
    if (after == pcrs.end()) --after;
    const auto before = after - 1;
    const int64_t span = static_cast<int64_t>(after->first - before->first);
    return before->second + (after->second - before->second) * (static_cast<int64_t>(b) -
                                                                 static_cast<int64_t>(before->first)) / span;
  };
  r.units = units.size();
  r.minSlackNs = INT64_MAX;
  for (const Unit& u : units) {
    const int64_t arrived = timeAt(u.lastByte + 1);
    const int64_t dts = Unwrap(u.dts * 300, arrived);
    r.minSlackNs = std::min(r.minSlackNs, ToNs(dts - arrived));
    if (dts < arrived && ++r.lateUnits <= 5)
      r.errors.push_back("access unit at byte " + std::to_string(u.firstByte) + ": last byte " +
                         std::to_string(ToNs(arrived - dts) / 1000) + " us after its decode time");
  }
  return r;
}

}  // namespace palvex_test
