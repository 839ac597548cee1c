#include "codec/hevc_header_reader.h"

#include "codec/bit_reader.h"
#include "codec/picture_order_count.h"
#include "codec/vui.h"

namespace palvex {

namespace {

constexpr int kMaxSubLayersMinus1 = 6;
constexpr uint32_t kMaxShortTermRefPicSets = 64;
// NumNegativePics + NumPositivePics of one st_ref_pic_set: at most sps_max_dec_pic_buffering_minus1,
// which is below MaxDpbSize (16).
constexpr int kMaxDeltaPocs = 16;
constexpr uint32_t kMaxDeltaPocMinus1 = 32767;  // delta_poc_s0/s1_minus1, abs_delta_rps_minus1

// 7.3.3 profile_tier_level(1, maxNumSubLayersMinus1). general_intra_constraint_flag counts
// on the format range extensions profiles (general_profile_idc 4 and up, or their
// compatibility flags), where the 43 constraint bits are defined; elsewhere they are reserved.
void SkipProfileTierLevel(BitReader& reader, int32_t maxSubLayersMinus1, bool* intraOnly) {
  reader.SkipBits(3);                                     // general_profile_space, general_tier_flag
  const int32_t profileIdc = reader.ReadBits(5);          // general_profile_idc
  const uint32_t compatibility = reader.ReadBits32();     // general_profile_compatibility_flag[32]
  reader.SkipBits(4);  // general_progressive_source_flag .. general_frame_only_constraint_flag
  // general_max_12bit .. general_max_monochrome_constraint_flag, general_intra_constraint_flag,
  // general_one_picture_only_constraint_flag, general_lower_bit_rate_constraint_flag
  const int32_t constraints = reader.ReadBits(9);
  reader.SkipBits(35);  // the other constraint bits, general_inbld_flag
  reader.SkipBits(8);   // general_level_idc
  const bool extensionProfile = profileIdc >= 4 || (compatibility & 0x0FF00000u) != 0;  // flags 4..11
  *intraOnly = extensionProfile && (constraints >> 2 & 1) != 0;
  bool profilePresent[kMaxSubLayersMinus1] = {};
  bool levelPresent[kMaxSubLayersMinus1] = {};
  for (int32_t i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = reader.ReadBits(1) != 0;          // sub_layer_profile_present_flag[i]
    levelPresent[i] = reader.ReadBits(1) != 0;            // sub_layer_level_present_flag[i]
  }
  if (maxSubLayersMinus1 > 0) reader.SkipBits(2 * (8 - maxSubLayersMinus1));  // reserved_zero_2bits
  for (int32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) reader.SkipBits(88);           // sub_layer_profile_space .. sub_layer_inbld_flag
    if (levelPresent[i]) reader.SkipBits(8);              // sub_layer_level_idc
  }
}

// The sub-layer ordering info of a VPS or SPS; *reorder takes max_num_reorder_pics of the
// highest sub-layer (HighestTid), which is always sent. False for a value out of range.
bool ReadSubLayerOrdering(BitReader& reader, int32_t maxSubLayersMinus1, int32_t* reorder) {
  const bool everySubLayer = reader.ReadBits(1) != 0;     // *_sub_layer_ordering_info_present_flag
  for (int32_t i = everySubLayer ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
    const uint32_t decPicBufferingMinus1 = reader.ReadUe();  // *_max_dec_pic_buffering_minus1[i]
    const uint32_t numReorderPics = reader.ReadUe();         // *_max_num_reorder_pics[i]
    reader.ReadUe();                                         // *_max_latency_increase_plus1[i]
    if (decPicBufferingMinus1 >= uint32_t(kMaxDeltaPocs) || numReorderPics > decPicBufferingMinus1) return false;
    if (i == maxSubLayersMinus1) *reorder = int32_t(numReorderPics);
  }
  return true;
}

// 7.3.4 scaling_list_data(), read only to get past it.
void SkipScalingListData(BitReader& reader) {
  for (int sizeId = 0; sizeId < 4; ++sizeId) {
    for (int matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
      if (reader.ReadBits(1) == 0) {                      // scaling_list_pred_mode_flag
        reader.ReadUe();                                  // scaling_list_pred_matrix_id_delta
        continue;
      }
      const int coefNum = sizeId == 0 ? 16 : 64;
      if (sizeId > 1) reader.ReadSe();                    // scaling_list_dc_coef_minus8
      for (int i = 0; i < coefNum; ++i) reader.ReadSe();  // scaling_list_delta_coef
    }
  }
}

// One st_ref_pic_set of an SPS: DeltaPocS0 in delta[0 .. negative), DeltaPocS1 behind it.
struct ShortTermRefPicSet {
  int negative = 0;  // NumNegativePics
  int positive = 0;  // NumPositivePics
  int32_t delta[kMaxDeltaPocs] = {};
};

// 7.4.8 (7-61, 7-62): a set predicted from the set before it (in an SPS, RefRpsIdx is
// stRpsIdx - 1). False when it would hold more pictures than a DPB.
bool PredictRefPicSet(BitReader& reader, const ShortTermRefPicSet& ref, ShortTermRefPicSet* set) {
  const bool negativeSign = reader.ReadBits(1) != 0;      // delta_rps_sign
  const uint32_t absDeltaRpsMinus1 = reader.ReadUe();     // abs_delta_rps_minus1
  if (absDeltaRpsMinus1 > kMaxDeltaPocMinus1) return false;
  const int32_t deltaRps = (negativeSign ? -1 : 1) * int32_t(absDeltaRpsMinus1 + 1);
  const int refCount = ref.negative + ref.positive;       // NumDeltaPocs[RefRpsIdx]
  bool useDelta[kMaxDeltaPocs + 1] = {};
  for (int j = 0; j <= refCount; ++j) {
    const bool used = reader.ReadBits(1) != 0;            // used_by_curr_pic_flag[j]
    useDelta[j] = used || reader.ReadBits(1) != 0;        // use_delta_flag[j], 1 when absent
  }
  const int32_t* s0 = ref.delta;
  const int32_t* s1 = ref.delta + ref.negative;
  int32_t negative[kMaxDeltaPocs + 1];
  int32_t positive[kMaxDeltaPocs + 1];
  int n0 = 0;
  int n1 = 0;
  for (int j = ref.positive - 1; j >= 0; --j) {
    if (s1[j] + deltaRps < 0 && useDelta[ref.negative + j]) negative[n0++] = s1[j] + deltaRps;
  }
  if (deltaRps < 0 && useDelta[refCount]) negative[n0++] = deltaRps;
  for (int j = 0; j < ref.negative; ++j) {
    if (s0[j] + deltaRps < 0 && useDelta[j]) negative[n0++] = s0[j] + deltaRps;
  }
  for (int j = ref.negative - 1; j >= 0; --j) {
    if (s0[j] + deltaRps > 0 && useDelta[j]) positive[n1++] = s0[j] + deltaRps;
  }
  if (deltaRps > 0 && useDelta[refCount]) positive[n1++] = deltaRps;
  for (int j = 0; j < ref.positive; ++j) {
    if (s1[j] + deltaRps > 0 && useDelta[ref.negative + j]) positive[n1++] = s1[j] + deltaRps;
  }
  if (n0 + n1 > kMaxDeltaPocs) return false;
  set->negative = n0;
  set->positive = n1;
  for (int i = 0; i < n0; ++i) set->delta[i] = negative[i];
  for (int i = 0; i < n1; ++i) set->delta[n0 + i] = positive[i];
  return true;
}

// 7.3.7 st_ref_pic_set(stRpsIdx) for every set of an SPS, read to get past them; the
// delta POCs are followed because a predicted set's length depends on their signs.
bool SkipShortTermRefPicSets(BitReader& reader, uint32_t count) {
  ShortTermRefPicSet sets[kMaxShortTermRefPicSets];
  for (uint32_t idx = 0; idx < count; ++idx) {
    ShortTermRefPicSet& set = sets[idx];
    if (idx != 0 && reader.ReadBits(1) != 0) {            // inter_ref_pic_set_prediction_flag
      if (!PredictRefPicSet(reader, sets[idx - 1], &set)) return false;
    } else {
      const uint32_t negative = reader.ReadUe();          // num_negative_pics
      const uint32_t positive = reader.ReadUe();          // num_positive_pics
      if (negative > uint32_t(kMaxDeltaPocs) || positive > uint32_t(kMaxDeltaPocs) - negative) return false;
      set.negative = int(negative);
      set.positive = int(positive);
      int32_t poc = 0;
      for (int i = 0; i < set.negative + set.positive; ++i) {
        if (i == set.negative) poc = 0;
        const uint32_t deltaMinus1 = reader.ReadUe();     // delta_poc_s0_minus1[i] / delta_poc_s1_minus1[i]
        if (deltaMinus1 > kMaxDeltaPocMinus1) return false;
        poc += (i < set.negative ? -1 : 1) * int32_t(deltaMinus1 + 1);
        set.delta[i] = poc;
        reader.SkipBits(1);                               // used_by_curr_pic_s0_flag / _s1_flag
      }
    }
    if (reader.Failed()) return false;
  }
  return true;
}

// E.2.2 hrd_parameters(commonInfPresentFlag, maxNumSubLayersMinus1), read to get past it.
bool SkipHrdParameters(BitReader& reader, bool commonInfPresent, int32_t maxSubLayersMinus1) {
  bool nalHrd = false;
  bool vclHrd = false;
  bool subPicHrd = false;
  if (commonInfPresent) {
    nalHrd = reader.ReadBits(1) != 0;                     // nal_hrd_parameters_present_flag
    vclHrd = reader.ReadBits(1) != 0;                     // vcl_hrd_parameters_present_flag
    if (nalHrd || vclHrd) {
      subPicHrd = reader.ReadBits(1) != 0;                // sub_pic_hrd_params_present_flag
      if (subPicHrd) reader.SkipBits(19);  // tick_divisor_minus2 .. dpb_output_delay_du_length_minus1
      reader.SkipBits(8);                                 // bit_rate_scale, cpb_size_scale
      if (subPicHrd) reader.SkipBits(4);                  // cpb_size_du_scale
      reader.SkipBits(15);  // initial_cpb_removal_delay_length_minus1 .. dpb_output_delay_length_minus1
    }
  }
  for (int32_t i = 0; i <= maxSubLayersMinus1; ++i) {
    bool fixedWithinCvs = true;
    if (reader.ReadBits(1) == 0) {                        // fixed_pic_rate_general_flag[i]
      fixedWithinCvs = reader.ReadBits(1) != 0;           // fixed_pic_rate_within_cvs_flag[i]
    }
    bool lowDelay = false;
    if (fixedWithinCvs) {
      reader.ReadUe();                                    // elemental_duration_in_tc_minus1[i]
    } else {
      lowDelay = reader.ReadBits(1) != 0;                 // low_delay_hrd_flag[i]
    }
    uint32_t cpbCnt = 1;
    if (!lowDelay) {
      const uint32_t cpbCntMinus1 = reader.ReadUe();      // cpb_cnt_minus1[i]
      if (cpbCntMinus1 > 31) return false;
      cpbCnt = cpbCntMinus1 + 1;
    }
    const int tables = (nalHrd ? 1 : 0) + (vclHrd ? 1 : 0);
    for (int table = 0; table < tables; ++table) {        // sub_layer_hrd_parameters(i)
      for (uint32_t k = 0; k < cpbCnt; ++k) {
        reader.ReadUe();                                  // bit_rate_value_minus1[k]
        reader.ReadUe();                                  // cpb_size_value_minus1[k]
        if (subPicHrd) {
          reader.ReadUe();                                // cpb_size_du_value_minus1[k]
          reader.ReadUe();                                // bit_rate_du_value_minus1[k]
        }
        reader.SkipBits(1);                               // cbr_flag[k]
      }
    }
    if (reader.Failed()) return false;
  }
  return true;
}

// E.2.1 vui_parameters(): field_seq_flag and the timing. False when it does not read whole.
bool ReadVui(BitReader& reader, int32_t maxSubLayersMinus1, HEVCSequenceTiming* timing) {
  SkipVuiHead(reader);
  reader.SkipBits(1);                                     // neutral_chroma_indication_flag
  const bool fieldSeq = reader.ReadBits(1) != 0;          // field_seq_flag
  reader.SkipBits(1);                                     // frame_field_info_present_flag
  if (reader.ReadBits(1) != 0) {                          // default_display_window_flag
    for (int i = 0; i < 4; ++i) reader.ReadUe();          // def_disp_win_{left,right,top,bottom}_offset
  }
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
  if (reader.ReadBits(1) != 0) {                          // vui_timing_info_present_flag
    numUnitsInTick = reader.ReadBits32();                 // vui_num_units_in_tick
    timeScale = reader.ReadBits32();                      // vui_time_scale
    if (reader.ReadBits(1) != 0) reader.ReadUe();         // vui_poc_proportional_to_timing_flag,
                                                          // vui_num_ticks_poc_diff_one_minus1
    if (reader.ReadBits(1) != 0 &&                        // vui_hrd_parameters_present_flag
        !SkipHrdParameters(reader, true, maxSubLayersMinus1)) {
      return false;
    }
  }
  if (reader.ReadBits(1) != 0) {                          // bitstream_restriction_flag
    reader.SkipBits(3);  // tiles_fixed_structure_flag, motion_vectors_over_pic_boundaries_flag,
                         // restricted_ref_pic_lists_flag
    for (int i = 0; i < 5; ++i) reader.ReadUe();  // min_spatial_segmentation_idc .. log2_max_mv_length_vertical
  }
  if (reader.Failed()) return false;
  timing->fieldSeq = fieldSeq;
  timing->numUnitsInTick = numUnitsInTick;
  timing->timeScale = timeScale;
  return true;
}

// 7.3.2.2.1 from log2_min_luma_coding_block_size_minus3 to the VUI. False when it does not
// read whole; timing takes the VUI's fields only then.
bool ReadSequenceTail(BitReader& reader, int32_t maxSubLayersMinus1, int32_t pocLsbBits,
                      HEVCSequenceTiming* timing) {
  for (int i = 0; i < 6; ++i) reader.ReadUe();  // coding and transform block sizes, hierarchy depths
  if (reader.ReadBits(1) != 0 &&                          // scaling_list_enabled_flag
      reader.ReadBits(1) != 0) {                          // sps_scaling_list_data_present_flag
    SkipScalingListData(reader);
  }
  reader.SkipBits(2);  // amp_enabled_flag, sample_adaptive_offset_enabled_flag
  if (reader.ReadBits(1) != 0) {                          // pcm_enabled_flag
    reader.SkipBits(8);  // pcm_sample_bit_depth_luma_minus1, pcm_sample_bit_depth_chroma_minus1
    reader.ReadUe();     // log2_min_pcm_luma_coding_block_size_minus3
    reader.ReadUe();     // log2_diff_max_min_pcm_luma_coding_block_size
    reader.SkipBits(1);  // pcm_loop_filter_disabled_flag
  }
  const uint32_t shortTermSets = reader.ReadUe();         // num_short_term_ref_pic_sets
  if (shortTermSets > kMaxShortTermRefPicSets || !SkipShortTermRefPicSets(reader, shortTermSets)) return false;
  if (reader.ReadBits(1) != 0) {                          // long_term_ref_pics_present_flag
    const uint32_t longTermPics = reader.ReadUe();        // num_long_term_ref_pics_sps
    if (longTermPics > 32) return false;
    // lt_ref_pic_poc_lsb_sps[i] u(v), used_by_curr_pic_lt_sps_flag[i]
    reader.SkipBits(int32_t(longTermPics) * (pocLsbBits + 1));
  }
  reader.SkipBits(2);  // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
  if (reader.ReadBits(1) == 0) return !reader.Failed();   // vui_parameters_present_flag
  return ReadVui(reader, maxSubLayersMinus1, timing);
}

}  // namespace

