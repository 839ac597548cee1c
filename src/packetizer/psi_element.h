// Everything that writes itself as PSI bytes: the PAT writer, a program's PMT writer and
// a stream's entry in the PMT's elementary-stream loop.
#ifndef PALVEX_PACKETIZER_PSI_ELEMENT_H_
#define PALVEX_PACKETIZER_PSI_ELEMENT_H_

#include <cstdint>

namespace palvex {

class PSIElement {
 public:
  // Writes the element's bytes at p and returns their count; with p null, writes
  // nothing and returns the count it would write. The caller provides the room.
  virtual int32_t WritePSI(uint8_t* p) = 0;
  virtual ~PSIElement() = default;
};

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_PSI_ELEMENT_H_
