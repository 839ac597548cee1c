#include "dvb_stage.h"

#include <algorithm>

#include "network_tables.h"

namespace palvex_host {
namespace {

constexpr uint8_t kTableIdSDTActual = 0x42;    // service_description_section, actual transport stream
constexpr size_t kMaxSectionSize = 1024;       // PAT, PMT and SDT: section_length at most 1021
constexpr size_t kCRCSize = 4;
constexpr uint8_t kTagRegistration = 0x05;     // registration_descriptor (ISO/IEC 13818-1)
constexpr uint8_t kTagISO639Language = 0x0A;   // ISO_639_language_descriptor
constexpr uint8_t kTagAC3 = 0x6A;              // AC-3_descriptor (EN 300 468 annex D)
constexpr uint8_t kTagEnhancedAC3 = 0x7A;      // enhanced_AC-3_descriptor

constexpr int kStreamTypePrivatePES = 0x06;    // PES packets containing private data
constexpr int kStreamTypeAC3 = 0x81;           // the library's (ATSC) AC-3
constexpr int kStreamTypeEnhancedAC3 = 0x87;   // the library's (ATSC) E-AC-3

void Put16(std::vector<uint8_t>* s, int value) {
  s->push_back(uint8_t(value >> 8));
  s->push_back(uint8_t(value));
}

// '111' / '1111' reserved bits in front of a 13-bit PID or a 12-bit length.
void PutPid(std::vector<uint8_t>* s, int pid) { Put16(s, 0xE000 | (pid & 0x1FFF)); }
void PutLength12(std::vector<uint8_t>* s, size_t at, size_t length) {
  (*s)[at] = uint8_t(0xF0 | (length >> 8 & 0x0F));
  (*s)[at + 1] = uint8_t(length);
}

bool HasDescriptor(const std::vector<uint8_t>& descriptors, uint8_t tag) {
  for (size_t pos = 0; pos + 2 <= descriptors.size(); pos += 2 + size_t{descriptors[pos + 1]})
    if (descriptors[pos] == tag) return true;
  return false;
}

void AddDescriptor(std::vector<uint8_t>* descriptors, uint8_t tag, const std::vector<uint8_t>& body) {
  if (HasDescriptor(*descriptors, tag)) return;
  descriptors->push_back(tag);
  descriptors->push_back(uint8_t(body.size()));
  descriptors->insert(descriptors->end(), body.begin(), body.end());
}

// A three-letter ISO 639-2 code in lower case, or empty ("und", undetermined, says nothing).
std::string LanguageCode(const std::string& language) {
  std::string code = language;
  if (code.size() != 3) return {};
  for (char& c : code) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c < 'a' || c > 'z') return {};
  }
  return code == "und" ? std::string() : code;
}

}  // namespace

int ServiceType(const std::vector<int>& streamTypes, int videoHeight) {
  const bool hd = videoHeight > 576;  // SD is at most 720 x 576
  for (int type : streamTypes) {
    switch (type) {
      case 0x24: return 0x1F;            // HEVC digital television service
      case 0x1B: return hd ? 0x19 : 0x16;  // H.264/AVC HD / SD digital television service (first
                                         // named "advanced codec HD / SD digital television service")
      case 0x01:
      case 0x02: return hd ? 0x11 : 0x01;  // MPEG-2 HD digital television service / digital television service
      case 0x10: return 0x01;            // digital television service (MPEG-4 Visual)
      default: break;
    }
  }
  if (streamTypes.empty()) return 0x01;
  for (int type : streamTypes)
    if (type == 0x0F || type == 0x11) return 0x0A;  // advanced codec digital radio sound service (AAC, HE-AAC)
  return 0x02;                                      // digital radio sound service (MPEG audio, AC-3)
}

DVBStage::DVBStage(const DVBConfig& config)
    : m_config(config), m_nextPmtPid(config.pmtPid), m_nextPid(config.firstPid) {
  m_pidMap.fill(-1);
  m_streamType.fill(-1);
  m_cc.fill(0);
  for (int pid = 0; pid < kLowestFreePid; ++pid) m_taken[static_cast<size_t>(pid)] = true;
  m_taken[kNullPid] = true;
  m_pidMap[kNullPid] = kNullPid;
  // A service of a multiplex is given no PID but its PMT's and firstPid to lastPid.
  for (int pid = kLowestFreePid; pid < kNullPid; ++pid)
    if (pid > config.lastPid || (config.inMultiplex && pid < config.firstPid))
      m_taken[static_cast<size_t>(pid)] = pid != config.pmtPid;
  m_namesShortened = ServiceDescriptorNames(config.provider, config.name, &m_provider, &m_name);
  m_out.reserve(64 * kTSPacketSize);
}

int DVBStage::OutputPid(int libraryPid) const {
  return libraryPid >= 0 && libraryPid <= kNullPid ? m_pidMap[static_cast<size_t>(libraryPid)] : -1;
}

