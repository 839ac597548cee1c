#include "stream/h264_slice_parser.h"

namespace palvex {

void H264SliceParser::FeedNal(const uint8_t*, int32_t) {}

int32_t H264SliceParser::GetPictureOrderCount() { return m_poc.pocMsb + m_poc.pocLsb; }

}  // namespace palvex
