// Result codes of the packetizers and the packer; they never reach the host. Each way a
// frame or a call can fail has one name on every level: the packetizer returns
// kFrameRefused and kNoFreePacket itself, and the packer passes them on.
#ifndef PALVEX_PACKETIZER_RESULT_CODES_H_
#define PALVEX_PACKETIZER_RESULT_CODES_H_

#include <cstdint>

namespace palvex {

enum PackerResult : int32_t {
  kPackerOk = 0,
  // The format builds no program (nothing of it carried, its PIDs or its tables full);
  // the programs built before are kept.
  kProgramNotBuilt = 8,
  kNoSuchProgram = 9,
  // The frame goes nowhere and nothing of it is written: no stream has its stream id, its
  // size is negative or its bytes are missing, it is too long for the 13-bit ADTS
  // frame_length, or shorter than its stream's 8-byte time trailer.
  kFrameRefused = 10,
  // The packet buffer ran out; the packets already written stay.
  kNoFreePacket = 11,
  // Memory ran out while a program was built: nothing of it stays.
  kNoMemory = 12,
};

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_RESULT_CODES_H_
