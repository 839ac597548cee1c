// What a muxer remembers of every PID for its whole life, across Stop/Start and Close/Open,
// so that its output stays one valid stream when the host restarts it or replaces its media
// description: the continuity_counter each PID goes on from, and for the PIDs that carry a
// PAT or a PMT the last section sent and its version_number.
#ifndef PALVEX_PACKER_PID_RECORD_H_
#define PALVEX_PACKER_PID_RECORD_H_

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "ts/psi_section.h"

namespace palvex {

class PidRecord {
 public:
  static constexpr int kPids = 0x2000;

  // continuity_counter of the next packet on pid: 0 for a PID never used.
  uint8_t NextCounter(uint16_t pid) const { return m_counters[pid & (kPids - 1)]; }
  void SetNextCounter(uint16_t pid, uint8_t counter) { m_counters[pid & (kPids - 1)] = counter & 0x0F; }
  // The counter itself, for a table that counts in place (the PAT).
  uint8_t* Counter(uint16_t pid) { return &m_counters[pid & (kPids - 1)]; }

  // Room for the last section of pid, made at program setup so that sending a table never
  // allocates. False when memory ran out.
  bool ReserveSection(uint16_t pid) {
    if (Find(pid) != nullptr) return true;
    try {
      m_sections.push_back(Section{});
    } catch (const std::bad_alloc&) {
      return false;
    }
    m_sections.back().pid = pid;
    return true;
  }

  // The version_number of the section about to go out on pid, whose header fields and
  // body (bodyLength bytes) are given: the version of the last section sent on pid when
  // their contents are the same, that version + 1 (mod 32) when they differ; the first on a
  // PID, or on a PID without room reserved, keeps the header's own. The section is
  // remembered as the last one sent on pid.
  uint8_t TakeVersion(uint16_t pid, const LongSectionHeader& header, const uint8_t* body,
                      int32_t bodyLength) {
    const uint8_t own = uint8_t(header.version & 0x1F);
    Section* last = Find(pid);
    if (last == nullptr || bodyLength < 0 || bodyLength > kMaxSectionBody) return own;
    uint8_t version = own;
    if (last->sent) {
      version = SameContent(*last, header, body, bodyLength) ? last->version
                                                             : uint8_t((last->version + 1) & 0x1F);
    }
    last->sent = true;
    last->version = version;
    last->header = header;
    last->bodyLength = bodyLength;
    std::memcpy(last->body, body, size_t(bodyLength));
    return version;
  }

 private:
  struct Section {
    uint16_t pid = 0;
    bool sent = false;
    uint8_t version = 0;
    LongSectionHeader header = {};
    int32_t bodyLength = 0;
    uint8_t body[kMaxSectionBody] = {};
  };

  Section* Find(uint16_t pid) {
    for (Section& section : m_sections) {
      if (section.pid == pid) return &section;
    }
    return nullptr;
  }

  // Equal but for version_number (and so CRC_32).
  static bool SameContent(const Section& last, const LongSectionHeader& header,
                          const uint8_t* body, int32_t bodyLength) {
    return last.header.tableId == header.tableId &&
           last.header.tableIdExtension == header.tableIdExtension &&
           (last.header.currentNext & 1) == (header.currentNext & 1) &&
           last.bodyLength == bodyLength && std::memcmp(last.body, body, size_t(bodyLength)) == 0;
  }

  uint8_t m_counters[kPids] = {};
  std::vector<Section> m_sections;
};

}  // namespace palvex

#endif  // PALVEX_PACKER_PID_RECORD_H_
