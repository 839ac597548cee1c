// The packetizer of one elementary stream: its entry in the PMT and EStoTS; the time stamps
// of each frame as the stream's rule decides them (audio DTS 40 ms before the PTS,
// frame-duration measurement on video, PTS from a 100-ns time trailer, and on reordered video,
// that is H.264 above Baseline, HEVC, MPEG-2 video and MPEG-4 Visual, the PTS of each picture from
// its place in presentation order, its DTS the frame time); and PESToTS, the PES packets cut
// into 188-byte TS packets with the PCR in the first packet of a frame on the program's clock
// stream, random_access_indicator on video key pictures, and the ADTS header of raw AAC in
// front of the frame's bytes in its first packet.
#include "packetizer/ts_stream.h"

#include <algorithm>
#include <cstring>

#include "codec/h264_syntax.h"
#include "codec/key_picture.h"
#include "codec/nal_walk.h"
#include "codec/start_code.h"
#include "packetizer/frame_time.h"
#include "diagnostics/diagnostics.h"
#include "ts/packet_copy.h"
#include "ts/pes_header.h"
#include "ts/stream_types.h"
#include "ts/ts_packet_buffer.h"
#include "ts/ts_packet_writer.h"

namespace palvex {

namespace {

constexpr uint32_t kTimeTrailerLength = 8;
constexpr int64_t kAudioDtsOffsetTicks = 3600;  // 40 ms
constexpr int64_t kPCRIntervalTicks = 3600;  // 40 ms of frame time between PCRs
// Payload of a bounded PES packet: PES_packet_length counts at most 65535 bytes after
// itself, of which 3 are flags and header length, then PES_header_data_length bytes.
constexpr uint32_t kMaxPESPayloadWithTimestamps = kMaxPESPacketLength - 3 - kPESTimestampDataLength;
constexpr uint32_t kMaxPESPayloadWithout = kMaxPESPacketLength - 3;

// The video syntax of a stream_type, for its key pictures.
VideoSyntax VideoSyntaxOf(uint8_t streamType) {
  switch (streamType) {
    case kStreamTypeH264: return VideoSyntax::kH264;
    case kStreamTypeHEVC: return VideoSyntax::kHEVC;
    case kStreamTypeMPEG2Video: return VideoSyntax::kMPEG2Video;
    case kStreamTypeMPEG4Visual: return VideoSyntax::kMPEG4Visual;
    default: return VideoSyntax::kOther;
  }
}

}  // namespace

TSStream::TSStream(uint8_t streamType, uint8_t streamId, uint16_t pid, bool carriesPCR,
                   TSPacketBuffer* packetBuffer, int32_t packetSize)
    : m_streamType(streamType),
      m_streamId(streamId),
      m_pid(pid),
      m_carriesPCR(carriesPCR),
      m_packetBuffer(packetBuffer),
      m_packetSize(packetSize),
      m_presentationClock(streamType == kStreamTypeHEVC ? 1 : 2),
      m_pictureHeaders(streamType == kStreamTypeMPEG4Visual ? MPEGVideoReader::Syntax::kMPEG4Visual
                                                            : MPEGVideoReader::Syntax::kMPEG2Video) {}

TSStream::~TSStream() = default;

// Entry of the PMT's elementary-stream loop: stream_type, elementary_PID, ES_info_length
// and the descriptors, the length filled in after they have been written and counted.
int32_t TSStream::WritePSI(uint8_t* p) {
  int32_t infoLength = 0;
  for (PSIElement* descriptor : m_descriptors) {
    infoLength += descriptor->WritePSI(p != nullptr ? p + 5 + infoLength : nullptr);
  }
  if (p != nullptr) {
    p[0] = m_streamType;                                   // stream_type
    p[1] = uint8_t(0xE0 | (m_pid >> 8 & 0x1F));            // reserved '111', elementary_PID[12:8]
    p[2] = uint8_t(m_pid);                                 // elementary_PID[7:0]
    p[3] = uint8_t(0xF0 | (infoLength >> 8 & 0x0F));       // reserved '1111', ES_info_length[11:8]
    p[4] = uint8_t(infoLength);                            // ES_info_length[7:0]
  }
  return 5 + infoLength;
}

int32_t TSStream::EStoTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                         uint32_t* length, const uint8_t* adts) {
  if (length == nullptr) return kFrameRefused;
  if (m_hasTimeTrailer) {
    // The last 8 bytes are the presentation time, not payload; a frame too short to hold
    // them is not read at all.
    if (*length < kTimeTrailerLength) return kFrameRefused;
    *length -= kTimeTrailerLength;
  }
  return PESToTS(description, frame, data, length, adts);
}

