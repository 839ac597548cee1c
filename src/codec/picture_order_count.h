// The picture order count arithmetic that H.264 (8.2.1.1, pic_order_cnt_type 0) and HEVC
// (8.3.1) share: PicOrderCntMsb from the lsb of a picture and the previous picture's values.
#ifndef PALVEX_CODEC_PICTURE_ORDER_COUNT_H_
#define PALVEX_CODEC_PICTURE_ORDER_COUNT_H_

#include <cstdint>

namespace palvex {

// Two's-complement sum: picture order counts keep growing on streams without IDR pictures,
// and the count is only ever compared over short distances.
constexpr int32_t WrappingAdd(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }

// PicOrderCntMsb from the current lsb and the previous picture's lsb and msb (H.264: the
// previous reference picture; HEVC: prevTid0Pic), maxLsb being MaxPicOrderCntLsb. A step of
// exactly half backwards wraps forward, a step of exactly half forwards does not.
constexpr int32_t PicOrderCntMsb(int32_t lsb, int32_t prevLsb, int32_t prevMsb, int32_t maxLsb) {
  const int32_t half = maxLsb / 2;
  if (lsb < prevLsb && prevLsb - lsb >= half) return WrappingAdd(prevMsb, maxLsb);
  if (lsb > prevLsb && lsb - prevLsb > half) return WrappingAdd(prevMsb, -maxLsb);
  return prevMsb;
}

}  // namespace palvex

#endif  // PALVEX_CODEC_PICTURE_ORDER_COUNT_H_
