// AddProgram and RemoveProgram: one MPEG program per media format, its PIDs, the
// stream_type and PES stream_id of each elementary stream, and its PCR carrier.
#include <cstring>
#include <limits>
#include <new>

#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "palvex/media_stream.h"
#include "stream/stream_types.h"
#include "stream/ts_stream.h"

namespace palvex {

namespace {

constexpr int32_t kMarkerSize = 16;
// Video extradata equal to this marker: every frame ends with an 8-byte time trailer.
constexpr uint8_t kTimeTrailerMarker[kMarkerSize] = {0x0E, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                                     0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};
// AAC extradata ending with this marker: the frames already carry ADTS headers.
constexpr uint8_t kNoADTSMarker[kMarkerSize] = {0x10, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                                0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};

// stream_type of the PMT entry and stream_id of the PES header.
struct StreamKind {
  uint8_t streamType;
  uint8_t streamId;
};

// A format block's extradata; absent when the block or its pointer is null.
struct Extradata {
  const uint8_t* data;
  uint32_t size;
};

template <typename FormatInfo>
Extradata ExtradataOf(MediaStream* description) {
  const auto* info = static_cast<const FormatInfo*>(description->GetFormat());
  if (info == nullptr || info->extraData == nullptr) return Extradata{nullptr, 0};
  return Extradata{info->extraData, info->extraSize};
}

// False for a codec the video table does not define.
bool VideoStreamKind(int32_t codec, StreamKind* kind) {
  switch (codec) {
    case kMediaCodecH264:
      *kind = StreamKind{kStreamTypeH264, 0xE0};
      return true;
    case kMediaCodecMpeg4Visual:
      *kind = StreamKind{kStreamTypeMpeg4Visual, 0xE0};
      return true;
    case kMediaCodecMpeg2Video:
      *kind = StreamKind{kStreamTypeMpeg2Video, 0xE2};  // on video stream number 2
      return true;
    default:
      return false;
  }
}

// False for a codec the audio table does not define. A single extradata byte overrides the
// stream_id of the private (0x80-0x87) and LATM (kMediaCodecLatmOwnId) streams.
bool AudioStreamKind(int32_t codec, const Extradata& extra, StreamKind* kind) {
  const bool idGiven = extra.size == 1;
  if (codec == kMediaCodecMpeg1Audio) {
    *kind = StreamKind{kStreamTypeMpeg1Audio, 0xC0};
  } else if (codec == kMediaCodecAac) {
    *kind = StreamKind{kStreamTypeAacAdts, 0xC0};
  } else if (codec == kMediaCodecMpeg2Audio) {
    *kind = StreamKind{kStreamTypeMpeg2Audio, 0xC2};
  } else if (codec == kMediaCodecLatm) {
    *kind = StreamKind{kStreamTypeAacLatm, 0xC3};
  } else if (codec >= kMediaCodecPrivateAudioFirst && codec <= kMediaCodecPrivateAudioLast) {
    // The code is the stream_type; private_stream_1 unless the extradata names the stream_id.
    *kind = StreamKind{uint8_t(codec), idGiven ? extra.data[0] : uint8_t{0xBD}};
  } else if (codec == kMediaCodecLatmOwnId) {
    *kind = StreamKind{kStreamTypeAacLatm, idGiven ? extra.data[0] : uint8_t{0xC0}};
  } else {
    return false;
  }
  return true;
}

void DestroyStream(TSStream* stream) {
  stream->ClearDescriptors();
  delete stream;
}

}  // namespace

TSPacker::SetupState TSPacker::SaveSetupState() const {
  SetupState state{};
  state.audioStream = m_audioStream;
  state.videoStream = m_videoStream;
  state.audioTSStream = m_audioTSStream;
  state.videoTSStream = m_videoTSStream;
  std::memcpy(state.adtsHeader, m_adtsHeader, sizeof m_adtsHeader);
  state.adtsBuilt = m_adtsBuilt;
  state.insertADTS = m_insertADTS;
  return state;
}

void TSPacker::RestoreSetupState(const SetupState& state) {
  m_audioStream = state.audioStream;
  m_videoStream = state.videoStream;
  m_audioTSStream = state.audioTSStream;
  m_videoTSStream = state.videoTSStream;
  std::memcpy(m_adtsHeader, state.adtsHeader, sizeof m_adtsHeader);
  m_adtsBuilt = state.adtsBuilt;
  m_insertADTS = state.insertADTS;
}

bool TSPacker::TakePID(uint16_t* pid) {
  if (m_nextPID > kMaxPID) return false;
  *pid = m_nextPID;
  ++m_nextPID;
  return true;
}

// Normally n + 1 for the (n + 1)-th program; after a removal, the gap it left, so that
// two programs never share a program_number (0 would name the network PID).
uint16_t TSPacker::FreeProgramNumber() const {
  for (uint32_t number = 1;; ++number) {
    bool used = false;
    for (const PMTProgram* program : m_programs) used = used || program->programNumber() == number;
    if (!used) return uint16_t(number);
  }
}

bool TSPacker::BuildStream(PMTProgram* program, MediaStream* description, uint16_t pid,
                           bool* pcrChosen, TSStream** stream) {
  *stream = nullptr;
  const int32_t mainType = description->GetMainType();
  const int32_t codec = description->GetCodec();
  StreamKind kind{};
  if (mainType == kMediaMainTypeVideo) {
    if (!VideoStreamKind(codec, &kind)) return true;
    const Extradata extra = ExtradataOf<VideoFormatInfo>(description);
    // The first video stream of the program carries its PCR.
    const bool carriesPCR = !*pcrChosen;
    TSStream* created = new (std::nothrow)
        VideoTSStream(kind.streamType, kind.streamId, pid, carriesPCR, m_packetBuffer, m_packetSize);
    if (created == nullptr) return false;
    if (carriesPCR) {
      *pcrChosen = true;
      program->SetPCRPID(pid);
    }
    if (extra.size == kMarkerSize && std::memcmp(extra.data, kTimeTrailerMarker, kMarkerSize) == 0) {
      created->SetHasTimeTrailer(true);
    }
    const auto* info = static_cast<const VideoFormatInfo*>(description->GetFormat());
    if (info != nullptr) created->SetNominalFrameRate(info->frameRate);
    m_videoStream = description;
    m_videoTSStream = created;
    *stream = created;
    return true;
  }
  if (mainType == kMediaMainTypeAudio) {
    const Extradata extra = ExtradataOf<AudioFormatInfo>(description);
    if (!AudioStreamKind(codec, extra, &kind)) return true;
    // The switch belongs to the stream that takes the audio slot: on for AAC whose
    // configuration does not end with the no-ADTS marker, off for every other codec, whose
    // frames (AC-3, LATM, MPEG audio) must not get an AAC header in front.
    const bool marked =
        extra.size >= uint32_t(kMarkerSize) &&
        std::memcmp(extra.data + extra.size - kMarkerSize, kNoADTSMarker, kMarkerSize) == 0;
    m_insertADTS = codec == kMediaCodecAac && !marked;
    // Only the first two bytes of the AudioSpecificConfig are read.
    const uint32_t configSize = extra.size < uint32_t(std::numeric_limits<int32_t>::max())
                                    ? extra.size
                                    : uint32_t(std::numeric_limits<int32_t>::max());
    CreateADTSHeader(extra.data, int32_t(configSize));
    TSStream* created = new (std::nothrow)
        AudioTSStream(kind.streamType, kind.streamId, pid, false, m_packetBuffer, m_packetSize);
    if (created == nullptr) return false;
    m_audioStream = description;
    m_audioTSStream = created;
    *stream = created;
    return true;
  }
  // Data streams are not carried.
  return true;
}

// Every listed stream uses up a PID number, carried or not, so the PIDs of the others
// follow the list. False when the PIDs run out, an allocation fails or the PMT would no
// longer fit one packet; the streams built so far stay in the program.
bool TSPacker::BuildStreams(PMTProgram* program, const std::vector<MediaStream*>& descriptions,
                            bool* pcrChosen) {
  int32_t pmtLength = program->WritePSI(nullptr);
  for (MediaStream* description : descriptions) {
    uint16_t pid = 0;
    if (!TakePID(&pid)) return false;
    if (description == nullptr) continue;
    TSStream* stream = nullptr;
    if (!BuildStream(program, description, pid, pcrChosen, &stream)) return false;
    if (stream == nullptr) continue;
    // The PMT, too, must fit one packet.
    pmtLength += stream->WritePSI(nullptr);
    if (pmtLength > kMaxSectionLength || !program->AppendStream(stream)) {
      DestroyStream(stream);
      return false;
    }
  }
  return true;
}

// Builds the program in full or not at all: on refusal the program, its streams, the
// routing slots, the ADTS switch and template, m_programs and m_patVersion are as they
// were. PID numbers taken before the refusal stay taken.
int32_t TSPacker::AddProgram(MediaFormat* format) {
  if (format == nullptr) return kProgramNotBuilt;
  const size_t programCount = m_programs.size();
  if (programCount > 65535) return kProgramNotBuilt;
  // Each program adds a 4-byte entry to the PAT, which must fit one packet.
  if (PATLength(int64_t(programCount) + 1) > kMaxSectionLength) return kProgramNotBuilt;
  uint16_t pmtPID = 0;
  if (!TakePID(&pmtPID)) return kProgramNotBuilt;
  const std::vector<MediaStream*>& descriptions = format->GetStreams();
  if (descriptions.empty()) return kProgramNotBuilt;
  auto* program = new (std::nothrow) PMTProgram(FreeProgramNumber(), pmtPID, 0, 1,
                                                m_packetBuffer, format, m_packetSize);
  if (program == nullptr) return kProgramNotBuilt;

  const SetupState saved = SaveSetupState();
  bool pcrChosen = false;
  bool built = BuildStreams(program, descriptions, &pcrChosen);

  if (built) {
    // Without video, the first carried stream takes the PCR; without any, there is
    // nothing to announce.
    TSStream* first = program->GetStream(0);
    if (first == nullptr) {
      built = false;
    } else if (!pcrChosen) {
      first->SetPCR(true);
      program->SetPCRPID(first->pid());
    }
  }
  if (built) {
    try {
      m_programs.push_back(program);
    } catch (const std::bad_alloc&) {
      built = false;
    }
  }
  if (!built) {
    RestoreSetupState(saved);
    program->DeleteStreams();
    delete program;
    return kProgramNotBuilt;
  }
  ++m_patVersion;
  return kPackerOk;
}

int32_t TSPacker::RemoveProgram(MediaFormat* format) {
  if (m_programs.empty()) return kNoSuchProgram;
  for (auto it = m_programs.begin(); it != m_programs.end(); ++it) {
    PMTProgram* program = *it;
    if (program->format() != format) continue;
    m_programs.erase(it);
    DestroyProgram(program);
    ++m_patVersion;
    return kPackerOk;
  }
  return kNoSuchProgram;
}

}  // namespace palvex
