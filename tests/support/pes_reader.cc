#include "support/pes_reader.h"

#include "support/ts_checker.h"
#include "ts_reader.h"

namespace palvex_test {

using palvex_host::kTSPacketSize;

std::vector<PesPacket> PesReader::OfPid(int pid) const {
  std::vector<PesPacket> out;
  for (const PesPacket& p : m_pes)
    if (p.pid == pid) out.push_back(p);
  return out;
}

void PesReader::Finish(int pid) {
  auto it = m_open.find(pid);
  if (it == m_open.end()) return;
  PesPacket pes = std::move(it->second);
  m_open.erase(it);
  const size_t length = pes.headerSize + pes.payload.size() - 6;
  if (pes.declaredLength != 0 && size_t(pes.declaredLength) != length)
    m_errors.push_back("PID " + std::to_string(pid) + ": PES_packet_length " + std::to_string(pes.declaredLength) +
                       " but " + std::to_string(length) + " bytes follow it");
  m_pes.push_back(std::move(pes));
}

bool PesReader::Read(const uint8_t* data, size_t size) {
  if (size % kTSPacketSize != 0) m_errors.push_back("length is not a multiple of 188");
  for (size_t index = 0; (index + 1) * kTSPacketSize <= size; ++index) {
    const uint8_t* p = data + index * kTSPacketSize;
    if (p[0] != 0x47) {
      m_errors.push_back("sync byte missing at packet " + std::to_string(index));
      return false;
    }
    const int pid = palvex_host::PacketPid(p);
    const int64_t pcr = palvex_host::PacketPCR(p);
    if (pcr >= 0) m_pcrs.push_back({pid, index, pcr / 300});
    size_t sectionSize = 0;
    const uint8_t* section = pid == 0 ? palvex_host::PacketSection(p, &sectionSize) : nullptr;
    palvex_host::PAT pat;
    if (section != nullptr && palvex_host::ReadPAT(section, sectionSize, &pat)) {
      m_pmtPids.clear();  // a later run may give a PMT's PID to a stream
      for (const palvex_host::PATProgram& program : pat.programs) m_pmtPids.insert(program.pid);
    }
    if (pid == 0) m_patPackets.push_back(index);
    if (StartsSISection(p)) m_siPids.insert(pid);
    size_t payloadSize = 0;
    const uint8_t* payload = palvex_host::PacketPayload(p, &payloadSize);
    // A PMT may come ahead of the PAT naming its PID (a PES packet's start reads as table_id 0x00).
    if (palvex_host::PacketTableId(p) == 0x02) continue;
    if (pid == 0 || m_pmtPids.count(pid) != 0 || m_siPids.count(pid) != 0 || payload == nullptr) continue;
    if (palvex_host::PacketUnitStart(p)) {
      Finish(pid);
      palvex_host::PESStart start;
      if (!palvex_host::ReadPESStart(p, &start)) {
        m_errors.push_back("PID " + std::to_string(pid) + ": PES without start code prefix or whole header");
        continue;
      }
      PesPacket& pes = m_open[pid];
      pes.pid = pid;
      pes.firstPacket = index;
      pes.streamId = uint8_t(start.streamId);
      pes.declaredLength = start.packetLength;
      pes.headerSize = start.headerSize;
      pes.dataAlignment = start.headerSize >= 9 && (payload[6] & 0x04) != 0;
      pes.pts = start.pts;
      pes.dts = start.dts;
      payload += start.headerSize;
      payloadSize -= start.headerSize;
    }
    auto it = m_open.find(pid);
    if (it == m_open.end()) continue;  // continuation without a start
    it->second.payload.insert(it->second.payload.end(), payload, payload + payloadSize);
  }
  std::vector<int> pids;
  for (const auto& entry : m_open) pids.push_back(entry.first);
  for (int pid : pids) Finish(pid);
  return m_errors.empty();
}

}  // namespace palvex_test
