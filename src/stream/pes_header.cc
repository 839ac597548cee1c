// PES packet header (ISO/IEC 13818-1 2.4.3.7) and the time stamps of one frame: audio DTS
// 40 ms before the PTS, frame-duration measurement on video, PTS from a 100-ns time
// trailer, and on H.264 above Baseline a PTS derived from the picture order count.
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
constexpr uint32_t kMaxPESPacketLength = 0xFFFF;

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
  if (m_durationFrames >= 4 || m_frameDuration != 0) return;
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

bool TSStream::FinishNalWalk(NalWalk* walk, int64_t time) {
  const NalWalkResult found = walk->Finish();
  if (found.sawSps) {
    m_baseTime = time;
    m_profileIdc = found.profileIdc;
  }
  return found.keyPicture;
}

int32_t TSStream::WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest,
                                 bool isVideo) {
  const int64_t time = frame->GetTime();
  const uint8_t* startCode = nullptr;
  if (MicrosecondsToTicks(time) >= 0 && isVideo && !m_hasTimeTrailer &&
      m_streamType == kStreamTypeH264) {
    startCode = H264FirstStartCode(frame);
    if (startCode == nullptr) {
      PutPesStartCode(dest, m_streamId);
      MeasureFrameDuration(time);
      return -1;
    }
    NalWalk walk(m_h264Parser, frame->GetData(), size_t(frame->GetSize()), startCode);
    return WritePESHeader(frame, length, dest, isVideo, &walk);
  }
  return WritePESHeader(frame, length, dest, isVideo, nullptr);
}

int32_t TSStream::WritePESHeader(IMediaFrame* frame, uint32_t* length, uint8_t* dest,
                                 bool isVideo, NalWalk* walk) {
  const int64_t time = frame->GetTime();
  const int64_t ticks = MicrosecondsToTicks(time);
  const uint32_t payload = *length;
  // The header is 19 bytes from tick 0 on, as the packetizer reckons. A negative time means
  // the frame has no time stamp, also from -11 to -1 us, which truncate to tick 0: those
  // frames keep the 19-byte header with its 10 header data bytes as stuffing.
  const bool timestamps = ticks >= 0;
  const bool stamped = timestamps && time >= 0;
  const uint32_t dataLength = timestamps ? 10 : 0;

  int64_t pts = ticks;
  int64_t dts = ticks - kAudioDtsOffsetTicks;
  if (timestamps && !stamped && walk != nullptr) FinishNalWalk(walk, time);  // every NAL unit fed, in order
  if (stamped && isVideo) {
    MeasureFrameDuration(time);
    if (m_hasTimeTrailer) {
      // Presentation time in 100 ns, least significant byte first, right behind the payload.
      const uint8_t* bytes = frame->GetData();
      const int size = frame->GetSize();
      if (bytes != nullptr && size >= 0 && uint64_t(payload) + 8 <= uint64_t(size)) {
        uint64_t trailer = 0;
        for (int i = 7; i >= 0; --i) trailer = trailer << 8 | bytes[payload + uint32_t(i)];
        pts = HundredNanosecondsToTicks(int64_t(trailer));
      }
    } else if (m_streamType != kStreamTypeH264) {
      dts = ticks;
    } else {
      const bool key = walk != nullptr && FinishNalWalk(walk, time);
      dts = ticks;
      if (m_profileIdc > kProfileIdcBaseline) {
        int64_t t = time;
        if (key) {
          m_basePOC = m_h264Parser.GetPictureOrderCount();
          m_baseTime = time;
        } else if (m_frameDuration == 0) {
          // No frame duration yet to scale the count by: the picture is presented at its
          // own time rather than at the key picture's, which would put its PTS before
          // its DTS.
        } else {
          // Two picture-order-count steps per frame, in 64 bits so long GOPs cannot overflow.
          const int64_t steps = int64_t(m_h264Parser.GetPictureOrderCount()) - m_basePOC;
          const int64_t q = steps * m_frameDuration / 2;
          t = int64_t(uint64_t(m_baseTime) + uint64_t(q));
        }
        pts = t / 1000 * 90;  // whole milliseconds, then 90 kHz ticks
      }
    }
  }

  uint32_t packetLength = 0;  // unbounded on video
  if (!isVideo) {
    packetLength = std::min(payload, kMaxPESPacketLength - 3 - dataLength) + dataLength + 3;
  }
  PutPesHeaderStart(dest, m_streamId, packetLength, kPesFlagsAligned,
                    stamped ? kPtsDtsFlagsBoth : kPtsDtsFlagsNone, uint8_t(dataLength));
  if (!timestamps) return 9;
  if (!stamped) {
    std::memset(dest + 9, 0xFF, dataLength);   // stuffing_byte
    return 19;
  }
  uint8_t* q = PutTimestamp(dest + 9, 0x3, pts);  // PTS
  PutTimestamp(q, 0x1, dts);                   // DTS
  return 19;
}

}  // namespace palvex
