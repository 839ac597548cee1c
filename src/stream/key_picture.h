// Tune-in points: whether a video frame begins with a picture a decoder can start from, so
// that its first TS packet carries random_access_indicator 1. Only the headers in front of
// the frame's first picture are read.
#ifndef PALVEX_STREAM_KEY_PICTURE_H_
#define PALVEX_STREAM_KEY_PICTURE_H_

#include <cstddef>
#include <cstdint>

namespace palvex {

// By stream_type: H.264 (0x1B) an access unit with an IDR slice, or whose first slice is
// an I slice behind a sequence parameter set (a recovery point); MPEG-2 video (0x02) an I
// picture behind a sequence header; MPEG-4 Visual (0x10) an I-VOP behind a VOL header.
// False for any other type, and for null or empty data.
bool IsKeyPicture(uint8_t streamType, const uint8_t* data, size_t size);

}  // namespace palvex

#endif  // PALVEX_STREAM_KEY_PICTURE_H_
