// A table carried as one long section: the PAT and each program's PMT. The table gives its
// header fields and writes the body behind them; the long header, section_length and the
// CRC_32 are written once, by PutLongSection, around the finished body.
#ifndef PALVEX_PACKER_PSI_TABLE_H_
#define PALVEX_PACKER_PSI_TABLE_H_

#include <cstdint>

#include "packetizer/psi_element.h"
#include "ts/psi_section.h"

namespace palvex {

class PSITable : public PSIElement {
 public:
  // The whole section with the table's own version_number (or its length for null).
  int32_t WritePSI(uint8_t* p) final {
    if (p == nullptr) return kLongSectionHeaderSize + WriteSectionBody(nullptr) + kSectionCRCSize;
    return PutLongSection(p, SectionHeader(), WriteSectionBody(p + kLongSectionHeaderSize));
  }

  // table_id, its extension, the table's own version_number and current_next_indicator.
  virtual LongSectionHeader SectionHeader() const = 0;
  // The bytes between last_section_number and CRC_32 at p (or their count for null).
  virtual int32_t WriteSectionBody(uint8_t* p) = 0;
};

}  // namespace palvex

#endif  // PALVEX_PACKER_PSI_TABLE_H_
