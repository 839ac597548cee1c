// PAT and PMT sections (program_association_section, TS_program_map_section) and the TS
// packets that carry them. Each table is one section (section_number 0,
// last_section_number 0) travelling alone in one packet: TS header, pointer_field 0, the
// section, then 0xFF stuffing.
#include <cstring>

#include "packer/pid_record.h"
#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "ts/psi_section.h"
#include "ts/ts_packet_buffer.h"
#include "ts/ts_packet_writer.h"

namespace palvex {

namespace {

// Writes a table's section into a fresh slot of buffer: header, section, stuffing to the
// end of the packet. Null when there is no free slot or the section would not fit behind
// the header; then nothing is written and the counter keeps its value. With a record, the
// section goes out with the version_number the record gives for pid, and *version
// receives it; the header and CRC_32 are written once the version is known.
uint8_t* SectionToTS(TSPacketBuffer* buffer, PSITable* table, uint16_t pid, uint8_t* counter,
                     PidRecord* record, uint8_t* version) {
  if (buffer == nullptr) return nullptr;
  if (table->WritePSI(nullptr) > kMaxSectionLength) return nullptr;
  uint8_t* p = buffer->NextPacket();
  if (p == nullptr) return nullptr;
  PutPSIPacketHeader(p, pid, *counter);
  *counter = uint8_t(NextContinuityCounter(*counter));
  uint8_t* section = p + kPSIHeaderSize;
  LongSectionHeader header = table->SectionHeader();
  const int32_t body = table->WriteSectionBody(section + kLongSectionHeaderSize);
  if (record != nullptr) {
    header.version = record->TakeVersion(pid, header, section + kLongSectionHeaderSize, body);
    *version = header.version;
  }
  const int32_t length = PutLongSection(section, header, body);
  std::memset(section + length, 0xFF, size_t(kMaxSectionLength - length));  // stuffing_byte
  return p;
}

}  // namespace

LongSectionHeader TSPacker::SectionHeader() const {
  return LongSectionHeader{0x00, m_transportStreamId, m_patVersion, m_currentNext};
}

// program_association_section: one entry per program, no network_PID entry.
int32_t TSPacker::WriteSectionBody(uint8_t* p) {
  const int32_t length = int32_t(4 * m_programs.size());
  if (p == nullptr) return length;
  for (const PMTProgram* program : m_programs) {
    p[0] = uint8_t(program->programNumber() >> 8);            // program_number[15:8]
    p[1] = uint8_t(program->programNumber());                 // program_number[7:0]
    p[2] = uint8_t(0xE0 | (program->pmtPID() >> 8 & 0x1F));   // reserved '111', program_map_PID[12:8]
    p[3] = uint8_t(program->pmtPID());                        // program_map_PID[7:0]
    p += 4;
  }
  return length;
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

LongSectionHeader PMTProgram::SectionHeader() const {
  return LongSectionHeader{0x02, m_programNumber, m_version, uint8_t(m_currentNext)};
}

// TS_program_map_section body: PCR_PID, no program descriptors, one entry per stream
// written by the stream itself.
int32_t PMTProgram::WriteSectionBody(uint8_t* p) {
  int32_t offset = 4;
  if (p == nullptr) {
    for (TSStream* stream : m_streams) offset += stream->WritePSI(nullptr);
    return offset;
  }
  p[0] = uint8_t(0xE0 | (m_pcrPID >> 8 & 0x1F));              // reserved '111', PCR_PID[12:8]
  p[1] = uint8_t(m_pcrPID);                                   // PCR_PID[7:0]
  p[2] = 0xF0;                                                // reserved '1111', program_info_length[11:8]
  p[3] = 0x00;                                                // program_info_length[7:0]
  for (TSStream* stream : m_streams) offset += stream->WritePSI(p + offset);
  return offset;
}

uint8_t* PMTProgram::ToTS(PidRecord* record) {
  return SectionToTS(m_packetBuffer, this, m_pmtPID, &m_counter, record, &m_version);
}

}  // namespace palvex
