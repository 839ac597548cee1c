#include "codec/mpeg_video_reader.h"

#include "codec/frame_rate.h"
#include "codec/start_code.h"

namespace palvex {

namespace {

constexpr uint8_t kSequenceExtensionId = 1;   // extension_start_code_identifier of sequence_extension()

constexpr int kPictureB = 3;  // MPEG-2 picture_coding_type of a B picture
constexpr int kVopB = 2;      // MPEG-4 vop_coding_type of a B-VOP
constexpr int32_t kTemporalReferenceModulus = 1024;
// A presentation gap beyond this many frames is no reordering: one frame is taken instead.
constexpr int64_t kMaxGapFrames = 32;

// Big-endian bits of a header, never read past its end; bits past it read as 0.
class PlainBitReader {
 public:
  PlainBitReader(const uint8_t* p, const uint8_t* end) : m_p(p), m_end(end) {}
  uint32_t Read(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) value = value << 1 | Bit();
    return value;
  }
  void Skip(int n) { m_bit += n; }
  bool Failed() const { return m_bit > (m_end - m_p) * 8; }

 private:
  uint32_t Bit() {
    const int64_t byte = m_bit >> 3;
    const uint32_t bit = byte < m_end - m_p ? (m_p[byte] >> (7 - (m_bit & 7))) & 1 : 0;
    ++m_bit;
    return bit;
  }
  const uint8_t* m_p;
  const uint8_t* m_end;
  int64_t m_bit = 0;
};

// frame_rate_code of Table 6-4 as a frame period in thousandths of a 90 kHz tick, times
// (frame_rate_extension_d + 1) / (frame_rate_extension_n + 1). 0 for a forbidden or reserved code.
MilliTicks MPEG2FrameDuration(uint32_t frameRateCode, uint32_t extensionN, uint32_t extensionD) {
  const FrameRate* rate = RateWith(&FrameRate::frameRateCode, frameRateCode);
  if (rate == nullptr) return 0;
  const int64_t num = int64_t(rate->num) * (extensionN + 1);
  const int64_t den = int64_t(rate->den) * (extensionD + 1);
  return MilliTicks(kMilliTicksPerSecond * den / num);
}

// Bits that vop_time_increment takes: enough for vop_time_increment_resolution - 1, at least 1.
int32_t TimeIncrementBits(int32_t resolution) {
  int32_t bits = 1;
  while (bits < 16 && (int32_t{1} << bits) < resolution) ++bits;
  return bits;
}

}  // namespace

int64_t MPEGVideoReader::PresentationDelay(const uint8_t* data, size_t size,
                                           MilliTicks fallbackDuration) {
  if (data == nullptr || size < 4) return -1;
  const uint8_t* const end = data + size;
  int64_t delay = -1;
  // Start codes 00 00 01 xx; the header runs from behind xx up to the frame's end (each
  // reader stops within its own fields), and the next start code is looked for behind xx.
  const uint8_t* code = FindStartCode(data, size);
  while (code != nullptr) {
    const uint8_t* body = code + StartCodeLength(code) + 1;
    if (body > end) return -1;
    const bool picture = m_syntax == Syntax::kMPEG2Video
                             ? ReadMPEG2Header(body[-1], body, end, &delay, fallbackDuration)
                             : ReadMPEG4Header(body[-1], body, end, &delay, fallbackDuration);
    if (picture) return delay;
    code = FindStartCode(body, size_t(end - body));
  }
  return -1;
}

bool MPEGVideoReader::ReadMPEG2Header(uint8_t code, const uint8_t* p, const uint8_t* end,
                                      int64_t* delay, MilliTicks fallbackDuration) {
  PlainBitReader r(p, end);
  if (code == kSequenceHeaderCode) {
    r.Skip(24 + 4);                              // horizontal_size_value, vertical_size_value, aspect_ratio_information
    const uint32_t frameRateCode = r.Read(4);    // frame_rate_code
    if (r.Failed()) return false;
    m_frameRateCode = frameRateCode;
    m_frameDuration = MPEG2FrameDuration(frameRateCode, 0, 0);
    m_lowDelay = false;  // MPEG-1 has no low_delay; a sequence_extension may follow
    return false;
  }
  if (code == kExtensionStartCode) {
    if (r.Read(4) != kSequenceExtensionId) return false;  // extension_start_code_identifier
    r.Skip(8 + 1 + 2 + 2 + 2 + 12 + 1 + 8);      // profile_and_level_indication .. vbv_buffer_size_extension
    const bool lowDelay = r.Read(1) != 0;        // low_delay
    const uint32_t extensionN = r.Read(2);       // frame_rate_extension_n
    const uint32_t extensionD = r.Read(5);       // frame_rate_extension_d
    if (r.Failed()) return false;
    m_lowDelay = lowDelay;
    m_frameDuration = MPEG2FrameDuration(m_frameRateCode, extensionN, extensionD);
    return false;
  }
  if (code == kGroupStartCode) {
    m_previousReferenceTr = -1;  // temporal_reference counts anew from the GOP's first picture
    return false;
  }
  if (code != kPictureStartCode) return false;
  const int32_t tr = int32_t(r.Read(10));        // temporal_reference
  const int codingType = int(r.Read(3));         // picture_coding_type
  if (r.Failed()) return false;
  *delay = 0;
  if (m_lowDelay || codingType == kPictureB) return true;
  // After a GOP header the previous reference picture was the last one presented before the
  // GOP's first picture (temporal_reference 0).
  int64_t gap = m_previousReferenceTr < 0
                    ? tr + 1
                    : (tr - m_previousReferenceTr + kTemporalReferenceModulus) % kTemporalReferenceModulus;
  m_previousReferenceTr = tr;
  if (gap <= 0 || gap > kMaxGapFrames) gap = 1;
  const MilliTicks duration = m_frameDuration != 0 ? m_frameDuration : fallbackDuration;
  *delay = HalfFramesToTicks(2 * gap, duration);
  return true;
}

