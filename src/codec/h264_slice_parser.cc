#include "codec/h264_slice_parser.h"

#include "codec/bit_reader.h"
#include "codec/vui.h"
#include "codec/h264_syntax.h"
#include "codec/picture_order_count.h"

namespace palvex {

namespace {

// profile_idc values whose SPS carries chroma_format_idc, the bit depths and the scaling
// matrix (7.3.2.1.1): every value from 100 on, and 44 (CAVLC 4:4:4 Intra).
bool HasChromaFormat(int32_t profileIdc) { return profileIdc >= 100 || profileIdc == 44; }

// scaling_list() of 7.3.2.1.1.1, read only to get past it: delta_scale codes until the list
// is full or nextScale reaches 0.
void SkipScalingList(BitReader& reader, int sizeOfScalingList) {
  uint32_t lastScale = 8;
  uint32_t nextScale = 8;
  for (int j = 0; j < sizeOfScalingList && nextScale != 0; ++j) {
    const int32_t deltaScale = reader.ReadSe();
    nextScale = (lastScale + uint32_t(deltaScale)) & 0xFF;  // (lastScale + delta_scale + 256) % 256
    if (nextScale != 0) lastScale = nextScale;
  }
}

// MaxDpbMbs of Table A-1 by level_idc; level 1b is level_idc 9, or 11 with
// constraint_set3_flag on Baseline, Main and Extended. 0 for a level the table lacks.
uint32_t MaxDpbMbs(int32_t levelIdc, int32_t constraints) {
  if (levelIdc == 11 && (constraints & 0x10) != 0) return 396;  // level 1b
  switch (levelIdc) {
    case 9: case 10: return 396;
    case 11: return 900;
    case 12: case 13: case 20: return 2376;
    case 21: return 4752;
    case 22: case 30: return 8100;
    case 31: return 18000;
    case 32: return 20480;
    case 40: case 41: return 32768;
    case 42: return 34816;
    case 50: return 110400;
    case 51: case 52: return 184320;
    case 60: case 61: case 62: return 696320;
    default: return 0;
  }
}

// MaxDpbFrames = Min(MaxDpbMbs / (PicWidthInMbs * FrameHeightInMbs), 16), A.3.1 h); 16 for
// a level the table does not know.
int32_t MaxDpbFrames(int32_t levelIdc, int32_t constraints, uint64_t frameMbs) {
  const uint32_t dpbMbs = MaxDpbMbs(levelIdc, constraints);
  if (dpbMbs == 0 || frameMbs == 0) return 16;
  const uint64_t frames = dpbMbs / frameMbs;
  return frames < 16 ? int32_t(frames) : 16;
}

// From chroma_format_idc to the scaling matrix; false for a chroma_format_idc out of range.
bool ReadChromaFormat(BitReader& reader, bool* separateColourPlane) {
  const uint32_t chromaFormatIdc = reader.ReadUe();  // chroma_format_idc
  if (chromaFormatIdc > 3) return false;
  if (chromaFormatIdc == 3) *separateColourPlane = reader.ReadBits(1) != 0;  // separate_colour_plane_flag
  reader.ReadUe();                                   // bit_depth_luma_minus8
  reader.ReadUe();                                   // bit_depth_chroma_minus8
  reader.SkipBits(1);                                // qpprime_y_zero_transform_bypass_flag
  if (reader.ReadBits(1) != 0) {                     // seq_scaling_matrix_present_flag
    const int lists = chromaFormatIdc != 3 ? 8 : 12;
    for (int i = 0; i < lists; ++i) {
      if (reader.ReadBits(1) != 0) {                 // seq_scaling_list_present_flag[i]
        SkipScalingList(reader, i < 6 ? 16 : 64);
      }
    }
  }
  return true;
}

// E.1.2 hrd_parameters(), read only to get past it.
void SkipHrdParameters(BitReader& reader) {
  const uint32_t cpbCnt = reader.ReadUe() + 1;  // cpb_cnt_minus1
  reader.SkipBits(8);                           // bit_rate_scale, cpb_size_scale
  for (uint32_t i = 0; i < cpbCnt && i < 32; ++i) {
    reader.ReadUe();                            // bit_rate_value_minus1
    reader.ReadUe();                            // cpb_size_value_minus1
    reader.SkipBits(1);                         // cbr_flag
  }
  reader.SkipBits(20);  // initial_cpb_removal_delay_length_minus1, cpb_removal_delay_length_minus1,
                        // dpb_output_delay_length_minus1, time_offset_length
}

}  // namespace

void H264SliceParser::FeedNal(const uint8_t* nal, int32_t length) {
  if (nal == nullptr || length < 1) return;
  const bool reference = (nal[0] & 0x60) != 0;  // nal_ref_idc
  const int nalUnitType = NalUnitType(nal[0]);  // nal_unit_type
  if (nalUnitType != kNalUnitTypeSps && nalUnitType != kNalUnitTypeSlice && nalUnitType != kNalUnitTypeIdrSlice) return;
  BitReader reader(nal + 1, length - 1);
  if (nalUnitType == kNalUnitTypeSps) {
    ReadSequenceParameterSet(reader);
  } else {
    ReadSliceHeader(reader, reference, nalUnitType == kNalUnitTypeIdrSlice);
  }
}

// 7.3.2.1.1 up to frame_mbs_only_flag. The fields take effect only when the SPS is whole and
// within the ranges of 7.4.2.1.1 that the slice header and the count depend on.
void H264SliceParser::ReadSequenceParameterSet(BitReader& reader) {
  SequenceFields sps;
  const int32_t profileIdc = reader.ReadBits(8);  // profile_idc
  const int32_t constraints = reader.ReadBits(8); // constraint_set0..5_flag, reserved_zero_2bits
  const int32_t levelIdc = reader.ReadBits(8);    // level_idc
  reader.ReadUe();                                // seq_parameter_set_id
  if (HasChromaFormat(profileIdc) && !ReadChromaFormat(reader, &sps.separateColourPlane)) return;
  const uint32_t log2MaxFrameNumMinus4 = reader.ReadUe();  // log2_max_frame_num_minus4
  if (log2MaxFrameNumMinus4 > 12) return;
  sps.frameNumBits = int32_t(log2MaxFrameNumMinus4) + 4;
  const uint32_t pocType = reader.ReadUe();  // pic_order_cnt_type
  if (pocType > 2) return;
  sps.pocType = int32_t(pocType);
  if (pocType == 0) {
    const uint32_t log2MaxPocLsbMinus4 = reader.ReadUe();  // log2_max_pic_order_cnt_lsb_minus4
    if (log2MaxPocLsbMinus4 > 12) return;
    sps.pocLsbBits = int32_t(log2MaxPocLsbMinus4) + 4;
  } else if (pocType == 1) {
    sps.deltaPicOrderAlwaysZero = reader.ReadBits(1) != 0;  // delta_pic_order_always_zero_flag
    sps.offsetForNonRefPic = reader.ReadSe();               // offset_for_non_ref_pic
    sps.offsetForTopToBottomField = reader.ReadSe();        // offset_for_top_to_bottom_field
    const uint32_t cycle = reader.ReadUe();                 // num_ref_frames_in_pic_order_cnt_cycle
    if (cycle > sps.refFrameOffsetSum.size()) return;
    sps.numRefFramesInPicOrderCntCycle = int32_t(cycle);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < cycle; ++i) {
      sum += uint32_t(reader.ReadSe());                     // offset_for_ref_frame[i]
      sps.refFrameOffsetSum[i] = sum;
    }
  }
  reader.ReadUe();                              // max_num_ref_frames
  reader.SkipBits(1);                           // gaps_in_frame_num_value_allowed_flag
  const uint32_t widthInMbs = reader.ReadUe() + 1;         // pic_width_in_mbs_minus1
  const uint32_t heightInMapUnits = reader.ReadUe() + 1;   // pic_height_in_map_units_minus1
  sps.frameMbsOnly = reader.ReadBits(1) != 0;   // frame_mbs_only_flag
  if (reader.Failed()) return;