void HEVCHeaderReader::FeedNal(const uint8_t* nal, int32_t length) {
  if (nal == nullptr || length < 2) return;
  // 7.3.1.2 nal_unit_header(): forbidden_zero_bit, nal_unit_type, nuh_layer_id,
  // nuh_temporal_id_plus1 (0 is not allowed).
  const int type = HEVCNalUnitType(nal);
  const int layerId = (nal[0] & 1) << 5 | nal[1] >> 3;
  const int temporalIdPlus1 = nal[1] & 7;
  if ((nal[0] & 0x80) != 0 || layerId != 0 || temporalIdPlus1 == 0) return;
  if (type == kHEVCNalEndOfSequence || type == kHEVCNalEndOfBitstream) {
    m_awaitingIrap = true;
    return;
  }
  const bool slice = type <= kHEVCNalRaslR || (type >= kHEVCNalBlaWLp && type <= kHEVCNalCra);
  if (!slice && type != kHEVCNalVps && type != kHEVCNalSps && type != kHEVCNalPps) return;
  BitReader reader(nal + 2, length - 2);
  if (slice) {
    ReadSliceSegmentHeader(reader, type, temporalIdPlus1 - 1);
  } else if (type == kHEVCNalVps) {
    ReadVideoParameterSet(reader);
  } else if (type == kHEVCNalSps) {
    ReadSequenceParameterSet(reader);
  } else {
    ReadPictureParameterSet(reader);
  }
}

