// The multiplex's PAT, SDT, NIT and TDT: a small NIT and a TDT byte for byte, every table
// through libdvbpsi (a decoder independent of palvex), tables of many services cut into
// sections, version_numbers and continuity counters across a change of services.
#include "network_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dvbpsi_tables.h"
#include "support/program_maker.h"
#include "support/ts_checker.h"

namespace palvex_host {
namespace {

NetworkService Service(int id, int pmtPid, const std::string& name, int type, int lcn = -1) {
  return {id, pmtPid, name, "Acme", type, lcn};
}

Multiplex Small() {
  Multiplex m;
  m.transportStreamId = 7;
  m.originalNetworkId = 0xFF01;
  m.networkId = 0xFF01;
  m.networkName = "Acme";
  m.services = {Service(101, 0x100, "News", 0x19, 1), Service(102, 0x120, "Radio", 0x02)};
  return m;
}

// The sections of a table's packets, gathered as a receiver does.
std::vector<std::vector<uint8_t>> Sections(const std::vector<uint8_t>& ts) {
  std::vector<std::vector<uint8_t>> sections;
  SectionGatherer gatherer;
  for (size_t off = 0; off < ts.size(); off += kTSPacketSize)
    if (gatherer.Push(&ts[off])) sections.push_back(gatherer.section());
  return sections;
}

TEST(NetworkTablesTest, SmallNITAndTDTByteForByte) {
  NetworkTables tables;
  tables.Set(Small());
  const std::vector<uint8_t> nit = tables.Packets(NetworkTable::kNIT);
  ASSERT_EQ(nit.size(), kTSPacketSize);
  const std::vector<uint8_t> expected = palvex_test::CompleteSection({
      0x40,                    // table_id: network_information_section, actual network
      0xF0, 0x00,              // section_syntax_indicator 1, reserved; section_length (set)
      0xFF, 0x01,              // network_id
      0xC1,                    // reserved, version_number 0, current_next_indicator 1
      0x00, 0x00,              // section_number, last_section_number
      0xF0, 0x06,              // reserved_future_use, network_descriptors_length 6
      0x40, 0x04, 'A', 'c', 'm', 'e',  // network_name_descriptor "Acme"
      0xF0, 0x14,              // reserved_future_use, transport_stream_loop_length 20
      0x00, 0x07,              // transport_stream_id
      0xFF, 0x01,              // original_network_id
      0xF0, 0x0E,              // reserved_future_use, transport_descriptors_length 14
      0x41, 0x06,              // service_list_descriptor, 2 services
      0x00, 0x65, 0x19,        //   service_id 101, H.264 HD digital television
      0x00, 0x66, 0x02,        //   service_id 102, digital radio sound
      0x83, 0x04,              // logical_channel_descriptor, 1 service (102 has no lcn)
      0x00, 0x65,              //   service_id 101
      0xFC, 0x01});            //   visible_service_flag 1, reserved '11111', logical_channel_number 1
  const uint8_t head[] = {0x47, 0x40, 0x10, 0x10, 0x00};  // PID 0x0010, payload_unit_start, cc 0; pointer_field
  EXPECT_EQ(std::vector<uint8_t>(nit.begin(), nit.begin() + 5), std::vector<uint8_t>(head, head + 5));
  EXPECT_EQ(std::vector<uint8_t>(nit.begin() + 5, nit.begin() + 5 + static_cast<long>(expected.size())), expected);
  for (size_t i = 5 + expected.size(); i < kTSPacketSize; ++i) ASSERT_EQ(nit[i], 0xFF) << "stuffing at " << i;

  // 1993-10-13 12:45:00 UTC, the worked example of the MJD / BCD coding: C0 79 12 45 00.
  const std::vector<uint8_t> tdt = tables.Packets(NetworkTable::kTDT, 750516300);
  const std::vector<uint8_t> expectedTDT = {
      0x47, 0x40, 0x14, 0x10,  // PID 0x0014, payload_unit_start_indicator, continuity_counter 0
      0x00,                    // pointer_field
      0x70,                    // table_id: time_date_section
      0x70, 0x05,              // section_syntax_indicator 0, reserved_future_use 1, reserved, section_length 5
      0xC0, 0x79,              // UTC_time: MJD 49273
      0x12, 0x45, 0x00};       // 12:45:00 in BCD; no CRC_32
  ASSERT_EQ(tdt.size(), kTSPacketSize);
  EXPECT_EQ(std::vector<uint8_t>(tdt.begin(), tdt.begin() + 13), expectedTDT);
  EXPECT_EQ(tables.Packets(NetworkTable::kTDT, 750516300)[3], 0x11) << "continuity_counter moves on";
}

TEST(NetworkTablesTest, UTCTimeAcrossDates) {
  struct Case {
    std::time_t utc;
    uint8_t bytes[5];
  } cases[] = {
      {0, {0x9E, 0x8B, 0x00, 0x00, 0x00}},                    // 1970-01-01 00:00:00, MJD 40587
      {951868799, {0xC9, 0x93, 0x23, 0x59, 0x59}},            // 2000-02-29 23:59:59, MJD 51603
      {1796683830, {0xEF, 0xC5, 0x22, 0x50, 0x30}},           // 2026-12-07 22:50:30, MJD 61381
  };
  for (const Case& c : cases) {
    uint8_t out[5];
    PutUTCTime(c.utc, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), std::vector<uint8_t>(c.bytes, c.bytes + 5)) << c.utc;
  }
}

// Every table as libdvbpsi reads it; for the large multiplexes, the SDT, NIT and PAT cut
// into sections of at most 1024 bytes, numbered, each with its CRC_32, read back whole.
TEST(NetworkTablesTest, TablesDecodedByLibdvbpsi) {
  for (int count : {3, 40, 300}) {
    SCOPED_TRACE(std::to_string(count) + " services");
    Multiplex m = Small();
    m.services.clear();
    for (int i = 0; i < count; ++i)
      m.services.push_back(Service(1000 + i, 0x100 + 0x10 * i, "Service number " + std::to_string(i),
                                   i % 2 == 0 ? 0x19 : 0x0A, i % 3 == 0 ? -1 : i));
    m.services[0].name = "\xC3\x9C" "ber";  // UTF-8 behind the 0x15 table byte
    NetworkTables tables;
    tables.Set(m);
    std::vector<uint8_t> ts;
    for (NetworkTable t : {NetworkTable::kPAT, NetworkTable::kSDT, NetworkTable::kNIT, NetworkTable::kTDT}) {
      const std::vector<uint8_t>& packets = tables.Packets(t, 750516300);
      ts.insert(ts.end(), packets.begin(), packets.end());
      if (t == NetworkTable::kTDT) continue;
      const std::vector<std::vector<uint8_t>> sections = Sections(packets);
      ASSERT_FALSE(sections.empty());
      for (size_t i = 0; i < sections.size(); ++i) {
        EXPECT_LE(sections[i].size(), 1024u);
        EXPECT_EQ(SectionCRC(sections[i].data(), sections[i].size()), 0u);
        EXPECT_EQ(sections[i][6], i) << "section_number";
        EXPECT_EQ(sections[i][7], sections.size() - 1) << "last_section_number";
      }
      EXPECT_EQ(sections.size() > 1, t == NetworkTable::kSDT ? count >= 40 : count == 300);
    }
    palvex_test::TsChecker checker;
    checker.Feed(ts.data(), ts.size());
    EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
#if defined(PALVEX_HAVE_LIBDVBPSI)
    const auto pats = palvex_test::DecodePATs(ts.data(), ts.size());
    ASSERT_EQ(pats.size(), 1u);
    EXPECT_EQ(pats[0].tsId, 7);
    ASSERT_EQ(pats[0].programs.size(), m.services.size() + 1);
    EXPECT_EQ(pats[0].programs[0], std::make_pair(0, 0x10));
    const auto sdts = palvex_test::DecodeSDTs(ts.data(), ts.size());
    ASSERT_EQ(sdts.size(), 1u);
    EXPECT_EQ(sdts[0].networkId, 0xFF01);
    ASSERT_EQ(sdts[0].services.size(), m.services.size());
    const auto nits = palvex_test::DecodeNITs(ts.data(), ts.size());
    ASSERT_EQ(nits.size(), 1u);
    EXPECT_EQ(nits[0].networkId, 0xFF01);
    EXPECT_EQ(nits[0].networkName, "Acme");
    std::vector<std::pair<int, int>> listed;
    std::vector<palvex_test::DvbpsiChannel> channels;
    for (const palvex_test::DvbpsiNITStream& s : nits[0].streams) {
      EXPECT_EQ(s.tsId, 7);
      EXPECT_EQ(s.originalNetworkId, 0xFF01);
      listed.insert(listed.end(), s.services.begin(), s.services.end());
      channels.insert(channels.end(), s.channels.begin(), s.channels.end());
    }
    std::vector<palvex_test::DvbpsiChannel> expectedChannels;
    for (size_t i = 0; i < m.services.size(); ++i) {
      const NetworkService& service = m.services[i];
      EXPECT_EQ(pats[0].programs[i + 1], std::make_pair(service.serviceId, service.pmtPid));
      EXPECT_EQ(sdts[0].services[i].id, service.serviceId);
      EXPECT_EQ(sdts[0].services[i].type, service.serviceType);
      EXPECT_EQ(sdts[0].services[i].running, 4);
      EXPECT_EQ(sdts[0].services[i].provider, "Acme");
      EXPECT_EQ(sdts[0].services[i].name, i == 0 ? "\x15\xC3\x9C" "ber" : service.name);
      ASSERT_LT(i, listed.size());
      EXPECT_EQ(listed[i], std::make_pair(service.serviceId, service.serviceType));
      if (service.lcn >= 0) expectedChannels.push_back({service.serviceId, true, service.lcn});
    }
    EXPECT_EQ(listed.size(), m.services.size());
    EXPECT_EQ(channels, expectedChannels);
    const auto tdts = palvex_test::DecodeTDTs(ts.data(), ts.size());
    ASSERT_EQ(tdts.size(), 1u);
    EXPECT_EQ(tdts[0], 0xC079124500u);
#endif
  }
}

// A service added, then removed: PAT, SDT and NIT step their version_number once per
// change and not when the same multiplex is set again; continuity counters run on.
TEST(NetworkTablesTest, VersionsStepWhenServicesChange) {
  NetworkTables tables;
  std::vector<uint8_t> ts;
  const auto send = [&] {
    for (NetworkTable t : {NetworkTable::kPAT, NetworkTable::kSDT, NetworkTable::kNIT}) {
      const std::vector<uint8_t>& packets = tables.Packets(t);
      ts.insert(ts.end(), packets.begin(), packets.end());
    }
  };
  const NetworkTable all[] = {NetworkTable::kPAT, NetworkTable::kSDT, NetworkTable::kNIT};
  Multiplex m = Small();
  struct Step {
    const char* what;
    int services;
    int version;
  } steps[] = {{"first", 2, 0}, {"same again", 2, 0}, {"one added", 3, 1}, {"one removed", 2, 2}, {"same", 2, 2}};
  const Multiplex two = Small();
  for (const Step& step : steps) {
    m = two;
    if (step.services == 3) m.services.push_back(Service(103, 0x140, "Sport", 0x19, 3));
    tables.Set(m);
    for (NetworkTable t : all) EXPECT_EQ(tables.Version(t), step.version) << step.what;
    send();
    send();
  }
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
#if defined(PALVEX_HAVE_LIBDVBPSI)
  EXPECT_EQ(palvex_test::DecodePATs(ts.data(), ts.size()).size(), 3u);  // one per version
  EXPECT_EQ(palvex_test::DecodeNITs(ts.data(), ts.size()).size(), 3u);
  EXPECT_EQ(palvex_test::DecodeSDTs(ts.data(), ts.size()).back().version, 2);
#endif
  // Versions wrap at 32.
  for (int i = 0; i < 32; ++i) {
    m.services[0].lcn = i;
    tables.Set(m);
  }
  EXPECT_EQ(tables.Version(NetworkTable::kNIT), (2 + 32) % 32);
}

}  // namespace
}  // namespace palvex_host
