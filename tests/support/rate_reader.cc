#include "support/rate_reader.h"

#include <algorithm>
#include <map>

#include "support/ts_checker.h"
#include "ts_reader.h"

namespace palvex_test {
namespace {

using palvex_host::kPCRHz;
using palvex_host::kPCRWrap;
using palvex_host::kTSPacketSize;

constexpr int64_t kPCRByte = 10;  // holds the last bit of program_clock_reference_base

struct Unit {
  int64_t dts = -1;        // 27 MHz, as written (wrapped)
  size_t firstByte = 0;
  size_t lastByte = 0;
};

}  // namespace

RateReport ReadConstantRate(const uint8_t* ts, size_t size, int64_t rate, int programNumber) {
  RateReport r;
  const int wanted = programNumber;
  int pmtPid = -1, pcrPid = -1;
  std::map<int, bool> elementary;
  std::map<int, Unit> open;
  std::vector<Unit> units;
  std::vector<std::pair<size_t, int64_t>> pcrs;  // byte index of byte 10, value
  std::vector<size_t> pats, pmts;  // where each PAT and PMT is whole
  std::map<int, palvex_host::SectionGatherer> sections;
  const auto close = [&](int pid) {
    auto it = open.find(pid);
    if (it != open.end() && it->second.dts >= 0) units.push_back(it->second);
    if (it != open.end()) open.erase(it);
  };
  for (size_t i = 0; (i + 1) * kTSPacketSize <= size; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const size_t byte = i * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    ++r.packets;
    if (pid == palvex_host::kNullPid) ++r.nullPackets;
    const bool table = (pid == 0 || pid == pmtPid) && sections[pid].Push(p);
    const uint8_t* section = table ? sections[pid].section().data() : nullptr;
    const size_t sectionSize = table ? sections[pid].section().size() : 0;
    palvex_host::PAT pat;
    palvex_host::PMT pmt;
    if (section != nullptr && pid == 0 && palvex_host::ReadPAT(section, sectionSize, &pat)) {
      pats.push_back(byte);
      for (const palvex_host::PATProgram& program : pat.programs)
        if (program.number != 0 && pmtPid < 0 && (wanted < 0 || program.number == wanted)) pmtPid = program.pid;
    } else if (section != nullptr && palvex_host::ReadPMT(section, sectionSize, &pmt)) {
      pmts.push_back(byte);
      pcrPid = pmt.pcrPid;
      for (const palvex_host::PMTStream& s : pmt.streams) elementary[s.pid] = true;
    }
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (pcr >= 0 && pid == pcrPid) pcrs.emplace_back(byte + kPCRByte, pcr);
    if (elementary.count(pid) == 0) continue;
    palvex_host::PESStart pes;
    if (palvex_host::PacketUnitStart(p)) {
      close(pid);
      if (palvex_host::ReadPESStart(p, &pes) && pes.dts >= 0) open[pid] = Unit{pes.dts * 300, byte, byte};
    }
    auto it = open.find(pid);
    if (it != open.end() && palvex_host::PacketHasPayload(p)) it->second.lastByte = byte + kTSPacketSize - 1;
  }
  for (auto& [pid, unit] : std::map<int, Unit>(open)) close(pid);
  if (pats.empty() || pmts.empty() || pcrs.empty()) {
    r.errors.push_back("no PAT, PMT or PCR");
    return r;
  }
  // The byte clock: anchored at the first PCR, 8 / R s a byte; on one line past the wrap.
  const size_t anchorByte = pcrs.front().first;
  const int64_t anchor = pcrs.front().second;
  const auto clockAt = [&](size_t b) {
    return anchor + (static_cast<int64_t>(b) - static_cast<int64_t>(anchorByte)) * 8 * kPCRHz / rate;
  };
  const auto unwrap = [](int64_t value, int64_t near) {
    int64_t d = (value - near) % kPCRWrap;
    if (d > kPCRWrap / 2) d -= kPCRWrap;
    if (d < -kPCRWrap / 2) d += kPCRWrap;
    return near + d;
  };
  const auto toNs = [](int64_t ticks) { return ticks * 1000 / 27; };
  r.pcrs = pcrs.size();
  for (size_t k = 0; k < pcrs.size(); ++k) {
    const int64_t expected = clockAt(pcrs[k].first);
    r.maxPCRErrorNs = std::max(r.maxPCRErrorNs, std::abs(toNs(unwrap(pcrs[k].second, expected) - expected)));
    if (k > 0) r.maxPCRIntervalNs = std::max(r.maxPCRIntervalNs, toNs(clockAt(pcrs[k].first) - clockAt(pcrs[k - 1].first)));
  }
  for (size_t k = 1; k < pats.size(); ++k)
    r.maxPATIntervalNs = std::max(r.maxPATIntervalNs, toNs(clockAt(pats[k]) - clockAt(pats[k - 1])));
  for (size_t k = 1; k < pmts.size(); ++k)
    r.maxPMTIntervalNs = std::max(r.maxPMTIntervalNs, toNs(clockAt(pmts[k]) - clockAt(pmts[k - 1])));
  r.units = units.size();
  r.minSlackNs = INT64_MAX;
  for (const Unit& u : units) {
    const int64_t last = clockAt(u.lastByte + 1);  // the last byte has arrived
    const int64_t dts = unwrap(u.dts, last);
    r.minSlackNs = std::min(r.minSlackNs, toNs(dts - last));
    r.maxLeadNs = std::max(r.maxLeadNs, toNs(dts - clockAt(u.firstByte)));
    if (dts < last && ++r.lateUnits <= 5)
      r.errors.push_back("access unit at byte " + std::to_string(u.firstByte) + ": last byte " +
                         std::to_string(toNs(last - dts) / 1000) + " us after its DTS");
  }
  return r;
}

}  // namespace palvex_test

