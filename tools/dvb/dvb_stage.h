// palvex-mux's channel as DVB receivers expect it, between the library's packets and the
// output (or the constant-rate scheduler):
//
// PID plan. The library gives PIDs from 0x0010 up (the PMT, then the streams), inside the
// range EN 300 468 reserves for DVB SI (0x0010 NIT, 0x0011 SDT/BAT, 0x0012 EIT, ...): a
// DVB receiver looks for its SDT on 0x0011 and finds video there. Here every PMT moves to
// pmtPid, pmtPid + 1, ... in the order of the PAT, every elementary stream to firstPid,
// firstPid + 1, ... in the order the PMTs list them (a PID is never given twice, and never
// one of 0x0000-0x001F or 0x1FFF); a PID keeps its new PID for the whole run. The packets
// are rewritten (PID only: continuity counters, payload and PCRs as the library wrote
// them), and so are the tables: the PAT's program_map_PIDs, program_numbers and
// transport_stream_id, the PMT's program_number, PCR_PID and elementary_PIDs, with their
// CRC_32. Each table keeps the library's version_number, so a PMT changes its version
// when the library's does.
//
// Descriptors. Each stream whose input names its language gets an ISO_639_language_descriptor
// (audio_type 0, undefined). AC-3 and E-AC-3 are carried the DVB way (EN 300 468 annex D,
// TS 101 154): stream_type 0x06 (PES private data) with DVB's AC-3_descriptor (0x6A) or
// enhanced_AC-3_descriptor (0x7A), and a registration_descriptor ('AC-3', 'EAC3') for
// receivers that go by the ATSC registration. The library's own stream_types 0x81 and 0x87
// are ATSC's (user private in ISO/IEC 13818-1), which DVB receivers need not know.
// Descriptors the library already wrote stay, and none is added twice.
//
// Tables in packets. Every PAT, PMT and SDT is written by this stage, with continuity
// counters of its own per PID: one packet per section where it fits (pointer_field 0,
// 0xFF behind it), else the section goes on in the next packets of its PID (a PMT with
// many described audio streams; a section holds up to 1024 bytes).
//
// SDT. A service_description_section of the actual transport stream (table_id 0x42) goes
// out on PID 0x0011 behind the PMTs that follow every PAT of the library: as often as the
// PAT (at most 0.5 s apart in PCR time), well within DVB's 2 s. One service per program of
// the PAT, service_id = program_number, with a service_descriptor (service_type from the
// program's streams, provider and service name); running_status 4 (running),
// free_CA_mode 0, EIT_schedule_flag and EIT_present_following_flag 0 (no EIT is sent).
// Its version_number moves on when its content changes.
//
// No libavformat here; memory is taken when a PID or a table is first seen, not per packet.
#ifndef PALVEX_TOOLS_DVB_STAGE_H_
#define PALVEX_TOOLS_DVB_STAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ts_reader.h"

namespace palvex_host {

constexpr int kSDTPid = 0x0011;
constexpr int kDefaultPMTPid = 0x1000;
constexpr int kDefaultFirstPid = 0x0100;
// original_network_id 0xFF01: EN 300 468's range 0xFF00-0xFFFF is for temporary private use.
constexpr int kDefaultOriginalNetworkId = 0xFF01;
constexpr int kLowestFreePid = 0x0020;  // 0x0000-0x001F: MPEG-2 tables and DVB SI

// What the input tells of a stream the library carries.
struct DVBStreamNote {
  int libraryPid = -1;
  std::string language;  // ISO 639-2 code ("fre", "eng"), empty when unknown
  int height = 0;        // video: lines of the picture (above 576: HD), 0 when unknown
};

struct DVBConfig {
  int pmtPid = kDefaultPMTPid;
  int firstPid = kDefaultFirstPid;
  int programNumber = -1;      // the first program's program_number / service_id; -1: the library's
  int transportStreamId = -1;  // -1: the library's
  int originalNetworkId = kDefaultOriginalNetworkId;
  std::string provider = "palvex";
  std::string name;
  std::vector<DVBStreamNote> streams;
  // One service of a multiplex, whose PAT and SDT the multiplex writes (network_tables.h):
  // the library's PAT is read but not sent and no SDT is written; the PMT and the streams
  // still move to pmtPid and firstPid on, never past lastPid (a stream beyond is dropped),
  // with program_number = programNumber.
  bool inMultiplex = false;
  int lastPid = kNullPid - 1;
};

// service_type of a program, from the stream_types of its PMT (the library's, before this
// stage rewrites AC-3) and the height of its first video stream.
int ServiceType(const std::vector<int>& streamTypes, int videoHeight);

class DVBStage {
 public:
  explicit DVBStage(const DVBConfig& config);

  // The whole packets of one call of the library, rewritten, with the SDT put in; the
  // bytes stay valid until the next call.
  const std::vector<uint8_t>& Rewrite(const uint8_t* ts, size_t size);

  // Where a PID of the library goes (-1 while it has not been seen), and the stream_type
  // its PMT entry is given (-1 while unknown).
  int OutputPid(int libraryPid) const;
  int OutputStreamType(int libraryPid) const;

  // The service names as the SDT carries them, when the config's did not fit the
  // service_descriptor (descriptor_length counts at most 255 bytes); false when they fit.
  bool NamesShortened() const { return m_namesShortened; }

  // service_type of the first program, from its streams (as the SDT gives it); -1 until
  // its PMT has been seen.
  int FirstServiceType() const { return m_programs.empty() || !m_programs[0].pmtSeen ? -1 : m_programs[0].serviceType; }

 private:
  struct Program {
    int libraryNumber = -1;
    int libraryPmtPid = -1;
    int serviceType = 0x01;
    bool pmtSeen = false;
    SectionGatherer gatherer;
  };

  int MapPid(int libraryPid, int* cursor);
  int ProgramNumber(int libraryNumber) const;
  const DVBStreamNote* Note(int libraryPid) const;
  void RewritePAT(const std::vector<uint8_t>& section);
  void RewritePMT(Program* program, const std::vector<uint8_t>& section);
  void WriteSDT();
  void WriteSection(int pid, std::vector<uint8_t>* section);
  Program* ProgramOnPid(int libraryPid);

  DVBConfig m_config;
  std::array<int16_t, 8192> m_pidMap{};     // output PID of each library PID, -1 none
  std::array<int16_t, 8192> m_streamType{};  // output stream_type of each library PID, -1 none
  std::array<bool, 8192> m_taken{};         // output PIDs given
  std::array<int8_t, 8192> m_cc{};          // continuity_counter of the tables written per output PID
  int m_nextPmtPid;
  int m_nextPid;
  std::vector<Program> m_programs;          // as the last PAT lists them
  SectionGatherer m_pat;
  int m_transportStreamId = -1;
  bool m_sdtDue = false;
  std::vector<uint8_t> m_lastSDT;           // the last SDT section, its CRC_32 left out
  int m_sdtVersion = 0;
  std::string m_provider, m_name;           // as written, with their character table byte
  bool m_namesShortened = false;
  std::vector<uint8_t> m_section;           // scratch
  std::vector<uint8_t> m_out;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_DVB_STAGE_H_
