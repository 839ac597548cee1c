#include "packer/ts_packer.h"

#include <new>

#include "packer/pmt_program.h"

namespace palvex {

TSPacker* CreatePacker() { return new (std::nothrow) TSPacker(); }

TSPacker::~TSPacker() = default;

int32_t TSPacker::SetOutputBuffer(TSPacketBuffer* buffer) {
  m_packetBuffer = buffer;
  return buffer == nullptr ? -1 : 0;
}
int32_t TSPacker::RemoveAllPrograms() { return 0; }
int32_t TSPacker::Reset() { return 0; }
int32_t TSPacker::StopPacker() { return 0; }
int32_t TSPacker::AddProgram(MediaFormat*) { return kProgramNotBuilt; }
int32_t TSPacker::RemoveProgram(MediaFormat*) { return kNoSuchProgram; }
int32_t TSPacker::MuxFrame(int32_t, IMediaFrame*) { return kNoStream; }
int32_t TSPacker::SetTransportStreamId(uint16_t id) {
  m_transportStreamId = id;
  return 0;
}
void TSPacker::SetOptionBytes(uint8_t first, uint8_t second) {
  m_optionByte1 = first;
  m_optionByte2 = second;
}
void TSPacker::SetOptionWord(int32_t value) { m_optionWord = value; }
int32_t TSPacker::WritePSI(uint8_t*) { return 12; }
int32_t TSPacker::PATToTS() { return 0; }
int32_t TSPacker::PMTToTS() { return 0; }
bool TSPacker::CreateADTSHeader(const uint8_t*, int32_t) { return false; }

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
PMTProgram::~PMTProgram() = default;
int32_t PMTProgram::WritePSI(uint8_t*) { return 16; }
uint8_t* PMTProgram::ToTS() { return nullptr; }
void PMTProgram::DeleteStreams() {}

}  // namespace palvex
