#include "splice_info.h"

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr size_t kHeaderSize = 14;     // table_id to splice_command_type
constexpr size_t kCRCSize = 4;
constexpr int kCommandLengthUnknown = 0xFFF;
constexpr uint8_t kTagSegmentation = 0x02;  // segmentation_descriptor

// Bytes and bit fields from [pos, end), never past end: a read past it fails and every
// later one too.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t end) : m_data(data), m_end(end) {}
  bool ok() const { return m_ok; }
  size_t pos() const { return m_pos; }
  size_t left() const { return m_ok ? m_end - m_pos : 0; }
  uint64_t Bytes(size_t n) {  // n up to 8, most significant first
    if (!m_ok || n > m_end - m_pos) {
      m_ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | m_data[m_pos++];
    return v;
  }
  void Skip(size_t n) {
    if (!m_ok || n > m_end - m_pos) m_ok = false;
    else m_pos += n;
  }

 private:
  const uint8_t* m_data;
  size_t m_end;
  size_t m_pos = 0;
  bool m_ok = true;
};

// splice_time(): time_specified_flag, then 6 reserved bits and pts_time, or 7 reserved bits.
SpliceTime ReadSpliceTime(Cursor* c) {
  SpliceTime t;
  const uint8_t first = uint8_t(c->Bytes(1));
  t.specified = (first & 0x80) != 0;
  if (t.specified) t.pts = int64_t(first & 0x01) << 32 | int64_t(c->Bytes(4));
  return t;
}

// break_duration(): auto_return, 6 reserved bits, duration (33 bits).
void ReadBreakDuration(Cursor* c, bool* autoReturn, int64_t* duration) {
  const uint8_t first = uint8_t(c->Bytes(1));
  *autoReturn = (first & 0x80) != 0;
  *duration = int64_t(first & 0x01) << 32 | int64_t(c->Bytes(4));
}

void ReadSpliceInsert(Cursor* c, SpliceInsert* s) {
  s->eventId = uint32_t(c->Bytes(4));
  s->cancel = (c->Bytes(1) & 0x80) != 0;  // splice_event_cancel_indicator, 7 reserved bits
  if (s->cancel) return;
  const uint8_t flags = uint8_t(c->Bytes(1));
  s->outOfNetwork = (flags & 0x80) != 0;
  s->programSplice = (flags & 0x40) != 0;
  s->hasDuration = (flags & 0x20) != 0;
  s->immediate = (flags & 0x10) != 0;
  if (s->programSplice && !s->immediate) s->time = ReadSpliceTime(c);
  if (!s->programSplice) {
    const size_t count = size_t(c->Bytes(1));  // component_count
    for (size_t i = 0; i < count && c->ok(); ++i) {
      c->Skip(1);  // component_tag
      if (!s->immediate) s->components.push_back(ReadSpliceTime(c));
    }
  }
  if (s->hasDuration) ReadBreakDuration(c, &s->autoReturn, &s->duration);
  s->uniqueProgramId = int(c->Bytes(2));
  s->availNum = int(c->Bytes(1));
  s->availsExpected = int(c->Bytes(1));
}

// splice_schedule(): events in UTC seconds, nothing on the PTS clock; walked for its length.
void ReadSpliceSchedule(Cursor* c, int* events) {
  *events = int(c->Bytes(1));  // splice_count
  for (int i = 0; i < *events && c->ok(); ++i) {
    c->Skip(4);  // splice_event_id
    if ((c->Bytes(1) & 0x80) != 0) continue;  // splice_event_cancel_indicator
    const uint8_t flags = uint8_t(c->Bytes(1));
    const bool program = (flags & 0x40) != 0, duration = (flags & 0x20) != 0;
    if (program) {
      c->Skip(4);  // utc_splice_time
    } else {
      const size_t count = size_t(c->Bytes(1));
      c->Skip(count * 5);  // component_tag, utc_splice_time
    }
    if (duration) c->Skip(5);  // break_duration()
    c->Skip(4);                // unique_program_id, avail_num, avails_expected
  }
}

