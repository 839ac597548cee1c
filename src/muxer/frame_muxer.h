// The muxer object behind iptv::IVorlux: one transport stream, its packet buffer, its
// copies of the host's media formats and, while open, one packer.
#ifndef PALVEX_MUXER_FRAME_MUXER_H_
#define PALVEX_MUXER_FRAME_MUXER_H_

#include <cstdint>
#include <vector>

#include "palvex/palvex.h"

namespace palvex {

class PidRecord;
class TSPacketBuffer;
class TSPacker;

class FrameMuxer final : public iptv::IVorlux {
 public:
  FrameMuxer();
  ~FrameMuxer();
  FrameMuxer(const FrameMuxer&) = delete;
  FrameMuxer& operator=(const FrameMuxer&) = delete;

  int Open() override;
  int Close() override;
  int Start() override;
  int Stop() override;
  MediaFormat* AddMediaFormat(MediaFormat* format) override;
  int RemoveMediaFormat(MediaFormat* entry) override;
  std::vector<MediaFormat*> GetMediaFormats() override;
  int ProcessFrame(int streamId, IMediaFrame* frame, uint8_t** data, int* length) override;
  void Reserved(int value) override;

  bool HasPacketBuffer() const { return m_packetBuffer != nullptr; }

 private:
  // Destroys the packer's programs and releases the format copies that only they
  // still referred to.
  void StopPrograms();
  void ReleaseRetiredFormats();

  TSPacketBuffer* m_packetBuffer = nullptr;
  // Continuity counters and the last PAT/PMT per PID, for the muxer's life: each packer
  // (from Open to Close) and each run (from Start to Stop) goes on from them.
  PidRecord* m_pidRecord = nullptr;
  TSPacker* m_tsPacker = nullptr;
  int32_t m_stopped = 1;
  // One copy per added format, owned; each running program refers to one of them.
  std::vector<MediaFormat*> m_formatList;
  // Copies taken out of the list while programs built from them still run.
  std::vector<MediaFormat*> m_retiredFormats;
};

}  // namespace palvex

#endif  // PALVEX_MUXER_FRAME_MUXER_H_