namespace palvex_test {
namespace {

struct PidClock {
  bool set = false;  // a PCR came
  size_t byte = 0;  // of the PCR's byte 10
  int64_t pcr = 0;
  int64_t leftNs = -1;  // the line (ns from the start) when its program left the PAT, -1 while named
  bool anew = true;     // no PCR yet since its program was named (again): no interval to measure
  int generation = 0;   // time bases so far (discontinuity_indicator starts a new one)
  size_t oldByte = 0;   // the last PCR of the time base before
  int64_t oldPcr = 0;
};

struct WireUnit {
  int number = -1;
  int pcrPid = -1;
  int64_t dts = -1;
  size_t firstByte = 0;
  int64_t arrival = -1;  // of its last byte so far, on its PCR_PID's clock (-1: no PCR yet)
  int generation = 0;    // its PCR_PID's time base when it started: the clock it is judged on
};

bool DiscontinuityIndicator(const uint8_t* p) {
  return palvex_host::PacketHasAdaptation(p) && p[4] > 0 && (p[5] & 0x80) != 0;
}

}  // namespace

WireReport ReadWire(const uint8_t* ts, size_t size, int64_t rate) {
  WireReport r;
  TsChecker checker(TsChecker::Pcrs::kDropped);
  checker.Feed(ts, size - size % kTSPacketSize);
  r.continuityErrors = checker.errors();
  struct Owner {
    int number = -1;
    int pcrPid = -1;
  };
  std::map<int, int> pmtOf;        // program_number -> PMT PID, as the last PAT names them
  std::map<int, int> pcrOf;        // program_number -> PCR_PID, from its last PMT
  std::map<int, std::vector<int>> streamsOf;
  std::map<int, Owner> owner;      // elementary PID -> its program instance
  std::map<int, PidClock> clocks;  // PCR_PID -> its latest PCR
  std::map<int, WireUnit> open;
  std::map<int, palvex_host::SectionGatherer> sections;
  const auto ns = [rate](size_t bytes) { return static_cast<int64_t>(bytes) * 8 * 1000000000 / rate; };
  const auto judge = [&](const WireUnit& u) {
    ProgramWire& w = r.programs[u.number];
    ++w.units;
    w.lastUnitNs = std::max(w.lastUnitNs, ns(u.firstByte));
    if (u.arrival < 0) {
      ++w.unclocked;
      return;
    }
    const int64_t arrival = u.arrival;
    const int64_t dts = arrival + palvex_host::PCRStep(arrival, u.dts);
    if (dts >= arrival) return;
    const int64_t lateNs = (arrival - dts) * 1000 / 27;
    w.maxLateNs = std::max(w.maxLateNs, lateNs);
    if (++w.lateUnits <= 5)
      w.errors.push_back("access unit at byte " + std::to_string(u.firstByte) + " (" +
                         std::to_string(ns(u.firstByte) / 1000000) + " ms in): last byte " +
                         std::to_string(lateNs / 1000) + " us after its DTS");
  };
  const auto close = [&](int pid) {
    auto it = open.find(pid);
    if (it == open.end()) return;
    if (it->second.dts >= 0) judge(it->second);
    open.erase(it);
  };
  for (size_t i = 0; (i + 1) * kTSPacketSize <= size; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const size_t byte = i * kTSPacketSize;
    const int pid = palvex_host::PacketPid(p);
    ++r.packets;
    bool psi = pid == 0;
    for (const auto& [number, pmt] : pmtOf) psi = psi || pid == pmt;
    if (psi && sections[pid].Push(p)) {
      const std::vector<uint8_t>& s = sections[pid].section();
      palvex_host::PAT pat;
      palvex_host::PMT pmt;
      if (pid == 0 && palvex_host::ReadPAT(s.data(), s.size(), &pat)) {
        std::map<int, int> named;
        for (const palvex_host::PATProgram& program : pat.programs)
          if (program.number != 0) named[program.number] = program.pid;
        for (const auto& [number, pmtPid] : pmtOf)
          if (named.count(number) == 0 && pcrOf.count(number) != 0) clocks[pcrOf[number]].leftNs = ns(byte);
        for (const auto& [number, pmtPid] : named) {
          if (pmtOf.count(number) != 0) continue;
          // Named (again): a new program, whose PMT may give it any PID that left, for a PCR_PID.
          if (pcrOf.count(number) != 0) clocks[pcrOf[number]].anew = true;
          for (auto& entry : clocks) entry.second.leftNs = -1;
        }
        pmtOf = named;
      } else if (pid != 0 && palvex_host::ReadPMT(s.data(), s.size(), &pmt)) {
        std::vector<int> streams;
        for (const palvex_host::PMTStream& e : pmt.streams) streams.push_back(e.pid);
        const int number = pmt.programNumber;
        if (pcrOf.count(number) == 0 || pcrOf[number] != pmt.pcrPid || streamsOf[number] != streams) {
          ++r.programs[number].instances;
          // Another PCR_PID: the interval starts again with its first PCR.
          if (pcrOf.count(number) == 0 || pcrOf[number] != pmt.pcrPid) clocks[pmt.pcrPid].set = false;
        }
        pcrOf[number] = pmt.pcrPid;
        streamsOf[number] = streams;
        if (clocks[pmt.pcrPid].leftNs >= 0) clocks[pmt.pcrPid].anew = true;
        clocks[pmt.pcrPid].leftNs = -1;
        for (int e : streams) owner[e] = Owner{number, pmt.pcrPid};
      }
    }
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (pcr >= 0) {
      int number = -1;
      for (const auto& [n, pcrPid] : pcrOf)
        if (pcrPid == pid && pmtOf.count(n) != 0) number = n;
      PidClock& c = clocks[pid];
      // The program's own last packets may still leave after it left the PAT; a PCR-only
      // packet is a clock kept for no one.
      if (number < 0 && c.leftNs >= 0 && !palvex_host::PacketHasPayload(p)) {
        ++r.strayPCRs;
        r.strayPCRsAfterNs = std::max(r.strayPCRsAfterNs, ns(byte) - c.leftNs);
      } else if (number >= 0 && c.set && !c.anew) {
        ProgramWire& w = r.programs[number];
        w.maxPCRIntervalNs = std::max(w.maxPCRIntervalNs, ns(byte + 10 - c.byte));
        const int64_t expected = c.pcr + static_cast<int64_t>(byte + 10 - c.byte) * 8 * palvex_host::kPCRHz / rate;
        const int64_t off = palvex_host::PCRStep(expected, pcr);
        if ((off > 27000 || off < -27000) && !DiscontinuityIndicator(p) && ++w.pcrSteps <= 5)
          w.errors.push_back("PCR on PID " + std::to_string(pid) + " at " + std::to_string(ns(byte) / 1000000) +
                             " ms steps " + std::to_string(off / 27) + " us without discontinuity_indicator");
      }
      c.anew = c.anew && number < 0;
      if (c.set && DiscontinuityIndicator(p)) {
        c.oldByte = c.byte;
        c.oldPcr = c.pcr;
        ++c.generation;
      }
      c.set = true;
      c.byte = byte + 10;
      c.pcr = pcr;
    }
    auto o = owner.find(pid);
    if (o == owner.end()) continue;
    palvex_host::PESStart pes;
    if (palvex_host::PacketUnitStart(p)) {
      close(pid);
      if (palvex_host::ReadPESStart(p, &pes) && pes.dts >= 0)
        open[pid] = WireUnit{o->second.number, o->second.pcrPid, pes.dts * 300, byte, -1,
                             clocks[o->second.pcrPid].generation};
    }
    auto it = open.find(pid);
    const PidClock& c = it != open.end() ? clocks[it->second.pcrPid] : PidClock{};
    // Its last byte has arrived, on the time base it started on (a unit of a program started
    // anew on the same PIDs may still leave after the new program's first PCR).
    const bool current = it != open.end() && it->second.generation == c.generation;
    const bool before = it != open.end() && it->second.generation + 1 == c.generation;
    if (it != open.end() && palvex_host::PacketHasPayload(p) && c.set && (current || before))
      it->second.arrival = (current ? c.pcr : c.oldPcr) +
                           (static_cast<int64_t>(byte + kTSPacketSize) - static_cast<int64_t>(current ? c.byte : c.oldByte)) *
                               8 * palvex_host::kPCRHz / rate;
  }
  for (const auto& [pid, unit] : std::map<int, WireUnit>(open)) close(pid);
  return r;
}

}  // namespace palvex_test