// segmentation_descriptor() behind its identifier, within its descriptor_length.
bool ReadSegmentation(Cursor* c, SegmentationDescriptor* d) {
  d->eventId = uint32_t(c->Bytes(4));
  d->cancel = (c->Bytes(1) & 0x80) != 0;  // segmentation_event_cancel_indicator
  if (d->cancel) return c->ok();
  const uint8_t flags = uint8_t(c->Bytes(1));
  const bool program = (flags & 0x80) != 0;
  d->hasDuration = (flags & 0x40) != 0;
  if (!program) {
    const size_t count = size_t(c->Bytes(1));
    c->Skip(count * 6);  // component_tag, 7 reserved bits, pts_offset
  }
  if (d->hasDuration) d->duration = int64_t(c->Bytes(5));
  d->upidType = int(c->Bytes(1));
  const size_t upidLength = size_t(c->Bytes(1));
  if (upidLength > c->left()) return false;
  for (size_t i = 0; i < upidLength; ++i) d->upid.push_back(uint8_t(c->Bytes(1)));
  d->typeId = int(c->Bytes(1));
  d->segmentNum = int(c->Bytes(1));
  d->segmentsExpected = int(c->Bytes(1));
  // sub_segment_num and sub_segments_expected may follow for some types: left as they are.
  return c->ok();
}

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

}  // namespace

bool ReadSpliceInfo(const uint8_t* data, size_t size, SpliceInfo* out, std::string* why) {
  *out = SpliceInfo{};
  if (size < 3 || data[0] != kSpliceInfoTableId) return Fail(why, "not a splice_info_section");
  const size_t whole = 3 + (size_t(data[1] & 0x0F) << 8 | data[2]);
  if (whole > size)
    return Fail(why, "section_length " + std::to_string(whole - 3) + " runs past the " + std::to_string(size) +
                         " bytes of the packet");
  if (whole < kHeaderSize + 2 + kCRCSize) return Fail(why, "section_length " + std::to_string(whole - 3) + " too short");
  if (SectionCRC(data, whole) != 0) return Fail(why, "CRC_32 wrong");
  out->size = whole;
  Cursor c(data, whole - kCRCSize);
  c.Skip(3);
  out->protocolVersion = int(c.Bytes(1));
  const uint8_t flags = uint8_t(c.Bytes(1));
  out->encrypted = (flags & 0x80) != 0;
  out->encryptionAlgorithm = flags >> 1 & 0x3F;
  out->ptsAdjustment = int64_t(flags & 0x01) << 32 | int64_t(c.Bytes(4));
  out->cwIndex = int(c.Bytes(1));
  const uint32_t tierAndLength = uint32_t(c.Bytes(3));
  out->tier = int(tierAndLength >> 12);
  const int commandLength = int(tierAndLength & 0xFFF);
  out->commandType = int(c.Bytes(1));
  if (out->encrypted) return true;  // the rest is ciphertext
  if (commandLength != kCommandLengthUnknown && size_t(commandLength) > c.left())
    return Fail(why, "splice_command_length runs past the section");
  const size_t commandStart = c.pos();
  const size_t commandEnd = commandLength == kCommandLengthUnknown ? whole - kCRCSize : commandStart + size_t(commandLength);
  Cursor command(data, commandEnd);
  command.Skip(commandStart);
  switch (out->commandType) {
    case kSpliceNull: break;
    case kSpliceSchedule: ReadSpliceSchedule(&command, &out->scheduleEvents); break;
    case kSpliceInsert: ReadSpliceInsert(&command, &out->insert); break;
    case kTimeSignal: out->timeSignal = ReadSpliceTime(&command); break;
    case kBandwidthReservation: break;
    case kPrivateCommand:
      out->privateIdentifier = uint32_t(command.Bytes(4));
      command.Skip(command.left());
      break;
    default:
      if (commandLength == kCommandLengthUnknown) return Fail(why, "unknown splice_command_type without a length");
      command.Skip(command.left());
      break;
  }
  if (!command.ok()) return Fail(why, "splice command runs past its length");
  out->commandLength = commandLength == kCommandLengthUnknown ? command.pos() - commandStart : size_t(commandLength);
  c.Skip(out->commandLength);
  const size_t loopLength = size_t(c.Bytes(2));  // descriptor_loop_length
  if (!c.ok() || loopLength > c.left()) return Fail(why, "descriptor_loop_length runs past the section");
  Cursor loop(data, c.pos() + loopLength);
  loop.Skip(c.pos());
  while (loop.ok() && loop.left() > 0) {
    const int tag = int(loop.Bytes(1));
    const size_t length = size_t(loop.Bytes(1));
    if (!loop.ok() || length > loop.left()) return Fail(why, "splice descriptor runs past the descriptor loop");
    out->descriptorTags.push_back(tag);
    Cursor body(data, loop.pos() + length);
    body.Skip(loop.pos());
    loop.Skip(length);
    if (tag != kTagSegmentation || body.Bytes(4) != kCUEIdentifier) continue;  // identifier
    SegmentationDescriptor d;
    if (!ReadSegmentation(&body, &d)) return Fail(why, "segmentation_descriptor runs past its length");
    out->segmentations.push_back(std::move(d));
  }
  return true;
}

