// PES packets cut into 188-byte transport stream packets, with the PCR in the first packet
// of a frame on the program's clock stream, random_access_indicator on video key pictures,
// and the ADTS header of raw AAC in front of the frame's bytes in its first packet.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "stream/key_picture.h"
#include "stream/nal_walk.h"
#include "stream/packet_copy.h"
#include "stream/pes_header.h"
#include "stream/stream_types.h"
#include "stream/ts_packet_buffer.h"
#include "stream/ts_packet_writer.h"
#include "stream/ts_stream.h"

namespace palvex {

namespace {

constexpr int64_t kPCRIntervalTicks = 3600;  // 40 ms of frame time between PCRs
// Payload of a bounded PES packet: PES_packet_length counts at most 65535 bytes after
// itself, of which 3 are flags and header length, then PES_header_data_length bytes.
constexpr uint32_t kMaxPESPayloadWithTimestamps = kMaxPESPacketLength - 3 - kPESTimestampDataLength;
constexpr uint32_t kMaxPESPayloadWithout = kMaxPESPacketLength - 3;
constexpr uint32_t kFramePrefetch = 1024;

}  // namespace

uint8_t* TSStream::TakeSlot() {
  uint8_t* p = m_packetBuffer != nullptr ? m_packetBuffer->NextPacket() : nullptr;
  if (p == nullptr) std::fputs("not buffer\n", stdout);
  return p;
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
    std::memcpy(q + kTSPacketSize - count, data, count);
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
    uint32_t done = 0;
    while (done < fullPackets) {
      bool found = false;
      done += uint32_t(CopyFullPacketsToStartCode(p + size_t(done) * kTSPacketSize,
                                                  data + size_t(done) * kTSPayloadRoom,
                                                  fullPackets - done, pidHigh, pidLow, &cc, &found));
      if (found) {
        walk->SkipTo(data + size_t(done - 1) * kTSPayloadRoom);
        walk->Advance(data + size_t(done) * kTSPayloadRoom);
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
    std::memcpy(q + kTSPacketSize - rest, data + placed, rest);
    placed += rest;
  }
  m_continuityCounter = uint8_t(cc);
  *consumed += placed;
  if (uint32_t(taken) < wanted) {
    std::fputs("not buffer\n", stdout);
    return false;
  }
  return true;
}

bool TSStream::WalksNalUnits(int64_t ticks, bool isVideo) const {
  return ticks >= 0 && isVideo && !m_hasTimeTrailer && m_streamType == kStreamTypeH264;
}

int32_t TSStream::PESToTS(MediaStream* description, IMediaFrame* frame, const uint8_t* data,
                          uint32_t* length, const uint8_t* adts) {
  if (length == nullptr || (*length == 0 && adts == nullptr)) return 0;
  if (frame == nullptr || data == nullptr) return kRefused;
  const int64_t time = frame->GetTime();
  const int64_t ticks = MicrosecondsToTicks(time);
  const bool isVideo = description != nullptr && description->GetMainType() == kMediaMainTypeVideo;

  // An H.264 frame without a start code has no header to write: it is refused before a
  // slot is taken, so it leaves no packet and the continuity counter stays. It still
  // counts for the frame-duration measurement, as a header writer that fails does.
  const uint8_t* startCode = nullptr;
  if (WalksNalUnits(ticks, isVideo)) {
    startCode = H264FirstStartCode(frame);
    if (startCode == nullptr) {
      MeasureFrameDuration(time);
      return 0;
    }
  }

  // A frame straight from memory: its first lines are asked for together, before the
  // header work, rather than one copy after the other.
  const uint8_t* const prefetchEnd = data + std::min(*length, kFramePrefetch);
  for (const uint8_t* line = data; line < prefetchEnd; line += 64) __builtin_prefetch(line);

  // Video key pictures are found from the headers in front of the first picture, before
  // the first packet is laid out.
  const bool randomAccess = isVideo && IsKeyPicture(m_streamType, data, *length);
  const int32_t result =
      PutFirstPESPacket(frame, &data, length, ticks, isVideo, startCode, adts, randomAccess);
  if (result != 0 || *length == 0) return result;  // most frames end in one PES packet
  return PutContinuationPESPackets(data, length);
}

// First PES packet: the header with the time stamps. A bounded (non-video) PES packet
// holds at most 65522 payload bytes; the rest follows in further PES packets. Inline: it
// is PESToTS's main step, called from there alone.
inline int32_t TSStream::PutFirstPESPacket(IMediaFrame* frame, const uint8_t** data,
                                           uint32_t* length, int64_t ticks, bool isVideo,
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
    ok = PutH264Payload(frame, *data, length, pes, headerLength, payload, startCode, &consumed);
  } else {
    // The header before the payload: its work overlaps the wait for the frame's bytes.
    WritePESHeader(frame, &esLength, pes, isVideo, nullptr);
    if (prefix != 0) std::memcpy(pes + headerLength, adts, prefix);
    std::memcpy(pes + headerLength + prefix, *data, first - prefix);
    ok = PutPayloadPackets(*data + first - prefix, payload - first, &consumed);
  }
  *length -= consumed - prefix;
  *data += consumed - prefix;
  return ok ? 0 : kNoFreePacket;
}

// H.264: the frame's bytes are searched for start codes as they are copied into their
// packets, one pass over the frame; the header, whose size is known, is completed after
// the walk. When the buffer runs out, the walk still covers the whole frame. *consumed
// holds the bytes of the first packet already counted.
bool TSStream::PutH264Payload(IMediaFrame* frame, const uint8_t* data, uint32_t* length,
                              uint8_t* pes, uint32_t headerLength, uint32_t payload,
                              const uint8_t* startCode, uint32_t* consumed) {
  const uint32_t first = *consumed;
  std::memcpy(pes + headerLength, data, first);
  const uint8_t* frameBytes = frame->GetData();
  const int frameSize = frame->GetSize();
  NalWalk walk(m_h264Parser, frameBytes, size_t(frameSize), startCode);
  bool ok = true;
  if (frameBytes == data && uint64_t(frameSize) == payload && first >= 2) {
    walk.Advance(data + first);
    ok = PutPayloadPackets(data + first, payload - first, consumed, &walk);
    WritePESHeader(frame, length, pes, true, &walk);
  } else {
    WritePESHeader(frame, length, pes, true, &walk);
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
    std::memcpy(pes + kPESHeaderFixedLength, data, first);
    uint32_t consumed = first;
    const bool more = PutPayloadPackets(data + first, payload - first, &consumed);
    *length -= consumed;
    data += consumed;
    if (!more) return kNoFreePacket;
  }
  return 0;
}

}  // namespace palvex
