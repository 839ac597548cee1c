// Result codes of the packetizers and the packer; they never reach the host. The stream
// layer returns kNoFreePacket itself when the packet buffer runs out, and the packer
// passes it on, so the code has one name on both levels.
#ifndef PALVEX_PACKETIZER_RESULT_CODES_H_
#define PALVEX_PACKETIZER_RESULT_CODES_H_

#include <cstdint>

namespace palvex {

enum PackerResult : int32_t {
  kPackerOk = 0,
  kProgramNotBuilt = 8,
  kNoSuchProgram = 9,
  // No routing slot, or no stream behind it, for the frame's stream id; also a frame whose
  // size is negative or whose bytes are missing.
  kNoStream = 10,
  // An audio frame too long for the 13-bit ADTS frame_length, or without bytes, refused
  // before an ADTS header is put in front. The same value as kNoStream.
  kADTSFrameRefused = 10,
  // The packet buffer ran out; the packets already written stay.
  kNoFreePacket = 11,
};

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_RESULT_CODES_H_
