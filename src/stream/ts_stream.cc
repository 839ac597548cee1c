#include "stream/ts_stream.h"

#include "stream/stream_types.h"

namespace palvex {

namespace {

constexpr uint32_t kTimeTrailerLength = 8;

}  // namespace

TSStream::TSStream(uint8_t streamType, uint8_t streamId, uint16_t pid, bool carriesPCR,
                   TSPacketBuffer* packetBuffer, int32_t packetSize)
    : m_streamType(streamType),
      m_streamId(streamId),
      m_pid(pid),
      m_carriesPCR(carriesPCR),
      m_packetBuffer(packetBuffer),
      m_packetSize(packetSize),
      m_pictureHeaders(streamType == kStreamTypeMPEG4Visual ? MPEGVideoReader::Syntax::kMPEG4Visual
                                                            : MPEGVideoReader::Syntax::kMPEG2Video) {}

TSStream::~TSStream() = default;

// Entry of the PMT's elementary-stream loop: stream_type, elementary_PID, ES_info_length
// and the descriptors, the length filled in after they have been written and counted.
int32_t TSStream::WritePSI(uint8_t* p) {
  int32_t infoLength = 0;
  for (PSIElement* descriptor : m_descriptors) {
    infoLength += descriptor->WritePSI(p != nullptr ? p + 5 + infoLength : nullptr);
  }
  if (p != nullptr) {
    p[0] = m_streamType;                                   // stream_type
    p[1] = uint8_t(0xE0 | (m_pid >> 8 & 0x1F));            // reserved '111', elementary_PID[12:8]
    p[2] = uint8_t(m_pid);                                 // elementary_PID[7:0]
    p[3] = uint8_t(0xF0 | (infoLength >> 8 & 0x0F));       // reserved '1111', ES_info_length[11:8]
    p[4] = uint8_t(infoLength);                            // ES_info_length[7:0]
  }
  return 5 + infoLength;
}

int32_t TSStream::EStoTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                         uint32_t* length, const uint8_t* adts) {
  if (length == nullptr) return kRefused;
  if (m_hasTimeTrailer) {
    // The last 8 bytes are the presentation time, not payload; a frame too short to hold
    // them is not read at all.
    if (*length < kTimeTrailerLength) return kRefused;
    *length -= kTimeTrailerLength;
  }
  return PESToTS(description, frame, data, length, adts);
}

void TSStream::ClearDescriptors() {
  for (PSIElement* d : m_descriptors) delete d;
  m_descriptors.clear();
  m_descriptors.shrink_to_fit();
}

}  // namespace palvex
