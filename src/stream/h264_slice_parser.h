// Reader of H.264 sequence parameter sets and slice headers, as far as needed to follow
// the picture order count from one frame to the next.
#ifndef PALVEX_STREAM_H264_SLICE_PARSER_H_
#define PALVEX_STREAM_H264_SLICE_PARSER_H_

#include <cstdint>

namespace palvex {

struct PocState {
  int32_t pocLsb = 0;       // pic_order_cnt_lsb of the last slice read
  int32_t pocMsb = 0;       // PicOrderCntMsb worked out for it
  int32_t maxPocLsb = 0;    // MaxPicOrderCntLsb; 0 until an SPS is read
  int32_t prevPocLsb = 0;   // prevPicOrderCntLsb of the last reference picture
  int32_t prevPocMsb = 0;   // prevPicOrderCntMsb of the last reference picture
};

class H264SliceParser {
 public:
  // nal points at the NAL header byte (the byte after the start code); length counts the
  // bytes of the NAL unit, header included. Reads never pass nal + length.
  void FeedNal(const uint8_t* nal, int32_t length);

  // Picture order count of the last slice fed.
  int32_t GetPictureOrderCount();

 private:
  int32_t frameNumBits = 0;
  int32_t pocLsbBits = 0;
  bool frameMbsOnly = true;
  PocState m_poc;
};

}  // namespace palvex

#endif  // PALVEX_STREAM_H264_SLICE_PARSER_H_
