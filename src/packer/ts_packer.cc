// The packer object: creation, output buffer, and the lifecycle operations the muxer
// calls around each start and stop.
#include "packer/ts_packer.h"

#include <new>

#include "packer/pmt_program.h"
#include "packetizer/ts_stream.h"

namespace palvex {

TSPacker* CreatePacker() { return new (std::nothrow) TSPacker(); }

// The muxer removes the programs before it frees the packer; whatever is left goes here.
TSPacker::~TSPacker() { RemoveAllPrograms(); }

int32_t TSPacker::SetOutputBuffer(TSPacketBuffer* buffer) {
  m_packetBuffer = buffer;
  return buffer == nullptr ? -1 : 0;
}

int32_t TSPacker::RemoveAllPrograms() {
  for (PMTProgram* program : m_programs) DestroyProgram(program);
  m_programs.clear();
  m_programs.shrink_to_fit();
  return kPackerOk;
}

// Back to the state of a fresh start: PAT version 0, PIDs from 0x0010, PSI due at once.
// Programs, routing table and each stream's ADTS detection are kept, and so is the PID
// record: counters go on, and a PAT whose content is that of the last one sent keeps its
// version.
int32_t TSPacker::Reset() {
  m_patVersion = 0;
  m_currentNext = 1;
  m_lastPSITime = 0;
  m_psiCount = 0;
  m_psiRepetition = kPSIInterval - 2 * kPSIDefaultFrameStep;
  m_nextPID = 0x0010;
  return kPackerOk;
}

int32_t TSPacker::StopPacker() {
  m_psiCount = 0;
  return RemoveAllPrograms();
}

int32_t TSPacker::SetTransportStreamId(uint16_t id) {
  m_transportStreamId = id;
  return kPackerOk;
}

void TSPacker::SetOptionBytes(uint8_t first, uint8_t second) {
  m_optionByte1 = first;
  m_optionByte2 = second;
}

void TSPacker::SetOptionWord(int32_t value) { m_optionWord = value; }

void TSPacker::ForgetStreamsOf(const PMTProgram* program) {
  for (const TSStream* stream : program->streams()) {
    for (TSStream*& route : m_routes) {
      if (route == stream) route = nullptr;
    }
  }
}

// A routing entry must never outlive the stream it names: frames for it then find no
// stream (10) instead of a destroyed one. The counters go to the PID record, where the
// next stream or PMT on the same PID takes them up.
void TSPacker::DestroyProgram(PMTProgram* program) {
  ForgetStreamsOf(program);
  for (const TSStream* stream : program->streams()) {
    m_record->SetNextCounter(stream->pid(), stream->continuityCounter());
  }
  m_record->SetNextCounter(program->pmtPID(), program->counter());
  program->DeleteStreams();
  delete program;
}

}  // namespace palvex
