#include "packer/pmt_program.h"

#include <new>

#include "packetizer/ts_stream.h"

namespace palvex {

PMTProgram::PMTProgram(uint16_t programNumber, uint16_t pmtPID, uint8_t version,
                       int32_t currentNext, TSPacketBuffer* packetBuffer, MediaFormat* format,
                       int32_t packetSize)
    : m_programNumber(programNumber),
      m_pmtPID(pmtPID),
      m_version(version),
      m_currentNext(currentNext),
      m_format(format),
      m_packetBuffer(packetBuffer),
      m_packetSize(packetSize) {}

PMTProgram::~PMTProgram() { DeleteStreams(); }

bool PMTProgram::AppendStream(TSStream* stream) {
  try {
    m_streams.push_back(stream);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void PMTProgram::DeleteStreams() {
  for (TSStream* stream : m_streams) {
    stream->ClearDescriptors();
    delete stream;
  }
  m_streams.clear();
  m_streams.shrink_to_fit();
}

}  // namespace palvex
