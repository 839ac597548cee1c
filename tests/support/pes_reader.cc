#include "support/pes_reader.h"

namespace palvex_test {

int64_t ReadTimestamp(const uint8_t* p) {
  return (int64_t{p[0]} >> 1 & 0x07) << 30 | int64_t{p[1]} << 22 | (int64_t{p[2]} >> 1) << 15 |
         int64_t{p[3]} << 7 | p[4] >> 1;
}

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
  if (m_rawPids.count(pid) != 0) {
    m_pes.push_back(std::move(pes));
    return;
  }
  const std::vector<uint8_t>& b = pes.payload;
  if (b.size() < 9 || b[0] != 0 || b[1] != 0 || b[2] != 1) {
    m_errors.push_back("PID " + std::to_string(pid) + ": PES without start code prefix");
    return;
  }
  pes.streamId = b[3];
  pes.declaredLength = b[4] << 8 | b[5];
  const int flags = b[7] >> 6;
  const size_t headerLength = 9u + b[8];
  if (headerLength > b.size()) {
    m_errors.push_back("PID " + std::to_string(pid) + ": PES header longer than the packet");
    return;
  }
  if (flags & 2) pes.pts = ReadTimestamp(&b[9]);
  if (flags == 3) pes.dts = ReadTimestamp(&b[14]);
  if (pes.declaredLength != 0 && static_cast<size_t>(pes.declaredLength) + 6 != b.size())
    m_errors.push_back("PID " + std::to_string(pid) + ": PES_packet_length " +
                       std::to_string(pes.declaredLength) + " but " + std::to_string(b.size() - 6) +
                       " bytes follow it");
  pes.payload.erase(pes.payload.begin(), pes.payload.begin() + static_cast<long>(headerLength));
  m_pes.push_back(std::move(pes));
}

bool PesReader::Read(const uint8_t* data, size_t size) {
  if (size % 188 != 0) m_errors.push_back("length is not a multiple of 188");
  std::map<int, bool> psiPids = {{0, true}};
  for (size_t index = 0; index * 188 + 188 <= size; ++index) {
    const uint8_t* p = data + index * 188;
    if (p[0] != 0x47) {
      m_errors.push_back("sync byte missing at packet " + std::to_string(index));
      return false;
    }
    const int pid = (p[1] & 0x1F) << 8 | p[2];
    const bool pusi = (p[1] & 0x40) != 0;
    const int afc = p[3] >> 4 & 3;
    size_t offset = 4;
    if (afc & 2) {
      if (p[4] > 0 && (p[5] & 0x10))
        m_pcrs.push_back({pid, index,
                          int64_t{p[6]} << 25 | int64_t{p[7]} << 17 | int64_t{p[8]} << 9 |
                              int64_t{p[9]} << 1 | p[10] >> 7});
      offset = 5u + p[4];
    }
    if (pid == 0) {
      m_patPackets.push_back(index);
      // PMT PIDs from the PAT's program loop.
      const uint8_t* s = p + 5 + p[4];
      const int sectionLength = (s[1] & 0x0F) << 8 | s[2];
      for (int i = 8; i + 4 <= 3 + sectionLength - 4; i += 4) psiPids[(s[i + 2] & 0x1F) << 8 | s[i + 3]] = true;
      continue;
    }
    // DVB SI (an SDT on 0x0011): a section of an SI table_id (0x40-0x7F) behind the pointer_field.
    if (pusi && pid >= 0x10 && pid <= 0x1F && offset + 1 < 188 && offset + 1 + p[offset] < 188 &&
        p[offset + 1 + p[offset]] >= 0x40 && p[offset + 1 + p[offset]] <= 0x7F)
      psiPids[pid] = true;
    if (psiPids.count(pid) != 0 || !(afc & 1) || offset >= 188) continue;
    if (pusi) {
      Finish(pid);
      PesPacket& pes = m_open[pid];
      pes.pid = pid;
      pes.firstPacket = index;
    }
    auto it = m_open.find(pid);
    if (it == m_open.end()) continue;  // continuation without a start
    it->second.payload.insert(it->second.payload.end(), p + offset, p + 188);
  }
  std::vector<int> pids;
  for (const auto& entry : m_open) pids.push_back(entry.first);
  for (int pid : pids) Finish(pid);
  return m_errors.empty();
}

}  // namespace palvex_test
