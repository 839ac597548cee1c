// Packetizer of one elementary stream of one MPEG program: continuity counter, PCR
// clock, time-stamp bookkeeping and the H.264 or HEVC header reader of the stream.
#ifndef PALVEX_PACKETIZER_TS_STREAM_H_
#define PALVEX_PACKETIZER_TS_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/h264_slice_parser.h"
#include "codec/hevc_header_reader.h"
#include "codec/mpeg_video_reader.h"
#include "codec/presentation_time.h"
#include "packetizer/adts_framing.h"
#include "packetizer/psi_element.h"
#include "packetizer/result_codes.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "ts/pes_header.h"

namespace palvex {

class NalWalk;
class TSPacketBuffer;

// A stream's own clock as the repetition of PAT and PMT reads it: frame times of one
// stream are compared only with each other, so that streams whose clocks run apart do not
// make the tables due on every frame.
struct StreamClock {
  bool seen = false;       // a frame has come
  int64_t lastTime = 0;    // microseconds, of the last frame
  int64_t frameStep = 0;   // the last step between two frames, 0 when none was plausible
  bool marked = false;     // timeAtPSI holds
  int64_t timeAtPSI = 0;   // the stream's time when PAT and PMT last went out
};

class TSStream : public PSIElement {
 public:
  TSStream(uint8_t streamType, uint8_t streamId, uint16_t pid, bool carriesPCR,
           TSPacketBuffer* packetBuffer, int32_t packetSize);
  ~TSStream() override;
  TSStream(const TSStream&) = delete;
  TSStream& operator=(const TSStream&) = delete;

  // The stream's entry in the PMT's elementary-stream loop (or its length for null).
  int32_t WritePSI(uint8_t* p) override;

  void SetPCR(bool carriesPCR) { m_carriesPCR = carriesPCR; }
  // continuity_counter of the stream's next packet.
  void SetContinuityCounter(uint8_t counter) { m_continuityCounter = counter & 0x0F; }
  // The description the stream was built from; routing hands it to EStoTS.
  void SetDescription(MediaStream* description) { m_description = description; }
  MediaStream* description() const { return m_description; }
  void SetHasTimeTrailer(bool hasTrailer) { m_hasTimeTrailer = hasTrailer; }
  // The frame rate the stream's description gives (0 for none): the frame duration of
  // presentation times where the stream itself gives none.
  void SetNominalFrameRate(float framesPerSecond) {
    m_nominalDuration = FrameDurationFromRate(double(framesPerSecond));
  }

  // Packetizes one frame into the packet buffer. description is the MediaStream that
  // routing matched; data/length the frame's bytes as routing read them, which are only
  // read; adts, when not null, the 7-byte ADTS header that goes in front of them in the PES
  // payload. kPackerOk, kNoFreePacket when the packet buffer ran out, or kFrameRefused
  // before any packet is written: a frame without bytes but with a non-zero length, or on a
  // time-trailer stream a frame shorter than its 8-byte trailer.
  int32_t EStoTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                 uint32_t* length, const uint8_t* adts = nullptr);

  void ClearDescriptors();

  StreamClock& psiClock() { return m_psiClock; }
  // The ADTS framing of an AAC stream (disarmed on every other stream).
  ADTSFraming& adts() { return m_adts; }

  // WritePESHeader's result for an H.264 frame without a start code.
  static constexpr int32_t kNoPESHeader = -1;