bool MPEGVideoReader::ReadMPEG4Header(uint8_t code, const uint8_t* p, const uint8_t* end,
                                      int64_t* delay, MilliTicks fallbackDuration) {
  if (IsVideoObjectLayerStartCode(code)) {
    ReadVideoObjectLayer(p, end);
    return false;
  }
  PlainBitReader r(p, end);
  if (code == kSequenceHeaderCode) {             // group_of_vop_start_code
    const uint32_t hours = r.Read(5);            // time_code_hours
    const uint32_t minutes = r.Read(6);          // time_code_minutes
    r.Skip(1);                                   // marker_bit
    const uint32_t seconds = r.Read(6);          // time_code_seconds
    if (r.Failed()) return false;
    m_timeBase = seconds + 60 * (minutes + 60 * int64_t(hours));
    return false;
  }
  if (code != kVopStartCode || m_timeIncrementResolution == 0) return false;
  const int codingType = int(r.Read(2));         // vop_coding_type
  int64_t moduloTimeBase = 0;
  while (moduloTimeBase < kMaxGapFrames && r.Read(1) != 0) ++moduloTimeBase;  // modulo_time_base
  r.Skip(1);                                     // marker_bit
  const int64_t increment = r.Read(m_timeIncrementBits);  // vop_time_increment
  if (r.Failed()) return false;
  *delay = MPEG4Delay(codingType, moduloTimeBase, increment, fallbackDuration);
  return true;
}

// 6.3.5: the time base of an I, P or S-VOP moves on by its modulo_time_base from the last
// one; a B-VOP counts from the time base that was current before the last I, P or S-VOP.
int64_t MPEGVideoReader::MPEG4Delay(int codingType, int64_t moduloTimeBase, int64_t increment,
                                    MilliTicks fallbackDuration) {
  const int64_t resolution = m_timeIncrementResolution;
  if (codingType == kVopB) return 0;
  m_lastTimeBase = m_timeBase;
  m_timeBase += moduloTimeBase;
  const int64_t time = m_timeBase * resolution + increment;
  int64_t gap = m_previousReferenceTime < 0 ? 0 : time - m_previousReferenceTime;
  m_previousReferenceTime = time;
  if (m_lowDelay) return 0;
  if (gap <= 0 || gap > kMaxGapFrames * resolution) {
    // The first reference picture, or a jump: one frame.
    if (m_fixedVopTimeIncrement != 0) {
      gap = m_fixedVopTimeIncrement;
    } else {
      return HalfFramesToTicks(2, fallbackDuration);
    }
  }
  return (gap * 90000 + resolution / 2) / resolution;
}

// 6.2.3 video_object_layer(), up to fixed_vop_time_increment.
void MPEGVideoReader::ReadVideoObjectLayer(const uint8_t* p, const uint8_t* end) {
  PlainBitReader r(p, end);
  r.Skip(1);                                     // random_accessible_vol
  const uint32_t objectType = r.Read(8);         // video_object_type_indication
  uint32_t verid = 1;
  if (r.Read(1) != 0) {                          // is_object_layer_identifier
    verid = r.Read(4);                           // video_object_layer_verid
    r.Skip(3);                                   // video_object_layer_priority
  }
  if (r.Read(4) == 15) r.Skip(16);               // aspect_ratio_info; extended_PAR: par_width, par_height
  // Without vol_control_parameters only the Simple object type (1) rules out B-VOPs.
  bool lowDelay = objectType == 1;
  if (r.Read(1) != 0) {                          // vol_control_parameters
    r.Skip(2);                                   // chroma_format
    lowDelay = r.Read(1) != 0;                   // low_delay
    if (r.Read(1) != 0) r.Skip(79);              // vbv_parameters: bit rate, buffer size, occupancy, markers
  }
  const uint32_t shape = r.Read(2);              // video_object_layer_shape
  if (shape == 3 && verid != 1) r.Skip(4);       // video_object_layer_shape_extension
  r.Skip(1);                                     // marker_bit
  const int32_t resolution = int32_t(r.Read(16));  // vop_time_increment_resolution
  r.Skip(1);                                     // marker_bit
  const int32_t bits = TimeIncrementBits(resolution);
  int32_t fixedIncrement = 0;
  if (r.Read(1) != 0) fixedIncrement = int32_t(r.Read(bits));  // fixed_vop_rate, fixed_vop_time_increment
  if (r.Failed() || resolution == 0) return;
  m_lowDelay = lowDelay;
  m_timeIncrementResolution = resolution;
  m_timeIncrementBits = bits;
  m_fixedVopTimeIncrement = fixedIncrement;
}

}  // namespace palvex