void TSStream::ClearDescriptors() {
  for (PSIElement* d : m_descriptors) delete d;
  m_descriptors.clear();
  m_descriptors.shrink_to_fit();
}

// Time stamps.

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

const uint8_t* TSStream::FirstStartCode(IMediaFrame* frame) {
  const uint8_t* bytes = frame->GetData();
  const int size = frame->GetSize();
  if (bytes == nullptr || size <= 4) return nullptr;
  return FindStartCode(bytes, size_t(size));
}

NalWalk TSStream::StartNalWalk(const uint8_t* bytes, size_t count, const uint8_t* startCode) {
  if (m_streamType == kStreamTypeHEVC) return NalWalk(m_hevcReader, bytes, count, startCode);
  return NalWalk(m_h264Parser, bytes, count, startCode);
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
    const uint8_t* startCode = FirstStartCode(frame);
    if (startCode == nullptr) {
      PutPESStartCode(dest, m_streamId);
      MeasureFrameDuration(time);
      return kNoPESHeader;
    }
    NalWalk walk = StartNalWalk(frame->GetData(), size_t(frame->GetSize()), startCode);
    return WritePESHeader(frame, length, dest, isVideo, &walk, time, MicrosecondsToTicks(time));
  }
  return WritePESHeader(frame, length, dest, isVideo, nullptr, time, MicrosecondsToTicks(time));
}