// 7.3.2.1 up to the timing info.
void HEVCHeaderReader::ReadVideoParameterSet(BitReader& reader) {
  const int32_t id = reader.ReadBits(4);                  // vps_video_parameter_set_id
  reader.SkipBits(8);  // vps_base_layer_internal_flag, vps_base_layer_available_flag, vps_max_layers_minus1
  const int32_t maxSubLayersMinus1 = reader.ReadBits(3);  // vps_max_sub_layers_minus1
  if (maxSubLayersMinus1 > kMaxSubLayersMinus1) return;
  reader.SkipBits(17);  // vps_temporal_id_nesting_flag, vps_reserved_0xffff_16bits
  bool intraOnly = false;
  SkipProfileTierLevel(reader, maxSubLayersMinus1, &intraOnly);
  int32_t reorder = 0;
  if (!ReadSubLayerOrdering(reader, maxSubLayersMinus1, &reorder)) return;
  const int32_t maxLayerId = reader.ReadBits(6);          // vps_max_layer_id
  const uint32_t layerSetsMinus1 = reader.ReadUe();       // vps_num_layer_sets_minus1
  if (layerSetsMinus1 > 1023) return;
  reader.SkipBits(int32_t(layerSetsMinus1) * (maxLayerId + 1));  // layer_id_included_flag[i][j]
  VideoParameters vps;
  vps.valid = true;
  if (reader.ReadBits(1) != 0) {                          // vps_timing_info_present_flag
    vps.numUnitsInTick = reader.ReadBits32();             // vps_num_units_in_tick
    vps.timeScale = reader.ReadBits32();                  // vps_time_scale
  }
  if (reader.Failed()) return;
  m_vps[size_t(id)] = vps;
}

