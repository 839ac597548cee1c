// One MPEG program: its PMT and its elementary streams.
#ifndef PALVEX_PACKER_PMT_PROGRAM_H_
#define PALVEX_PACKER_PMT_PROGRAM_H_

#include <cstdint>
#include <vector>

#include "packer/psi_table.h"
#include "palvex/media_format.h"

namespace palvex {

class PidRecord;
class TSPacketBuffer;
class TSStream;

class PMTProgram final : public PSITable {
 public:
  PMTProgram(uint16_t programNumber, uint16_t pmtPID, uint8_t version, int32_t currentNext,
             TSPacketBuffer* packetBuffer, MediaFormat* format, int32_t packetSize);
  // Destroys whatever streams are still in the list (none after DeleteStreams).
  ~PMTProgram() override;
  PMTProgram(const PMTProgram&) = delete;
  PMTProgram& operator=(const PMTProgram&) = delete;

  // The program's PMT: table_id 0x02 for its program_number, then PCR_PID, no program
  // descriptors, and one entry per stream.
  LongSectionHeader SectionHeader() const override;
  int32_t WriteSectionBody(uint8_t* p) override;
  // One TS packet carrying the PMT; its first byte, or null when no slot is free. With a
  // record, the version follows the last PMT sent on the PID.
  uint8_t* ToTS(PidRecord* record = nullptr);

  void SetPCRPID(uint16_t pid) { m_pcrPID = pid; }
  // continuity_counter of the PMT's next packet.
  void SetCounter(uint8_t counter) { m_counter = counter & 0x0F; }
  TSStream* GetStream(size_t index) const {
    return index < m_streams.size() ? m_streams[index] : nullptr;
  }
  // Appends the stream and takes ownership of it. False when the list cannot grow; the
  // stream then stays with the caller.
  bool AppendStream(TSStream* stream);
  // ClearDescriptors and destruction of every stream in list order; the list ends empty.
  void DeleteStreams();

  uint16_t programNumber() const { return m_programNumber; }
  uint16_t pmtPID() const { return m_pmtPID; }
  uint16_t pcrPID() const { return m_pcrPID; }
  uint8_t counter() const { return m_counter; }
  MediaFormat* format() const { return m_format; }
  const std::vector<TSStream*>& streams() const { return m_streams; }

 private:
  uint16_t m_programNumber;
  uint16_t m_pmtPID;
  uint8_t m_version;
  int32_t m_currentNext;
  MediaFormat* m_format;
  std::vector<TSStream*> m_streams;
  uint16_t m_pcrPID = 0;
  uint8_t m_counter = 0;
  TSPacketBuffer* m_packetBuffer;
  int32_t m_packetSize;
};

}  // namespace palvex

#endif  // PALVEX_PACKER_PMT_PROGRAM_H_