int DVBStage::OutputStreamType(int libraryPid) const {
  return libraryPid >= 0 && libraryPid <= kNullPid ? m_streamType[static_cast<size_t>(libraryPid)] : -1;
}

// The library PID's output PID, given on first sight from *cursor upward (wrapping above
// 0x1FFE to 0x0020), past the PIDs given already; -1 once all are given.
int DVBStage::MapPid(int libraryPid, int* cursor) {
  int16_t& mapped = m_pidMap[static_cast<size_t>(libraryPid)];
  if (mapped >= 0) return mapped;
  for (int tries = 0; tries < kNullPid; ++tries) {
    const int pid = *cursor;
    *cursor = pid + 1 >= kNullPid ? kLowestFreePid : pid + 1;
    if (m_taken[static_cast<size_t>(pid)]) continue;
    m_taken[static_cast<size_t>(pid)] = true;
    mapped = static_cast<int16_t>(pid);
    return pid;
  }
  return -1;
}

int DVBStage::ProgramNumber(int libraryNumber) const {
  if (m_config.programNumber < 0) return libraryNumber;
  for (size_t i = 0; i < m_programs.size(); ++i)
    if (m_programs[i].libraryNumber == libraryNumber) return (m_config.programNumber + static_cast<int>(i)) & 0xFFFF;
  return libraryNumber;
}

const DVBStreamNote* DVBStage::Note(int libraryPid) const {
  for (const DVBStreamNote& note : m_config.streams)
    if (note.libraryPid == libraryPid) return &note;
  return nullptr;
}

DVBStage::Program* DVBStage::ProgramOnPid(int libraryPid) {
  for (Program& program : m_programs)
    if (program.libraryPmtPid == libraryPid) return &program;
  return nullptr;
}

const std::vector<uint8_t>& DVBStage::Rewrite(const uint8_t* ts, size_t size) {
  m_out.clear();
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const uint8_t* p = ts + off;
    const int pid = PacketPid(p);
    Program* program = pid != 0 ? ProgramOnPid(pid) : nullptr;
    // The SDT goes behind the PMTs that follow the PAT: their streams give its service_type.
    if (m_sdtDue && pid != 0 && program == nullptr) WriteSDT();
    if (pid == 0) {
      if (m_pat.Push(p)) RewritePAT(m_pat.section());
    } else if (program != nullptr) {
      if (program->gatherer.Push(p)) RewritePMT(program, program->gatherer.section());
    } else {
      const int out = MapPid(pid, &m_nextPid);
      if (out < 0) continue;
      m_out.insert(m_out.end(), p, p + kTSPacketSize);
      uint8_t* q = &m_out[m_out.size() - kTSPacketSize];
      q[1] = uint8_t((q[1] & 0xE0) | (out >> 8 & 0x1F));  // transport_error_indicator, payload_unit_start_indicator,
      q[2] = uint8_t(out);                                // transport_priority as they were; PID
    }
  }
  if (m_sdtDue) WriteSDT();
  return m_out;
}

void DVBStage::RewritePAT(const std::vector<uint8_t>& in) {
  PAT pat;
  if (in.size() > kMaxSectionSize || !ReadPAT(in.data(), in.size(), &pat)) return;
  std::vector<Program> programs;
  for (const PATProgram& entry : pat.programs) {
    if (entry.number == 0) continue;  // the network_PID: no NIT comes from the library
    Program* known = ProgramOnPid(entry.pid);
    programs.push_back(known != nullptr ? std::move(*known) : Program{});
    programs.back().libraryNumber = entry.number;
    programs.back().libraryPmtPid = entry.pid;
  }
  m_programs = std::move(programs);
  m_transportStreamId = m_config.transportStreamId >= 0 ? m_config.transportStreamId : pat.transportStreamId;
  std::vector<uint8_t>& s = m_section;
  s.assign(in.begin(), in.begin() + 8);  // table_id to last_section_number, version_number as it was
  s[3] = uint8_t(m_transportStreamId >> 8);  // transport_stream_id
  s[4] = uint8_t(m_transportStreamId);
  for (const PATProgram& entry : pat.programs) {
    Put16(&s, entry.number == 0 ? 0 : ProgramNumber(entry.number));  // program_number
    PutPid(&s, entry.number == 0 ? entry.pid : MapPid(entry.pid, &m_nextPmtPid));  // network_PID / program_map_PID
  }
  if (m_config.inMultiplex) return;  // the multiplex's PAT and SDT name every service
  WriteSection(0, &s);
  m_sdtDue = true;
}

