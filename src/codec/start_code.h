// Start codes: 0x000001, or 0x00000001 where a zero_byte precedes it, in front of each NAL
// unit of an H.264 Annex B byte stream (ITU-T H.264 B.1), and in front of each header of
// MPEG-1/MPEG-2 video (ISO/IEC 13818-2) and MPEG-4 Visual (ISO/IEC 14496-2), where the byte
// behind it, the start code value, names the header. One scan finds them all.
#ifndef PALVEX_CODEC_START_CODE_H_
#define PALVEX_CODEC_START_CODE_H_

#include <cstddef>
#include <cstdint>

namespace palvex {

// First start code within [bytes, bytes + count): a pointer to its first zero byte, so
// that a four-byte code 00 00 00 01 is reported at its leading zero_byte and a three-byte
// code 00 00 01 at its first zero. The zero_byte is looked for only inside the range.
// Null when bytes is null, count is below 3, or there is no start code. Reads nothing
// outside the range.
const uint8_t* FindStartCode(const uint8_t* bytes, size_t count);

// The same search with the candidates for the final 0x01 limited to [from, end) and the
// zero bytes in front looked for down to origin (from >= origin). Lets a long range be
// searched piece by piece with the results of one search over [origin, end).
const uint8_t* FindStartCodeFrom(const uint8_t* origin, const uint8_t* from, const uint8_t* end);

// Length of the start code at p (as FindStartCode reported it): 3 or 4.
inline int StartCodeLength(const uint8_t* p) { return p[2] == 0x01 ? 3 : 4; }

// MPEG-2 video and MPEG-4 Visual start code values.
constexpr uint8_t kPictureStartCode = 0x00;    // MPEG-2 picture_start_code
constexpr uint8_t kSequenceHeaderCode = 0xB3;  // MPEG-2 sequence_header_code; MPEG-4 group_of_vop_start_code
constexpr uint8_t kExtensionStartCode = 0xB5;  // MPEG-2 extension_start_code
constexpr uint8_t kVopStartCode = 0xB6;        // MPEG-4 vop_start_code
constexpr uint8_t kGroupStartCode = 0xB8;      // MPEG-2 group_start_code
// MPEG-4 video_object_layer_start_code: 0x20 to 0x2F.
constexpr bool IsVideoObjectLayerStartCode(uint8_t value) { return value >= 0x20 && value <= 0x2F; }

}  // namespace palvex

#endif  // PALVEX_CODEC_START_CODE_H_
