// Stream invariants checked on every muxed output in the tests: whole 188-byte packets,
// sync bytes, continuity per PID, PSI CRC residue 0 (PAT, PMT and SDT sections, also those
// that go on over several packets), PCR monotonic.
#ifndef PALVEX_TESTS_SUPPORT_TS_CHECKER_H_
#define PALVEX_TESTS_SUPPORT_TS_CHECKER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ts_reader.h"

namespace palvex_test {

uint32_t Crc32Mpeg2(const uint8_t* data, size_t size);

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
  bool m_keepPcrs;
  std::map<int, int> m_lastCC;
  std::map<int, std::vector<int64_t>> m_pcrBases;
  std::map<int, palvex_host::SectionGatherer> m_longSections;  // sections running past their first packet
  std::vector<std::string> m_errors;
  size_t m_packets = 0;
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_TS_CHECKER_H_
