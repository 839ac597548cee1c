// A small transport stream reader for tests: reassembles the PES packets of every PID but
// those of the PAT, the PMTs and DVB SI, and records where PATs and PCRs stand, so that
// tests can compare what came out with what went in. Packet fields, PCRs, PES headers and
// the PAT are read by the host's TS reader.
#ifndef PALVEX_TESTS_SUPPORT_PES_READER_H_
#define PALVEX_TESTS_SUPPORT_PES_READER_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace palvex_test {

struct PesPacket {
  int pid = -1;
  size_t firstPacket = 0;     // index of the TS packet that starts it
  uint8_t streamId = 0;
  int declaredLength = 0;     // PES_packet_length
  size_t headerSize = 0;      // bytes in front of the payload
  bool dataAlignment = false;  // data_alignment_indicator
  int64_t pts = -1;           // 33-bit values, -1 when absent
  int64_t dts = -1;
  std::vector<uint8_t> payload;  // bytes behind the PES header
};

struct PcrSample {
  int pid = -1;
  size_t packet = 0;
  int64_t base = 0;
};

class PesReader {
 public:
  // Reads a whole stream of 188-byte packets; false with errors() on malformed input.
  bool Read(const uint8_t* data, size_t size);

  const std::vector<PesPacket>& pes() const { return m_pes; }
  const std::vector<PcrSample>& pcrs() const { return m_pcrs; }
  // Indices of packets on PID 0 (PAT) in stream order.
  const std::vector<size_t>& patPackets() const { return m_patPackets; }
  // PES packets of one PID, in order.
  std::vector<PesPacket> OfPid(int pid) const;
  const std::vector<std::string>& errors() const { return m_errors; }

 private:
  void Finish(int pid);
  std::map<int, PesPacket> m_open;
  std::set<int> m_pmtPids;  // from the last PAT
  std::set<int> m_siPids;
  std::vector<PesPacket> m_pes;
  std::vector<PcrSample> m_pcrs;
  std::vector<size_t> m_patPackets;
  std::vector<std::string> m_errors;
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_PES_READER_H_