bool SetPtsAdjustment(std::vector<uint8_t>* section, int64_t adjustment) {
  std::vector<uint8_t>& s = *section;
  if (s.size() < kHeaderSize + kCRCSize) return false;
  adjustment = ((adjustment % kPTSModulus) + kPTSModulus) % kPTSModulus;
  s[4] = uint8_t((s[4] & 0xFE) | (adjustment >> 32 & 0x01));  // encrypted_packet, encryption_algorithm kept
  for (int i = 0; i < 4; ++i) s[5 + size_t(i)] = uint8_t(adjustment >> (24 - 8 * i));
  const size_t body = s.size() - kCRCSize;
  const uint32_t crc = SectionCRC(s.data(), body);
  for (int i = 0; i < 4; ++i) s[body + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
  return true;
}

std::vector<uint8_t> WriteSpliceInsert(const BreakCue& cue) {
  const int64_t time = cue.spliceTime & (kPTSModulus - 1);
  const int64_t duration = cue.duration & (kPTSModulus - 1);
  constexpr uint8_t kCommandLength = 20;
  std::vector<uint8_t> s;
  s.reserve(kHeaderSize + kCommandLength + 2 + kCRCSize);
  const auto put = [&s](uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s.push_back(uint8_t(value >> (8 * i)));
  };
  put(kSpliceInfoTableId, 1);
  put(0x3000, 2);                         // section_syntax_indicator 0, private_indicator 0, sap_type 3,
                                          // section_length below
  put(0x00, 1);                           // protocol_version
  put(0x00, 1);                           // encrypted_packet 0, encryption_algorithm 0, pts_adjustment[32]
  put(0x00, 4);                           // pts_adjustment[31:0]
  put(0xFF, 1);                           // cw_index (unused in the clear)
  put(0xFFF000 | kCommandLength, 3);      // tier 0xFFF, splice_command_length
  put(kSpliceInsert, 1);                  // splice_command_type
  put(cue.eventId, 4);                    // splice_event_id
  put(0x7F, 1);                           // splice_event_cancel_indicator 0, reserved
  put(0xEF, 1);                           // out_of_network 1, program_splice 1, duration 1, immediate 0, reserved
  put(uint64_t{0xFE} << 32 | uint64_t(time), 5);      // time_specified_flag 1, reserved, pts_time
  put(uint64_t{0xFE} << 32 | uint64_t(duration), 5);  // auto_return 1, reserved, duration
  put(uint64_t(cue.uniqueProgramId) & 0xFFFF, 2);     // unique_program_id
  put(0x0000, 2);                         // avail_num, avails_expected
  put(0x0000, 2);                         // descriptor_loop_length
  SealSection(&s);                        // section_length, CRC_32
  return s;
}

std::vector<int64_t> SpliceTimes(const SpliceInfo& info) {
  std::vector<int64_t> times;
  if (info.encrypted) return times;
  if (info.commandType == kTimeSignal && info.timeSignal.specified) times.push_back(info.timeSignal.pts);
  if (info.commandType == kSpliceInsert && !info.insert.cancel) {
    if (info.insert.time.specified) times.push_back(info.insert.time.pts);
    for (const SpliceTime& t : info.insert.components)
      if (t.specified) times.push_back(t.pts);
  }
  return times;
}

}  // namespace palvex_host
