// The DVB stage alone, PSI in -> PSI out: the library's PAT and PMTs (as palvex writes them,
// PIDs from 0x0010) go in, the rewritten PAT and PMTs and the SDT come out byte for byte
// (section_length and CRC_32 from the test's own CRC), each packed tightly into packets of
// its PID with continuous counters; then one PES packet per stream of the last PMT comes
// out on the PID that the output PMT names for it, otherwise unchanged.
#include "dvb_stage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/program_maker.h"
#include "support/ts_checker.h"

namespace palvex_host {
namespace {

// Bytes from "02 B0 00 'text' ...": hex pairs and quoted text (its UTF-8 bytes as written).
std::vector<uint8_t> Bytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
    } else if (text[i] == '\'') {
      const size_t end = text.find('\'', i + 1);
      out.insert(out.end(), text.begin() + static_cast<long>(i) + 1, text.begin() + static_cast<long>(end));
      i = end + 1;
    } else {
      out.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
      i += 2;
    }
  }
  return out;
}

// A whole section: section_length set, CRC_32 appended.
std::vector<uint8_t> Section(const std::string& text) { return palvex_test::CompleteSection(Bytes(text)); }

struct Table {
  int pid;           // kBatch: the tables after it come in the library's next call
  std::string text;  // the section without its CRC_32 (section_length: any value)
};
constexpr int kBatch = -1;

struct StageCase {
  std::string name;
  DVBConfig config;
  std::vector<Table> in;
  std::vector<Table> out;
};

const char kPAT[] = "00 B0 00 00 66 C1 00 00 00 01 E0 10";  // program 1 on PMT PID 0x0010
const char kOnePAT[] = "00 B0 00 00 66 C1 00 00 00 01 F0 00";  // ... on 0x1000
const char kAC3[] = "05 04 'AC-3' 6A 01 00";                  // registration, AC-3_descriptor

DVBStreamNote Note(int pid, const char* language, int height = 0) {
  DVBStreamNote note;
  note.libraryPid = pid;
  note.language = language;
  note.height = height;
  return note;
}

DVBConfig Config(std::vector<DVBStreamNote> notes, const char* name = "clip") {
  DVBConfig c;
  c.name = name;
  c.streams = std::move(notes);
  return c;
}