void DVBStage::RewritePMT(Program* program, const std::vector<uint8_t>& in) {
  PMT pmt;
  if (!ReadPMT(in.data(), in.size(), &pmt)) return;
  std::vector<int> types;
  int videoHeight = 0;
  for (const PMTStream& stream : pmt.streams) {
    const DVBStreamNote* note = Note(stream.pid);
    if (videoHeight == 0 && note != nullptr) videoHeight = note->height;
    types.push_back(stream.streamType);
  }
  program->serviceType = ServiceType(types, videoHeight);
  program->pmtSeen = true;
  for (bool describe : {true, false}) {  // without the added descriptors when they do not fit
    std::vector<uint8_t>& s = m_section;
    s.assign(in.begin(), in.begin() + 8);   // table_id to last_section_number, version_number as it was
    s[3] = uint8_t(ProgramNumber(pmt.programNumber) >> 8);  // program_number
    s[4] = uint8_t(ProgramNumber(pmt.programNumber));
    s.resize(12);                           // PCR_PID and program_info_length below
    s.insert(s.end(), pmt.descriptors.begin(), pmt.descriptors.end());
    PutLength12(&s, 10, pmt.descriptors.size());
    for (const PMTStream& stream : pmt.streams) {
      const int pid = MapPid(stream.pid, &m_nextPid);
      if (pid < 0) continue;  // no PID left for it (a multiplex's service past its own): not listed
      std::vector<uint8_t> descriptors = stream.descriptors;
      int type = stream.streamType;
      const DVBStreamNote* note = Note(stream.pid);
      const std::string language = note != nullptr && describe ? LanguageCode(note->language) : std::string();
      if (!language.empty()) AddDescriptor(&descriptors, kTagISO639Language, {uint8_t(language[0]),
                                           uint8_t(language[1]), uint8_t(language[2]), 0x00});  // audio_type undefined
      if (describe && (type == kStreamTypeAC3 || type == kStreamTypeEnhancedAC3)) {
        const bool enhanced = type == kStreamTypeEnhancedAC3;
        AddDescriptor(&descriptors, kTagRegistration, enhanced ? std::vector<uint8_t>{'E', 'A', 'C', '3'}
                                                               : std::vector<uint8_t>{'A', 'C', '-', '3'});
        AddDescriptor(&descriptors, enhanced ? kTagEnhancedAC3 : kTagAC3, {0x00});  // no optional fields
        type = kStreamTypePrivatePES;
      }
      m_streamType[static_cast<size_t>(stream.pid)] = static_cast<int16_t>(type);
      s.push_back(uint8_t(type));  // stream_type
      PutPid(&s, pid);             // elementary_PID
      s.resize(s.size() + 2);
      PutLength12(&s, s.size() - 2, descriptors.size());  // ES_info_length
      s.insert(s.end(), descriptors.begin(), descriptors.end());
    }
    const int pcrPid = pmt.pcrPid == kNullPid ? kNullPid : MapPid(pmt.pcrPid, &m_nextPid);
    s[8] = uint8_t(0xE0 | (pcrPid >> 8 & 0x1F));  // PCR_PID
    s[9] = uint8_t(pcrPid);
    if (s.size() + kCRCSize <= kMaxSectionSize) break;
  }
  if (m_section.size() + kCRCSize <= kMaxSectionSize)
    WriteSection(MapPid(program->libraryPmtPid, &m_nextPmtPid), &m_section);
}

void DVBStage::WriteSDT() {
  m_sdtDue = false;
  std::vector<uint8_t>& s = m_section;
  s = {kTableIdSDTActual, 0xF0, 0, 0, 0, 0xC1, 0x00, 0x00};  // section_syntax_indicator 1, reserved bits;
  s[3] = uint8_t(m_transportStreamId >> 8);                  // transport_stream_id
  s[4] = uint8_t(m_transportStreamId);
  Put16(&s, m_config.originalNetworkId);  // original_network_id
  s.push_back(0xFF);                      // reserved_future_use
  for (const Program& program : m_programs) {
    if (s.size() + SDTServiceSize(m_provider, m_name) + kCRCSize > kMaxSectionSize) break;  // no room for more
    PutSDTService(&s, ProgramNumber(program.libraryNumber), program.serviceType, m_provider, m_name);
  }
  // version_number: the last one's while the content stays, the next one when it changes.
  if (!m_lastSDT.empty() && s != m_lastSDT) m_sdtVersion = (m_sdtVersion + 1) & 0x1F;
  m_lastSDT = s;
  s[5] = uint8_t(0xC1 | m_sdtVersion << 1);  // reserved, version_number, current_next_indicator 1
  WriteSection(kSDTPid, &s);
}

// The section with its CRC_32 into packets of the PID: one when it fits, else it goes on
// in the next (no payload_unit_start_indicator); 0xFF behind it.
void DVBStage::WriteSection(int pid, std::vector<uint8_t>* s) {
  if (pid < 0) return;
  FinishSection(s);
  AppendSectionPackets(pid, *s, &m_cc[static_cast<size_t>(pid)], &m_out);
}

}  // namespace palvex_host