// 7.3.2.2.1. The fields the slice headers and the count need take effect when read whole
// up to the sub-layer ordering info; the VUI timing when the rest up to it reads too.
void HEVCHeaderReader::ReadSequenceParameterSet(BitReader& reader) {
  SequenceParameters sps;
  sps.valid = true;
  sps.vpsId = uint8_t(reader.ReadBits(4));                // sps_video_parameter_set_id
  const int32_t maxSubLayersMinus1 = reader.ReadBits(3);  // sps_max_sub_layers_minus1
  if (maxSubLayersMinus1 > kMaxSubLayersMinus1) return;
  reader.SkipBits(1);                                     // sps_temporal_id_nesting_flag
  SkipProfileTierLevel(reader, maxSubLayersMinus1, &sps.timing.intraOnly);
  const uint32_t id = reader.ReadUe();                    // sps_seq_parameter_set_id
  const uint32_t chromaFormatIdc = reader.ReadUe();       // chroma_format_idc
  if (id >= m_sps.size() || chromaFormatIdc > 3) return;
  if (chromaFormatIdc == 3) sps.separateColourPlane = reader.ReadBits(1) != 0;  // separate_colour_plane_flag
  reader.ReadUe();                                        // pic_width_in_luma_samples
  reader.ReadUe();                                        // pic_height_in_luma_samples
  if (reader.ReadBits(1) != 0) {                          // conformance_window_flag
    for (int i = 0; i < 4; ++i) reader.ReadUe();          // conf_win_{left,right,top,bottom}_offset
  }
  const uint32_t bitDepthLumaMinus8 = reader.ReadUe();    // bit_depth_luma_minus8
  const uint32_t bitDepthChromaMinus8 = reader.ReadUe();  // bit_depth_chroma_minus8
  const uint32_t log2MaxPocLsbMinus4 = reader.ReadUe();   // log2_max_pic_order_cnt_lsb_minus4
  if (bitDepthLumaMinus8 > 8 || bitDepthChromaMinus8 > 8 || log2MaxPocLsbMinus4 > 12) return;
  sps.pocLsbBits = uint8_t(log2MaxPocLsbMinus4 + 4);
  if (!ReadSubLayerOrdering(reader, maxSubLayersMinus1, &sps.timing.maxNumReorderPics)) return;
  if (reader.Failed()) return;
  HEVCSequenceTiming withVui = sps.timing;
  if (ReadSequenceTail(reader, maxSubLayersMinus1, sps.pocLsbBits, &withVui)) sps.timing = withVui;
  m_sps[id] = sps;
}

