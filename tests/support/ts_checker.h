// Stream invariants checked on every muxed output in the tests: whole 188-byte packets,
// sync bytes, continuity per PID, every PAT, PMT and DVB SI section whole with its CRC_32
// (also those that go on over several packets; the TDT, which has none, whole in its
// packet), PCRs recorded. Packet fields, PCRs and
// sections are read by the host's TS reader.
#ifndef PALVEX_TESTS_SUPPORT_TS_CHECKER_H_
#define PALVEX_TESTS_SUPPORT_TS_CHECKER_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ts_reader.h"

namespace palvex_test {

// A packet that starts a DVB SI section (an SDT on 0x0011): a table_id of 0x40-0x7F on a
// PID of 0x0010-0x001F.
bool StartsSISection(const uint8_t* packet);

// Feed packets as they come; errors() lists every violation found so far.
class TsChecker {
 public:
  // kKept: pcrBases() holds every PCR seen; kDropped: the packet checks alone, in constant
  // memory, for runs of many hours.
  enum class Pcrs { kKept, kDropped };
  explicit TsChecker(Pcrs pcrs = Pcrs::kKept) : m_keepPcrs(pcrs == Pcrs::kKept) {}

  void Feed(const uint8_t* data, size_t size);
  const std::vector<std::string>& errors() const { return m_errors; }
  size_t packets() const { return m_packets; }
  // PCR values (27 MHz / 300 = base) seen on each PID, in order.
  const std::map<int, std::vector<int64_t>>& pcrBases() const { return m_pcrBases; }

 private:
  void Error(const std::string& what);
  // One packet of a PAT, PMT or SI PID.
  void CheckSection(const uint8_t* packet, int pid);
  bool m_keepPcrs;
  std::map<int, int> m_lastCC;
  std::set<int> m_pmtPids;  // from the last PAT
  std::set<int> m_siPids;
  std::map<int, palvex_host::SectionGatherer> m_sections;  // of every PSI PID
  std::map<int, std::vector<int64_t>> m_pcrBases;
  std::vector<std::string> m_errors;
  size_t m_packets = 0;
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_TS_CHECKER_H_
