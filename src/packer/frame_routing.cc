// MuxFrame: finds the frame's elementary stream by its stream id, decides the ADTS header
// of raw AAC, sends the PAT and the PMTs when they are due, and hands the frame to the
// stream's packetizer.
#include <limits>

#include "diagnostics/diagnostics.h"
#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"

namespace palvex {

int32_t TSPacker::MuxFrame(int32_t streamId, IMediaFrame* frame) {
  if (frame == nullptr) return kFrameRefused;
  TSStream* stream = FindStream(streamId);
  if (stream == nullptr) return kFrameRefused;
  // The host's frame is asked once for its bytes and their count.
  const uint8_t* data = frame->GetData();
  const int size = frame->GetSize();
  bool refused = false;
  const uint8_t* adts = TakeADTSHeader(stream, data, size, &refused);
  if (refused) return kFrameRefused;
  const int64_t t = frame->GetTime();
  if (PSIDue(stream, t)) {
    const int32_t result = EmitPSI(t);
    if (result != kPackerOk) return result;
  }
  return HandOver(stream, frame, data, size, adts);
}

// Only AAC streams run the detection. The header is built here, in the stream's template,
// and written by the packetizer into the frame's first packet: the frame is never written.
const uint8_t* TSPacker::TakeADTSHeader(TSStream* stream, const uint8_t* data, int size,
                                        bool* refused) {
  ADTSFraming& framing = stream->adts();
  if (!framing.TakesHeader(data, size)) return nullptr;
  // frame_length counts the header and has 13 bits.
  if (data == nullptr || size < 0 || size > ADTSFraming::kMaxPayload) {
    *refused = true;
    return nullptr;
  }
  return framing.HeaderFor(size);
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
    PrintDiagnostic("%s\n", kPATToTSError);
    return result;
  }
  result = PMTToTS();
  if (result != kPackerOk) {
    PrintDiagnostic("%s\n", kPMTToTSError);
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

int32_t TSPacker::HandOver(TSStream* stream, IMediaFrame* frame, const uint8_t* data, int size,
                           const uint8_t* adts) {
  if (size < 0 || (data == nullptr && size > 0)) return kFrameRefused;
  uint32_t length = uint32_t(size);
  const int32_t result = stream->EStoTS(stream->description(), frame, data, &length, adts);
  if (result != kPackerOk) {
    PrintDiagnostic("%s\n", kEStoTSError);
    return result;
  }
  return kPackerOk;
}

}  // namespace palvex
