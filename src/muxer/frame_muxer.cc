#include "muxer/frame_muxer.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "diagnostics/diagnostics.h"
#include "packer/pid_record.h"
#include "packer/ts_packer.h"
#include "ts/ts_packet_buffer.h"

namespace palvex {

namespace {
constexpr int kPrefetchBytes = 1024;
}  // namespace

FrameMuxer::FrameMuxer()
    : m_packetBuffer(new (std::nothrow) TSPacketBuffer()), m_pidRecord(new (std::nothrow) PidRecord()) {}

FrameMuxer::~FrameMuxer() {
  // A host that never closed the muxer still gets its packer and programs released.
  if (m_tsPacker != nullptr) {
    m_tsPacker->RemoveAllPrograms();
    delete m_tsPacker;
  }
  for (MediaFormat* format : m_formatList) format->Release();
  for (MediaFormat* format : m_retiredFormats) format->Release();
  delete m_packetBuffer;
  delete m_pidRecord;  // after the packer, which hands its counters back on the way out
}

int FrameMuxer::Open() {
  try {
    if (m_tsPacker != nullptr) return -1;  // a second Open keeps the first packer
    m_tsPacker = CreatePacker();
    if (m_tsPacker == nullptr) {
      PrintDiagnostic("%s", kCreatePackerFailed);
      return -1;
    }
    m_tsPacker->SetOutputBuffer(m_packetBuffer);
    m_tsPacker->SetPidRecord(m_pidRecord);
    m_tsPacker->SetOptionBytes(0, 1);
    return 0;
  } catch (...) {
    return -1;
  }
}

int FrameMuxer::Close() {
  try {
    if (m_tsPacker == nullptr) return -1;
    StopPrograms();
    delete m_tsPacker;
    m_tsPacker = nullptr;
    m_stopped = 1;
    return 0;
  } catch (...) {
    return -1;
  }
}

// A format the packer cannot carry is left out; when memory runs out, the programs built
// so far go again and the muxer stays stopped, so that the host is told and may Start
// again.
int FrameMuxer::Start() {
  if (m_tsPacker == nullptr) return -1;
  // Building the programs a second time would give them the PIDs of the running ones.
  if (m_stopped == 0) return -1;
  bool built = true;
  try {
    for (MediaFormat* format : m_formatList) {
      if (m_tsPacker->AddProgram(format) == kNoMemory) {
        built = false;
        break;
      }
    }
  } catch (...) {
    built = false;
  }
  if (!built) {
    StopPrograms();
    m_tsPacker->Reset();
    return -1;
  }
  m_tsPacker->Reset();
  m_stopped = 0;
  return 0;
}

int FrameMuxer::Stop() {
  PrintDiagnostic("%s\n", kCallStop);
  try {
    if (m_tsPacker == nullptr) return -1;
    StopPrograms();
    m_stopped = 1;
    return 0;
  } catch (...) {
    return -1;
  }
}

void FrameMuxer::StopPrograms() {
  m_tsPacker->StopPacker();
  ReleaseRetiredFormats();
}

void FrameMuxer::ReleaseRetiredFormats() {
  for (MediaFormat* format : m_retiredFormats) format->Release();
  m_retiredFormats.clear();
}

MediaFormat* FrameMuxer::AddMediaFormat(MediaFormat* format) {
  if (m_packetBuffer == nullptr || format == nullptr) return nullptr;
  try {
    // The host's object serializes itself; our own copy reads that form back.
    int size = 0;
    format->Serialize(nullptr, &size);
    if (size <= 0) return nullptr;
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[size]);
    if (!scratch) return nullptr;
    int written = 0;
    format->Serialize(scratch.get(), &written);
    if (written <= 0 || written > size) return nullptr;
    std::unique_ptr<MediaFormat> copy(new (std::nothrow) MediaFormat());
    if (!copy) return nullptr;
    copy->UnSerialize(scratch.get(), written);
    // Stream ids name streams across the muxer, and every program must fit the tables.
    if (const char* refusal = TSPacker::CheckFormat(copy.get(), m_formatList)) {
      PrintDiagnostic("%s\n", refusal);
      return nullptr;
    }
    m_formatList.push_back(copy.get());
    copy.release();
  } catch (...) {
  }
  return format;
}

int FrameMuxer::RemoveMediaFormat(MediaFormat* entry) {
  auto it = std::find(m_formatList.begin(), m_formatList.end(), entry);
  if (it == m_formatList.end()) return -1;
  m_formatList.erase(it);
  // Running programs may still refer to the copy and its streams: keep it until they
  // are gone.
  if (m_stopped == 0) {
    try {
      m_retiredFormats.push_back(entry);
    } catch (...) {
      m_formatList.push_back(entry);  // cannot keep it safely aside: leave it listed
      return -1;
    }
  } else {
    entry->Release();
  }
  return 0;
}

std::vector<MediaFormat*> FrameMuxer::GetMediaFormats() { return m_formatList; }

int FrameMuxer::ProcessFrame(int streamId, IMediaFrame* frame, uint8_t** data, int* length) {
  if (m_packetBuffer == nullptr) {
    if (length != nullptr) *length = 0;
    return -1;
  }
  if (m_tsPacker == nullptr || m_stopped == 1) return -1;
  try {
    if (frame == nullptr || data == nullptr || length == nullptr) {
      if (length != nullptr) *length = 0;
      return -1;
    }
    const int size = frame->GetSize();
    const uint8_t* bytes = frame->GetData();
    // Room for the frame's packets: 20 % above its size covers the TS and PES headers,
    // the ADTS header and the PSI packets in front of it. The buffer counts its bytes in
    // 32 bits: a frame that would need more (above about 1.79 GB) is refused.
    const uint64_t needed = static_cast<uint64_t>(size) * 12 / 10;
    if (size < 0 || (size > 0 && bytes == nullptr) ||
        needed > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
      *length = 0;
      return -1;
    }
    // A frame straight from memory: start loading its first bytes (ADTS detection, the
    // NAL walk, the first packets) while the PSI and the headers are worked out.
    const uint8_t* const frameEnd = bytes + std::min(size, kPrefetchBytes);
    for (const uint8_t* p = bytes; p < frameEnd; p += 64) __builtin_prefetch(p);
    if (static_cast<uint64_t>(m_packetBuffer->GetCapacity()) < needed) {
      PrintDiagnostic(kBufferGrowth, m_packetBuffer->GetCapacity(), static_cast<int>(needed));
      m_packetBuffer->Resize(static_cast<uint32_t>(needed));
    }
    m_tsPacker->MuxFrame(streamId, frame);
    *length = m_packetBuffer->GetBytes(data);
    m_packetBuffer->Clear();
    return 0;
  } catch (...) {
    m_packetBuffer->Clear();
    *length = 0;
    return -1;
  }
}

void FrameMuxer::Reserved(int) {}

}  // namespace palvex
