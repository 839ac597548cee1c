// AddProgram and RemoveProgram: one MPEG program per media format, its PIDs, the
// stream_type and PES stream_id of each elementary stream, and its PCR carrier.
#include <cstring>
#include <limits>
#include <new>

#include "diagnostics/diagnostics.h"
#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_stream.h"
#include "ts/stream_types.h"

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
    case kMediaCodecHEVC:
      *kind = StreamKind{kStreamTypeHEVC, 0xE0};
      return true;
    case kMediaCodecMPEG4Visual:
      *kind = StreamKind{kStreamTypeMPEG4Visual, 0xE0};
      return true;
    case kMediaCodecMPEG2Video:
      *kind = StreamKind{kStreamTypeMPEG2Video, 0xE2};  // on video stream number 2
      return true;
    default:
      return false;
  }
}

// False for a codec the audio table does not define. A single extradata byte overrides the
// stream_id of the private (0x80-0x87) and LATM (kMediaCodecLATMOwnId) streams.
bool AudioStreamKind(int32_t codec, const Extradata& extra, StreamKind* kind) {
  const bool idGiven = extra.size == 1;
  if (codec == kMediaCodecMPEG1Audio) {
    *kind = StreamKind{kStreamTypeMPEG1Audio, 0xC0};
  } else if (codec == kMediaCodecAAC) {
    *kind = StreamKind{kStreamTypeAACADTS, 0xC0};
  } else if (codec == kMediaCodecMPEG2Audio) {
    *kind = StreamKind{kStreamTypeMPEG2Audio, 0xC2};
  } else if (codec == kMediaCodecLATM) {
    *kind = StreamKind{kStreamTypeAACLATM, 0xC3};
  } else if (codec >= kMediaCodecPrivateAudioFirst && codec <= kMediaCodecPrivateAudioLast) {
    // The code is the stream_type; private_stream_1 unless the extradata names the stream_id.
    *kind = StreamKind{uint8_t(codec), idGiven ? extra.data[0] : uint8_t{0xBD}};
  } else if (codec == kMediaCodecLATMOwnId) {
    *kind = StreamKind{kStreamTypeAACLATM, idGiven ? extra.data[0] : uint8_t{0xC0}};
  } else {
    return false;
  }
  return true;
}

void DestroyStream(TSStream* stream) {
  stream->ClearDescriptors();
  delete stream;
}

// Whether the stream tables define the description: a stream object is built for it.
bool IsCarried(MediaStream* description) {
  if (description == nullptr) return false;
  StreamKind kind{};
  const int32_t mainType = description->GetMainType();
  if (mainType == kMediaMainTypeVideo) return VideoStreamKind(description->GetCodec(), &kind);
  if (mainType == kMediaMainTypeAudio) {
    return AudioStreamKind(description->GetCodec(), ExtradataOf<AudioFormatInfo>(description), &kind);
  }
  return false;
}

// What the programs of a list of formats take: programs, PIDs, and which stream ids.
struct ListUse {
  int64_t programs = 0;
  int64_t pids = 0;
  bool ids[TSPacker::kStreamIds] = {};
};

// The carried streams of format; false at the first stream id repeated (in the format or
// from use->ids). Adds the format's ids, and its PIDs and program when it builds one.
bool AddFormatUse(MediaFormat* format, ListUse* use, int64_t* carried) {
  const std::vector<MediaStream*>& descriptions = format->GetStreams();
  *carried = 0;
  for (MediaStream* description : descriptions) {
    if (!IsCarried(description)) continue;
    const uint8_t id = description->GetStreamId();
    if (use->ids[id]) return false;
    use->ids[id] = true;
    ++*carried;
  }
  // The PMT's PID, and one per listed stream, carried or not.
  use->pids += 1 + int64_t(descriptions.size());
  if (*carried > 0) ++use->programs;
  return true;
}

}  // namespace

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
    created->SetContinuityCounter(m_record->NextCounter(pid));
    if (carriesPCR) {
      *pcrChosen = true;
      program->SetPCRPID(pid);
    }
    if (extra.size == kMarkerSize && std::memcmp(extra.data, kTimeTrailerMarker, kMarkerSize) == 0) {
      created->SetHasTimeTrailer(true);
    }
    const auto* info = static_cast<const VideoFormatInfo*>(description->GetFormat());
    if (info != nullptr) created->SetNominalFrameRate(info->frameRate);
    created->SetDescription(description);
    *stream = created;
    return true;
  }
  if (mainType == kMediaMainTypeAudio) {
    const Extradata extra = ExtradataOf<AudioFormatInfo>(description);
    if (!AudioStreamKind(codec, extra, &kind)) return true;
    TSStream* created = new (std::nothrow)
        AudioTSStream(kind.streamType, kind.streamId, pid, false, m_packetBuffer, m_packetSize);
    if (created == nullptr) return false;
    created->SetContinuityCounter(m_record->NextCounter(pid));
    // Each AAC stream frames its own: headers are inserted unless the configuration ends
    // with the no-ADTS marker; no other codec's frames (AC-3, LATM, MPEG audio) get one.
    const bool marked =
        extra.size >= uint32_t(kMarkerSize) &&
        std::memcmp(extra.data + extra.size - kMarkerSize, kNoADTSMarker, kMarkerSize) == 0;
    // Only the first two bytes of the AudioSpecificConfig are read.
    const uint32_t configSize = extra.size < uint32_t(std::numeric_limits<int32_t>::max())
                                    ? extra.size
                                    : uint32_t(std::numeric_limits<int32_t>::max());
    created->adts().Arm(codec == kMediaCodecAAC && !marked, extra.data, int32_t(configSize));
    created->SetDescription(description);
    *stream = created;
    return true;
  }
  // Data streams are not carried.
  return true;
}