// 7.3.2.3.1 up to num_extra_slice_header_bits.
void HEVCHeaderReader::ReadPictureParameterSet(BitReader& reader) {
  PictureParameters pps;
  pps.valid = true;
  const uint32_t id = reader.ReadUe();                    // pps_pic_parameter_set_id
  const uint32_t spsId = reader.ReadUe();                 // pps_seq_parameter_set_id
  if (id >= m_pps.size() || spsId >= m_sps.size()) return;
  pps.spsId = uint8_t(spsId);
  // dependent_slice_segments_enabled_flag: dependent_slice_segment_flag stands only in a
  // picture's later segments, which never decide.
  reader.SkipBits(1);
  pps.outputFlagPresent = reader.ReadBits(1) != 0;        // output_flag_present_flag
  pps.numExtraSliceHeaderBits = uint8_t(reader.ReadBits(3));  // num_extra_slice_header_bits
  if (reader.Failed()) return;
  m_pps[id] = pps;
}

// 7.3.6.1 up to slice_pic_order_cnt_lsb, of the access unit's first slice segment, and the
// picture order count of 8.3.1.
void HEVCHeaderReader::ReadSliceSegmentHeader(BitReader& reader, int nalUnitType, int temporalId) {
  if (m_pictureSeen) return;
  // first_slice_segment_in_pic_flag: a later segment (dependent or not) belongs to the
  // picture its first segment has placed.
  if (reader.ReadBits(1) == 0) return;
  m_pictureSeen = true;
  const bool irap = nalUnitType >= kHEVCNalBlaWLp && nalUnitType <= kHEVCNalIrapLast;
  if (irap) reader.SkipBits(1);                           // no_output_of_prior_pics_flag
  const uint32_t ppsId = reader.ReadUe();                 // slice_pic_parameter_set_id
  if (ppsId >= m_pps.size() || !m_pps[ppsId].valid) return;
  const PictureParameters& pps = m_pps[ppsId];
  const SequenceParameters& sps = m_sps[pps.spsId];
  if (!sps.valid) return;
  // The first segment of a picture is never a dependent one and has no slice_segment_address.
  reader.SkipBits(pps.numExtraSliceHeaderBits);           // slice_reserved_flag[i]
  if (reader.ReadUe() > 2) return;                        // slice_type
  if (pps.outputFlagPresent) reader.SkipBits(1);          // pic_output_flag
  if (sps.separateColourPlane) reader.SkipBits(2);        // colour_plane_id
  const bool idr = nalUnitType == kHEVCNalIdrWRadl || nalUnitType == kHEVCNalIdrNLp;
  const int32_t lsb = idr ? 0 : reader.ReadBits(sps.pocLsbBits);  // slice_pic_order_cnt_lsb
  if (reader.Failed()) return;

  const bool noRaslOutput = irap && (nalUnitType != kHEVCNalCra || m_awaitingIrap);
  const int32_t msb = noRaslOutput ? 0
                                   : PicOrderCntMsb(lsb, m_prevTid0PocLsb, m_prevTid0PocMsb,
                                                    int32_t{1} << sps.pocLsbBits);
  const bool leading = nalUnitType >= 6 && nalUnitType <= kHEVCNalRaslR;  // RADL, RASL
  const bool subLayerNonReference = nalUnitType < kHEVCNalBlaWLp && nalUnitType % 2 == 0;
  if (temporalId == 0 && !leading && !subLayerNonReference) {
    m_prevTid0PocLsb = lsb;
    m_prevTid0PocMsb = msb;
  }
  if (irap) m_awaitingIrap = false;
  m_picture.present = true;
  m_picture.poc = WrappingAdd(msb, lsb);
  m_picture.irap = irap;
  m_picture.noRaslOutput = noRaslOutput;
  m_timing = sps.timing;
  const VideoParameters& vps = m_vps[sps.vpsId];
  if ((m_timing.numUnitsInTick == 0 || m_timing.timeScale == 0) && vps.valid) {
    m_timing.numUnitsInTick = vps.numUnitsInTick;
    m_timing.timeScale = vps.timeScale;
  }
}

}  // namespace palvex