  // The PES packet header of one frame at dest (room for 19 bytes) and the frame's PTS and
  // DTS; *length is the payload length L. Returns 19, 9 without time stamps, or kNoPESHeader for an
  // H.264 frame without a start code (bytes 0 to 3 written, the frame counted by the
  // duration measurement, no H.264 state changed).
  int32_t WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest, bool isVideo);

  // The frame as PES packets cut into TS packets; *length falls as the frame's bytes are
  // consumed. adts: null, or the 7-byte ADTS header put in front of an audio frame's bytes
  // in the first TS packet (PES_packet_length and the packet count include it); ignored on
  // video. The first packet
  // of a video key picture carries random_access_indicator 1. kPackerOk (also for an H.264
  // frame without a start code, which writes nothing), kNoFreePacket with "not buffer"
  // printed when the buffer ran out, kFrameRefused for a frame without bytes.
  int32_t PESToTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                  uint32_t* length, const uint8_t* adts = nullptr);

  uint8_t streamType() const { return m_streamType; }
  uint8_t streamId() const { return m_streamId; }
  uint16_t pid() const { return m_pid; }
  bool carriesPCR() const { return m_carriesPCR; }
  bool hasTimeTrailer() const { return m_hasTimeTrailer; }
  uint8_t continuityCounter() const { return m_continuityCounter; }
  int32_t pcrCount() const { return m_pcrCount; }
  int64_t lastPCRTime() const { return m_lastPCRTime; }
  int32_t frameDuration() const { return m_frameDuration; }
  int32_t durationFrames() const { return m_durationFrames; }
  int32_t pictureOrderCount() { return m_h264Parser.GetPictureOrderCount(); }
  int32_t profileIdc() const { return m_profileIdc; }
  int32_t packetSize() const { return m_packetSize; }

 private:
  // WritePESHeader with the frame's NAL walk (H.264 and HEVC only) under way, or null.
  // time is the frame's GetTime(), ticks the same in 90 kHz.
  int32_t WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest, bool isVideo,
                         NalWalk* walk, int64_t time, int64_t ticks);
  // The frame's time stamps by the rule of this stream (audio, time trailer, other video,
  // H.264 Baseline, H.264 or HEVC picture order count); finishes the walk when one is given.
  PESTimestamps DecideTimestamps(IMediaFrame* frame, uint32_t payload, bool isVideo,
                                 NalWalk* walk, int64_t time, int64_t ticks);
  // PTS from the frame's 8-byte time trailer behind `payload` bytes, or ticks without one.
  static int64_t TrailerPts(IMediaFrame* frame, uint32_t payload, int64_t ticks);
  // H.264 above Baseline: the PTS by the picture order count.
  int64_t PictureOrderPts(int64_t ticks, bool idr);
  // HEVC: the PTS by PicOrderCntVal of the access unit's picture, once its walk is finished.
  int64_t HEVCPictureOrderPts(int64_t ticks);
  // Other video: the PTS by the MPEG-2 or MPEG-4 Visual picture header.
  int64_t PictureHeaderPts(IMediaFrame* frame, int64_t ticks);
  // The frame duration presentation times are reckoned in: the stream's own where it gives
  // one, else the description's rate, else the measured duration; 0 while none is known.
  MilliTicks PresentationFrameDuration(MilliTicks ownDuration) const;
  // True when the frame's NAL units are walked: H.264 and HEVC video from tick 0 on,
  // without a time trailer.
  bool WalksNalUnits(int64_t ticks, bool isVideo) const;
  // The first PES packet of a frame at `ticks`, with the PCR when one is due: header,
  // payload up to the PES packet's end. *data and *length move on past the bytes placed.
  // kPackerOk, or kNoFreePacket.
  int32_t PutFirstPESPacket(IMediaFrame* frame, const uint8_t** data, uint32_t* length,
                            int64_t time, int64_t ticks, bool isVideo, const uint8_t* startCode,
                            const uint8_t* adts, bool randomAccess);
  // The payload of an H.264 or HEVC frame's first PES packet, copied while its NAL units
  // are walked, and the header completed from the walk. False when the buffer ran out.
  bool PutNalPayload(IMediaFrame* frame, const uint8_t* data, uint32_t* length, uint8_t* pes,
                      uint32_t headerLength, uint32_t payload, const uint8_t* startCode, int64_t time,
                      uint32_t* consumed);
  // The rest of a bounded frame in PES packets without time stamps. kPackerOk, or
  // kNoFreePacket.
  int32_t PutContinuationPESPackets(const uint8_t* data, uint32_t* length);
  // First start code of an H.264 or HEVC frame, or null when the frame has none to walk.
  static const uint8_t* FirstStartCode(IMediaFrame* frame);
  // The walk over a frame's NAL units, from its first start code, feeding the stream's reader.
  NalWalk StartNalWalk(const uint8_t* bytes, size_t count, const uint8_t* startCode);
  // Finishes the frame's NAL walk and applies what it found: a sequence parameter set sets
  // the profile. True when the access unit holds an IDR slice.
  bool FinishNalWalk(NalWalk* walk);
  void MeasureFrameDuration(int64_t time);
  bool DecidePCR(int64_t ticks);
  // A slot for the first TS packet of a PES packet of `total` bytes, its header and
  // adaptation field written (with the PCR, with random_access_indicator 1, or stuffing);
  // returns where the PES packet begins (e bytes to the slot's end), or null when the
  // buffer is full.
  uint8_t* StartPESPacket(uint64_t total, bool withPCR, bool randomAccess, uint32_t* e);
  // count bytes in packets without payload_unit_start_indicator; false when the buffer
  // ran out. *consumed grows by the bytes placed. With a walk (H.264, HEVC; data - 2 inside the
  // frame), the bytes are searched for start codes as they are copied and the walk follows
  // them up to the last whole packet.
  bool PutPayloadPackets(const uint8_t* data, uint32_t count, uint32_t* consumed,
                         NalWalk* walk = nullptr);
  uint8_t* TakeSlot();

  // What every frame reads or moves comes first, together: with many muxers on one core a
  // frame finds its stream out of cache, and each line it touches is one more wait. The
  // header readers, the descriptors and the presentation-time state follow.
  uint8_t m_streamType;
  uint8_t m_streamId;
  uint16_t m_pid;
  uint8_t m_continuityCounter = 0;
  bool m_carriesPCR;
  bool m_hasTimeTrailer = false;
  TSPacketBuffer* m_packetBuffer;
  int32_t m_packetSize;
  int32_t m_pcrCount = 0;
  int64_t m_pcrClock = 0;
  int64_t m_lastPCRTime = 0;
  MediaStream* m_description = nullptr;
  StreamClock m_psiClock;
  ADTSFraming m_adts;
  int32_t m_frameDuration = 0;
  int32_t m_durationFrames = 0;
  int64_t m_firstFrameTime = 0;
  int32_t m_profileIdc = 0;
  MilliTicks m_nominalDuration = 0;
  H264SliceParser m_h264Parser;
  HEVCHeaderReader m_hevcReader;
  std::vector<PSIElement*> m_descriptors;
  PictureOrderClock m_presentationClock;
  MPEGVideoReader m_pictureHeaders;
};

class VideoTSStream final : public TSStream {
 public:
  using TSStream::TSStream;
};

class AudioTSStream final : public TSStream {
 public:
  using TSStream::TSStream;
};

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_TS_STREAM_H_
