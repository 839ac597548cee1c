#include "support/ts_checker.h"

#include <cstdio>

namespace palvex_test {

uint32_t Crc32Mpeg2(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= uint32_t{data[i]} << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

void TsChecker::Error(const std::string& what) {
  char where[48];
  std::snprintf(where, sizeof where, "packet %zu: ", m_packets);
  m_errors.push_back(where + what);
}

void TsChecker::Feed(const uint8_t* data, size_t size) {
  if (size % 188 != 0) Error("output length " + std::to_string(size) + " is not a multiple of 188");
  for (size_t off = 0; off + 188 <= size; off += 188, ++m_packets) {
    const uint8_t* p = data + off;
    if (p[0] != 0x47) {
      Error("sync byte missing");
      continue;
    }
    const int pid = (p[1] & 0x1F) << 8 | p[2];
    const int afc = (p[3] >> 4) & 3;
    const int cc = p[3] & 0x0F;
    const bool pusi = (p[1] & 0x40) != 0;
    if (afc == 0) Error("adaptation_field_control 00");
    // A null packet's continuity_counter is undefined; a packet without payload keeps the
    // PID's last one.
    auto it = m_lastCC.find(pid);
    if ((afc & 1) && pid != 0x1FFF) {
      if (it != m_lastCC.end() && ((it->second + 1) & 0x0F) != cc)
        Error("continuity error on PID " + std::to_string(pid));
      m_lastCC[pid] = cc;
    } else if (afc == 2 && it != m_lastCC.end() && it->second != cc) {
      Error("continuity_counter moved without payload on PID " + std::to_string(pid));
    }
    size_t payload = 4;
    if (afc & 2) {
      const int afl = p[4];
      if (afl > 183) {
        Error("adaptation_field_length above 183");
        continue;
      }
      if (m_keepPcrs && afl > 0 && (p[5] & 0x10)) {
        const int64_t base = int64_t{p[6]} << 25 | int64_t{p[7]} << 17 | int64_t{p[8]} << 9 |
                             int64_t{p[9]} << 1 | p[10] >> 7;
        m_pcrBases[pid].push_back(base);
      }
      payload = 5 + afl;
    }
    auto longSection = m_longSections.find(pid);
    if (longSection != m_longSections.end()) {
      // A section that went on past its first packet must end, whole and with its CRC, before
      // the PID's next section starts.
      if (pusi) {
        Error("section cut short or CRC wrong on PID " + std::to_string(pid));
        m_longSections.erase(longSection);
      } else if (longSection->second.Push(p)) {
        m_longSections.erase(longSection);
      }
    }
    if ((pid == 0 || (pusi && payload < 188 && p[payload] == 0 && payload + 1 < 188 &&
                      (p[payload + 1] == 0x02 || p[payload + 1] == 0x42))) &&
        pusi) {
      // PSI: pointer_field then one section whose CRC residue must be 0.
      const size_t s = payload + 1 + p[payload];
      if (s + 3 <= 188) {
        const size_t len = 3 + ((p[s + 1] & 0x0F) << 8 | p[s + 2]);
        if (s + len > 188)
          m_longSections[pid].Push(p);
        else if (Crc32Mpeg2(p + s, len) != 0)
          Error("section CRC residue not 0 on PID " + std::to_string(pid));
      }
    }
  }
}

}  // namespace palvex_test
