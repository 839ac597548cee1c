// The head of vui_parameters() that H.264 (E.1.1) and HEVC (E.2.1) share.
#ifndef PALVEX_CODEC_VUI_H_
#define PALVEX_CODEC_VUI_H_

#include "codec/bit_reader.h"

namespace palvex {

// From aspect_ratio_info_present_flag to the chroma sample locations, read only to get past
// them.
inline void SkipVuiHead(BitReader& reader) {
  if (reader.ReadBits(1) != 0) {                          // aspect_ratio_info_present_flag
    if (reader.ReadBits(8) == 255) reader.SkipBits(32);   // aspect_ratio_idc; Extended_SAR: sar_width, sar_height
  }
  if (reader.ReadBits(1) != 0) reader.SkipBits(1);        // overscan_info_present_flag, overscan_appropriate_flag
  if (reader.ReadBits(1) != 0) {                          // video_signal_type_present_flag
    reader.SkipBits(4);                                   // video_format, video_full_range_flag
    if (reader.ReadBits(1) != 0) reader.SkipBits(24);     // colour_description_present_flag, three 8-bit codes
  }
  if (reader.ReadBits(1) != 0) {                          // chroma_loc_info_present_flag
    reader.ReadUe();                                      // chroma_sample_loc_type_top_field
    reader.ReadUe();                                      // chroma_sample_loc_type_bottom_field
  }
}

}  // namespace palvex

#endif  // PALVEX_CODEC_VUI_H_