std::vector<StageCase> Cases() {
  std::vector<StageCase> cases;
  // H.264 SD, AAC in French, AC-3 in English: the defaults.
  cases.push_back({"VideoFrenchAACEnglishAC3", Config({Note(0x11, "", 240), Note(0x12, "fre"), Note(0x13, "eng")},
                                                      "Channel One"),
                   {{0, kPAT},
                    {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 1B E0 11 F0 00 0F E0 12 F0 00 81 E0 13 F0 00"}},
                   {{0, kOnePAT},
                    {0x1000, "02 B0 00 00 01 C1 00 00 E1 00 F0 00 1B E1 00 F0 00 0F E1 01 F0 06 0A 04 'fre' 00 "
                             "06 E1 02 F0 0F 0A 04 'eng' 00 " + std::string(kAC3)},
                    // service 1: H.264/AVC SD digital television service (0x16), running, 'palvex'.
                    {0x11, "42 F0 00 00 66 C1 00 00 FF 01 FF 00 01 FC 80 16 48 14 16 06 'palvex' 0B 'Channel One'"}}});
  // E-AC-3 alone with every option: PMT PID 0x0020, streams from 0x0100 on... here 0x0021;
  // program 7, transport_stream_id 0x1234, original_network_id 2; a UTF-8 name behind
  // the 0x15 table byte; the language code in lower case; digital radio (0x02).
  StageCase options{"EnhancedAC3AloneWithEveryOption", Config({Note(0x11, "GER")}, "\xC3\x9C" "ber Radio"),
                    {{0, kPAT}, {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 87 E0 11 F0 00"}},
                    {{0, "00 B0 00 12 34 C1 00 00 00 07 E0 20"},
                     {0x20, "02 B0 00 00 07 C1 00 00 E0 21 F0 00 06 E0 21 F0 0F 0A 04 'ger' 00 05 04 'EAC3' 7A 01 00"},
                     {0x11, "42 F0 00 12 34 C1 00 00 00 02 FF 00 07 FC 80 19 48 17 02 08 'Radio Co' 0C 15 C3 9C "
                            "'ber Radio'"}}};
  options.config.pmtPid = 0x20;
  options.config.firstPid = 0x21;
  options.config.programNumber = 7;
  options.config.transportStreamId = 0x1234;
  options.config.originalNetworkId = 2;
  options.config.provider = "Radio Co";
  cases.push_back(options);
  // HD H.264 (0x19), then the library restarted with an MP2 stream only: the PAT and PMT
  // keep the library's versions (1), the new stream takes the next PID, the SDT moves to
  // version 1 for its new service_type (digital radio, 0x02).
  cases.push_back({"HDVideoThenARestartWithAudioAlone", Config({Note(0x11, "", 1080), Note(0x12, "")}),
                   {{0, kPAT},
                    {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 1B E0 11 F0 00"},
                    {kBatch, ""},
                    {0, "00 B0 00 00 66 C3 00 00 00 01 E0 10"},
                    {0x10, "02 B0 00 00 01 C3 00 00 E0 12 F0 00 03 E0 12 F0 00"}},
                   {{0, kOnePAT},
                    {0x1000, "02 B0 00 00 01 C1 00 00 E1 00 F0 00 1B E1 00 F0 00"},
                    {0x11, "42 F0 00 00 66 C1 00 00 FF 01 FF 00 01 FC 80 0F 48 0D 19 06 'palvex' 04 'clip'"},
                    {0, "00 B0 00 00 66 C3 00 00 00 01 F0 00"},
                    {0x1000, "02 B0 00 00 01 C3 00 00 E1 01 F0 00 03 E1 01 F0 00"},
                    {0x11, "42 F0 00 00 66 C3 00 00 FF 01 FF 00 01 FC 80 0F 48 0D 02 06 'palvex' 04 'clip'"}}});
  // Two programs numbered from --program-number: PMTs on 0x1000 and 0x1001, one service
  // each; AAC alone is advanced codec digital radio (0x0A).
  StageCase two{"TwoProgramsFromProgramNumber100", Config({}),
                {{0, "00 B0 00 00 66 C1 00 00 00 01 E0 10 00 02 E0 12"},
                 {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 02 E0 11 F0 00"},
                 {0x12, "02 B0 00 00 02 C1 00 00 E0 13 F0 00 0F E0 13 F0 00"}},
                {{0, "00 B0 00 00 66 C1 00 00 00 64 F0 00 00 65 F0 01"},
                 {0x1000, "02 B0 00 00 64 C1 00 00 E1 00 F0 00 02 E1 00 F0 00"},
                 {0x1001, "02 B0 00 00 65 C1 00 00 E1 01 F0 00 0F E1 01 F0 00"},
                 {0x11, "42 F0 00 00 66 C1 00 00 FF 01 FF 00 64 FC 80 0F 48 0D 01 06 'palvex' 04 'clip' "
                        "00 65 FC 80 0F 48 0D 0A 06 'palvex' 04 'clip'"}}};
  two.config.programNumber = 100;
  cases.push_back(two);
  // Nine AC-3 tracks with languages: a 201-byte PMT, carried in two packets.
  StageCase nine{"NineDescribedAC3TracksPMTInTwoPackets", Config({}),
                 {{0, kPAT}, {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 1B E0 11 F0 00"}},
                 {{0, kOnePAT}, {0x1000, "02 B0 00 00 01 C1 00 00 E1 00 F0 00 1B E1 00 F0 00"}}};
  const char* languages[] = {"eng", "fre", "ger", "ita", "spa", "por", "pol", "dut", "swe"};
  for (int i = 0; i < 9; ++i) {
    char pid[8], outPid[8];
    std::snprintf(pid, sizeof pid, "%02X", 0x12 + i);
    std::snprintf(outPid, sizeof outPid, "%02X", 0x01 + i);
    nine.in[1].text += " 81 E0 " + std::string(pid) + " F0 00";
    nine.out[1].text += " 06 E1 " + std::string(outPid) + " F0 0F 0A 04 '" + languages[i] + "' 00 " + kAC3;
    nine.config.streams.push_back(Note(0x12 + i, languages[i]));
  }
  nine.out.push_back({0x11, "42 F0 00 00 66 C1 00 00 FF 01 FF 00 01 FC 80 0F 48 0D 16 06 'palvex' 04 'clip'"});
  cases.push_back(nine);
  // Names longer than the service_descriptor holds: the provider keeps half of the 252
  // bytes, the name the rest.
  StageCase longNames{"NamesCutToTheDescriptor", Config({}, std::string(200, 'n').c_str()),
                      {{0, kPAT}, {0x10, "02 B0 00 00 01 C1 00 00 E0 11 F0 00 0F E0 11 F0 00"}},
                      {{0, kOnePAT},
                       {0x1000, "02 B0 00 00 01 C1 00 00 E1 00 F0 00 0F E1 00 F0 00"},
                       {0x11, "42 F0 00 00 66 C1 00 00 FF 01 FF 00 01 FC 81 01 48 FF 0A 7E '" + std::string(126, 'p') +
                                  "' 7E '" + std::string(126, 'n') + "'"}}};
  longNames.config.provider = std::string(200, 'p');
  cases.push_back(longNames);
  return cases;
}

class DVBStageTest : public testing::TestWithParam<StageCase> {};

TEST_P(DVBStageTest, TablesRewrittenAndStreamsMoved) {
  const StageCase& c = GetParam();
  DVBStage stage(c.config);
  std::vector<uint8_t> out, batch;
  std::map<int, int> cc;
  const auto push = [&] {
    const std::vector<uint8_t>& rewritten = stage.Rewrite(batch.data(), batch.size());
    out.insert(out.end(), rewritten.begin(), rewritten.end());
    batch.clear();
  };
  for (const Table& t : c.in) {
    if (t.pid == kBatch) {
      push();
      continue;
    }
    const std::vector<uint8_t> s = Section(t.text);
    batch.resize(batch.size() + kTSPacketSize, 0xFF);
    uint8_t* p = &batch[batch.size() - kTSPacketSize];
    const uint8_t header[] = {0x47, uint8_t(0x40 | t.pid >> 8), uint8_t(t.pid), uint8_t(0x10 | (cc[t.pid]++ & 0x0F)), 0};
    std::memcpy(p, header, sizeof header);
    std::memcpy(p + sizeof header, s.data(), s.size());
  }
  push();

  // The sections in output order, each packed tightly: ceil((pointer_field + section) / 184)
  // packets, 0xFF behind it.
  std::map<int, SectionGatherer> gatherers;
  std::vector<Table> got;
  std::vector<std::vector<uint8_t>> sections;
  for (size_t off = 0; off < out.size(); off += kTSPacketSize) {
    const uint8_t* p = &out[off];
    SectionGatherer& g = gatherers[PacketPid(p)];
    if (!g.Push(p)) continue;
    sections.push_back(g.section());
    got.push_back({PacketPid(p), ""});
    EXPECT_EQ(g.packets(), (g.section().size() + 1 + 183) / 184) << "PID " << PacketPid(p);
    const size_t end = (1 + g.section().size()) % 184;
    for (size_t i = end == 0 ? 184 : end; i < 184; ++i) ASSERT_EQ(p[4 + i], 0xFF) << "stuffing";
  }
  ASSERT_EQ(got.size(), c.out.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].pid, c.out[i].pid) << "table " << i;
    EXPECT_EQ(sections[i], Section(c.out[i].text)) << "table " << i << " on PID " << got[i].pid;
  }
  palvex_test::TsChecker checker;
  checker.Feed(out.data(), out.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();

  // One PES packet per stream of the last PMT: on the PID the output PMT gives it.
  PMT in, rewritten;
  for (size_t i = c.in.size(); i-- > 0;)
    if (c.in[i].pid > 0 && Section(c.in[i].text)[0] == 0x02) {
      const std::vector<uint8_t> s = Section(c.in[i].text);
      ASSERT_TRUE(ReadPMT(s.data(), s.size(), &in));
      break;
    }
  for (size_t i = sections.size(); i-- > 0;)
    if (sections[i][0] == 0x02 && ReadPMT(sections[i].data(), sections[i].size(), &rewritten) &&
        rewritten.streams.size() == in.streams.size())
      break;
  ASSERT_EQ(rewritten.streams.size(), in.streams.size());
  for (size_t i = 0; i < in.streams.size(); ++i) {
    std::vector<uint8_t> pes(kTSPacketSize, uint8_t(i));
    const int pid = in.streams[i].pid;
    const uint8_t header[] = {0x47, uint8_t(0x40 | pid >> 8), uint8_t(pid), 0x17, 0, 0, 1, 0xC0};
    std::memcpy(pes.data(), header, sizeof header);
    std::vector<uint8_t> moved = stage.Rewrite(pes.data(), pes.size());
    ASSERT_EQ(moved.size(), kTSPacketSize);
    EXPECT_EQ(PacketPid(moved.data()), rewritten.streams[i].pid);
    EXPECT_EQ(stage.OutputPid(pid), rewritten.streams[i].pid);
    EXPECT_EQ(stage.OutputStreamType(pid), rewritten.streams[i].streamType);
    moved[1] = pes[1];
    moved[2] = pes[2];
    EXPECT_EQ(moved, pes);
  }
}

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Tables, DVBStageTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<StageCase>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex_host

namespace palvex_host {
namespace {

// A service of a multiplex: the library's PAT goes no further and no SDT is written; the
// PMT moves to the service's PMT PID as program service_id, its streams into the
// service's PIDs, and a stream past them is left out of the PMT and dropped.
TEST(DVBStageTest, ServiceOfAMultiplexKeepsToItsPids) {
  DVBConfig config = Config({Note(0x11, "", 1080)});
  config.inMultiplex = true;
  config.pmtPid = 0x120;
  config.firstPid = 0x121;
  config.lastPid = 0x122;
  config.programNumber = 101;
  DVBStage stage(config);
  EXPECT_EQ(stage.FirstServiceType(), -1);
  std::vector<uint8_t> in;
  int cc = 0;
  const auto packet = [&](int pid, const std::vector<uint8_t>& payload, bool section) {
    in.resize(in.size() + kTSPacketSize, 0xFF);
    uint8_t* p = &in[in.size() - kTSPacketSize];
    const uint8_t header[] = {0x47, uint8_t(0x40 | pid >> 8), uint8_t(pid), uint8_t(0x10 | (cc++ & 0x0F))};
    std::memcpy(p, header, sizeof header);
    if (section) p[4] = 0;  // pointer_field
    std::memcpy(p + (section ? 5 : 4), payload.data(), payload.size());
  };
  packet(0, Section(kPAT), true);
  packet(0x10, Section("02 B0 00 00 01 C1 00 00 E0 11 F0 00 1B E0 11 F0 00 0F E0 12 F0 00 03 E0 13 F0 00"), true);
  for (int pid : {0x11, 0x12, 0x13}) packet(pid, {0, 0, 1, 0xE0}, false);
  const std::vector<uint8_t> out = stage.Rewrite(in.data(), in.size());
  // The PMT and the two streams that fit; nothing on PID 0 or 0x0011.
  ASSERT_EQ(out.size(), 3 * kTSPacketSize);
  size_t size = 0;
  const uint8_t* pmt = PacketSection(out.data(), &size);
  ASSERT_NE(pmt, nullptr);
  EXPECT_EQ(PacketPid(out.data()), 0x120);
  EXPECT_EQ(std::vector<uint8_t>(pmt, pmt + size),
            Section("02 B0 00 00 65 C1 00 00 E1 21 F0 00 1B E1 21 F0 00 0F E1 22 F0 00"));
  EXPECT_EQ(PacketPid(&out[kTSPacketSize]), 0x121);
  EXPECT_EQ(PacketPid(&out[2 * kTSPacketSize]), 0x122);
  EXPECT_EQ(stage.OutputPid(0x13), -1);
  EXPECT_EQ(stage.FirstServiceType(), 0x19) << "H.264 HD digital television";
}

}  // namespace
}  // namespace palvex_host