// The rule of the stream, one per branch. Frames without a time stamp (negative times)
// get no PTS or DTS; the NAL walk is still finished so that every NAL unit is fed in
// order.
PESTimestamps TSStream::DecideTimestamps(IMediaFrame* frame, uint32_t payload, bool isVideo,
                                         NalWalk* walk, int64_t time, int64_t ticks) {
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
  if (m_streamType == kStreamTypeHEVC) {
    // HEVC: placed by its picture order count.
    stamps.pts = ticks;
    if (walk != nullptr) {
      walk->Finish();
      stamps.pts = HEVCPictureOrderPts(ticks);
    }
    return stamps;
  }
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

// D is sps_max_num_reorder_pics of the highest sub-layer, none on intra-only streams. A
// picture lasts a clock tick of the VUI (or VPS); where neither gives one, with
// field_seq_flag (a field per picture) half the description's frame duration, else the
// description's or the measured duration. An access unit without a picture whose parameter
// sets are known is presented at its decode time.
int64_t TSStream::HEVCPictureOrderPts(int64_t ticks) {
  const HEVCPicture& picture = m_hevcReader.picture();
  if (!picture.present) return ticks;
  const HEVCSequenceTiming& timing = m_hevcReader.sequenceTiming();
  MilliTicks duration = PictureDurationFromTiming(timing.numUnitsInTick, timing.timeScale);
  if (duration == 0 && timing.fieldSeq) duration = m_nominalDuration / 2;
  const int32_t reorderPictures = timing.intraOnly ? 0 : timing.maxNumReorderPics;
  return m_presentationClock.PresentationTime(ticks, picture.poc, picture.noRaslOutput,
                                              PresentationFrameDuration(duration), reorderPictures,
                                              reorderPictures);
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
                                 bool isVideo, NalWalk* walk, int64_t time, int64_t ticks) {
  const uint32_t payload = *length;
  const PESTimestamps stamps = DecideTimestamps(frame, payload, isVideo, walk, time, ticks);
  return PutPESHeader(dest, m_streamId, PESPacketLength(payload, isVideo, stamps.headerDataLength),
                      stamps);
}

// PES packets into TS packets.

uint8_t* TSStream::TakeSlot() {
  return m_packetBuffer != nullptr ? m_packetBuffer->NextPacket() : nullptr;
}

// A PCR is due on the first frame, once the frame time has moved 3600 ticks on since the
// last one, and whenever the time goes back. The clock then equals the frame time.
bool TSStream::DecidePCR(int64_t ticks) {
  if (m_pcrCount == 0) {
    m_pcrClock = ticks;
    m_pcrCount = 1;
  } else {
    const int64_t d = ticks - m_lastPCRTime;
    if (d >= 0 && d < kPCRIntervalTicks) return false;
    m_pcrClock += d;
    if (m_pcrCount < INT32_MAX) m_pcrCount += 1;
  }
  m_lastPCRTime = ticks;
  return true;
}

uint8_t* TSStream::StartPESPacket(uint64_t total, bool withPCR, bool randomAccess, uint32_t* e) {
  uint8_t* p = TakeSlot();
  if (p == nullptr) return nullptr;
  const uint8_t pidHigh = PidHighByte(m_pid, true);
  const uint8_t pidLow = PidLowByte(m_pid);
  if (withPCR) {
    *e = uint32_t(std::min<uint64_t>(kTSPCRPayloadRoom, total));
    PutTSHeader(p, pidHigh, pidLow, kAdaptationAndPayload, m_continuityCounter);
    PutPCRField(p, m_pcrClock - kPCRDelayTicks, int(*e));
    if (randomAccess) p[5] |= kRandomAccessFlag;
  } else if (randomAccess) {
    // Length and flags byte, then stuffing up to a payload that does not fill the rest.
    *e = uint32_t(std::min<uint64_t>(kTSFlagsPayloadRoom, total));
    PutTSHeader(p, pidHigh, pidLow, kAdaptationAndPayload, m_continuityCounter);
    PutStuffingField(p, int(*e));
    p[5] = kRandomAccessFlag;
  } else if (total < kTSPayloadRoom) {
    *e = uint32_t(total);
    PutTSHeader(p, pidHigh, pidLow, kAdaptationAndPayload, m_continuityCounter);
    PutStuffingField(p, int(*e));
  } else {
    *e = kTSPayloadRoom;
    PutTSHeader(p, pidHigh, pidLow, kPayloadOnly, m_continuityCounter);
  }
  m_continuityCounter = uint8_t(NextContinuityCounter(m_continuityCounter));
  return p + kTSPacketSize - *e;
}

// The hot loop: the frame's packets are taken from the buffer at once; each full packet is
// a 4-byte header and one 184-byte copy; only the last packet of a PES packet can be short
// and take a stuffing adaptation field.
bool TSStream::PutPayloadPackets(const uint8_t* data, uint32_t count, uint32_t* consumed,
                                 NalWalk* walk) {
  if (count == 0) return true;
  const uint8_t pidHigh = PidHighByte(m_pid, false);
  const uint8_t pidLow = PidLowByte(m_pid);
  if (count < uint32_t(kTSPayloadRoom)) {
    // One short packet: how most audio frames end.
    uint8_t* q = TakeSlot();
    if (q == nullptr) return false;
    PutTSHeader(q, pidHigh, pidLow, kAdaptationAndPayload, m_continuityCounter);
    m_continuityCounter = uint8_t(NextContinuityCounter(m_continuityCounter));
    PutStuffingField(q, int(count));
    CopyShort(q + kTSPacketSize - count, data, count);
    *consumed += count;
    return true;
  }
  const uint32_t full = count / kTSPayloadRoom;
  const uint32_t rest = count % kTSPayloadRoom;
  const uint32_t wanted = full + (rest > 0 ? 1 : 0);
  int32_t taken = 0;
  uint8_t* p = m_packetBuffer != nullptr ? m_packetBuffer->TakePackets(int32_t(wanted), &taken)
                                         : nullptr;
  const uint32_t fullPackets = std::min(full, uint32_t(taken));
  unsigned cc = m_continuityCounter;
  if (walk == nullptr) {
    CopyFullPackets(p, data, fullPackets, pidHigh, pidLow, &cc);
  } else {
    // A start code ending at data[0] is not the copy's to report.
    walk->Advance(data + 1);
    uint32_t done = 0;
    while (done < fullPackets) {
      bool found = false;
      done += uint32_t(CopyFullPacketsToStartCode(p + size_t(done) * kTSPacketSize,
                                                  data + size_t(done) * kTSPayloadRoom,
                                                  fullPackets - done, pidHigh, pidLow, &cc, &found));
      if (found) {
        walk->SkipTo(data + size_t(done - 1) * kTSPayloadRoom);
        walk->Advance(data + size_t(done) * kTSPayloadRoom + 1);
      }
    }
    walk->SkipTo(data + size_t(fullPackets) * kTSPayloadRoom);
  }
  uint32_t placed = fullPackets * kTSPayloadRoom;
  if (rest > 0 && uint32_t(taken) > full) {
    uint8_t* q = p + size_t(full) * kTSPacketSize;
    PutTSHeader(q, pidHigh, pidLow, kAdaptationAndPayload, cc);
    cc = NextContinuityCounter(cc);
    PutStuffingField(q, int(rest));
    CopyShort(q + kTSPacketSize - rest, data + placed, rest);
    placed += rest;
  }
  m_continuityCounter = uint8_t(cc);
  *consumed += placed;
  return uint32_t(taken) >= wanted;
}

bool TSStream::WalksNalUnits(int64_t ticks, bool isVideo) const {
  return ticks >= 0 && isVideo && !m_hasTimeTrailer &&
         (m_streamType == kStreamTypeH264 || m_streamType == kStreamTypeHEVC);
}

int32_t TSStream::PESToTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                          uint32_t* length, const uint8_t* adts) {
  if (length == nullptr || (*length == 0 && adts == nullptr)) return kPackerOk;
  if (frame == nullptr || data == nullptr) return kFrameRefused;
  const int64_t time = frame->GetTime();
  const int64_t ticks = MicrosecondsToTicks(time);
  const bool isVideo = description != nullptr && description->GetMainType() == kMediaMainTypeVideo;

  // An H.264 or HEVC frame without a start code has no header to write: it is refused
  // before a slot is taken, so it leaves no packet and the continuity counter stays. It
  // still counts for the frame-duration measurement, as a header writer that fails does.
  const uint8_t* startCode = nullptr;
  if (WalksNalUnits(ticks, isVideo)) {
    startCode = FirstStartCode(frame);
    if (startCode == nullptr) {
      MeasureFrameDuration(time);
      return kPackerOk;
    }
  }

  // Video key pictures are found from the headers in front of the first picture, before
  // the first packet is laid out.
  const bool randomAccess = isVideo && IsKeyPicture(VideoSyntaxOf(m_streamType), data, *length);
  int32_t result =
      PutFirstPESPacket(frame, &data, length, time, ticks, isVideo, startCode, adts, randomAccess);
  // Most frames end in one PES packet.
  if (result == kPackerOk && *length > 0) result = PutContinuationPESPackets(data, length);
  if (result == kNoFreePacket) PrintDiagnostic("%s\n", kNotBuffer);
  return result;
}

