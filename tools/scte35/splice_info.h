// SCTE-35 splice_info_section on the host side: a reader bounded by the bytes it is
// given, the rewrite of pts_adjustment (the one field a muxer that moves the stream's
// clock must change) and a writer of splice_insert for a break an operator asks for. The
// sections go into TS packets through AppendSectionPackets (ts_reader.h). No libavformat
// here.
//
// The section: table_id 0xFC, section_syntax_indicator 0, section_length (12 bits), then
// protocol_version, encrypted_packet, encryption_algorithm, pts_adjustment (33 bits),
// cw_index, tier (12 bits), splice_command_length (12 bits; 0xFFF: not given), the
// splice_command_type and the command, the descriptor loop, with encryption the alignment
// stuffing and E_CRC_32, and CRC_32 over the whole section. Everything from the command
// type on is encrypted when encrypted_packet is set: such a section is checked for its
// length and CRC_32 only, and its pts_adjustment (in the clear) can still be rewritten.
//
// A time a cue names is splice_time.pts_time + pts_adjustment (mod 2^33) on the clock of
// the PTS of the service's pictures.
#ifndef PALVEX_TOOLS_SPLICE_INFO_H_
#define PALVEX_TOOLS_SPLICE_INFO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palvex_host {

constexpr uint8_t kSpliceInfoTableId = 0xFC;
constexpr int kStreamTypeSCTE35 = 0x86;        // PMT stream_type of a splice_info_section PID
constexpr uint32_t kCUEIdentifier = 0x43554549;  // 'CUEI': registration and splice descriptors
constexpr int64_t kPTSModulus = int64_t{1} << 33;
constexpr size_t kMaxSpliceInfoSize = 4096;    // 3 + the 12-bit section_length, at most 4095 + 3

enum SpliceCommandType : int {
  kSpliceNull = 0x00,
  kSpliceSchedule = 0x04,
  kSpliceInsert = 0x05,
  kTimeSignal = 0x06,
  kBandwidthReservation = 0x07,
  kPrivateCommand = 0xFF,
};

// splice_time(): a PTS when time_specified_flag is set.
struct SpliceTime {
  bool specified = false;
  int64_t pts = 0;  // 33 bits
};

struct SpliceInsert {
  uint32_t eventId = 0;
  bool cancel = false;
  bool outOfNetwork = false;
  bool programSplice = false;
  bool immediate = false;
  SpliceTime time;                   // program_splice_flag 1, splice_immediate_flag 0
  std::vector<SpliceTime> components;  // program_splice_flag 0: each component's time
  bool hasDuration = false;
  bool autoReturn = false;
  int64_t duration = 0;              // break_duration, 90 kHz
  int uniqueProgramId = 0;
  int availNum = 0;
  int availsExpected = 0;
};

struct SegmentationDescriptor {
  uint32_t eventId = 0;
  bool cancel = false;
  bool hasDuration = false;
  int64_t duration = 0;  // segmentation_duration, 90 kHz (40 bits)
  int upidType = 0;
  std::vector<uint8_t> upid;
  int typeId = 0;        // segmentation_type_id
  int segmentNum = 0;
  int segmentsExpected = 0;
};

struct SpliceInfo {
  int protocolVersion = 0;
  bool encrypted = false;
  int encryptionAlgorithm = 0;
  int64_t ptsAdjustment = 0;
  int cwIndex = 0;
  int tier = 0;
  int commandType = -1;
  size_t commandLength = 0;  // as found (splice_command_length 0xFFF: worked out)
  SpliceInsert insert;       // splice_insert
  SpliceTime timeSignal;     // time_signal
  int scheduleEvents = 0;    // splice_schedule: splice_count
  uint32_t privateIdentifier = 0;
  std::vector<int> descriptorTags;  // the descriptor loop, in order
  std::vector<SegmentationDescriptor> segmentations;
  size_t size = 0;           // 3 + section_length
};

// Reads one section from data (size bytes: a libavformat packet holds one). False with the
// reason in *why when it is not a splice_info_section, runs past size, has a wrong CRC_32,
// or (unencrypted) its command or descriptors run past their lengths.
bool ReadSpliceInfo(const uint8_t* data, size_t size, SpliceInfo* out, std::string* why);

// Sets pts_adjustment (mod 2^33) of a whole section and writes its CRC_32 anew; an
// encrypted section's E_CRC_32 stays. False when the bytes are too short to be one.
bool SetPtsAdjustment(std::vector<uint8_t>* section, int64_t adjustment);

// A splice_insert for a break: out_of_network_indicator 1, program_splice_flag 1, the
// splice_time given, break_duration with auto_return 1; pts_adjustment 0, no descriptor.
struct BreakCue {
  uint32_t eventId = 0;
  int64_t spliceTime = 0;  // PTS, 90 kHz
  int64_t duration = 0;    // 90 kHz
  int uniqueProgramId = 0;
};
std::vector<uint8_t> WriteSpliceInsert(const BreakCue& cue);

// Every PTS the command names (splice_insert's program or component times, time_signal's),
// before pts_adjustment.
std::vector<int64_t> SpliceTimes(const SpliceInfo& info);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SPLICE_INFO_H_
