// Packetizer of one elementary stream of one MPEG program: continuity counter, PCR
// clock, time-stamp bookkeeping and the H.264 header reader of the stream.
#ifndef PALVEX_STREAM_TS_STREAM_H_
#define PALVEX_STREAM_TS_STREAM_H_

#include <cstdint>
#include <vector>

#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "stream/h264_slice_parser.h"
#include "stream/psi_element.h"

namespace palvex {

class TSPacketBuffer;

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
  void SetHasTimeTrailer(bool hasTrailer) { m_hasTimeTrailer = hasTrailer; }

  // Packetizes one frame into the packet buffer. description is the MediaStream that
  // routing matched; data/length the frame's bytes as routing read them. 0 on success,
  // 11 when the packet buffer ran out, another non-zero value for a refused frame.
  int32_t EStoTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                 uint32_t* length);

  void ClearDescriptors();

  uint8_t streamType() const { return m_streamType; }
  uint8_t streamId() const { return m_streamId; }
  uint16_t pid() const { return m_pid; }
  bool carriesPCR() const { return m_carriesPCR; }
  bool hasTimeTrailer() const { return m_hasTimeTrailer; }
  uint8_t continuityCounter() const { return m_continuityCounter; }

 private:
  uint8_t m_streamType;
  uint8_t m_streamId;
  uint16_t m_pid;
  uint8_t m_continuityCounter = 0;
  bool m_carriesPCR;
  TSPacketBuffer* m_packetBuffer;
  H264SliceParser m_h264Parser;
  std::vector<PSIElement*> m_descriptors;
  int64_t m_pcrClock = 0;
  int32_t m_pcrCount = 0;
  int64_t m_lastPCRTime = 0;
  int32_t m_packetSize;
  int64_t m_baseTime = 0;
  int32_t m_frameDuration = 0;
  int64_t m_firstFrameTime = 0;
  int32_t m_durationFrames = 0;
  int32_t m_basePOC = 0;
  bool m_hasTimeTrailer = false;
  int32_t m_profileIdc = 0;
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

#endif  // PALVEX_STREAM_TS_STREAM_H_