  m_sps = sps;
  // MaxPicOrderCntLsb; the previous values are left as they are.
  m_poc.maxPocLsb = sps.pocType == 0 ? int32_t{1} << sps.pocLsbBits : 0;

  SequenceTiming timing;
  timing.profileIdc = profileIdc;
  timing.pocType = sps.pocType;
  const uint64_t frameMbs = uint64_t(widthInMbs) * heightInMapUnits * (sps.frameMbsOnly ? 1 : 2);
  timing.maxDpbFrames = MaxDpbFrames(levelIdc, constraints, frameMbs);
  // A.2.8-A.2.11: constraint_set3_flag on these profiles means an intra-only stream, whose
  // max_num_reorder_frames is inferred as 0 (E.2.1).
  timing.intraOnly = (constraints & 0x10) != 0 &&
                     (profileIdc == 44 || profileIdc == 86 || profileIdc == 100 || profileIdc == 110 ||
                      profileIdc == 122 || profileIdc == 244);
  ReadSequenceTail(reader, sps.frameMbsOnly, &timing);
  m_timing = timing;
}

void H264SliceParser::ReadSequenceTail(BitReader& reader, bool frameMbsOnly, SequenceTiming* timing) {
  if (!frameMbsOnly) reader.SkipBits(1);        // mb_adaptive_frame_field_flag
  reader.SkipBits(1);                           // direct_8x8_inference_flag
  if (reader.ReadBits(1) != 0) {                // frame_cropping_flag
    for (int i = 0; i < 4; ++i) reader.ReadUe();  // frame_crop_{left,right,top,bottom}_offset
  }
  if (reader.ReadBits(1) == 0) return;          // vui_parameters_present_flag
  // E.1.1 vui_parameters()
  SkipVuiHead(reader);
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
  if (reader.ReadBits(1) != 0) {                // timing_info_present_flag
    numUnitsInTick = reader.ReadBits32();       // num_units_in_tick
    timeScale = reader.ReadBits32();            // time_scale
    reader.SkipBits(1);                         // fixed_frame_rate_flag
  }
  const bool nalHrd = reader.ReadBits(1) != 0;  // nal_hrd_parameters_present_flag
  if (nalHrd) SkipHrdParameters(reader);
  const bool vclHrd = reader.ReadBits(1) != 0;  // vcl_hrd_parameters_present_flag
  if (vclHrd) SkipHrdParameters(reader);
  if (nalHrd || vclHrd) reader.SkipBits(1);     // low_delay_hrd_flag
  reader.SkipBits(1);                           // pic_struct_present_flag
  int32_t maxNumReorderFrames = -1;
  if (reader.ReadBits(1) != 0) {                // bitstream_restriction_flag
    reader.SkipBits(1);                         // motion_vectors_over_pic_boundaries_flag
    for (int i = 0; i < 4; ++i) reader.ReadUe();  // max_bytes_per_pic_denom, max_bits_per_mb_denom,
                                                  // log2_max_mv_length_horizontal, _vertical
    const uint32_t reorder = reader.ReadUe();   // max_num_reorder_frames
    if (reorder <= 16) maxNumReorderFrames = int32_t(reorder);
  }
  if (reader.Failed()) return;
  timing->numUnitsInTick = numUnitsInTick;
  timing->timeScale = timeScale;
  timing->maxNumReorderFrames = maxNumReorderFrames;
}

