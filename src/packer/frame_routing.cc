// MuxFrame: finds the frame's elementary stream, frames raw AAC with ADTS headers, sends
// the PAT and the PMTs when they are due, and hands the frame to the stream's packetizer.
#include <cstdio>
#include <limits>

#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "stream/ts_stream.h"

namespace palvex {

namespace {

// Audio frames examined before the ADTS decision.
constexpr int32_t kADTSFramesExamined = 3;
// m_adtsChecked once the decision is taken; it is final for the life of the packer.
constexpr int32_t kADTSDecided = 4;

// The 12-bit ADTS syncword 0xFFF at the start of the frame. Frames shorter than the
// syncword have none.
bool BeginsWithSyncword(const uint8_t* data, int size) {
  return data != nullptr && size >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0;
}

}  // namespace

int32_t TSPacker::MuxFrame(int32_t streamId, IMediaFrame* frame) {
  if (frame == nullptr) return kNoStream;
  MediaStream* description = nullptr;
  TSStream* stream = nullptr;
  bool isAudio = false;
  if (!FindStream(streamId, &description, &stream, &isAudio)) return kNoStream;
  if (TakesADTSHeader(frame, isAudio)) {
    const int32_t result = InsertADTSHeader(frame);
    if (result != kPackerOk) return result;
  }
  const int64_t t = frame->GetTime();
  if (PSIDue(stream, t)) {
    const int32_t result = EmitPSI(t);
    if (result != kPackerOk) return result;
  }
  return HandOver(stream, description, frame);
}

// The video slot first: when both carry the same id, the video stream wins.
bool TSPacker::FindStream(int32_t streamId, MediaStream** description, TSStream** stream,
                          bool* isAudio) {
  if (m_videoStream != nullptr && int32_t(m_videoStream->GetStreamId()) == streamId) {
    *description = m_videoStream;
    *stream = m_videoTSStream;
  } else if (m_audioStream != nullptr && int32_t(m_audioStream->GetStreamId()) == streamId) {
    *description = m_audioStream;
    *stream = m_audioTSStream;
    *isAudio = true;
  } else {
    return false;
  }
  if (*stream == nullptr) {
    std::printf("not find stream \n");
    return false;
  }
  return true;
}

// ADTS detection over the first audio frames: do they already carry headers? The decision
// turns insertion off for good only when all examined frames had them.
bool TSPacker::TakesADTSHeader(IMediaFrame* frame, bool isAudio) {
  bool stillDeciding = false;
  bool carriesSyncword = false;
  if (m_adtsChecked < kADTSFramesExamined && isAudio) {
    carriesSyncword = BeginsWithSyncword(frame->GetData(), frame->GetSize());
    if (carriesSyncword) ++m_adtsFound;
    ++m_adtsChecked;
    stillDeciding = m_adtsChecked < kADTSFramesExamined;
  }
  if (m_adtsChecked == kADTSFramesExamined && m_insertADTS) {
    if (m_adtsFound == kADTSFramesExamined) m_insertADTS = false;
    m_adtsChecked = kADTSDecided;
  }
  // Without a template there is no header to insert; a frame that already begins with a
  // syncword while the decision is pending must not get a second one.
  return m_insertADTS && isAudio && m_adtsBuilt && !(stillDeciding && carriesSyncword);
}

// PAT and PMTs before the first frame, then once the frame's stream has moved on by the
// repetition interval on its own clock since they last went out. A stream whose first frame
// comes after that starts its clock there; a frame earlier than the stream's time at the
// last emission restarts its interval from its own time.
bool TSPacker::PSIDue(TSStream* stream, int64_t t) {
  StreamClock& clock = stream->psiClock();
  if (clock.seen) {
    // Unsigned: times far apart give a large step that is no frame step, not an overflow.
    const uint64_t step = uint64_t(t) - uint64_t(clock.lastTime);
    if (t > clock.lastTime && step <= uint64_t(kPSIMaxFrameStep)) clock.frameStep = int64_t(step);
  }
  clock.seen = true;
  clock.lastTime = t;
  if (m_psiCount == 0) {
    m_psiCount = 1;
    return true;
  }
  if (!clock.marked || t < clock.timeAtPSI) {
    clock.marked = true;
    clock.timeAtPSI = t;
    return false;
  }
  if (uint64_t(t) - uint64_t(clock.timeAtPSI) < uint64_t(m_psiRepetition)) return false;
  // Only whether the count is 0 matters; it stops short of overflowing.
  if (m_psiCount < std::numeric_limits<int32_t>::max()) ++m_psiCount;
  return true;
}

// Timing moves on before the packets are written: a failed emission waits for the next
// interval.
int32_t TSPacker::EmitPSI(int64_t t) {
  m_lastPSITime = t;
  MarkStreamClocks();
  int32_t result = PATToTS();
  if (result != kPackerOk) {
    std::printf("PATToTS error \n");
    return result;
  }
  result = PMTToTS();
  if (result != kPackerOk) {
    std::printf("PMTToTS error \n");
    return result;
  }
  return kPackerOk;
}

void TSPacker::MarkStreamClocks() {
  int64_t largestStep = 0;
  for (PMTProgram* program : m_programs) {
    for (TSStream* stream : program->streams()) {
      StreamClock& clock = stream->psiClock();
      clock.marked = clock.seen;
      clock.timeAtPSI = clock.lastTime;
      if (clock.frameStep > largestStep) largestStep = clock.frameStep;
    }
  }
  m_psiRepetition = kPSIInterval - 2 * (largestStep != 0 ? largestStep : kPSIDefaultFrameStep);
}

// The frame's bytes as they are now (after an ADTS header went in front) to the stream's
// packetizer.
int32_t TSPacker::HandOver(TSStream* stream, MediaStream* description, IMediaFrame* frame) {
  const uint8_t* data = frame->GetData();
  const int size = frame->GetSize();
  if (size < 0 || (data == nullptr && size > 0)) return kNoStream;
  uint32_t length = uint32_t(size);
  const int32_t result = stream->EStoTS(description, frame, data, &length);
  if (result != kPackerOk) {
    std::printf("tsstream->EStoTS error \n");
    return result;
  }
  return kPackerOk;
}

}  // namespace palvex
