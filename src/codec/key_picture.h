// Tune-in points: whether a video frame begins with a picture a decoder can start from, so
// that its first TS packet carries random_access_indicator 1. Only the headers in front of
// the frame's first picture are read.
#ifndef PALVEX_CODEC_KEY_PICTURE_H_
#define PALVEX_CODEC_KEY_PICTURE_H_

#include <cstddef>
#include <cstdint>

namespace palvex {

// The video syntaxes whose key pictures are known.
enum class VideoSyntax { kOther, kH264, kHEVC, kMPEG2Video, kMPEG4Visual };

// H.264: an access unit with an IDR slice, or whose first slice is an I slice behind a
// sequence parameter set (a recovery point); HEVC: an IRAP picture (nal_unit_type 16 to 23
// in the first slice segment); MPEG-2 video: an I picture behind a sequence header; MPEG-4
// Visual: an I-VOP behind a VOL header. False for any other syntax, and for null or empty
// data.
bool IsKeyPicture(VideoSyntax syntax, const uint8_t* data, size_t size);

}  // namespace palvex

#endif  // PALVEX_CODEC_KEY_PICTURE_H_
