// The exported interface driven the way a confused host could: media descriptions of any
// shape (the library's media classes, or a host format whose serialized form is hand-made,
// malformed or cut short), then any sequence of the nine operations, RemovePalvex with or
// without Close, and frames of any stream id, size, time and content.
//
// Every result is checked against the calling order (0 or -1, nothing else), and every
// output against the transport stream rules:
//   - whole 188-byte packets, each with the sync byte, no scrambling, a valid
//     adaptation_field_control and adaptation field length;
//   - continuity for the muxer's life: the counter of every PID starts at 0 on its first
//     packet and goes up by one on every packet that carries payload, across Stop/Start and
//     Close/Open (a run lasts from a Start to the next Stop or Close);
//   - versions: a PAT or PMT goes out with the version_number of the last one sent on its
//     PID when their contents are the same, with that + 1 (mod 32) when they differ, and
//     the first on a PID with 0;
//   - the first packet of a run is a PAT, and the PMT of every program it lists follows in
//     the same output; PSI only ahead of the frame's packets; PAT and PMT sections well
//     formed with CRC residue 0; no PID used twice (PMT, elementary streams, programs);
//   - media descriptions: AddMediaFormat refuses exactly those whose carried streams repeat a
//     stream id (within them or of a listed description), do not fit one PMT, or would need
//     a 43rd program in the PAT or more PIDs than there are;
//   - routing: a run carries the streams of the descriptions listed at its Start; a frame
//     whose id no carried stream has gives no output; the frames of one id are all on one
//     elementary PID announced in a PMT of this run with the stream_type of its codec, and
//     no two ids share a PID;
//   - the frame's packets carry one or more well-formed PES packets (00 00 01 prefix at each
//     unit start, header length matching the flags, PES_packet_length true where it is not
//     0, 0 only on video) whose payload is the whole frame (behind an ADTS header of the
//     right length exactly where the AAC stream's own detection over its first three frames
//     calls for one, without the 8-byte time trailer on video that carries one); PTS/DTS
//     follow the frame time where they must; a PCR sits only in the first packet of a frame
//     on its program's PCR PID, 36000 ticks behind the frame time; random_access_indicator
//     only there, on video;
//   - the host's frame is read, never written: its bytes stay, SetSize is never called, and
//     it is allocated to its exact size.
// A violation aborts; the sanitizers watch for everything else.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "palvex/media_format.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "palvex/palvex.h"
#include "support/ts_checker.h"

namespace {

// A failed check names itself before it stops the run: the trap alone points at no line.
#define CHECK(cond)                                                               \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "interface_fuzzer.cc:%d: CHECK(%s) failed\n", __LINE__, #cond); \
      __builtin_trap();                                                           \
    }                                                                             \
  } while (0)

