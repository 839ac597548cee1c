// PES packet header and the time stamps of one frame: audio DTS 40 ms before the PTS,
// frame-duration measurement on video, PTS from a 100-ns time trailer, and on reordered
// video (H.264 above Baseline, MPEG-2 video, MPEG-4 Visual) the PTS of each picture from
// its place in presentation order, its DTS the frame time.
#include "stream/pes_header.h"

#include <algorithm>
#include <cstring>

#include "stream/nal_walk.h"
#include "stream/start_code.h"
#include "stream/stream_types.h"
#include "stream/ts_packet_writer.h"
#include "stream/ts_stream.h"

namespace palvex {

namespace {

constexpr int64_t kAudioDtsOffsetTicks = 3600;  // 40 ms
}  // namespace

int32_t TSStream::SnapFrameDuration(int64_t measured) {
  if (measured > 100000 || measured < 10000) return 0;
  if (measured >= 51000) return 66666;  // 15 fps
  if (measured >= 42000) return 50000;  // 20 fps
  if (measured >= 41700) return 41718;  // 23.97 fps
  if (measured >= 41000) return 41666;  // 24 fps
  if (measured >= 38000) return 40000;  // 25 fps
  if (measured >= 33350) return 33367;  // 29.97 fps
  if (measured >= 25000) return 33333;  // 30 fps
  if (measured >= 18350) return 20000;  // 50 fps
  if (measured >= 16675) return 16683;  // 59.94 fps
  return 16667;                         // 60 fps
}

// The average of the three intervals between the first four time-stamped frames; a value
// out of range starts the measurement over with the next frame.
void TSStream::MeasureFrameDuration(int64_t time) {
  if (time < 0 || m_durationFrames >= 4 || m_frameDuration != 0) return;
  if (m_durationFrames == 0) m_firstFrameTime = time;
  if (m_durationFrames == 3) {
    // Modular difference: host times far apart give a large d that is rejected, not UB.
    const int64_t span = int64_t(uint64_t(time) - uint64_t(m_firstFrameTime));
    m_frameDuration = SnapFrameDuration(span / 3);
    if (m_frameDuration == 0) m_durationFrames = -1;
  }
  m_durationFrames += 1;
}

const uint8_t* TSStream::H264FirstStartCode(IMediaFrame* frame) {
  const uint8_t* bytes = frame->GetData();
  const int size = frame->GetSize();
  if (bytes == nullptr || size <= 4) return nullptr;
  return FindStartCode(bytes, size_t(size));
}

bool TSStream::FinishNalWalk(NalWalk* walk) {
  const NalWalkResult found = walk->Finish();
  if (found.sawSps) m_profileIdc = found.profileIdc;
  return found.idrSlice;
}

int32_t TSStream::WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest,
                                 bool isVideo) {
  const int64_t time = frame->GetTime();
  if (WalksNalUnits(MicrosecondsToTicks(time), isVideo)) {
    const uint8_t* startCode = H264FirstStartCode(frame);
    if (startCode == nullptr) {
      PutPESStartCode(dest, m_streamId);
      MeasureFrameDuration(time);
      return -1;
    }
    NalWalk walk(m_h264Parser, frame->GetData(), size_t(frame->GetSize()), startCode);
    return WritePESHeader(frame, length, dest, isVideo, &walk);
  }
  return WritePESHeader(frame, length, dest, isVideo, nullptr);
}

