// Test-only writer of H.264 bitstreams: u(n), ue(v), se(v), emulation prevention, SPS and
// slice-header NAL units built field by field, and their Annex B framing.
#ifndef PALVEX_TESTS_SUPPORT_H264_BIT_WRITER_H_
#define PALVEX_TESTS_SUPPORT_H264_BIT_WRITER_H_

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace palvex_test {

class H264BitWriter {
 public:
  // u(n), n up to 64.
  H264BitWriter& Bits(uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) Bit(int(value >> i & 1));
    return *this;
  }
  H264BitWriter& Flag(bool value) { return Bit(value ? 1 : 0); }

  // ue(v) for codeNum up to 2^32 - 2 (and beyond, to write over-long codes).
  H264BitWriter& Ue(uint64_t codeNum) {
    const uint64_t code = codeNum + 1;
    int bits = 0;
    while (code >> bits > 1) ++bits;
    Bits(0, bits);
    return Bits(code, bits + 1);
  }

  H264BitWriter& Se(int64_t value) {
    return Ue(value > 0 ? uint64_t(2 * value - 1) : uint64_t(-2 * value));
  }

  // rbsp_trailing_bits(): a one, then zeros to the byte boundary.
  H264BitWriter& Trailing() {
    Bit(1);
    while (m_bitCount % 8 != 0) Bit(0);
    return *this;
  }

  int BitCount() const { return m_bitCount; }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  H264BitWriter& Bit(int bit) {
    if (m_bitCount % 8 == 0) m_bytes.push_back(0);
    if (bit != 0) m_bytes.back() = uint8_t(m_bytes.back() | 0x80 >> (m_bitCount % 8));
    ++m_bitCount;
    return *this;
  }

  std::vector<uint8_t> m_bytes;
  int m_bitCount = 0;
};

// 7.4.1: within a NAL unit, 0x000000..0x000003 become 0x00000300..0x00000303, and an RBSP
// ending in a zero byte gets a final 0x03.
inline std::vector<uint8_t> Escape(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  int zeros = 0;
  for (uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      out.push_back(0x03);
      zeros = 0;
    }
    out.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  if (!out.empty() && out.back() == 0) out.push_back(0x03);
  return out;
}

inline std::vector<uint8_t> MakeNal(uint8_t header, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> nal{header};
  const std::vector<uint8_t> escaped = Escape(rbsp);
  nal.insert(nal.end(), escaped.begin(), escaped.end());
  return nal;
}

struct SpsFields {
  int profileIdc = 100;
  int levelIdc = 30;
  int spsId = 0;
  int chromaFormatIdc = 1;
  bool separateColourPlane = false;
  // Scaling lists written when present: each list as its delta_scale values (a list ends
  // early when its values bring nextScale to 0).
  bool scalingMatrix = false;
  std::vector<std::vector<int>> scalingLists;  // empty entry: seq_scaling_list_present_flag 0
  int log2MaxFrameNumMinus4 = 0;
  int pocType = 0;
  int log2MaxPocLsbMinus4 = 0;
  bool deltaPicOrderAlwaysZero = false;
  int offsetForNonRefPic = 0;
  int offsetForTopToBottomField = 0;
  std::vector<int> offsetForRefFrame;
  int maxNumRefFrames = 4;
  int widthMbsMinus1 = 19;
  int heightMapUnitsMinus1 = 14;
  bool frameMbsOnly = true;
  int constraintFlags = 0;  // constraint_set0..5_flag byte
  // vui_parameters(), written when vui is set: aspect ratio (Extended_SAR), an NAL HRD with
  // two CPBs, timing_info when timeScale is not 0, bitstream_restriction when
  // maxNumReorderFrames is 0 or more.
  bool vui = false;
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
  int maxNumReorderFrames = -1;
};

