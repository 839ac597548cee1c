#include "network_tables.h"

#include <algorithm>
#include <cstring>

namespace palvex_host {
namespace {

constexpr uint8_t kTableIdPAT = 0x00;
constexpr uint8_t kTableIdNITActual = 0x40;    // network_information_section, actual network
constexpr uint8_t kTableIdSDTActual = 0x42;    // service_description_section, actual transport stream
constexpr uint8_t kTableIdTDT = 0x70;          // time_date_section
constexpr size_t kMaxSectionSize = 1024;       // PAT, SDT, NIT: section_length at most 1021
constexpr size_t kCRCSize = 4;
constexpr uint8_t kTagNetworkName = 0x40;      // network_name_descriptor
constexpr uint8_t kTagServiceList = 0x41;      // service_list_descriptor
constexpr uint8_t kTagService = 0x48;          // service_descriptor
constexpr uint8_t kTagLogicalChannel = 0x83;   // logical_channel_descriptor (EICTA / NorDig form)
constexpr uint8_t kUTF8Table = 0x15;           // the text that follows is UTF-8
constexpr size_t kServiceNamesRoom = 255 - 3;  // descriptor_length less service_type and the two lengths
constexpr size_t kDescriptorRoom = 255;        // descriptor_length
// A service_list_descriptor holds whole entries of 3 bytes, at most 83 of them (decoders
// such as libdvbpsi take no more); a logical_channel_descriptor entries of 4, 63 of them.
constexpr size_t kServiceListRoom = 83 * 3;
constexpr size_t kChannelListRoom = 63 * 4;

void Put16(std::vector<uint8_t>* s, int value) {
  s->push_back(uint8_t(value >> 8));
  s->push_back(uint8_t(value));
}

// '1111' reserved bits in front of a 12-bit length written at at.
void PutLength12(std::vector<uint8_t>* s, size_t at, size_t length) {
  (*s)[at] = uint8_t(0xF0 | (length >> 8 & 0x0F));
  (*s)[at + 1] = uint8_t(length);
}

// The eight bytes from table_id to last_section_number of a long-form section; section_length,
// section_number and last_section_number filled in later.
std::vector<uint8_t> SectionHeader(uint8_t tableId, int extension, int version) {
  return {tableId,
          0xF0,                                   // section_syntax_indicator 1, reserved; section_length below
          0x00,
          uint8_t(extension >> 8),                // table_id_extension
          uint8_t(extension),
          uint8_t(0xC1 | (version & 0x1F) << 1),  // reserved, version_number, current_next_indicator 1
          0x00,                                   // section_number
          0x00};                                  // last_section_number
}

// The sections' section_number and last_section_number, then each finished.
std::vector<std::vector<uint8_t>> Number(std::vector<std::vector<uint8_t>> sections) {
  for (size_t i = 0; i < sections.size(); ++i) {
    sections[i][6] = uint8_t(i);                    // section_number
    sections[i][7] = uint8_t(sections.size() - 1);  // last_section_number
    FinishSection(&sections[i]);
  }
  return sections;
}

std::vector<std::vector<uint8_t>> MakePAT(const Multiplex& m, int version) {
  std::vector<uint8_t> head = SectionHeader(kTableIdPAT, m.transportStreamId, version);
  head[1] = 0xB0;  // section_syntax_indicator 1, '0', reserved
  std::vector<std::vector<uint8_t>> sections{head};
  Put16(&sections.back(), 0);               // program_number 0
  Put16(&sections.back(), 0xE000 | kNITPid);  // reserved, network_PID
  for (const NetworkService& service : m.services) {
    if (sections.back().size() + 4 + kCRCSize > kMaxSectionSize) sections.push_back(head);  // 253 programs a section
    Put16(&sections.back(), service.serviceId);                  // program_number
    Put16(&sections.back(), 0xE000 | (service.pmtPid & 0x1FFF));  // reserved, program_map_PID
  }
  return Number(std::move(sections));
}

std::vector<std::vector<uint8_t>> MakeSDT(const Multiplex& m, int version) {
  std::vector<uint8_t> head = SectionHeader(kTableIdSDTActual, m.transportStreamId, version);
  Put16(&head, m.originalNetworkId);  // original_network_id
  head.push_back(0xFF);               // reserved_future_use
  std::vector<std::vector<uint8_t>> sections{head};
  std::string provider, name;
  for (const NetworkService& service : m.services) {
    ServiceDescriptorNames(service.provider, service.name, &provider, &name);
    if (sections.back().size() + SDTServiceSize(provider, name) + kCRCSize > kMaxSectionSize) sections.push_back(head);
    PutSDTService(&sections.back(), service.serviceId, service.serviceType, provider, name);
  }
  return Number(std::move(sections));
}

// One descriptor of a list, or several of the same tag when the entries pass its room.
void PutDescriptors(std::vector<uint8_t>* s, uint8_t tag, const std::vector<uint8_t>& entries, size_t room) {
  for (size_t at = 0; at < entries.size(); at += room) {
    const size_t size = std::min(room, entries.size() - at);
    s->push_back(tag);
    s->push_back(uint8_t(size));  // descriptor_length
    s->insert(s->end(), entries.begin() + static_cast<std::ptrdiff_t>(at),
              entries.begin() + static_cast<std::ptrdiff_t>(at + size));
  }
}

// The NIT: the network's descriptors in every section, the one transport stream's entry cut
// by services when its descriptors do not fit one section.
std::vector<std::vector<uint8_t>> MakeNIT(const Multiplex& m, int version) {
  std::vector<uint8_t> head = SectionHeader(kTableIdNITActual, m.networkId, version);
  const std::string networkName = ShortenText(DVBText(m.networkName), kDescriptorRoom);
  head.resize(10);  // network_descriptors_length below
  head.push_back(kTagNetworkName);
  head.push_back(uint8_t(networkName.size()));  // descriptor_length
  head.insert(head.end(), networkName.begin(), networkName.end());
  PutLength12(&head, 8, head.size() - 10);      // reserved_future_use, network_descriptors_length
  // transport_stream_loop_length, then one entry: transport_stream_id, original_network_id,
  // transport_descriptors_length.
  const size_t loopAt = head.size();
  const size_t room = kMaxSectionSize - kCRCSize - loopAt - 2 - 6;
  // Services per section: each takes 3 bytes of service_list and, with an lcn, 4 of
  // logical_channel, plus a descriptor header every 83 or 63 entries.
  std::vector<std::vector<uint8_t>> sections;
  size_t first = 0;
  do {
    std::vector<uint8_t> list, channels;
    size_t end = first;
    for (; end < m.services.size(); ++end) {
      const NetworkService& service = m.services[end];
      const size_t listSize = list.size() + 3, channelSize = channels.size() + (service.lcn >= 0 ? 4 : 0);
      const size_t size = listSize + 2 * ((listSize + kServiceListRoom - 1) / kServiceListRoom) + channelSize +
                          2 * ((channelSize + kChannelListRoom - 1) / kChannelListRoom);
      if (size > room && end > first) break;
      Put16(&list, service.serviceId);   // service_id
      list.push_back(uint8_t(service.serviceType));  // service_type
      if (service.lcn >= 0) {
        Put16(&channels, service.serviceId);  // service_id
        Put16(&channels, 0x8000 | 0x7C00 | (service.lcn & 0x3FF));  // visible_service_flag 1, reserved '11111',
                                                                   // logical_channel_number
      }
    }
    std::vector<uint8_t> s = head;
    s.resize(s.size() + 2);                  // transport_stream_loop_length below
    Put16(&s, m.transportStreamId);          // transport_stream_id
    Put16(&s, m.originalNetworkId);          // original_network_id
    s.resize(s.size() + 2);                  // transport_descriptors_length below
    const size_t descriptorsAt = s.size();
    PutDescriptors(&s, kTagServiceList, list, kServiceListRoom);
    PutDescriptors(&s, kTagLogicalChannel, channels, kChannelListRoom);
    PutLength12(&s, descriptorsAt - 2, s.size() - descriptorsAt);  // reserved_future_use, transport_descriptors_length
    PutLength12(&s, loopAt, s.size() - loopAt - 2);               // reserved_future_use, transport_stream_loop_length
    sections.push_back(std::move(s));
    first = end;
  } while (first < m.services.size());
  return Number(std::move(sections));
}

}  // namespace

std::string DVBText(const std::string& text) {
  std::string out;
  bool ascii = true;
  for (char c : text) {
    const uint8_t b = uint8_t(c);
    out.push_back(b < 0x20 || b == 0x7F ? ' ' : c);
    ascii = ascii && b < 0x80;
  }
  return ascii || out.empty() ? out : char(kUTF8Table) + out;
}

std::string ShortenText(const std::string& text, size_t room) {
  if (text.size() <= room) return text;
  size_t end = room;
  while (end > 0 && (uint8_t(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

bool ServiceDescriptorNames(const std::string& provider, const std::string& name, std::string* providerText,
                            std::string* nameText) {
  *providerText = DVBText(provider);
  *nameText = DVBText(name);
  if (providerText->size() + nameText->size() <= kServiceNamesRoom) return false;
  *providerText = ShortenText(*providerText, std::max(kServiceNamesRoom / 2, kServiceNamesRoom - nameText->size()));
  *nameText = ShortenText(*nameText, kServiceNamesRoom - providerText->size());
  return true;
}

void FinishSection(std::vector<uint8_t>* s) {
  const size_t length = s->size() + kCRCSize - 3;
  (*s)[1] = uint8_t(((*s)[1] & 0xF0) | (length >> 8 & 0x0F));  // section_length
  (*s)[2] = uint8_t(length);
  const uint32_t crc = SectionCRC(s->data(), s->size());
  for (int shift = 24; shift >= 0; shift -= 8) s->push_back(uint8_t(crc >> shift));  // CRC_32
}

void AppendSectionPackets(int pid, const std::vector<uint8_t>& section, int8_t* cc, std::vector<uint8_t>* out) {
  size_t done = 0;
  while (done < section.size()) {
    const bool first = done == 0;
    out->resize(out->size() + kTSPacketSize, 0xFF);
    uint8_t* p = &(*out)[out->size() - kTSPacketSize];
    p[0] = 0x47;                                                // sync_byte
    p[1] = uint8_t((first ? 0x40 : 0x00) | (pid >> 8 & 0x1F));  // payload_unit_start_indicator, PID[12:8]
    p[2] = uint8_t(pid);                                        // PID[7:0]
    p[3] = uint8_t(0x10 | *cc);                                 // payload only, continuity_counter
    *cc = int8_t((*cc + 1) & 0x0F);
    size_t at = 4;
    if (first) p[at++] = 0x00;  // pointer_field
    const size_t take = std::min(kTSPacketSize - at, section.size() - done);
    std::memcpy(p + at, section.data() + done, take);
    done += take;
  }
}

void PutSDTService(std::vector<uint8_t>* s, int serviceId, int serviceType, const std::string& provider,
                   const std::string& name) {
  const size_t descriptorSize = 2 + 3 + provider.size() + name.size();
  Put16(s, serviceId);  // service_id
  s->push_back(0xFC);   // reserved_future_use, EIT_schedule_flag 0, EIT_present_following_flag 0
  Put16(s, 4 << 13 | 0 << 12 | static_cast<int>(descriptorSize));  // running_status 4 (running),
                                                                   // free_CA_mode 0, descriptors_loop_length
  s->push_back(kTagService);
  s->push_back(uint8_t(descriptorSize - 2));  // descriptor_length
  s->push_back(uint8_t(serviceType));         // service_type
  s->push_back(uint8_t(provider.size()));     // service_provider_name_length
  s->insert(s->end(), provider.begin(), provider.end());
  s->push_back(uint8_t(name.size()));         // service_name_length
  s->insert(s->end(), name.begin(), name.end());
}

void PutUTCTime(std::time_t utc, uint8_t out[5]) {
  const int64_t seconds = static_cast<int64_t>(utc);
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  const int64_t mjd = 40587 + days;  // 1970-01-01 is MJD 40587
  const auto bcd = [](int64_t v) { return uint8_t((v / 10) << 4 | v % 10); };
  out[0] = uint8_t(mjd >> 8);     // UTC_time: MJD
  out[1] = uint8_t(mjd);
  out[2] = bcd(rest / 3600);      // hour
  out[3] = bcd(rest / 60 % 60);   // minute
  out[4] = bcd(rest % 60);        // second
}

NetworkTables::NetworkTables() {
  m_cc.fill(0);
  m_out.reserve(16 * kTSPacketSize);
}

void NetworkTables::Build(Table* table, int pid, std::vector<std::vector<uint8_t>> sections) {
  table->pid = pid;
  table->sections = std::move(sections);
  table->packets.clear();
  int8_t cc = 0;  // patched per call
  for (const std::vector<uint8_t>& section : table->sections) AppendSectionPackets(pid, section, &cc, &table->packets);
}

void NetworkTables::Set(const Multiplex& multiplex) {
  using Maker = std::vector<std::vector<uint8_t>> (*)(const Multiplex&, int);
  const Maker makers[] = {MakePAT, MakeSDT, MakeNIT};
  const int pids[] = {0, kSDTPid, kNITPid};
  for (size_t i = 0; i < m_tables.size(); ++i) {
    Table& table = m_tables[i];
    // The content compared at the table's version: the version steps only when it differs.
    std::vector<std::vector<uint8_t>> sections = makers[i](multiplex, table.version);
    if (table.written && sections == table.sections) continue;
    if (table.written) {
      table.version = (table.version + 1) & 0x1F;
      sections = makers[i](multiplex, table.version);
    }
    Build(&table, pids[i], std::move(sections));
    table.written = true;
  }
}

const std::vector<uint8_t>& NetworkTables::Packets(NetworkTable which, std::time_t utc) {
  m_out.clear();
  if (which == NetworkTable::kTDT) {
    std::vector<uint8_t> s = {kTableIdTDT, 0x70, 0x05};  // section_syntax_indicator 0, reserved_future_use 1,
                                                         // reserved '11', section_length 5
    s.resize(8);
    PutUTCTime(utc, &s[3]);  // UTC_time; a TDT has no CRC_32
    AppendSectionPackets(kTDTPid, s, &m_cc[kTDTPid], &m_out);
    return m_out;
  }
  const Table& table = m_tables[static_cast<size_t>(which)];
  if (!table.written) return m_out;
  m_out = table.packets;
  int8_t& cc = m_cc[static_cast<size_t>(table.pid)];
  for (size_t off = 0; off < m_out.size(); off += kTSPacketSize) {
    m_out[off + 3] = uint8_t(0x10 | cc);  // payload only, continuity_counter
    cc = int8_t((cc + 1) & 0x0F);
  }
  return m_out;
}

int NetworkTables::Version(NetworkTable which) const {
  return which == NetworkTable::kTDT ? 0 : m_tables[static_cast<size_t>(which)].version;
}

}  // namespace palvex_host
