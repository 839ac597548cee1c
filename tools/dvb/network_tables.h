// The tables of a multiplex, many services in one transport stream, as DVB receivers find
// them: the PAT of every service, the SDT actual and NIT actual of the network, the TDT.
//
// PAT (PID 0x0000): program 0 -> network_PID 0x0010, then every service's program_number
// (service_id) -> its PMT PID, in the order given.
// SDT actual (table_id 0x42, PID 0x0011): every service with its service_descriptor
// (service_type, provider, name); running_status 4 (running), free_CA_mode 0, no EIT.
// NIT actual (table_id 0x40, PID 0x0010): a network_name_descriptor, and one
// transport-stream entry (transport_stream_id, original_network_id) carrying
// service_list_descriptors of every service (83 a descriptor) and, for the services with a
// logical channel number, logical_channel_descriptors (tag 0x83, the form receivers in
// Europe read: per service its service_id, then visible_service_flag 1, 5 reserved bits and
// a 10-bit logical_channel_number in 16 bits; 63 a descriptor).
// TDT (table_id 0x70, PID 0x0014): UTC_time, the date as Modified Julian Date and the time
// in BCD, from the time given.
//
// A table whose sections would pass 1024 bytes (SDT, NIT, PAT of many services) is cut into
// several sections (section_number up to last_section_number), each its own services; a
// section goes on over as many packets of its PID as it needs, 0xFF behind its end.
// version_number (mod 32) steps whenever the table's content changes; continuity counters
// are kept per PID across every call. The caller (the scheduler) decides when each table
// goes out, within the longest intervals below.
//
// No libavformat; memory is taken when the multiplex is set, not per call.
#ifndef PALVEX_TOOLS_NETWORK_TABLES_H_
#define PALVEX_TOOLS_NETWORK_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "dvb_stage.h"
#include "ts_reader.h"

namespace palvex_host {

constexpr int kNITPid = 0x0010;
constexpr int kTDTPid = 0x0014;
constexpr int kDefaultTransportStreamId = 0x0066;

// The longest time between two of a table's sections on the wire, in 27 MHz ticks; the
// scheduler sends each sooner.
constexpr int64_t kPATRepeatTicks = kPCRHz / 2;  // PAT and PMTs: 0.5 s
constexpr int64_t kSDTRepeatTicks = kPCRHz * 2;  // SDT actual: 2 s
constexpr int64_t kNITRepeatTicks = kPCRHz * 10;  // NIT actual: 10 s
constexpr int64_t kTDTRepeatTicks = kPCRHz * 30;  // TDT: 30 s

struct NetworkService {
  int serviceId = -1;     // program_number
  int pmtPid = -1;
  std::string name;       // UTF-8; written as DVBText, provider and name shortened to fit
  std::string provider;   // the service_descriptor (255 bytes) as the DVB stage does
  int serviceType = 0x01;  // service_type (ServiceType() of its streams, or the plan's)
  int lcn = -1;           // logical_channel_number 0-1023, -1: none
};

struct Multiplex {
  int transportStreamId = kDefaultTransportStreamId;
  int originalNetworkId = kDefaultOriginalNetworkId;
  int networkId = kDefaultOriginalNetworkId;
  std::string networkName = "palvex";
  std::vector<NetworkService> services;  // in PAT / SDT / NIT order
};

enum class NetworkTable { kPAT, kSDT, kNIT, kTDT };

class NetworkTables {
 public:
  NetworkTables();

  // The multiplex the tables describe; a table whose content changes (a service added,
  // removed or renamed, a service_type learnt) steps its version_number. The first Set
  // gives version 0.
  void Set(const Multiplex& multiplex);

  // The whole packets of one repetition of the table (every section of it), with the
  // continuity counters of its PID moved on; valid until the next call. The TDT carries
  // utc (seconds since 1970-01-01 00:00:00 UTC); the others ignore it.
  const std::vector<uint8_t>& Packets(NetworkTable table, std::time_t utc = 0);

  // The version_number a table carries now.
  int Version(NetworkTable table) const;

 private:
  struct Table {
    int pid = -1;
    int version = 0;
    bool written = false;
    std::vector<std::vector<uint8_t>> sections;  // whole, with CRC_32
    std::vector<uint8_t> packets;                // the sections in packets, continuity counters patched per call
  };

  void Build(Table* table, int pid, std::vector<std::vector<uint8_t>> sections);

  std::array<Table, 3> m_tables;  // PAT, SDT, NIT
  std::array<int8_t, 0x15> m_cc{};  // continuity_counter per PID 0x0000-0x0014
  std::vector<uint8_t> m_out;
};

// ---- the pieces the DVB stage and the network tables share -------------------------------
// A text as DVB's descriptors carry it: printable ASCII as it is, anything else as UTF-8
// behind the 0x15 character table byte; control characters become spaces.
std::string DVBText(const std::string& text);
// Cut to at most room bytes, at the start of a UTF-8 character.
std::string ShortenText(const std::string& text, size_t room);

// A service_descriptor's provider and name as DVBText, shortened together to fit its 255
// bytes (the provider keeps at least half the room, more when the name leaves it); true
// when they had to be shortened.
bool ServiceDescriptorNames(const std::string& provider, const std::string& name, std::string* providerText,
                            std::string* nameText);

// section_length set over what follows it and the CRC_32 appended: the section complete.
void FinishSection(std::vector<uint8_t>* section);
// A complete section into packets of pid appended to out: payload_unit_start_indicator and
// pointer_field 0 in the first, the section going on in the next, 0xFF behind its end; the
// continuity counter *cc moves on with each packet.
void AppendSectionPackets(int pid, const std::vector<uint8_t>& section, int8_t* cc, std::vector<uint8_t>* out);

// One service of an SDT's loop with its service_descriptor, provider and name already as
// DVBText and together at most 252 bytes: service_id, no EIT, running_status 4 (running),
// free_CA_mode 0.
void PutSDTService(std::vector<uint8_t>* section, int serviceId, int serviceType, const std::string& provider,
                   const std::string& name);
// Its size in the loop.
inline size_t SDTServiceSize(const std::string& provider, const std::string& name) {
  return 5 + 2 + 3 + provider.size() + name.size();
}

// The TDT's UTC_time: 16-bit Modified Julian Date, then hour, minute, second in BCD.
void PutUTCTime(std::time_t utc, uint8_t out[5]);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_NETWORK_TABLES_H_