// SPS RBSP: the fields up to frame_mbs_only_flag, then direct_8x8_inference_flag,
// frame_cropping_flag, vui_parameters_present_flag and the trailing bits.
inline std::vector<uint8_t> SpsRbsp(const SpsFields& s) {
  H264BitWriter w;
  w.Bits(uint64_t(s.profileIdc), 8).Bits(uint64_t(s.constraintFlags), 8).Bits(uint64_t(s.levelIdc), 8);
  w.Ue(uint64_t(s.spsId));
  if (s.profileIdc >= 100 || s.profileIdc == 44) {
    w.Ue(uint64_t(s.chromaFormatIdc));
    if (s.chromaFormatIdc == 3) w.Flag(s.separateColourPlane);
    w.Ue(0).Ue(0).Flag(false).Flag(s.scalingMatrix);
    if (s.scalingMatrix) {
      const size_t lists = s.chromaFormatIdc != 3 ? 8 : 12;
      for (size_t i = 0; i < lists; ++i) {
        const bool present = i < s.scalingLists.size() && !s.scalingLists[i].empty();
        w.Flag(present);
        if (present) {
          for (int delta : s.scalingLists[i]) w.Se(delta);
        }
      }
    }
  }
  w.Ue(uint64_t(s.log2MaxFrameNumMinus4)).Ue(uint64_t(s.pocType));
  if (s.pocType == 0) {
    w.Ue(uint64_t(s.log2MaxPocLsbMinus4));
  } else if (s.pocType == 1) {
    w.Flag(s.deltaPicOrderAlwaysZero).Se(s.offsetForNonRefPic).Se(s.offsetForTopToBottomField);
    w.Ue(s.offsetForRefFrame.size());
    for (int offset : s.offsetForRefFrame) w.Se(offset);
  }
  w.Ue(uint64_t(s.maxNumRefFrames)).Flag(false).Ue(uint64_t(s.widthMbsMinus1)).Ue(uint64_t(s.heightMapUnitsMinus1));
  w.Flag(s.frameMbsOnly);
  if (!s.frameMbsOnly) w.Flag(false);  // mb_adaptive_frame_field_flag
  w.Flag(true).Flag(false).Flag(s.vui);
  if (s.vui) {
    w.Flag(true).Bits(255, 8).Bits(4, 16).Bits(3, 16);  // aspect_ratio_info: Extended_SAR 4:3
    w.Flag(false).Flag(true).Bits(5, 3).Flag(false).Flag(true).Bits(0x010101, 24);  // video_signal_type
    w.Flag(true).Ue(1).Ue(1);                           // chroma_loc_info
    w.Flag(s.timeScale != 0);
    if (s.timeScale != 0) w.Bits(s.numUnitsInTick, 32).Bits(s.timeScale, 32).Flag(true);
    w.Flag(true).Ue(1).Bits(4, 4).Bits(6, 4);           // nal_hrd_parameters: two CPBs
    for (int i = 0; i < 2; ++i) w.Ue(1000).Ue(2000).Flag(i == 1);
    w.Bits(23, 5).Bits(23, 5).Bits(23, 5).Bits(24, 5);
    w.Flag(false).Flag(false).Flag(false);              // vcl_hrd, low_delay_hrd, pic_struct_present
    w.Flag(s.maxNumReorderFrames >= 0);
    if (s.maxNumReorderFrames >= 0) w.Flag(true).Ue(2).Ue(1).Ue(16).Ue(16).Ue(uint64_t(s.maxNumReorderFrames)).Ue(4);
  }
  w.Trailing();
  return w.Bytes();
}

inline std::vector<uint8_t> MakeSps(const SpsFields& s) { return MakeNal(0x67, SpsRbsp(s)); }