// The rule of the stream, one per branch. Frames without a time stamp (negative times)
// get no PTS or DTS; the H.264 walk is still finished so that every NAL unit is fed in
// order.
PESTimestamps TSStream::DecideTimestamps(IMediaFrame* frame, uint32_t payload, bool isVideo,
                                         NalWalk* walk) {
  const int64_t time = frame->GetTime();
  const int64_t ticks = MicrosecondsToTicks(time);
  PESTimestamps stamps;
  // The header is 19 bytes from tick 0 on, as the packetizer reckons. A negative time means
  // the frame has no time stamp, also from -11 to -1 us, which truncate to tick 0: those
  // frames keep the 19-byte header with its 10 header data bytes as stuffing.
  stamps.present = ticks >= 0;
  stamps.stamped = stamps.present && time >= 0;
  stamps.headerDataLength = stamps.present ? kPESTimestampDataLength : 0;
  if (!stamps.stamped) {
    if (stamps.present && walk != nullptr) FinishNalWalk(walk);
    return stamps;
  }
  if (!isVideo) {
    // Audio: decoded 40 ms ahead of its presentation.
    stamps.pts = ticks;
    stamps.dts = ticks - kAudioDtsOffsetTicks;
    return stamps;
  }
  MeasureFrameDuration(time);
  if (m_hasTimeTrailer) {
    // Time trailer: the PTS from the trailer, the DTS 40 ms before the frame time.
    stamps.pts = TrailerPts(frame, payload, ticks);
    stamps.dts = ticks - kAudioDtsOffsetTicks;
    return stamps;
  }
  stamps.dts = ticks;
  if (m_streamType != kStreamTypeH264) {
    // MPEG-2 video, MPEG-4 Visual: placed by the picture header.
    stamps.pts = PictureHeaderPts(frame, ticks);
    return stamps;
  }
  const bool idr = walk != nullptr && FinishNalWalk(walk);
  if (m_profileIdc <= kProfileIdcBaseline) {
    // H.264 Baseline (or no SPS seen yet): no reordering, presented at its own time.
    stamps.pts = ticks;
    return stamps;
  }
  // H.264 above Baseline: placed by its picture order count.
  stamps.pts = PictureOrderPts(ticks, idr);
  return stamps;
}

// Presentation time in 100 ns, least significant byte first, right behind the payload;
// the frame time when the frame is too short to hold it.
int64_t TSStream::TrailerPts(IMediaFrame* frame, uint32_t payload, int64_t ticks) {
  const uint8_t* bytes = frame->GetData();
  const int size = frame->GetSize();
  if (bytes == nullptr || size < 0 || uint64_t(payload) + 8 > uint64_t(size)) return ticks;
  uint64_t trailer = 0;
  for (int i = 7; i >= 0; --i) trailer = trailer << 8 | bytes[payload + uint32_t(i)];
  return HundredNanosecondsToTicks(int64_t(trailer));
}

MilliTicks TSStream::PresentationFrameDuration(MilliTicks ownDuration) const {
  if (ownDuration != 0) return ownDuration;
  if (m_nominalDuration != 0) return m_nominalDuration;
  return m_frameDuration != 0 ? FrameDurationFromMicroseconds(m_frameDuration) : 0;
}

// The presentation delay D is the reorder depth: max_num_reorder_frames where the SPS gives
// it; none where pictures cannot be reordered (pic_order_cnt_type 2, intra-only profiles);
// otherwise learned from the pictures, up to what the level's DPB can hold.
int64_t TSStream::PictureOrderPts(int64_t ticks, bool idr) {
  const SequenceTiming& timing = m_h264Parser.sequenceTiming();
  int32_t reorderFrames = -1;
  if (timing.pocType == 2 || timing.intraOnly) {
    reorderFrames = 0;
  } else if (timing.maxNumReorderFrames >= 0) {
    reorderFrames = timing.maxNumReorderFrames;
  }
  const MilliTicks duration =
      PresentationFrameDuration(FrameDurationFromTiming(timing.numUnitsInTick, timing.timeScale));
  return m_presentationClock.PresentationTime(ticks, m_h264Parser.GetPictureOrderCount(), idr,
                                              duration, reorderFrames, timing.maxDpbFrames);
}

int64_t TSStream::PictureHeaderPts(IMediaFrame* frame, int64_t ticks) {
  const uint8_t* bytes = frame->GetData();
  const int size = frame->GetSize();
  if (bytes == nullptr || size <= 0) return ticks;
  const int64_t delay = m_pictureHeaders.PresentationDelay(
      bytes, size_t(size), PresentationFrameDuration(m_pictureHeaders.frameDuration()));
  return delay > 0 ? ticks + delay : ticks;
}

int32_t TSStream::WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest,
                                 bool isVideo, NalWalk* walk) {
  const uint32_t payload = *length;
  const PESTimestamps stamps = DecideTimestamps(frame, payload, isVideo, walk);
  return PutPESHeader(dest, m_streamId, PESPacketLength(payload, isVideo, stamps.headerDataLength),
                      stamps);
}

}  // namespace palvex
