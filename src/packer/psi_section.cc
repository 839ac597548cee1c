// PAT and PMT sections (program_association_section, TS_program_map_section) and the TS
// packets that carry them. Each table is one section (section_number 0,
// last_section_number 0) travelling alone in one packet: TS header, pointer_field 0, the
// section, then 0xFF stuffing.
#include <cstring>

#include "packer/pid_record.h"
#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "ts/crc32.h"
#include "ts/psi_section.h"
#include "ts/ts_packet_buffer.h"
#include "ts/ts_packet_writer.h"

namespace palvex {

namespace {

// Writes a section into a fresh slot of buffer: header, section, stuffing to the end of the
// packet. Null when there is no free slot or the section would not fit behind the header;
// then nothing is written and the counter keeps its value. With a record, the section's
// version_number follows the last one sent on pid, and *version receives it.
uint8_t* SectionToTS(TSPacketBuffer* buffer, PSIElement* section, uint16_t pid,
                     uint8_t* counter, PidRecord* record, uint8_t* version) {
  if (buffer == nullptr) return nullptr;
  if (section->WritePSI(nullptr) > TSPacker::kMaxSectionLength) return nullptr;
  uint8_t* p = buffer->NextPacket();
  if (p == nullptr) return nullptr;
  PutPSIPacketHeader(p, pid, *counter);
  *counter = uint8_t(NextContinuityCounter(*counter));
  const int32_t length = section->WritePSI(p + kPSIHeaderSize);
  std::memset(p + kPSIHeaderSize + length, 0xFF,
              size_t(kTSPacketSize - kPSIHeaderSize - length));  // stuffing_byte
  if (record != nullptr) *version = record->StampVersion(pid, p + kPSIHeaderSize, length);
  return p;
}

}  // namespace

// program_association_section: one entry per program, no network_PID entry.
int32_t TSPacker::WritePSI(uint8_t* p) {
  const int32_t length = int32_t(PATLength(int64_t(m_programs.size())));
  if (p == nullptr) return length;
  const int32_t sectionLength = length - 3;
  p[0] = 0x00;                                                // table_id
  p[1] = uint8_t(0xB0 | (sectionLength >> 8 & 0x0F));        // section_syntax_indicator 1, '0', reserved '11', section_length[11:8]
  p[2] = uint8_t(sectionLength);                              // section_length[7:0]
  p[3] = uint8_t(m_transportStreamId >> 8);                   // transport_stream_id[15:8]
  p[4] = uint8_t(m_transportStreamId);                        // transport_stream_id[7:0]
  p[5] = uint8_t(0xC0 | (m_patVersion & 0x1F) << 1 | (m_currentNext & 1));  // reserved '11', version_number, current_next_indicator
  p[6] = 0x00;                                                // section_number
  p[7] = 0x00;                                                // last_section_number
  int32_t offset = 8;
  for (const PMTProgram* program : m_programs) {
    uint8_t* q = p + offset;
    q[0] = uint8_t(program->programNumber() >> 8);            // program_number[15:8]
    q[1] = uint8_t(program->programNumber());                 // program_number[7:0]
    q[2] = uint8_t(0xE0 | (program->pmtPID() >> 8 & 0x1F));   // reserved '111', program_map_PID[12:8]
    q[3] = uint8_t(program->pmtPID());                        // program_map_PID[7:0]
    offset += 4;
  }
  return offset + PutSectionCrc32(p, size_t(offset));
}

int32_t TSPacker::PATToTS() {
  const uint16_t kPATPID = 0x0000;
  return SectionToTS(m_packetBuffer, this, kPATPID, m_record->Counter(kPATPID), m_record,
                     &m_patVersion) != nullptr
             ? kPackerOk
             : kNoFreePacket;
}

int32_t TSPacker::PMTToTS() {
  for (PMTProgram* program : m_programs) {
    if (program->ToTS(m_record) == nullptr) return kNoFreePacket;
  }
  return kPackerOk;
}

// TS_program_map_section: PCR_PID, no program descriptors, one entry per stream written
// by the stream itself.
int32_t PMTProgram::WritePSI(uint8_t* p) {
  if (p == nullptr) {
    int32_t length = 16;
    for (TSStream* stream : m_streams) length += stream->WritePSI(nullptr);
    return length;
  }
  p[0] = 0x02;                                                // table_id
  p[3] = uint8_t(m_programNumber >> 8);                       // program_number[15:8]
  p[4] = uint8_t(m_programNumber);                            // program_number[7:0]
  p[5] = uint8_t(0xC0 | (m_version & 0x1F) << 1 | (m_currentNext & 1));  // reserved '11', version_number, current_next_indicator
  p[6] = 0x00;                                                // section_number
  p[7] = 0x00;                                                // last_section_number
  p[8] = uint8_t(0xE0 | (m_pcrPID >> 8 & 0x1F));              // reserved '111', PCR_PID[12:8]
  p[9] = uint8_t(m_pcrPID);                                   // PCR_PID[7:0]
  p[10] = 0xF0;                                               // reserved '1111', program_info_length[11:8]
  p[11] = 0x00;                                               // program_info_length[7:0]
  int32_t offset = 12;
  for (TSStream* stream : m_streams) offset += stream->WritePSI(p + offset);
  const int32_t sectionLength = offset + 4 - 3;                // patched after the loop
  p[1] = uint8_t(0xB0 | (sectionLength >> 8 & 0x0F));        // section_syntax_indicator 1, '0', reserved '11', section_length[11:8]
  p[2] = uint8_t(sectionLength);                              // section_length[7:0]
  return offset + PutSectionCrc32(p, size_t(offset));
}

uint8_t* PMTProgram::ToTS(PidRecord* record) {
  return SectionToTS(m_packetBuffer, this, m_pmtPID, &m_counter, record, &m_version);
}

}  // namespace palvex
