// Reader of the MPEG-1/MPEG-2 video (ISO/IEC 13818-2) and MPEG-4 Visual (ISO/IEC 14496-2)
// headers in front of a frame's first picture, as far as needed to place the picture in
// presentation order: for pictures handed over in decode order with their decode times, the
// presentation delay PTS - DTS of each one.
//
// With reordering allowed (low_delay 0) the decoder holds one reference picture back: a B
// picture is presented as it is decoded, and an I or P picture once the next I or P picture
// is decoded, that is after the B pictures that come between the two in presentation order.
// Its delay is therefore the presentation-time gap to the previous I or P picture: the
// temporal_reference step (MPEG-2) or the VOP time step (MPEG-4 Visual). Without reordering
// (low_delay 1) every picture is presented as it is decoded.
#ifndef PALVEX_CODEC_MPEG_VIDEO_READER_H_
#define PALVEX_CODEC_MPEG_VIDEO_READER_H_

#include <cstddef>
#include <cstdint>

#include "codec/presentation_time.h"

namespace palvex {

class MPEGVideoReader {
 public:
  enum class Syntax { kMPEG2Video, kMPEG4Visual };

  explicit MPEGVideoReader(Syntax syntax) : m_syntax(syntax) {}

  // Reads the sequence, GOP/GOV and picture/VOP headers of one frame, never past size, up to
  // its first picture header. Returns that picture's PTS - DTS in 90 kHz ticks (0 or more),
  // or -1 when the frame holds no picture header (nothing then changes). fallbackDuration is
  // the frame duration to use where the headers give none.
  int64_t PresentationDelay(const uint8_t* data, size_t size, MilliTicks fallbackDuration);

  // The frame duration the last sequence header gave (MPEG-2), 0 before one.
  MilliTicks frameDuration() const { return m_frameDuration; }

 private:
  // One header behind its start code: code is the byte after 00 00 01, p..end its bytes.
  // True once the frame's picture header was read.
  bool ReadMPEG2Header(uint8_t code, const uint8_t* p, const uint8_t* end, int64_t* delay,
                       MilliTicks fallbackDuration);
  bool ReadMPEG4Header(uint8_t code, const uint8_t* p, const uint8_t* end, int64_t* delay,
                       MilliTicks fallbackDuration);
  void ReadVideoObjectLayer(const uint8_t* p, const uint8_t* end);
  int64_t MPEG4Delay(int codingType, int64_t moduloTimeBase, int64_t increment,
                     MilliTicks fallbackDuration);

  Syntax m_syntax;
  bool m_lowDelay = false;
  // MPEG-2: frame period from frame_rate_code and the sequence extension.
  uint32_t m_frameRateCode = 0;
  MilliTicks m_frameDuration = 0;
  int32_t m_previousReferenceTr = -1;  // temporal_reference of the last I or P picture, -1 after a GOP header
  // MPEG-4 Visual: VOP times in units of 1 / vop_time_increment_resolution.
  int32_t m_timeIncrementResolution = 0;  // 0 until a VOL header is read
  int32_t m_timeIncrementBits = 0;
  int32_t m_fixedVopTimeIncrement = 0;    // 0 when fixed_vop_rate is 0
  int64_t m_timeBase = 0;                 // seconds of the last I, P or S VOP
  int64_t m_lastTimeBase = 0;             // seconds of the one before
  int64_t m_previousReferenceTime = -1;   // time of the last I, P or S VOP, -1 for none
};

}  // namespace palvex

#endif  // PALVEX_CODEC_MPEG_VIDEO_READER_H_