// Reads the input front to back; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_pos >= m_size; }
  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint32_t U16() { return uint32_t(Byte()) << 8 | Byte(); }
  uint32_t U32() { return U16() << 16 | U16(); }
  uint64_t U64() { return uint64_t(U32()) << 32 | U32(); }
  template <typename T>
  const T& Pick(const std::vector<T>& choices) { return choices[Byte() % choices.size()]; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

constexpr uint8_t kMarkerA[16] = {0x0E, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                  0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};
constexpr uint8_t kMarkerB[16] = {0x10, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                  0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};
constexpr uint64_t kMask33 = (uint64_t(1) << 33) - 1;

// ---- media descriptions ----------------------------------------------------------------

// Codec codes the stream tables know, and some they do not.
const std::vector<int32_t> kCodecs = {0, 1, 2, 3, 0x24, 8, 8, 8, 10, 11, 12, 14, 0x80, 0x81, 0x87, 0x88,
                                      9, 255, -1, 0x7FFFFFFF};

std::vector<uint8_t> ReadExtradata(Input* in) {
  std::vector<uint8_t> extra;
  switch (in->Byte() % 8) {
    case 0: break;
    case 1: extra.push_back(in->Byte()); break;                  // a PES stream id
    case 2: extra = {0x12, 0x10}; break;                         // AAC LC, 44.1 kHz, stereo
    case 3: extra.assign(kMarkerA, kMarkerA + 16); break;        // time-stamp trailer
    case 4:                                                      // no ADTS, behind a config
      extra = {0x11, 0x90};
      extra.insert(extra.end(), kMarkerB, kMarkerB + 16);
      break;
    case 5: {                                                    // a marker and one more byte
      const uint8_t* marker = in->Byte() & 1 ? kMarkerA : kMarkerB;
      extra.assign(marker, marker + 16);
      extra.push_back(in->Byte());
      break;
    }
    default:
      extra.resize(in->Byte() % 24);
      for (uint8_t& b : extra) b = in->Byte();
  }
  return extra;
}

// A stream of a maintype the library has no class for.
class OddStream final : public MediaStream {
 public:
  explicit OddStream(int32_t mainType) { m_mainType = mainType; }
  void* GetFormat() override { return nullptr; }
  void SetFormat(const void*) override {}
  int Serialize(uint8_t*, int* size) override { return *size = 0; }
  void UnSerialize(const uint8_t*, int) override {}
};

// The library's own classes, filled the way a host fills them.
std::unique_ptr<MediaFormat> LibraryFormat(Input* in) {
  auto format = std::make_unique<MediaFormat>();
  // Now and then more streams than one PMT section holds.
  const uint8_t wanted = in->Byte();
  const int count = wanted & 0x80 ? wanted % 48 : wanted % 6;
  for (int i = 0; i < count; ++i) {
    const int32_t mainType = in->Byte() % 5;
    const int32_t codec = in->Pick(kCodecs);
    const uint8_t streamId = in->Byte() % 8;
    std::vector<uint8_t> extra = ReadExtradata(in);
    std::unique_ptr<MediaStream> stream;
    if (mainType == 0) {
      auto video = std::make_unique<VideoStream>();
      VideoFormatInfo info{};
      info.frameRate = 25.0f;
      info.extraSize = uint32_t(extra.size());
      info.extraData = extra.empty() ? nullptr : extra.data();
      video->SetFormat(&info);
      stream = std::move(video);
    } else if (mainType == 1) {
      auto audio = std::make_unique<AudioStream>();
      AudioFormatInfo info{};
      info.extraSize = uint32_t(extra.size());
      info.extraData = extra.empty() ? nullptr : extra.data();
      audio->SetFormat(&info);
      stream = std::move(audio);
    } else if (mainType == 4) {
      stream = std::make_unique<OddStream>(4);
    } else {
      stream = std::make_unique<DataStream>();
    }
    stream->SetMainType(mainType);
    stream->SetCodec(codec);
    stream->SetStreamId(streamId);
    format->AddStream(stream.get());  // a copy; maintype 4 is refused
  }
  if (in->Byte() & 1) format->SetTextA("channel");
  format->SetValueA64(int64_t(in->U32()));
  return format;
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

// A host format that serializes a hand-made form: records of any maintype and header
// length, a cut-short end, or bytes of no form at all; and a size query that may say 0,
// a negative number or more than is then written.
class HostFormat final : public MediaFormat {
 public:
  explicit HostFormat(Input* in) {
    const uint8_t mode = in->Byte();
    if (mode % 8 == 0) {
      m_form.resize(in->Byte() % 64);
      for (uint8_t& b : m_form) b = in->Byte();
    } else {
      const uint8_t wanted = in->Byte();
      const int count = wanted & 0x80 ? wanted % 40 : wanted % 5;
      Put32(&m_form, uint32_t(mode % 16 == 1 ? -1 : count));
      for (int i = 0; i < count; ++i) {
        const int32_t mainType = in->Byte() % 6;  // 4 and 5 are undefined
        const int32_t codec = in->Pick(kCodecs);
        const uint8_t streamId = in->Byte() % 8;
        const uint32_t headerLength = in->Byte() % 16 == 0 ? 10 + in->Byte() % 8 : 13;
        const uint32_t formatBytes = mainType == 0 ? 32 : mainType == 1 ? 24 : 0;
        std::vector<uint8_t> extra = ReadExtradata(in);
        const uint32_t length = 4 + headerLength + formatBytes + (formatBytes ? 4 + uint32_t(extra.size()) : 0);
        Put32(&m_form, length);
        Put32(&m_form, headerLength);
        Put32(&m_form, uint32_t(mainType));
        Put32(&m_form, uint32_t(codec));
        m_form.push_back(streamId);
        for (uint32_t k = 13; k < headerLength; ++k) m_form.push_back(0);
        for (uint32_t k = 0; k < formatBytes; ++k) m_form.push_back(uint8_t(k));
        if (formatBytes) {
          Put32(&m_form, uint32_t(extra.size()));
          m_form.insert(m_form.end(), extra.begin(), extra.end());
        }
      }
      m_form.resize(m_form.size() + 65, 0);  // the attributes: empty texts, zero values
      if (mode % 4 == 2) m_form.resize(m_form.size() - std::min<size_t>(m_form.size(), in->Byte()));
    }
    m_written = int(m_form.size());
    m_declared = m_written;
    if (mode / 16 == 1) m_declared = 0;
    if (mode / 16 == 2) m_declared = -5;
    if (mode / 16 == 3) m_declared = m_written + 1 + in->Byte();
    if (mode / 16 == 4) m_written = 0;
  }
  int Serialize(uint8_t* buf, int* size) override {
    if (buf == nullptr) {
      if (size) *size = m_declared;
      return m_declared;
    }
    // An honest host never writes more than it said.
    CHECK(m_declared > 0);
    const int n = std::min(m_written, m_declared);
    if (n > 0) std::memcpy(buf, m_form.data(), size_t(n));
    if (size) *size = n;
    return n;
  }

 private:
  std::vector<uint8_t> m_form;
  int m_declared = 0;
  int m_written = 0;
};

// ---- frames ----------------------------------------------------------------------------

// The host's frame, allocated to its exact size: the library only reads it.
class HostFrame final : public IMediaFrame {
 public:
  HostFrame(std::vector<uint8_t>* storage, int size, int64_t time, bool nullData)
      : m_storage(storage), m_size(size), m_time(time), m_nullData(nullData) {}
  void Reserved0() override { __builtin_trap(); }
  void Reserved1() override { __builtin_trap(); }
  uint8_t* GetData() override { return m_nullData ? nullptr : m_storage->data(); }
  int GetSize() override { return m_size; }
  void SetSize(int) override { __builtin_trap(); }
  int64_t GetTime() override { return m_time; }

 private:
  std::vector<uint8_t>* m_storage;
  int m_size;
  int64_t m_time;
  bool m_nullData;
};

const std::vector<uint32_t> kSizes = {0, 1, 2, 4, 5, 7, 8, 9, 16, 174, 175, 176, 177, 182, 183, 184,
                                      185, 358, 359, 360, 367, 368, 369, 1000, 2041, 8183, 8184,
                                      8185, 10000, 10001, 65512, 65513, 65522, 65523, 65532, 65533,
                                      65536, 85227, 85228, 100000};

void AppendNal(Input* in, std::vector<uint8_t>* f) {
  if (in->Byte() & 1) f->push_back(0);  // four-byte or three-byte start code
  f->insert(f->end(), {0, 0, 1});
  static const std::vector<uint8_t> kTypes = {0x67, 0x68, 0x65, 0x41, 0x01, 0x06, 0x09, 0x25, 0x61};
  const uint8_t header = in->Byte() & 0x80 ? in->Byte() : in->Pick(kTypes);
  f->push_back(header);
  if ((header & 0x1F) == 7) {
    static const std::vector<uint8_t> kProfiles = {66, 77, 100, 110, 122, 244, 44, 0, 255};
    f->push_back(in->Pick(kProfiles));
  }
  const int body = in->Byte() % 24;
  for (int k = 0; k < body; ++k) f->push_back(in->Byte());
}

std::vector<uint8_t> ReadFrameBytes(Input* in, size_t budget) {
  std::vector<uint8_t> f;
  const uint8_t kind = in->Byte();
  switch (kind % 6) {
    case 0: {  // H.264 access unit of a few NAL units, perhaps cut short
      const int units = 1 + in->Byte() % 5;
      for (int i = 0; i < units; ++i) AppendNal(in, &f);
      if (kind & 0x80) f.resize(f.size() - std::min<size_t>(f.size(), in->Byte() % 8));
      break;
    }
    case 1: {  // ADTS frame, or raw AAC beginning like one
      f = {0xFF, uint8_t(0xF0 | (in->Byte() & 0x0F))};
      f.resize(in->Byte() % 64 + 2);
      break;
    }
    case 2: {  // random bytes
      f.resize(in->Byte() % 48);
      for (uint8_t& b : f) b = in->Byte();
      break;
    }
    default: {  // a size at a boundary, and now and then a large one
      uint64_t size = in->Pick(kSizes);
      if (kind % 6 == 5) size += int8_t(in->Byte());
      if (in->Byte() == 0xFF) size = 100000 + (uint64_t(in->U16()) << 5);  // up to ~2 MB
      if (size > budget) size = budget;
      const uint8_t fill = in->Byte();
      // Filled by memset, not by an instrumented loop: large frames stay cheap.
      f.resize(size_t(size));
      if (!f.empty()) std::memset(f.data(), fill, f.size());
      for (size_t k = 0; k < f.size(); k += 997) f[k] = uint8_t(k >> 10);
      if (f.size() >= 6 && (fill & 1)) {
        const uint8_t head[6] = {0, 0, 0, 1, uint8_t(fill & 2 ? 0x65 : 0x67), 100};
        std::memcpy(f.data(), head, 6);
      }
      break;
    }
  }
  return f;
}

// Near 2^33 ticks of 90 kHz: 95443717688.9 microseconds.
constexpr int64_t kWrapMicroseconds = 95443717688;

// Host time arithmetic wraps rather than overflows, as a confused host's clock might.
int64_t Add(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }

int64_t NextTime(Input* in, int64_t last) {
  const uint8_t mode = in->Byte();
  switch (mode % 12) {
    case 0: return -1;
    case 1: return 0;
    case 2: return Add(last, -int64_t(in->U16()) * 1000);            // backwards
    case 3: return Add(last, int64_t(in->U32()));                    // a jump
    case 4: return kWrapMicroseconds + int8_t(in->Byte()) * 20000;   // around the wrap
    case 5: return kWrapMicroseconds * int64_t(1 + in->Byte() % 4);
    case 6: return mode & 0x80 ? std::numeric_limits<int64_t>::max() - in->Byte()
                               : std::numeric_limits<int64_t>::min() + in->Byte();
    case 7: return -int64_t(in->U32());
    default: return Add(last, mode & 0x10 ? 21333 : 40000);          // steady frames
  }
}

// ---- the stream as a receiver sees it --------------------------------------------------

struct Program {
  int pcrPid = -1;
  std::map<int, uint8_t> streams;  // elementary PID -> stream_type
};

// stream_type of a carried stream description, or 0 for one that is not carried.
uint8_t StreamTypeOf(MediaStream* s) {
  if (s == nullptr) return 0;
  const int32_t codec = s->GetCodec();
  if (s->GetMainType() == kMediaMainTypeVideo) {
    return codec == 0 ? 0x1B : codec == 1 ? 0x10 : codec == 2 ? 0x02 : codec == 0x24 ? 0x24 : 0;
  }
  if (s->GetMainType() != kMediaMainTypeAudio) return 0;
  if (codec == 8) return 0x0F;
  if (codec == 10) return 0x04;
  if (codec == 11) return 0x03;
  if (codec == 12 || codec == 14) return 0x11;
  if (codec >= 0x80 && codec <= 0x87) return uint8_t(codec);
  return 0;
}

// A carried stream of the run as the receiver expects it: its type, and on AAC its own
// ADTS detection over its first three frames.
struct RunStream {
  uint8_t type = 0;
  int pid = -1;  // learned from its first frame with output
  bool insert = false;
  bool built = false;
  int checked = 0;
  int found = 0;

  // Whether this frame gets an ADTS header: frames with a syncword while three frames are
  // examined get none; insertion stops for good when all three had one.
  bool TakesHeader(const uint8_t* data, int size) {
    if (!insert) return false;
    bool sync = false;
    bool deciding = false;
    if (checked < 3) {
      sync = data != nullptr && size >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0;
      found += sync ? 1 : 0;
      ++checked;
      deciding = checked < 3;
      if (checked == 3 && found == 3) insert = false;
    }
    return insert && built && !(deciding && sync);
  }
};

// The carried streams of a list of descriptions by stream id; false at a repeated id. Adds
// the PIDs and programs they take.
bool CollectStreams(MediaFormat* format, std::map<int, RunStream>* streams, int64_t* pids,
                    int64_t* programs, int64_t* carried) {
  const std::vector<MediaStream*>& list = format->GetStreams();
  *carried = 0;
  for (MediaStream* s : list) {
    const uint8_t type = StreamTypeOf(s);
    if (type == 0) continue;
    RunStream run;
    run.type = type;
    if (type == 0x0F) {
      const auto* info = static_cast<const AudioFormatInfo*>(s->GetFormat());
      const uint8_t* extra = info != nullptr ? info->extraData : nullptr;
      const uint32_t size = extra != nullptr ? info->extraSize : 0;
      run.insert = !(size >= 16 && std::memcmp(extra + size - 16, kMarkerB, 16) == 0);
      run.built = size >= 2;
    }
    if (!streams->emplace(s->GetStreamId(), run).second) return false;
    ++*carried;
  }
  *pids += 1 + int64_t(list.size());
  *programs += *carried > 0 ? 1 : 0;
  return true;
}

class Receiver {
 public:
  // A Start begins a run: new programs, counters from 0.
  // A new muxer: nothing sent yet on any PID.
  void NewMuxer() {
    m_checker = palvex_test::TsChecker(palvex_test::TsChecker::Pcrs::kDropped);
    m_pidsSent.clear();
    m_lastSection.clear();
    NewRun();
  }

  void NewRun() {
    m_pmtPids.clear();
    m_programs.clear();
    m_esType.clear();
    m_esOwner.clear();
    m_lastPCR.clear();
    m_runStarted = false;
    m_psiMark.clear();
    m_outputPids.clear();
    m_timeOrdered = true;
    m_haveTime = false;
    m_pidTaken.clear();
  }

  // One ProcessFrame output for the frame `original` (its bytes) at `time`, of the carried
  // stream `stream` (null for an id the run does not carry), behind an ADTS header when
  // `adts`.
  void Check(const uint8_t* data, int length, const std::vector<uint8_t>& original, int64_t time,
             RunStream* stream, bool adts) {
    if (m_haveTime && time < m_lastTime) m_timeOrdered = false;
    m_haveTime = true;
    m_lastTime = time;
    CHECK(length >= 0);
    // Whole packets, sync bytes, continuity for the muxer's life, PSI CRC residue 0.
    m_checker.Feed(data, size_t(length));
    CHECK(m_checker.errors().empty());
    if (length == 0) return;
    CHECK(data != nullptr);
    const int count = length / 188;
    std::set<int> pmtsSeen;
    bool psiOver = false;
    int framePid = -1;
    std::vector<const uint8_t*> framePackets;
    for (int i = 0; i < count; ++i) {
      const uint8_t* p = data + 188 * i;
      CHECK((p[1] & 0x80) == 0);        // transport_error_indicator
      CHECK((p[3] & 0xC0) == 0);        // not scrambled
      const int afc = p[3] >> 4 & 3;
      if (afc & 2) CHECK(p[4] <= 183 && (afc == 3 || p[4] == 183));
      const int pid = (p[1] & 0x1F) << 8 | p[2];
      CHECK(pid != 0x1FFF);
      if ((afc & 1) && m_pidsSent.insert(pid).second) CHECK((p[3] & 0x0F) == 0);  // a PID's first counter
      if (!m_runStarted) {
        CHECK(pid == 0);  // a run opens with the PAT
        m_runStarted = true;
      }
      if (pid == 0 || m_pmtPids.count(pid)) {
        CHECK(!psiOver);  // PSI only ahead of the frame
        if (pid == 0) {
          ReadPAT(p);
          pmtsSeen.clear();
        } else {
          ReadPMT(p, pid);
          pmtsSeen.insert(pid);
        }
        continue;
      }
      psiOver = true;
      if (framePid < 0) framePid = pid;
      CHECK(pid == framePid);  // one frame, one PID
      framePackets.push_back(p);
    }
    if (data[1] == 0x40 && data[2] == 0) {
      // A PAT in this output: every program it lists has its PMT here too.
      for (int pmt : m_pmtPids) CHECK(pmtsSeen.count(pmt));
    }
    // PSI is due at the latest once a stream has moved on by 500 ms on its own clock since
    // the last PAT. While every frame time of the run has come in order, the receiver's
    // idea of a stream's time at the last PAT is never earlier than the packer's: the PAT's
    // own time for the PIDs that had frames before it, else the PID's first frame after it.
    const bool pat = data[1] == 0x40 && data[2] == 0;
    if (pat) {
      for (int pid : m_outputPids) m_psiMark[pid] = time;
      if (framePid >= 0) m_psiMark[framePid] = time;
    } else if (framePid >= 0) {
      const auto mark = m_psiMark.find(framePid);
      if (mark == m_psiMark.end()) {
        m_psiMark[framePid] = time;
      } else if (m_timeOrdered) {
        CHECK(uint64_t(time) - uint64_t(mark->second) < 500000);
      }
    }
    if (framePid >= 0) m_outputPids.insert(framePid);
    if (framePid < 0) return;
    // Routing: the frame's stream is carried, always on one PID of its own type.
    CHECK(stream != nullptr);
    if (stream->pid < 0) {
      CHECK(m_pidTaken.insert(framePid).second);
      stream->pid = framePid;
    }
    CHECK(stream->pid == framePid);
    auto known = m_esType.find(framePid);
    CHECK(known != m_esType.end() && known->second == stream->type);
    CheckFrame(framePid, framePackets, original, time, adts);
  }

 private:
  static const uint8_t* Payload(const uint8_t* p) {
    const int afc = p[3] >> 4 & 3;
    if ((afc & 1) == 0) return p + 188;
    return (afc & 2) ? p + 5 + p[4] : p + 4;
  }

  // The section in a PSI packet: unit start, pointer field 0, the whole section in the
  // packet, CRC residue 0. Returns its first byte and stores its length.
  static const uint8_t* Section(const uint8_t* p, uint8_t tableId, size_t* length) {
    CHECK((p[1] & 0x40) != 0 && (p[3] >> 4 & 3) == 1);
    const uint8_t* s = p + 5;
    CHECK(p[4] == 0 && s[0] == tableId && (s[1] & 0xC0) == 0x80);
    *length = 3 + size_t((s[1] & 0x0F) << 8 | s[2]);
    CHECK(*length <= 183 && *length >= 12);  // its CRC residue: TsChecker
    return s;
  }

  // version_number against the last section sent on the PID.
  void CheckVersion(int pid, const uint8_t* s, size_t length) {
    const int version = s[5] >> 1 & 0x1F;
    std::vector<uint8_t> content(s, s + length - 4);
    content[5] &= 0xC1;
    auto last = m_lastSection.find(pid);
    if (last == m_lastSection.end()) {
      CHECK(version == 0);
    } else {
      CHECK(version == (last->second.first == content ? last->second.second : (last->second.second + 1) & 0x1F));
    }
    m_lastSection[pid] = {content, version};
  }

  void ReadPAT(const uint8_t* p) {
    size_t length = 0;
    const uint8_t* s = Section(p, 0x00, &length);
    CheckVersion(0, s, length);
    CHECK((length - 12) % 4 == 0);
    std::set<int> pmtPids;
    std::set<int> numbers;
    for (size_t k = 8; k + 4 <= length - 4; k += 4) {
      const int number = s[k] << 8 | s[k + 1];
      const int pid = (s[k + 2] & 0x1F) << 8 | s[k + 3];
      CHECK(number != 0 && numbers.insert(number).second);
      CHECK(pid >= 0x10 && pid < 0x1FFF && pmtPids.insert(pid).second);
      CHECK(!m_esOwner.count(pid));
    }
    m_pmtPids = pmtPids;
  }

  void ReadPMT(const uint8_t* p, int pmtPid) {
    size_t length = 0;
    const uint8_t* s = Section(p, 0x02, &length);
    CheckVersion(pmtPid, s, length);
    Program program;
    program.pcrPid = (s[8] & 0x1F) << 8 | s[9];
    const size_t infoLength = size_t((s[10] & 0x0F) << 8 | s[11]);
    size_t k = 12 + infoLength;
    CHECK(k <= length - 4);
    while (k < length - 4) {
      CHECK(k + 5 <= length - 4);
      const uint8_t type = s[k];
      const int pid = (s[k + 1] & 0x1F) << 8 | s[k + 2];
      k += 5 + size_t((s[k + 3] & 0x0F) << 8 | s[k + 4]);
      CHECK(k <= length - 4);
      CHECK(pid >= 0x10 && pid < 0x1FFF && pid != pmtPid && !m_pmtPids.count(pid));
      CHECK(program.streams.emplace(pid, type).second);
      auto owner = m_esOwner.find(pid);
      CHECK(owner == m_esOwner.end() || owner->second == pmtPid);  // no PID in two programs
      m_esOwner[pid] = pmtPid;
      auto known = m_esType.find(pid);
      CHECK(known == m_esType.end() || known->second == type);
      m_esType[pid] = type;
    }
    m_programs[pmtPid] = program;
  }

  static bool IsVideo(uint8_t type) { return type == 0x1B || type == 0x24 || type == 0x10 || type == 0x02; }

  static int64_t ReadTimestamp(const uint8_t* q, unsigned prefix) {
    CHECK((q[0] >> 4) == prefix && (q[0] & 1) && (q[2] & 1) && (q[4] & 1));
    return int64_t(q[0] >> 1 & 7) << 30 | int64_t(q[1]) << 22 | int64_t(q[2] >> 1) << 15 |
           int64_t(q[3]) << 7 | (q[4] >> 1);
  }

  bool CarriesPCR(int pid) const {
    for (const auto& entry : m_programs)
      if (entry.second.pcrPid == pid) return true;
    return false;
  }

  void CheckFrame(int pid, const std::vector<const uint8_t*>& packets,
                  const std::vector<uint8_t>& original, int64_t time, bool adts) {
    auto known = m_esType.find(pid);
    CHECK(known != m_esType.end());  // announced in a PMT of this run
    const uint8_t type = known->second;
    const int64_t ticks = time / 1000 * 90 + time % 1000 * 90 / 1000;
    const bool pcrPid = CarriesPCR(pid);
    std::vector<uint8_t> payload;
    // PES packets in progress: the bytes PES_packet_length still owes.
    int64_t owed = -1;
    int pesCount = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      const uint8_t* p = packets[i];
      const bool start = (p[1] & 0x40) != 0;
      if (i == 0) CHECK(start);
      const int afc = p[3] >> 4 & 3;
      CHECK(afc & 1);  // every frame packet carries bytes of the frame
      const bool pcr = (afc & 2) && p[4] >= 7 && (p[5] & 0x10);
      if (i == 0 && pcrPid) {
        // Due on the stream's first frame, 3600 ticks after the last PCR, or when time
        // went back; not otherwise.
        auto last = m_lastPCR.find(pid);
        const bool due = last == m_lastPCR.end() || ticks < last->second || ticks - last->second >= 3600;
        CHECK(pcr == due);
        if (due) m_lastPCR[pid] = ticks;
      }
      // random_access_indicator: on the first packet of a video frame only.
      if ((afc & 2) && p[4] > 0 && (p[5] & 0x40)) CHECK(i == 0 && IsVideo(type));
      if (pcr) {
        CHECK(i == 0 && pcrPid);
        CHECK((p[5] & ~0x40) == 0x10);
        const int64_t base = int64_t(p[6]) << 25 | int64_t(p[7]) << 17 | int64_t(p[8]) << 9 |
                             int64_t(p[9]) << 1 | (p[10] >> 7);
        CHECK(base == int64_t(uint64_t(ticks - 36000) & kMask33));
      } else if (afc & 2) {
        CHECK(p[4] == 0 || (p[5] & ~0x40) == 0x00);  // stuffing only, beside the random access flag
        for (int k = 6; k < 5 + p[4]; ++k) CHECK(p[k] == 0xFF);
      }
      const uint8_t* body = Payload(p);
      size_t n = size_t(p + 188 - body);
      if (start) {
        CHECK(owed <= 0);  // the previous PES packet is complete
        CHECK(n >= 9 && body[0] == 0 && body[1] == 0 && body[2] == 1);
        CHECK(body[6] == (pesCount == 0 ? 0x84 : 0x80));
        // PTS and DTS on the first PES packet of a frame with a time (not negative); a
        // frame at -11 to -1 us (tick 0) has the 19-byte header with stuffing instead.
        const bool stamped = body[7] == 0xC0;
        CHECK(stamped || body[7] == 0);
        CHECK(stamped == (pesCount == 0 && time >= 0));
        if (stamped) {
          CHECK(body[8] == 10);
        } else if (pesCount == 0 && ticks >= 0) {
          CHECK(body[8] == 10 && n >= 19);
          for (int k = 9; k < 19; ++k) CHECK(body[k] == 0xFF);
        } else {
          CHECK(body[8] == 0);
        }
        const size_t header = 9 + body[8];
        CHECK(n >= header);
        if (stamped) {
          const int64_t pts = ReadTimestamp(body + 9, 3);
          const int64_t dts = ReadTimestamp(body + 14, 1);
          const int64_t t = int64_t(uint64_t(ticks) & kMask33);
          const int64_t early = int64_t(uint64_t(ticks - 3600) & kMask33);
          if (!IsVideo(type)) CHECK(pts == t && dts == early);
          else CHECK(dts == t || dts == early);  // early: the PTS came from a time trailer
          // A picture is never presented before it is decoded (modulo the 2^33 wrap).
          if (dts == t) CHECK(((pts - dts) & kMask33) < (int64_t{1} << 32));
        }
        const int declared = body[4] << 8 | body[5];
        CHECK(declared != 0 || IsVideo(type));
        owed = declared == 0 ? -1 : int64_t(declared) - int64_t(n - 6);
        ++pesCount;
        payload.insert(payload.end(), body + header, body + n);
      } else {
        CHECK(pesCount > 0);
        if (owed >= 0) owed -= int64_t(n);
        payload.insert(payload.end(), body, body + n);
      }
      CHECK(owed == -1 || owed >= 0);
    }
    CHECK(owed <= 0);
    // The whole frame, nothing else.
    if (adts) {
      // An ADTS header in front of raw AAC where its stream's detection calls for one.
      CHECK(type == 0x0F && payload.size() == original.size() + 7);
      const uint8_t* h = payload.data();
      const size_t frameLength = size_t((h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5);
      CHECK(h[0] == 0xFF && h[1] == 0xF1 && frameLength == payload.size());
      CHECK(std::equal(original.begin(), original.end(), payload.begin() + 7));
    } else if (payload.size() == original.size()) {
      CHECK(payload == original);
    } else {
      // A video frame whose last 8 bytes are its presentation time.
      CHECK(IsVideo(type) && original.size() >= 8 && payload.size() == original.size() - 8);
      CHECK(std::equal(payload.begin(), payload.end(), original.begin()));
    }
  }

  palvex_test::TsChecker m_checker{palvex_test::TsChecker::Pcrs::kDropped};  // for the muxer's life
  std::set<int> m_pidsSent;            // for the muxer's life
  std::map<int, std::pair<std::vector<uint8_t>, int>> m_lastSection;  // PSI PID -> content, version
  std::set<int> m_pmtPids;
  std::map<int, Program> m_programs;  // by PMT PID
  std::map<int, uint8_t> m_esType;
  std::map<int, int> m_esOwner;       // elementary PID -> PMT PID
  std::map<int, int64_t> m_lastPCR;   // PCR PID -> frame ticks of its last PCR
  std::map<int, int64_t> m_psiMark;   // PID -> its time at the last PAT, as the receiver reckons
  std::set<int> m_outputPids;          // PIDs that have carried frames in this run
  bool m_timeOrdered = true;           // no frame time of the run earlier than the one before
  bool m_haveTime = false;
  int64_t m_lastTime = 0;
  bool m_runStarted = false;
  std::set<int> m_pidTaken;            // elementary PIDs a stream id has taken in this run
};

// ---- the host ----------------------------------------------------------------------------

class Host {
 public:
  explicit Host(Input* in) : m_in(in) {}

  void Run() {
    const int formatCount = m_in->Byte() % 5;
    for (int i = 0; i < formatCount; ++i) {
      if (m_in->Byte() % 3 == 0) m_formats.push_back(std::make_unique<HostFormat>(m_in));
      else m_formats.push_back(LibraryFormat(m_in));
    }
    Create();
    for (int step = 0; step < 600 && !m_in->Empty(); ++step) Step();
    if (m_in->Byte() & 1) Call(m_muxer->Close(), m_open ? 0 : -1);
    CHECK(iptv::RemovePalvex(m_muxer) == iptv::RESULT_SUCCESS);
  }

 private:
  void Create() {
    m_muxer = iptv::CreatePalvex();
    CHECK(m_muxer != nullptr);
    m_receiver.NewMuxer();
    m_open = false;
    m_started = false;
    CHECK(m_muxer->GetMediaFormats().empty());
  }

  static void Call(int result, int expected) { CHECK(result == expected); }

  void Step() {
    const uint8_t op = m_in->Byte();
    if (op < 0x90) {
      Frame(op);
      return;
    }
    switch (op % 16) {
      case 0: Call(m_muxer->Open(), m_open ? -1 : 0); m_open = true; break;
      case 1:
        Call(m_muxer->Close(), m_open ? 0 : -1);
        m_open = m_started = false;
        break;
      case 2:
      case 3:
        Call(m_muxer->Start(), m_open && !m_started ? 0 : -1);
        if (m_open && !m_started) {
          m_started = true;
          m_receiver.NewRun();
          // The run carries the streams of the descriptions listed now.
          m_run.clear();
          int64_t pids = 0;
          int64_t programs = 0;
          int64_t carried = 0;
          for (MediaFormat* copy : m_muxer->GetMediaFormats()) {
            CHECK(CollectStreams(copy, &m_run, &pids, &programs, &carried));
          }
        }
        break;
      case 4: Call(m_muxer->Stop(), m_open ? 0 : -1); m_started = false; break;
      case 5: AddFormat(1); break;
      case 6: AddFormat(1 + m_in->Byte() % 64); break;  // more programs than one PAT section holds
      case 7:
      case 8: RemoveFormat(); break;
      case 9: {
        const std::vector<MediaFormat*> list = m_muxer->GetMediaFormats();
        CHECK(std::set<MediaFormat*>(list.begin(), list.end()).size() == list.size());
        break;
      }
      case 10: m_muxer->Reserved(int32_t(m_in->U32())); break;
      case 11:
        if (op & 0x80 && op & 0x20) {  // the host drops the muxer, closed or not
          CHECK(iptv::RemovePalvex(m_muxer) == iptv::RESULT_SUCCESS);
          Create();
          m_run.clear();
        } else {
          CHECK(iptv::RemovePalvex(nullptr) == iptv::RESULT_FAILURE);
        }
        break;
      default: Frame(op); break;
    }
  }

  // Whether AddMediaFormat takes format: it has a serialized form, and its copy's carried
  // streams have ids of their own, fit one PMT, and leave the PAT and the PIDs enough room.
  bool Accepts(MediaFormat* format) {
    if (format == nullptr) return false;
    int size = 0;
    format->Serialize(nullptr, &size);
    if (size <= 0) return false;
    std::vector<uint8_t> form(static_cast<size_t>(size));
    int written = 0;
    format->Serialize(form.data(), &written);
    if (written <= 0 || written > size) return false;
    MediaFormat copy;
    copy.UnSerialize(form.data(), written);
    std::map<int, RunStream> streams;
    int64_t pids = 0;
    int64_t programs = 0;
    int64_t carried = 0;
    for (MediaFormat* listed : m_muxer->GetMediaFormats()) {
      CHECK(CollectStreams(listed, &streams, &pids, &programs, &carried));
    }
    const int64_t before = programs;
    if (!CollectStreams(&copy, &streams, &pids, &programs, &carried)) return false;
    if (carried == 0) return true;
    return 16 + 5 * carried <= 183 && 12 + 4 * (before + 1) <= 183 && pids <= 0x1FFE - 0x10 + 1;
  }

  void AddFormat(int times) {
    const uint8_t which = m_in->Byte();
    MediaFormat* format = m_formats.empty() || which == 0xFF ? nullptr : m_formats[which % m_formats.size()].get();
    for (int i = 0; i < times; ++i) {
      const size_t before = m_muxer->GetMediaFormats().size();
      const bool accepts = Accepts(format);
      MediaFormat* result = m_muxer->AddMediaFormat(format);
      CHECK((result != nullptr) == accepts);
      CHECK(result == nullptr || result == format);
      const std::vector<MediaFormat*> after = m_muxer->GetMediaFormats();
      CHECK(after.size() == before + (result != nullptr ? 1 : 0));
      CHECK(format != nullptr || result == nullptr);
      if (result != nullptr) CHECK(after.back() != format);  // the muxer's own copy
    }
  }

  void RemoveFormat() {
    const std::vector<MediaFormat*> list = m_muxer->GetMediaFormats();
    const uint8_t which = m_in->Byte();
    MediaFormat local;
    MediaFormat* entry = nullptr;
    bool listed = false;
    if (which < 0xC0 && !list.empty()) {
      entry = list[which % list.size()];
      listed = true;
    } else if (which < 0xE0 && !m_formats.empty()) {
      entry = m_formats[which % m_formats.size()].get();  // the host's own object
    } else if (which < 0xF0) {
      entry = &local;
    }
    Call(m_muxer->RemoveMediaFormat(entry), listed ? 0 : -1);
    CHECK(m_muxer->GetMediaFormats().size() == list.size() - (listed ? 1 : 0));
  }

  void Frame(uint8_t op) {
    static const std::vector<int> kIds = {0, 1, 2, 3, 4, 5, 6, 7, 256, 257, -1,
                                          std::numeric_limits<int>::min(), 0xFF};
    const int streamId = kIds[op % kIds.size()];
    const uint8_t flags = m_in->Byte();
    std::vector<uint8_t> bytes = ReadFrameBytes(m_in, m_budget);
    m_budget -= std::min(m_budget, bytes.size());
    m_time = NextTime(m_in, m_time);
    const std::vector<uint8_t> original = bytes;
    int size = int(bytes.size());
    bytes.shrink_to_fit();  // exactly the frame: the library must not touch a byte more
    bool nullData = false;
    bool badArgument = false;
    if (flags % 32 == 1) {
      size = -1 - (flags >> 5);
      badArgument = true;
    } else if (flags % 32 == 2) {
      nullData = true;
      badArgument = size > 0;
    }
    HostFrame frame(&bytes, size, m_time, nullData);
    uint8_t sentinel = 0;
    uint8_t* data = &sentinel;
    int length = -77;
    IMediaFrame* framePtr = &frame;
    uint8_t** dataPtr = &data;
    int* lengthPtr = &length;
    if (flags % 32 == 3) framePtr = nullptr;
    if (flags % 32 == 4) dataPtr = nullptr;
    if (flags % 32 == 5) lengthPtr = nullptr;
    badArgument = badArgument || framePtr == nullptr || dataPtr == nullptr || lengthPtr == nullptr;
    const int result = m_muxer->ProcessFrame(streamId, framePtr, dataPtr, lengthPtr);
    if (!m_started) {
      // Refused, both outputs untouched.
      CHECK(result == -1 && data == &sentinel && length == -77);
      return;
    }
    if (badArgument) {
      CHECK(result == -1 && data == &sentinel);
      CHECK(lengthPtr == nullptr ? length == -77 : length == 0);
      return;
    }
    CHECK(result == 0);
    CHECK(bytes == original);  // read, never written
    const uint8_t* seen = frame.GetData();
    RunStream* stream = nullptr;
    if (streamId >= 0 && streamId <= 255) {
      auto it = m_run.find(streamId);
      if (it != m_run.end()) stream = &it->second;
    }
    if (stream == nullptr) {
      CHECK(length == 0);  // no stream of the run has the id
      return;
    }
    const bool adts = stream->TakesHeader(seen, size);
    if (adts && (seen == nullptr || size > 8184)) {
      CHECK(length == 0);  // no room for it in frame_length: nothing at all goes out
      return;
    }
    m_receiver.Check(data, length, seen == nullptr ? std::vector<uint8_t>() : original, m_time, stream, adts);
  }

  Input* m_in;
  std::vector<std::unique_ptr<MediaFormat>> m_formats;
  iptv::IVorlux* m_muxer = nullptr;
  bool m_open = false;
  bool m_started = false;
  int64_t m_time = 0;
  size_t m_budget = 3 << 20;  // frame bytes per input, so that the fuzzer stays fast
  Receiver m_receiver;
  std::map<int, RunStream> m_run;  // the carried streams of the run, by stream id
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library's diagnostics go to standard output; they would only slow the run.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  Input in(data, size);
  Host host(&in);
  host.Run();
  return 0;
}
