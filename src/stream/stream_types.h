// The stream_type values of the PMT entries the library writes, and the H.264 syntax
// element values it acts on.
#ifndef PALVEX_STREAM_STREAM_TYPES_H_
#define PALVEX_STREAM_STREAM_TYPES_H_

#include <cstdint>

namespace palvex {

// stream_type
constexpr uint8_t kStreamTypeMPEG2Video = 0x02;
constexpr uint8_t kStreamTypeMPEG1Audio = 0x03;
constexpr uint8_t kStreamTypeMPEG2Audio = 0x04;
constexpr uint8_t kStreamTypeAACADTS = 0x0F;       // AAC with ADTS transport syntax
constexpr uint8_t kStreamTypeMPEG4Visual = 0x10;
constexpr uint8_t kStreamTypeAACLATM = 0x11;       // MPEG-4 audio with LATM transport syntax
constexpr uint8_t kStreamTypeH264 = 0x1B;          // AVC video
constexpr uint8_t kStreamTypePrivateFirst = 0x80;  // private audio (AC-3 0x81, E-AC-3 0x87, ...)
constexpr uint8_t kStreamTypePrivateLast = 0x87;

// nal_unit_type
constexpr int kNalUnitTypeSlice = 1;     // coded slice of a non-IDR picture
constexpr int kNalUnitTypeIdrSlice = 5;  // coded slice of an IDR picture
constexpr int kNalUnitTypeSps = 7;       // seq_parameter_set_rbsp
constexpr int kNalUnitTypePps = 8;       // pic_parameter_set_rbsp

// profile_idc of the Baseline profile: no B slices, so pictures come in presentation order.
constexpr int kProfileIdcBaseline = 66;

}  // namespace palvex

#endif  // PALVEX_STREAM_STREAM_TYPES_H_