// 7.3.3 up to the picture order count fields. Before any SPS the widths are 0 and frame_num
// and pic_order_cnt_lsb read as -1.
void H264SliceParser::ReadSliceHeader(BitReader& reader, bool reference, bool idr) {
  SliceFields slice;
  reader.ReadUe();                                         // first_mb_in_slice
  reader.ReadUe();                                         // slice_type
  reader.ReadUe();                                         // pic_parameter_set_id
  if (m_sps.separateColourPlane) reader.SkipBits(2);       // colour_plane_id
  slice.frameNum = reader.ReadBits(m_sps.frameNumBits);    // frame_num
  if (!m_sps.frameMbsOnly) {
    slice.fieldPic = reader.ReadBits(1) != 0;              // field_pic_flag
    if (slice.fieldPic) slice.bottomField = reader.ReadBits(1) != 0;  // bottom_field_flag
  }
  if (idr) reader.ReadUe();                                // idr_pic_id
  if (m_sps.pocType == 0) {
    slice.pocLsb = reader.ReadBits(m_sps.pocLsbBits);      // pic_order_cnt_lsb
  } else if (m_sps.pocType == 1 && !m_sps.deltaPicOrderAlwaysZero) {
    slice.deltaPicOrderCnt0 = reader.ReadSe();             // delta_pic_order_cnt[0]
  }
  if (reader.Failed()) return;

  if (m_sps.pocType == 0) {
    FollowType0(slice, reference, idr);
  } else {
    FollowFrameNum(slice, reference, idr);
  }
}

