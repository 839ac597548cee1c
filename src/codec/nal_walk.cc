#include "codec/nal_walk.h"

#include "codec/h264_slice_parser.h"
#include "codec/h264_syntax.h"
#include "codec/start_code.h"

namespace palvex {

// Each NAL unit runs from its header byte up to the next start code (a four-byte code's
// zero_byte is not part of the unit).
NalWalk::NalWalk(H264SliceParser& parser, const uint8_t* bytes, size_t count,
                 const uint8_t* startCode)
    : m_parser(parser), m_end(bytes + count) {
  Enter(startCode);
}

void NalWalk::Enter(const uint8_t* startCode) {
  m_nal = startCode + StartCodeLength(startCode);
  m_next = m_end - m_nal > 2 ? m_nal + 2 : m_end;
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
    m_parser.FeedNal(m_nal, int32_t(code - m_nal));
    Enter(code);
  }
}

NalWalkResult NalWalk::Finish() {
  Advance(m_end);
  m_parser.FeedNal(m_nal, int32_t(m_end - m_nal));
  return m_found;
}

}  // namespace palvex
