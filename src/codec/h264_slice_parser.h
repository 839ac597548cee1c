// Reader of H.264 sequence parameter sets and slice headers, as far as needed to follow
// the picture order count from one frame to the next.
#ifndef PALVEX_CODEC_H264_SLICE_PARSER_H_
#define PALVEX_CODEC_H264_SLICE_PARSER_H_

#include <array>
#include <cstdint>

namespace palvex {

class BitReader;

// pic_order_cnt_type 0 state (8.2.1.1).
struct PocState {
  int32_t pocLsb = 0;       // pic_order_cnt_lsb of the last slice read
  int32_t pocMsb = 0;       // PicOrderCntMsb worked out for it
  int32_t maxPocLsb = 0;    // MaxPicOrderCntLsb; 0 until an SPS is read
  int32_t prevPocLsb = 0;   // prevPicOrderCntLsb of the last reference picture
  int32_t prevPocMsb = 0;   // prevPicOrderCntMsb of the last reference picture
};

// What the last whole SPS says about presentation timing: the VUI's timing_info and
// bitstream_restriction, and what the DPB size of its level allows (Annex A).
struct SequenceTiming {
  int32_t profileIdc = 0;           // profile_idc
  int32_t pocType = 0;              // pic_order_cnt_type
  uint32_t numUnitsInTick = 0;      // timing_info: 0 when absent
  uint32_t timeScale = 0;
  int32_t maxNumReorderFrames = -1; // bitstream_restriction: -1 when absent
  int32_t maxDpbFrames = 16;        // MaxDpbFrames of A.3.1 h) for the level and picture size
  bool intraOnly = false;           // a profile whose constraint_set3_flag means intra only
};

// Follows the picture order count of the slices fed to it, for pic_order_cnt_type 0, 1 and 2.
// The count is that of the picture the last slice belongs to: the field's own count for a
// field, TopFieldOrderCnt for a frame. The last SPS read applies to every slice (one SPS per
// stream); memory_management_control_operation 5 is not followed.
class H264SliceParser {
 public:
  // nal points at the NAL header byte (the byte after the start code); length counts the
  // bytes of the NAL unit, header included. Reads never pass nal + length. An SPS or a slice
  // header that ends before its last field read, or holds an Exp-Golomb code of 32 or more
  // leading zeros, changes nothing; so does an SPS whose chroma_format_idc,
  // log2_max_frame_num_minus4, pic_order_cnt_type, log2_max_pic_order_cnt_lsb_minus4 or
  // num_ref_frames_in_pic_order_cnt_cycle lies outside its range in 7.4.2.1.1.
  void FeedNal(const uint8_t* nal, int32_t length);

  // Picture order count of the last slice fed.
  int32_t GetPictureOrderCount();

  // Timing fields of the last SPS read whole; the VUI fields are kept only when the VUI
  // was read whole too.
  const SequenceTiming& sequenceTiming() const { return m_timing; }

 private:
  // The fields of the last SPS that the slice headers and the count depend on.
  struct SequenceFields {
    int32_t frameNumBits = 0;  // log2_max_frame_num_minus4 + 4; 0 until an SPS is read
    int32_t pocLsbBits = 0;    // log2_max_pic_order_cnt_lsb_minus4 + 4; 0 until an SPS is read
    bool frameMbsOnly = true;  // frame_mbs_only_flag
    bool separateColourPlane = false;       // separate_colour_plane_flag
    int32_t pocType = 0;                    // pic_order_cnt_type
    bool deltaPicOrderAlwaysZero = false;   // delta_pic_order_always_zero_flag
    int32_t offsetForNonRefPic = 0;         // offset_for_non_ref_pic
    int32_t offsetForTopToBottomField = 0;  // offset_for_top_to_bottom_field
    int32_t numRefFramesInPicOrderCntCycle = 0;
    // offset_for_ref_frame[0] + ... + offset_for_ref_frame[i], modulo 2^32; the last one is
    // ExpectedDeltaPerPicOrderCntCycle.
    std::array<uint32_t, 255> refFrameOffsetSum{};
  };

  struct SliceFields {
    int32_t frameNum = 0;
    bool fieldPic = false;
    bool bottomField = false;
    int32_t pocLsb = 0;
    int32_t deltaPicOrderCnt0 = 0;
  };

  void ReadSequenceParameterSet(BitReader& reader);
  // From mb_adaptive_frame_field_flag to the end of vui_parameters(); timing's VUI fields
  // change only when everything up to max_num_reorder_frames was read.
  static void ReadSequenceTail(BitReader& reader, bool frameMbsOnly, SequenceTiming* timing);
  void ReadSliceHeader(BitReader& reader, bool reference, bool idr);
  void FollowType0(const SliceFields& slice, bool reference, bool idr);
  void FollowFrameNum(const SliceFields& slice, bool reference, bool idr);
  int32_t Type0PicOrderCntMsb() const;

  SequenceFields m_sps;
  SequenceTiming m_timing;
  PocState m_poc;
  // pic_order_cnt_type 1 and 2 (8.2.1.2, 8.2.1.3).
  int32_t m_prevFrameNum = 0;         // frame_num of the previous picture
  int64_t m_prevFrameNumOffset = 0;   // FrameNumOffset of the previous picture
  int32_t m_frameNumOrderCnt = 0;     // count of the last slice read under type 1 or 2
  bool m_lastSliceType0 = true;       // the last slice read was counted by the type-0 rule
};

}  // namespace palvex

#endif  // PALVEX_CODEC_H264_SLICE_PARSER_H_
