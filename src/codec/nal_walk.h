// Walk over the NAL units of one H.264 or HEVC access unit in Annex B form, from its first
// start code: feeds every unit to the stream's header reader and, on H.264, notes sequence
// parameter sets and IDR slices. It can be advanced piece by piece, so that each piece is
// scanned right after the packetizer has copied it into its packets.
#ifndef PALVEX_CODEC_NAL_WALK_H_
#define PALVEX_CODEC_NAL_WALK_H_

#include <cstddef>
#include <cstdint>

namespace palvex {

class H264SliceParser;
class HEVCHeaderReader;

// What a finished walk found in an H.264 access unit.
struct NalWalkResult {
  // An IDR slice (nal_unit_type 5), wherever it stands in the access unit: also as its
  // first NAL unit, when the parameter sets were sent once.
  bool idrSlice = false;
  // A seq_parameter_set_rbsp long enough to hold profile_idc.
  bool sawSps = false;
  // profile_idc of the last such SPS (the byte after the NAL unit header).
  uint8_t profileIdc = 0;
};

class NalWalk {
 public:
  // bytes/count: the whole access unit; startCode: its first start code (as FindStartCode
  // reported it). Enters the first unit at once.
  NalWalk(H264SliceParser& parser, const uint8_t* bytes, size_t count, const uint8_t* startCode);
  // HEVC: starts the reader's access unit.
  NalWalk(HEVCHeaderReader& reader, const uint8_t* bytes, size_t count, const uint8_t* startCode);
  NalWalk(const NalWalk&) = delete;
  NalWalk& operator=(const NalWalk&) = delete;

  // Handles every start code that ends before limit.
  void Advance(const uint8_t* limit);
  // Moves on to p over bytes known to end no start code (no 0x01 behind two zeros).
  void SkipTo(const uint8_t* p) {
    if (p > m_next) m_next = p < m_end ? p : m_end;
  }
  // Handles the rest, feeds the last unit and returns what the walk found (nothing on HEVC).
  NalWalkResult Finish();

 private:
  void Enter(const uint8_t* startCode);
  void Feed(const uint8_t* nal, const uint8_t* end);
  H264SliceParser* m_h264 = nullptr;  // one of the two readers
  HEVCHeaderReader* m_hevc = nullptr;
  const uint8_t* m_end;
  const uint8_t* m_nal = nullptr;   // header byte of the current unit
  const uint8_t* m_next = nullptr;  // where a 0x01 closing the next start code may stand
  NalWalkResult m_found;
};

}  // namespace palvex

#endif  // PALVEX_CODEC_NAL_WALK_H_