// First PES packet: the header with the time stamps. A bounded (non-video) PES packet
// holds at most 65522 payload bytes; the rest follows in further PES packets. Inline: it
// is PESToTS's main step, called from there alone.
inline int32_t TSStream::PutFirstPESPacket(IMediaFrame* frame, const uint8_t** data,
                                           uint32_t* length, int64_t time, int64_t ticks, bool isVideo,
                                           const uint8_t* startCode, const uint8_t* adts,
                                           bool randomAccess) {
  const bool withPCR = m_carriesPCR && DecidePCR(ticks);
  const bool timestamps = ticks >= 0;
  const uint32_t headerLength = kPESHeaderFixedLength + (timestamps ? kPESTimestampDataLength : 0);
  // The ADTS header is payload of the PES packet like the frame's bytes behind it; it
  // always fits the first TS packet (at least 157 payload bytes beside a 19-byte header).
  // Audio only: a video frame never gets one.
  if (isVideo) adts = nullptr;
  const uint32_t prefix = adts != nullptr ? uint32_t(ADTSFraming::kHeaderSize) : 0;
  uint32_t esLength = *length + prefix;
  uint32_t payload = esLength;
  if (!isVideo) {
    payload = std::min(payload, timestamps ? kMaxPESPayloadWithTimestamps : kMaxPESPayloadWithout);
  }
  uint32_t e = 0;
  uint8_t* pes = StartPESPacket(uint64_t(headerLength) + payload, withPCR, randomAccess, &e);
  if (pes == nullptr) return kNoFreePacket;
  const uint32_t first = e - headerLength;
  uint32_t consumed = first;
  bool ok = true;
  if (startCode != nullptr) {
    ok = PutNalPayload(frame, *data, length, pes, headerLength, payload, startCode, time, &consumed);
  } else {
    // The header before the payload: its work overlaps the wait for the frame's bytes.
    WritePESHeader(frame, &esLength, pes, isVideo, nullptr, time, ticks);
    if (prefix != 0) std::memcpy(pes + headerLength, adts, prefix);
    CopyShort(pes + headerLength + prefix, *data, first - prefix);
    ok = PutPayloadPackets(*data + first - prefix, payload - first, &consumed);
  }
  *length -= consumed - prefix;
  *data += consumed - prefix;
  return ok ? kPackerOk : kNoFreePacket;
}

