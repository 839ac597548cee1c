#include "stream/ts_stream.h"

namespace palvex {

TSStream::TSStream(uint8_t streamType, uint8_t streamId, uint16_t pid, bool carriesPCR,
                   TSPacketBuffer* packetBuffer, int32_t packetSize)
    : m_streamType(streamType),
      m_streamId(streamId),
      m_pid(pid),
      m_carriesPCR(carriesPCR),
      m_packetBuffer(packetBuffer),
      m_packetSize(packetSize) {}

TSStream::~TSStream() = default;

int32_t TSStream::WritePSI(uint8_t* p) {
  (void)p;
  return 5;
}

int32_t TSStream::EStoTS(MediaStream*, IMediaFrame*, const uint8_t*, uint32_t*) { return 0; }

void TSStream::ClearDescriptors() {
  for (PSIElement* d : m_descriptors) delete d;
  m_descriptors.clear();
  m_descriptors.shrink_to_fit();
}

}  // namespace palvex
