// The H.264 syntax element values the readers and the time-stamp rule act on.
#ifndef PALVEX_CODEC_H264_SYNTAX_H_
#define PALVEX_CODEC_H264_SYNTAX_H_

#include <cstdint>

namespace palvex {

// nal_unit_type: the low five bits of the NAL unit header byte, behind
// forbidden_zero_bit and nal_ref_idc.
constexpr int NalUnitType(uint8_t header) { return header & 0x1F; }
constexpr int kNalUnitTypeSlice = 1;     // coded slice of a non-IDR picture
constexpr int kNalUnitTypeIdrSlice = 5;  // coded slice of an IDR picture
constexpr int kNalUnitTypeSps = 7;       // seq_parameter_set_rbsp
constexpr int kNalUnitTypePps = 8;       // pic_parameter_set_rbsp

// profile_idc of the Baseline profile: no B slices, so pictures come in presentation order.
constexpr int kProfileIdcBaseline = 66;

}  // namespace palvex

#endif  // PALVEX_CODEC_H264_SYNTAX_H_