// H.264, HEVC: the frame's bytes are searched for start codes as they are copied into their
// packets, one pass over the frame; the header, whose size is known, is completed after
// the walk. When the buffer runs out, the walk still covers the whole frame. *consumed
// holds the bytes of the first packet already counted.
bool TSStream::PutNalPayload(IMediaFrame* frame, const uint8_t* data, uint32_t* length,
                             uint8_t* pes, uint32_t headerLength, uint32_t payload,
                             const uint8_t* startCode, int64_t time, uint32_t* consumed) {
  const int64_t ticks = MicrosecondsToTicks(time);
  const uint32_t first = *consumed;
  CopyShort(pes + headerLength, data, first);
  const uint8_t* frameBytes = frame->GetData();
  const int frameSize = frame->GetSize();
  NalWalk walk = StartNalWalk(frameBytes, size_t(frameSize), startCode);
  bool ok = true;
  if (frameBytes == data && uint64_t(frameSize) == payload && first >= 2) {
    walk.Advance(data + first);
    ok = PutPayloadPackets(data + first, payload - first, consumed, &walk);
    WritePESHeader(frame, length, pes, true, &walk, time, ticks);
  } else {
    WritePESHeader(frame, length, pes, true, &walk, time, ticks);
    ok = PutPayloadPackets(data + first, payload - first, consumed);
  }
  return ok;
}

// Further PES packets of a bounded stream: a 9-byte header without time stamps, and
// data_alignment_indicator 0, since their payload continues an access unit.
int32_t TSStream::PutContinuationPESPackets(const uint8_t* data, uint32_t* length) {
  while (*length > 0) {
    const uint32_t payload = std::min(*length, kMaxPESPayloadWithout);
    uint32_t e = 0;
    uint8_t* pes = StartPESPacket(uint64_t(kPESHeaderFixedLength) + payload, false, false, &e);
    if (pes == nullptr) return kNoFreePacket;
    PutPESHeaderStart(pes, m_streamId, payload + 3, kPESFlagsContinued, kPtsDtsFlagsNone, 0);
    const uint32_t first = e - kPESHeaderFixedLength;
    CopyShort(pes + kPESHeaderFixedLength, data, first);
    uint32_t consumed = first;
    const bool more = PutPayloadPackets(data + first, payload - first, &consumed);
    *length -= consumed;
    data += consumed;
    if (!more) return kNoFreePacket;
  }
  return kPackerOk;
}

}  // namespace palvex
