#include "codec/nal_walk.h"

#include "codec/h264_slice_parser.h"
#include "codec/h264_syntax.h"
#include "codec/hevc_header_reader.h"
#include "codec/start_code.h"

namespace palvex {

// Each NAL unit runs from its header byte up to the next start code (a four-byte code's
// zero_byte is not part of the unit).
NalWalk::NalWalk(H264SliceParser& parser, const uint8_t* bytes, size_t count,
                 const uint8_t* startCode)
    : m_h264(&parser), m_end(bytes + count) {
  Enter(startCode);
}

NalWalk::NalWalk(HEVCHeaderReader& reader, const uint8_t* bytes, size_t count,
                 const uint8_t* startCode)
    : m_hevc(&reader), m_end(bytes + count) {
  reader.BeginAccessUnit();
  Enter(startCode);
}

void NalWalk::Enter(const uint8_t* startCode) {
  m_nal = startCode + StartCodeLength(startCode);
  m_next = m_end - m_nal > 2 ? m_nal + 2 : m_end;
  if (m_h264 == nullptr) return;
  if (m_end - m_nal >= 1 && NalUnitType(m_nal[0]) == kNalUnitTypeIdrSlice) m_found.idrSlice = true;
  if (m_end - m_nal >= 2 && NalUnitType(m_nal[0]) == kNalUnitTypeSps) {
    m_found.sawSps = true;
    m_found.profileIdc = m_nal[1];  // profile_idc
  }
}

void NalWalk::Advance(const uint8_t* limit) {
  if (limit > m_end) limit = m_end;
  while (m_next < limit) {
    const uint8_t* code = FindStartCodeFrom(m_nal, m_next, limit);
    if (code == nullptr) {
      m_next = limit;
      return;
    }
    Feed(m_nal, code);
    Enter(code);
  }
}

NalWalkResult NalWalk::Finish() {
  Advance(m_end);
  Feed(m_nal, m_end);
  return m_found;
}

void NalWalk::Feed(const uint8_t* nal, const uint8_t* end) {
  if (m_h264 != nullptr) {
    m_h264->FeedNal(nal, int32_t(end - nal));
  } else {
    m_hevc->FeedNal(nal, int32_t(end - nal));
  }
}

}  // namespace palvex
