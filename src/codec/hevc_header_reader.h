// Reader of HEVC (ITU-T H.265) parameter sets and slice segment headers, as far as needed to
// follow the picture order count of each access unit and the timing of its sequence.
#ifndef PALVEX_CODEC_HEVC_HEADER_READER_H_
#define PALVEX_CODEC_HEVC_HEADER_READER_H_

#include <array>
#include <cstdint>

namespace palvex {

class BitReader;

// nal_unit_type (Table 7-1).
constexpr int kHEVCNalRaslR = 9;       // RASL_N 8, RASL_R 9; RADL_N 6, RADL_R 7
constexpr int kHEVCNalBlaWLp = 16;     // IRAP pictures: BLA 16..18, IDR 19..20, CRA 21,
constexpr int kHEVCNalIdrWRadl = 19;   // reserved IRAP 22..23
constexpr int kHEVCNalIdrNLp = 20;
constexpr int kHEVCNalCra = 21;
constexpr int kHEVCNalIrapLast = 23;
constexpr int kHEVCNalVps = 32;
constexpr int kHEVCNalSps = 33;
constexpr int kHEVCNalPps = 34;
constexpr int kHEVCNalEndOfSequence = 36;
constexpr int kHEVCNalEndOfBitstream = 37;

// nal_unit_type of the two-byte NAL unit header at nal.
inline int HEVCNalUnitType(const uint8_t* nal) { return nal[0] >> 1 & 0x3F; }

// The picture of one access unit, as its first slice segment gives it.
struct HEVCPicture {
  // The access unit holds a first slice segment whose PPS and SPS have been read.
  bool present = false;
  int32_t poc = 0;            // PicOrderCntVal (8.3.1)
  bool irap = false;          // nal_unit_type 16..23
  // An IRAP picture with NoRaslOutputFlag 1: IDR, BLA, or a CRA that is the first picture
  // of the stream or follows an end of sequence. The count starts again at it.
  bool noRaslOutput = false;
};

// What the sequence of the last picture says about presentation timing.
struct HEVCSequenceTiming {
  // vui_num_units_in_tick / vui_time_scale seconds per picture, else the VPS's
  // vps_num_units_in_tick / vps_time_scale; 0 when neither is known.
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
  int32_t maxNumReorderPics = 0;  // sps_max_num_reorder_pics[HighestTid]
  bool intraOnly = false;         // general_intra_constraint_flag
  bool fieldSeq = false;          // field_seq_flag: every picture is a field
};

// Follows the parameter sets by their ids (16 VPS, 16 SPS, 64 PPS) and the picture order
// count from access unit to access unit. Only the base layer is read (nuh_layer_id 0). A
// parameter set that ends before its last field needed, holds an Exp-Golomb code of 32 or
// more leading zeros or a value out of its range leaves the one of its id as it was; the VUI
// timing of an SPS counts only when the whole VUI reads.
class HEVCHeaderReader {
 public:
  // Starts an access unit: the first slice segment fed after this decides its picture.
  void BeginAccessUnit() {
    m_picture = HEVCPicture{};
    m_pictureSeen = false;
  }

  // nal points at the NAL unit header (the byte after the start code); length counts the
  // bytes of the NAL unit, header included. Reads never pass nal + length.
  void FeedNal(const uint8_t* nal, int32_t length);

  // The picture of the access unit under way (present false while it has none).
  const HEVCPicture& picture() const { return m_picture; }
  // Timing of the sequence of the last picture.
  const HEVCSequenceTiming& sequenceTiming() const { return m_timing; }

 private:
  struct VideoParameters {
    bool valid = false;
    uint32_t numUnitsInTick = 0;  // vps_timing_info: 0 when absent
    uint32_t timeScale = 0;
  };
  struct SequenceParameters {
    bool valid = false;
    uint8_t vpsId = 0;                 // sps_video_parameter_set_id
    uint8_t pocLsbBits = 0;            // log2_max_pic_order_cnt_lsb_minus4 + 4
    bool separateColourPlane = false;  // separate_colour_plane_flag
    HEVCSequenceTiming timing;         // VUI timing only
  };
  struct PictureParameters {
    bool valid = false;
    uint8_t spsId = 0;                     // pps_seq_parameter_set_id
    uint8_t numExtraSliceHeaderBits = 0;   // num_extra_slice_header_bits
    bool outputFlagPresent = false;        // output_flag_present_flag
  };

  void ReadVideoParameterSet(BitReader& reader);
  void ReadSequenceParameterSet(BitReader& reader);
  void ReadPictureParameterSet(BitReader& reader);
  void ReadSliceSegmentHeader(BitReader& reader, int nalUnitType, int temporalId);

  std::array<VideoParameters, 16> m_vps{};
  std::array<SequenceParameters, 16> m_sps{};
  std::array<PictureParameters, 64> m_pps{};
  HEVCPicture m_picture;
  HEVCSequenceTiming m_timing;
  bool m_pictureSeen = false;     // the access unit's first slice segment has come
  // No IRAP picture since the start or since an end of sequence: the next CRA has
  // NoRaslOutputFlag 1.
  bool m_awaitingIrap = true;
  // prevTid0Pic (8.3.1): the last picture with TemporalId 0 that is not a RASL, RADL or
  // sub-layer non-reference picture.
  int32_t m_prevTid0PocLsb = 0;
  int32_t m_prevTid0PocMsb = 0;
};

}  // namespace palvex

#endif  // PALVEX_CODEC_HEVC_HEADER_READER_H_