struct SliceFields {
  int nalRefIdc = 2;
  bool idr = false;
  int firstMbInSlice = 0;
  int sliceType = 5;
  int ppsId = 0;
  int colourPlaneId = 0;
  int frameNum = 0;
  bool fieldPic = false;
  bool bottomField = false;
  int idrPicId = 0;
  int pocLsb = 0;
  int deltaPicOrderCntBottom = 0;  // written when bottomFieldPicOrderInFramePresent
  int deltaPicOrderCnt0 = 0;
  int deltaPicOrderCnt1 = 0;       // written when bottomFieldPicOrderInFramePresent
  bool bottomFieldPicOrderInFramePresent = false;  // the PPS flag
};

// Slice header RBSP up to the picture order count fields, followed by a few bytes of what
// would be the rest of the header and the slice data.
inline std::vector<uint8_t> SliceRbsp(const SpsFields& sps, const SliceFields& s) {
  H264BitWriter w;
  w.Ue(uint64_t(s.firstMbInSlice)).Ue(uint64_t(s.sliceType)).Ue(uint64_t(s.ppsId));
  if (sps.separateColourPlane) w.Bits(uint64_t(s.colourPlaneId), 2);
  w.Bits(uint64_t(s.frameNum), sps.log2MaxFrameNumMinus4 + 4);
  if (!sps.frameMbsOnly) {
    w.Flag(s.fieldPic);
    if (s.fieldPic) w.Flag(s.bottomField);
  }
  if (s.idr) w.Ue(uint64_t(s.idrPicId));
  if (sps.pocType == 0) {
    w.Bits(uint64_t(s.pocLsb), sps.log2MaxPocLsbMinus4 + 4);
    if (s.bottomFieldPicOrderInFramePresent && !s.fieldPic) w.Se(s.deltaPicOrderCntBottom);
  }
  if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
    w.Se(s.deltaPicOrderCnt0);
    if (s.bottomFieldPicOrderInFramePresent && !s.fieldPic) w.Se(s.deltaPicOrderCnt1);
  }
  w.Ue(0).Se(3).Bits(0xA5C3, 16).Trailing();  // slice_qp_delta etc., stand-in slice data
  return w.Bytes();
}

inline std::vector<uint8_t> MakeSlice(const SpsFields& sps, const SliceFields& s) {
  const uint8_t header = uint8_t((s.nalRefIdc & 3) << 5 | (s.idr ? 5 : 1));
  return MakeNal(header, SliceRbsp(sps, s));
}

// SPS with frame_num and pic_order_cnt_lsb 4 + extra bits wide (POC type 0), level 31,
// two reference frames, 320x240, no VUI.
inline std::vector<uint8_t> MakeSps(int profileIdc, int pocLsbBits = 4) {
  SpsFields sps;
  sps.profileIdc = profileIdc;
  sps.levelIdc = 31;
  sps.log2MaxPocLsbMinus4 = pocLsbBits - 4;
  sps.maxNumRefFrames = 2;
  return MakeSps(sps);
}

inline std::vector<uint8_t> MakePps() { return {0x68, 0xCE, 0x3C, 0x80}; }

// Slice of type 5 (IDR) or 1 under MakeSps(profileIdc, pocLsbBits): I or P, frame_num 0,
// pic_order_cnt_lsb, then a few bytes standing for the rest of the slice.
inline std::vector<uint8_t> MakeSlice(int type, int refIdc, uint32_t pocLsb, int pocLsbBits = 4) {
  SpsFields sps;
  sps.log2MaxPocLsbMinus4 = pocLsbBits - 4;
  SliceFields slice;
  slice.nalRefIdc = refIdc;
  slice.idr = type == 5;
  slice.sliceType = type == 5 ? 7 : 5;
  slice.pocLsb = int(pocLsb);
  return MakeSlice(sps, slice);
}

// Annex B: each NAL unit behind a start code of startCodeLength (3 or 4) bytes.
inline std::vector<uint8_t> AnnexB(std::initializer_list<std::vector<uint8_t>> nals,
                                   int startCodeLength = 4) {
  std::vector<uint8_t> out;
  for (const auto& nal : nals) {
    if (startCodeLength == 4) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_H264_BIT_WRITER_H_
