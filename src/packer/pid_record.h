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

#include "ts/crc32.h"

namespace palvex {

class PidRecord {
 public:
  static constexpr int kPids = 0x2000;
  // A section travels alone in one packet, behind the TS header and pointer_field.
  static constexpr int32_t kMaxSection = 183;

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

  // The section just written at s (length bytes, version_number in byte 5, CRC_32 last):
  // it goes out with the version of the last section sent on pid when their contents are
  // the same, with that version + 1 (mod 32) when they differ; the first on a PID, or on a
  // PID without room reserved, keeps its own. version_number and CRC_32 are rewritten when
  // the version changes. Returns the version the section carries.
  uint8_t StampVersion(uint16_t pid, uint8_t* s, int32_t length) {
    const uint8_t own = uint8_t(s[5] >> 1 & 0x1F);
    Section* last = Find(pid);
    if (last == nullptr || length < 12 || length > kMaxSection) return own;
    uint8_t version = own;
    if (last->length != 0) {
      version = SameContent(*last, s, length) ? last->version : uint8_t((last->version + 1) & 0x1F);
    }
    if (version != own) {
      s[5] = uint8_t((s[5] & 0xC1) | version << 1);  // version_number
      PutSectionCrc32(s, size_t(length) - 4);
    }
    last->version = version;
    last->length = length;
    std::memcpy(last->bytes, s, size_t(length));
    return version;
  }

 private:
  struct Section {
    uint16_t pid = 0;
    uint8_t version = 0;
    int32_t length = 0;  // 0 until one was sent
    uint8_t bytes[kMaxSection] = {};
  };

  Section* Find(uint16_t pid) {
    for (Section& section : m_sections) {
      if (section.pid == pid) return &section;
    }
    return nullptr;
  }

  // Equal but for version_number and CRC_32.
  static bool SameContent(const Section& last, const uint8_t* s, int32_t length) {
    if (last.length != length) return false;
    return std::memcmp(last.bytes, s, 5) == 0 && (last.bytes[5] & 0xC1) == (s[5] & 0xC1) &&
           std::memcmp(last.bytes + 6, s + 6, size_t(length) - 10) == 0;
  }

  uint8_t m_counters[kPids] = {};
  std::vector<Section> m_sections;
};

}  // namespace palvex

#endif  // PALVEX_PACKER_PID_RECORD_H_