// Every listed stream uses up a PID number, carried or not, so the PIDs of the others
// follow the list. Fails when the PIDs run out or the PMT would no longer fit one packet
// (kProgramNotBuilt), or when an allocation fails (kNoMemory); the streams built so far
// stay in the program.
int32_t TSPacker::BuildStreams(PMTProgram* program, const std::vector<MediaStream*>& descriptions,
                               bool* pcrChosen) {
  int32_t pmtLength = program->WritePSI(nullptr);
  for (MediaStream* description : descriptions) {
    uint16_t pid = 0;
    if (!TakePID(&pid)) return kProgramNotBuilt;
    if (description == nullptr) continue;
    TSStream* stream = nullptr;
    if (!BuildStream(program, description, pid, pcrChosen, &stream)) return kNoMemory;
    if (stream == nullptr) continue;
    // The PMT, too, must fit one packet.
    pmtLength += stream->WritePSI(nullptr);
    const int32_t result = pmtLength > kMaxSectionLength ? kProgramNotBuilt
                           : program->AppendStream(stream) ? kPackerOk
                                                           : kNoMemory;
    if (result != kPackerOk) {
      DestroyStream(stream);
      return result;
    }
  }
  return kPackerOk;
}

bool TSPacker::RouteStreamsOf(const PMTProgram* program) {
  bool taken[kStreamIds] = {};
  for (const TSStream* stream : program->streams()) {
    const uint8_t id = stream->description()->GetStreamId();
    if (m_routes[id] != nullptr || taken[id]) return false;
    taken[id] = true;
  }
  for (TSStream* stream : program->streams()) m_routes[stream->description()->GetStreamId()] = stream;
  return true;
}

const char* TSPacker::CheckFormat(MediaFormat* format, const std::vector<MediaFormat*>& listed) {
  if (format == nullptr) return nullptr;
  ListUse use;
  int64_t carried = 0;
  for (MediaFormat* other : listed) {
    if (other != nullptr) AddFormatUse(other, &use, &carried);
  }
  const int64_t programsBefore = use.programs;
  if (!AddFormatUse(format, &use, &carried)) {
    return kStreamIdInUse;
  }
  if (carried == 0) return nullptr;
  // A PMT section with no descriptors: 16 bytes and 5 per stream.
  if (16 + 5 * carried > kMaxSectionLength) {
    return kTooManyPMTStreams;
  }
  if (PATLength(programsBefore + 1) > kMaxSectionLength) {
    return kPATFull;
  }
  if (use.pids > int64_t(kMaxPID) - 0x0010 + 1) {
    return kPIDsUsedUp;
  }
  return nullptr;
}

// Builds the program in full or not at all: on refusal the program, its streams, the
// routing table, m_programs and m_patVersion are as they were. PID numbers taken before
// the refusal stay taken. kNoMemory when an allocation failed, so that the muxer can tell a
// format it cannot carry from a start that ran out of memory.
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
  // Room for the last PAT and PMT sent, so that sending them never allocates.
  if (!m_record->ReserveSection(0) || !m_record->ReserveSection(pmtPID)) return kNoMemory;
  auto* program = new (std::nothrow) PMTProgram(FreeProgramNumber(), pmtPID, 0, 1,
                                                m_packetBuffer, format, m_packetSize);
  if (program == nullptr) return kNoMemory;
  program->SetCounter(m_record->NextCounter(pmtPID));

  bool pcrChosen = false;
  int32_t result = BuildStreams(program, descriptions, &pcrChosen);

  if (result == kPackerOk) {
    // Without video, the first carried stream takes the PCR; without any, there is
    // nothing to announce.
    TSStream* first = program->GetStream(0);
    if (first == nullptr) {
      result = kProgramNotBuilt;
    } else if (!pcrChosen) {
      first->SetPCR(true);
      program->SetPCRPID(first->pid());
    }
  }
  // Stream ids name streams across the packer: a repeated one is refused.
  if (result == kPackerOk && !RouteStreamsOf(program)) result = kProgramNotBuilt;
  if (result == kPackerOk) {
    try {
      m_programs.push_back(program);
    } catch (const std::bad_alloc&) {
      ForgetStreamsOf(program);
      result = kNoMemory;
    }
  }
  if (result != kPackerOk) {
    program->DeleteStreams();
    delete program;
    return result;
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
