// The transport stream level of one muxer: its MPEG programs, the PAT, the PID counter,
// and the routing of each frame to the elementary stream whose stream id it carries.
#ifndef PALVEX_PACKER_TS_PACKER_H_
#define PALVEX_PACKER_TS_PACKER_H_

#include <cstdint>
#include <vector>

#include "packer/pid_record.h"
#include "packer/psi_table.h"
#include "packetizer/result_codes.h"
#include "palvex/media_format.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "ts/ts_packet.h"

namespace palvex {

class TSPacketBuffer;
class TSStream;
class PMTProgram;

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

class TSPacker final : public ITSPacker, public PSITable {
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

  // The PAT: table_id 0x00 for the transport stream, then one entry per program.
  LongSectionHeader SectionHeader() const override;
  int32_t WriteSectionBody(uint8_t* p) override;

  // What the packer remembers per PID (continuity counters, the last PAT and PMTs sent)
  // lives in record, which outlives the packer; null: in the packer's own, for its life.
  void SetPidRecord(PidRecord* record) { m_record = record != nullptr ? record : &m_ownRecord; }

  // One TS packet carrying the PAT: 0, or kNoFreePacket when no slot is free.
  int32_t PATToTS();
  // One TS packet per program carrying its PMT: 0, or kNoFreePacket at the first program
  // without a slot.
  int32_t PMTToTS();

  // Whether AddProgram can carry format beside the programs of the formats listed: null,
  // or the one-line reason it cannot. A format is refused when a stream it carries has the
  // stream id of another carried stream (in it or in a listed format), when its carried
  // streams do not fit one PMT section, when the PAT has no room for one more program, or
  // when the PIDs of all of them would run out. Formats without a carried stream build no
  // program and are not refused.
  static const char* CheckFormat(MediaFormat* format, const std::vector<MediaFormat*>& listed);

  // Bytes of a PAT section with `programs` entries: the long header, 4 per program, CRC_32.
  static constexpr int64_t PATLength(int64_t programs) {
    return kLongSectionHeaderSize + 4 * programs + kSectionCRCSize;
  }
  // Largest PID an elementary stream or PMT may take; 0x1FFF is the null packet PID.
  static constexpr uint16_t kMaxPID = 0x1FFE;
  // PAT and PMTs are never further apart than this in frame time, in microseconds: they go
  // out early enough that the frames between two streams' clocks cannot push the gap past it.
  static constexpr int64_t kPSIInterval = 500000;
  // The frame steps that the early margin allows for: steps above this are gaps, not frames.
  static constexpr int64_t kPSIMaxFrameStep = 100000;
  // The margin assumed before any frame step is known.
  static constexpr int64_t kPSIDefaultFrameStep = 50000;
  // Stream ids are one byte: the routing table has one entry per value.
  static constexpr int32_t kStreamIds = 256;

  const std::vector<PMTProgram*>& programs() const { return m_programs; }
  uint8_t patVersion() const { return m_patVersion; }
  int64_t lastPSITime() const { return m_lastPSITime; }
  int32_t psiCount() const { return m_psiCount; }
  uint16_t nextPID() const { return m_nextPID; }
  // The stream that receives the frames of streamId, or null.
  TSStream* RoutedStream(int32_t streamId) const {
    return streamId >= 0 && streamId < kStreamIds ? m_routes[streamId] : nullptr;
  }

 private:

  // Gives out m_nextPID and advances it; false, without advancing, once the PIDs up to
  // kMaxPID are used up.
  bool TakePID(uint16_t* pid);
  // Smallest program_number from 1 up that no program in m_programs carries.
  uint16_t FreeProgramNumber() const;
  // Builds the stream object of one stream description, or leaves *stream null for a
  // description the stream tables do not define. False when an allocation failed.
  bool BuildStream(PMTProgram* program, MediaStream* description, uint16_t pid,
                   bool* pcrChosen, TSStream** stream);
  // The stream objects of a program's descriptions, appended to program in list order.
  // kPackerOk, kProgramNotBuilt, or kNoMemory.
  int32_t BuildStreams(PMTProgram* program, const std::vector<MediaStream*>& descriptions,
                       bool* pcrChosen);
  // Routes the stream ids of the program's streams to them; false, with nothing routed,
  // when one of the ids is routed already or repeats within the program.
  bool RouteStreamsOf(const PMTProgram* program);
  // Empties the routing entries that refer to the streams of program.
  void ForgetStreamsOf(const PMTProgram* program);
  // Empties the routing entries, then destroys the program and its streams.
  void DestroyProgram(PMTProgram* program);
  // MuxFrame's steps. The stream routed for streamId, or null: the frame is refused.
  TSStream* FindStream(int32_t streamId) const { return RoutedStream(streamId); }
  // Advances the stream's ADTS detection with the frame's bytes (data, size as the frame
  // gave them); the header to put in front of them, or null. *refused when the frame was
  // to get one and cannot.
  const uint8_t* TakeADTSHeader(TSStream* stream, const uint8_t* data, int size, bool* refused);
  // Whether PAT and PMTs are due before a frame of stream at time t; counts the emission.
  bool PSIDue(TSStream* stream, int64_t t);
  // PAT, then the PMTs, with every stream's PSI time moved to its last frame time. 0, or
  // the first failure.
  int32_t EmitPSI(int64_t t);
  // After an emission: every stream's clock marked, and the repetition interval shortened
  // by two of the largest frame steps, since the tables go out on the first frame past it.
  void MarkStreamClocks();
  // The frame (behind the ADTS header, when one is given) to its stream's packetizer. 0,
  // kFrameRefused for a frame without valid bytes, or the packetizer's failure.
  int32_t HandOver(TSStream* stream, IMediaFrame* frame, const uint8_t* data, int size,
                   const uint8_t* adts);

  uint16_t m_transportStreamId = 0x0066;
  uint8_t m_patVersion = 0;
  uint8_t m_currentNext = 1;
  int64_t m_lastPSITime = 0;
  int32_t m_psiCount = 0;
  int64_t m_psiRepetition = kPSIInterval - 2 * kPSIDefaultFrameStep;
  uint16_t m_nextPID = 0x0010;
  int32_t m_packetSize = kTSPacketSize;
  TSPacketBuffer* m_packetBuffer = nullptr;
  std::vector<PMTProgram*> m_programs;
  uint8_t m_optionByte1 = 0;
  uint8_t m_optionByte2 = 0;
  int32_t m_optionWord = 0;
  // The stream of every stream id, set as programs are built and emptied as they go.
  TSStream* m_routes[kStreamIds] = {};
  PidRecord m_ownRecord;
  PidRecord* m_record = &m_ownRecord;
};

// Makes a packer with the non-throwing allocation; null when memory runs out.
TSPacker* CreatePacker();

}  // namespace palvex

#endif  // PALVEX_PACKER_TS_PACKER_H_
