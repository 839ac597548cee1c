// The transport stream level of one muxer: its MPEG programs, the PAT, the PID counter,
// and the routing of each frame to its elementary stream.
#ifndef PALVEX_PACKER_TS_PACKER_H_
#define PALVEX_PACKER_TS_PACKER_H_

#include <cstdint>
#include <vector>

#include "palvex/media_format.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "stream/psi_element.h"

namespace palvex {

class TSPacketBuffer;
class TSStream;
class PMTProgram;

// Result codes inside the packer; they never reach the host.
enum PackerResult : int32_t {
  kPackerOk = 0,
  kProgramNotBuilt = 8,
  kNoSuchProgram = 9,
  kNoStream = 10,
  kNoFreePacket = 11,
};

// The packer's own interface: ten operations in this slot order.
class ITSPacker {
 public:
  virtual int32_t SetOutputBuffer(TSPacketBuffer* buffer) = 0;              // slot 0
  virtual int32_t RemoveAllPrograms() = 0;                                  // slot 1
  virtual int32_t Reset() = 0;                                              // slot 2
  virtual int32_t StopPacker() = 0;                                         // slot 3
  virtual int32_t AddProgram(MediaFormat* format) = 0;                      // slot 4
  virtual int32_t RemoveProgram(MediaFormat* format) = 0;                   // slot 5
  virtual int32_t MuxFrame(int32_t streamId, IMediaFrame* frame) = 0;       // slot 6
  virtual int32_t SetTransportStreamId(uint16_t id) = 0;                    // slot 7
  virtual void SetOptionBytes(uint8_t first, uint8_t second) = 0;           // slot 8
  virtual void SetOptionWord(int32_t value) = 0;                            // slot 9

 protected:
  ~ITSPacker() = default;
};

class TSPacker final : public ITSPacker, public PSIElement {
 public:
  TSPacker() = default;
  ~TSPacker() override;
  TSPacker(const TSPacker&) = delete;
  TSPacker& operator=(const TSPacker&) = delete;

  int32_t SetOutputBuffer(TSPacketBuffer* buffer) override;
  int32_t RemoveAllPrograms() override;
  int32_t Reset() override;
  int32_t StopPacker() override;
  int32_t AddProgram(MediaFormat* format) override;
  int32_t RemoveProgram(MediaFormat* format) override;
  int32_t MuxFrame(int32_t streamId, IMediaFrame* frame) override;
  int32_t SetTransportStreamId(uint16_t id) override;
  void SetOptionBytes(uint8_t first, uint8_t second) override;
  void SetOptionWord(int32_t value) override;

  // The PAT section (or its length for null).
  int32_t WritePSI(uint8_t* p) override;

  // One TS packet carrying the PAT: 0, or 11 when no slot is free.
  int32_t PATToTS();
  // One TS packet per program carrying its PMT: 0, or 11 at the first program without a slot.
  int32_t PMTToTS();

  // Builds the 7-byte ADTS template from an AudioSpecificConfig; false for a config that
  // is absent or shorter than two bytes (template unchanged).
  bool CreateADTSHeader(const uint8_t* config, int32_t configSize);

  const std::vector<PMTProgram*>& programs() const { return m_programs; }
  uint8_t patVersion() const { return m_patVersion; }
  uint16_t nextPID() const { return m_nextPID; }
  bool insertADTS() const { return m_insertADTS; }
  const uint8_t* adtsHeader() const { return m_adtsHeader; }

 private:
  uint16_t m_transportStreamId = 0x0066;
  uint8_t m_patVersion = 0;
  uint8_t m_currentNext = 1;
  uint8_t m_patCounter = 0;
  int64_t m_lastPSITime = 0;
  int32_t m_psiCount = 0;
  uint16_t m_nextPID = 0x0010;
  int32_t m_packetSize = 188;
  TSPacketBuffer* m_packetBuffer = nullptr;
  std::vector<PMTProgram*> m_programs;
  uint8_t m_optionByte1 = 0;
  uint8_t m_optionByte2 = 0;
  int32_t m_optionWord = 0;
  MediaStream* m_audioStream = nullptr;
  MediaStream* m_videoStream = nullptr;
  TSStream* m_audioTSStream = nullptr;
  TSStream* m_videoTSStream = nullptr;
  uint8_t m_adtsHeader[7] = {};
  bool m_adtsBuilt = false;
  bool m_insertADTS = false;
  int32_t m_adtsChecked = 0;
  int32_t m_adtsFound = 0;
};

// Makes a packer with the non-throwing allocation; null when memory runs out.
TSPacker* CreatePacker();

}  // namespace palvex

#endif  // PALVEX_PACKER_TS_PACKER_H_