void H264SliceParser::FollowType0(const SliceFields& slice, bool reference, bool idr) {
  m_poc.pocLsb = slice.pocLsb;
  m_poc.pocMsb = Type0PicOrderCntMsb();
  if (reference) {
    m_poc.prevPocLsb = m_poc.pocLsb;
    m_poc.prevPocMsb = m_poc.pocMsb;
  }
  if (idr) {
    // 8.2.1.1: an IDR picture has PicOrderCntMsb 0 and the count pic_order_cnt_lsb; the
    // pictures after it count on from that lsb.
    m_poc.pocMsb = 0;
    m_poc.prevPocLsb = m_poc.pocLsb;
    m_poc.prevPocMsb = 0;
  }
  m_lastSliceType0 = true;
}

// 8.2.1.2 (type 1) and 8.2.1.3 (type 2). Sums are taken modulo 2^32, as the count itself is.
void H264SliceParser::FollowFrameNum(const SliceFields& slice, bool reference, bool idr) {
  // FrameNumOffset: 0 at an IDR, one MaxFrameNum more each time frame_num wraps.
  int64_t frameNumOffset = 0;
  if (!idr) {
    frameNumOffset = m_prevFrameNumOffset;
    if (m_prevFrameNum > slice.frameNum) frameNumOffset += int64_t{1} << m_sps.frameNumBits;
  }
  m_prevFrameNum = slice.frameNum;
  m_prevFrameNumOffset = frameNumOffset;

  uint32_t count = 0;
  if (m_sps.pocType == 2) {
    // tempPicOrderCnt: 2 * (FrameNumOffset + frame_num), one less on non-reference pictures.
    if (!idr) {
      count = 2 * (uint32_t(frameNumOffset) + uint32_t(slice.frameNum)) - (reference ? 0 : 1);
    }
  } else {
    const int64_t cycle = m_sps.numRefFramesInPicOrderCntCycle;
    int64_t absFrameNum = cycle != 0 ? frameNumOffset + slice.frameNum : 0;
    if (!reference && absFrameNum > 0) --absFrameNum;
    uint32_t expectedPicOrderCnt = 0;
    if (absFrameNum > 0) {
      const int64_t picOrderCntCycleCnt = (absFrameNum - 1) / cycle;
      const int64_t frameNumInPicOrderCntCycle = (absFrameNum - 1) % cycle;
      const uint32_t expectedDeltaPerPicOrderCntCycle = m_sps.refFrameOffsetSum[size_t(cycle - 1)];
      expectedPicOrderCnt = uint32_t(picOrderCntCycleCnt) * expectedDeltaPerPicOrderCntCycle +
                            m_sps.refFrameOffsetSum[size_t(frameNumInPicOrderCntCycle)];
    }
    if (!reference) expectedPicOrderCnt += uint32_t(m_sps.offsetForNonRefPic);
    // TopFieldOrderCnt of a frame or top field; BottomFieldOrderCnt of a bottom field.
    count = expectedPicOrderCnt + uint32_t(slice.deltaPicOrderCnt0);
    if (slice.bottomField) count += uint32_t(m_sps.offsetForTopToBottomField);
  }
  m_frameNumOrderCnt = int32_t(count);
  m_lastSliceType0 = false;
}

// 8.2.1.1, PicOrderCntMsb from the current lsb and the previous reference picture's values.
int32_t H264SliceParser::Type0PicOrderCntMsb() const {
  return PicOrderCntMsb(m_poc.pocLsb, m_poc.prevPocLsb, m_poc.prevPocMsb, m_poc.maxPocLsb);
}

int32_t H264SliceParser::GetPictureOrderCount() {
  if (!m_lastSliceType0) return m_frameNumOrderCnt;
  m_poc.pocMsb = Type0PicOrderCntMsb();
  return WrappingAdd(m_poc.pocMsb, m_poc.pocLsb);
}

}  // namespace palvex
