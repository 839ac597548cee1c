// The host-side TS reader over packets another muxer wrote (FFmpeg's mpegts muxer: H.264 +
// AAC with a French language descriptor), and over the same packets damaged.
#include "ts_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/program_maker.h"

namespace palvex_host {
namespace {

// The packet's leading bytes in hex; the rest of the 188 is stuffing (0xFF).
std::vector<uint8_t> Packet(const std::string& hex) {
  std::vector<uint8_t> p(kTSPacketSize, 0xFF);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) p[i / 2] = uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16));
  return p;
}

const char kPAT[] = "474000100000b00d0001c100000001f0002ab104b2";
const char kPMT[] = "475000100002b01d0001c10000e100f0001be100f0000fe101f0060a04667261001c0e899b";
const char kVideoStart[] = "47410030075000007b0c7e00000001e0000080c00a31000910a1110007d861";
const char kAudioStart[] = "474101300140000001c00aff80800521000901a1";

struct ReaderCase {
  const char* name;
  std::string hex;
  int pid;
  int64_t pcr;          // -1: none
  PESStart pes;         // streamId -1: no PES start
  int sectionTable;     // table_id of a whole section, -1: none
  int startByte;        // PacketTableId: the byte behind the pointer_field, -1: no unit starts
};

std::string WithByte(std::string hex, size_t index, const char* byte) { return hex.replace(2 * index, 2, byte); }

const ReaderCase kCases[] = {
    {"PAT", kPAT, 0, -1, {}, 0x00, 0x00},
    {"PMT", kPMT, 0x1000, -1, {}, 0x02, 0x02},
    {"VideoStartWithPCR", kVideoStart, 0x100, 63000 * 300, {0xE0, 133200, 126000, 0, 19}, -1, 0x00},
    {"AudioStartPTSOnly", kAudioStart, 0x101, -1, {0xC0, 131280, 131280, 0x0AFF, 14}, -1, 0x00},
    {"Continuation", "470100112e766964656f", 0x100, -1, {}, -1, -1},
    {"NullPacket", "471fff10", kNullPid, -1, {}, -1, -1},
    {"PATWithWrongCRC", WithByte(kPAT, 20, "b3"), 0, -1, {}, -1, 0x00},
    {"PMTRunningPastThePacket", WithByte(kPMT, 6, "b0") .replace(2 * 7, 2, "ff"), 0x1000, -1, {}, -1, 0x02},
    {"AdaptationFieldPastThePacket", WithByte(kVideoStart, 4, "b8"), 0x100, -1, {}, -1, -1},
    {"NotSynchronised", WithByte(kVideoStart, 0, "46"), 0x100, -1, {}, -1, -1},
    {"PESHeaderCut", WithByte(kAudioStart, 14, "f0"), 0x101, -1, {}, -1, 0x00},
};

class TSReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(TSReaderTest, ReadsWhatThePacketHolds) {
  const ReaderCase& c = GetParam();
  const std::vector<uint8_t> p = Packet(c.hex);
  EXPECT_EQ(PacketPid(p.data()), c.pid);
  EXPECT_EQ(PacketPCR(p.data()), c.pcr);
  PESStart pes;
  EXPECT_EQ(ReadPESStart(p.data(), &pes), c.pes.streamId >= 0);
  if (c.pes.streamId >= 0) {
    EXPECT_EQ(pes.streamId, c.pes.streamId);
    EXPECT_EQ(pes.pts, c.pes.pts);
    EXPECT_EQ(pes.dts, c.pes.dts);
    EXPECT_EQ(pes.packetLength, c.pes.packetLength);
    EXPECT_EQ(pes.headerSize, c.pes.headerSize);
  }
  size_t size = 0;
  const uint8_t* section = PacketSection(p.data(), &size);
  EXPECT_EQ(section != nullptr ? section[0] : -1, c.sectionTable);
  EXPECT_EQ(PacketTableId(p.data()), c.startByte);
}

INSTANTIATE_TEST_SUITE_P(Packets, TSReaderTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ReaderCase>& param) { return std::string(param.param.name); });

TEST(TSReaderTest, TablesAsAnotherMuxerWroteThem) {
  const std::vector<uint8_t> patPacket = Packet(kPAT), pmtPacket = Packet(kPMT);
  size_t size = 0;
  const uint8_t* section = PacketSection(patPacket.data(), &size);
  PAT pat;
  ASSERT_TRUE(section != nullptr && ReadPAT(section, size, &pat));
  EXPECT_EQ(pat.transportStreamId, 1);
  EXPECT_EQ(pat.version, 0);
  ASSERT_EQ(pat.programs.size(), 1u);
  EXPECT_EQ(pat.programs[0].number, 1);
  EXPECT_EQ(pat.programs[0].pid, 0x1000);
  EXPECT_FALSE(ReadPMT(section, size, nullptr));  // a PAT is not a PMT

  section = PacketSection(pmtPacket.data(), &size);
  PMT pmt;
  ASSERT_TRUE(section != nullptr && ReadPMT(section, size, &pmt));
  EXPECT_EQ(pmt.programNumber, 1);
  EXPECT_EQ(pmt.pcrPid, 0x100);
  ASSERT_EQ(pmt.streams.size(), 2u);
  EXPECT_EQ(pmt.streams[0].streamType, 0x1B);
  EXPECT_EQ(pmt.streams[0].pid, 0x100);
  EXPECT_TRUE(pmt.streams[0].descriptors.empty());
  EXPECT_EQ(pmt.streams[1].streamType, 0x0F);
  EXPECT_EQ(pmt.streams[1].pid, 0x101);
  // ISO_639_language_descriptor: "fra", audio_type 0.
  EXPECT_EQ(pmt.streams[1].descriptors, (std::vector<uint8_t>{0x0A, 0x04, 'f', 'r', 'a', 0x00}));
}

TEST(TSReaderTest, PCRRewrittenInPlaceWrapsAtItsFieldWidth) {
  std::vector<uint8_t> p = Packet(kVideoStart);
  const std::vector<uint8_t> original = p;
  SetPacketPCR(p.data(), 63000 * 300);
  EXPECT_EQ(p, original);  // the same value gives the same bytes, reserved bits included
  for (const int64_t pcr : {int64_t{0}, int64_t{299}, kPCRWrap - 1, kPCRWrap + 12345, int64_t{-1}}) {
    SetPacketPCR(p.data(), pcr);
    EXPECT_EQ(PacketPCR(p.data()), (pcr % kPCRWrap + kPCRWrap) % kPCRWrap) << pcr;
  }
  EXPECT_TRUE(std::equal(p.begin() + 12, p.end(), original.begin() + 12));  // nothing past the PCR moved
}

// The step to the next PCR as read: across the wrap both ways, from a line past it, half a
// wrap forward.
TEST(TSReaderTest, PCRStepIsTheNearestAcrossTheWrap) {
  const int64_t half = kPCRWrap / 2;
  const int64_t cases[][3] = {{100, 400, 300},             {kPCRWrap - 100, 50, 150}, {50, kPCRWrap - 100, -150},
                              {3 * kPCRWrap + 10, 20, 10}, {0, half, half},           {0, half + 1, 1 - half}};
  for (const auto& c : cases) EXPECT_EQ(PCRStep(c[0], c[1]), c[2]) << c[0] << " -> " << c[1];
}

// A PMT in two packets (200 bytes of descriptors) gathered whole; a continuity gap or a
// wrong CRC_32 drops it, a new start begins it again.
TEST(TSReaderTest, SectionGatheredOverPackets) {
  palvex_test::ProgramMaker maker(palvex_test::kVideoPid);
  maker.Tables(false, true);
  const std::vector<uint8_t> ts = maker.Take();  // the PAT, then the PMT in two packets
  const uint8_t* start = &ts[kTSPacketSize];
  const uint8_t* rest = &ts[2 * kTSPacketSize];
  SectionGatherer whole;
  EXPECT_FALSE(whole.Push(start));
  EXPECT_TRUE(whole.open());
  ASSERT_TRUE(whole.Push(rest));
  EXPECT_FALSE(whole.open());
  EXPECT_EQ(whole.packets(), 2u);
  PMT pmt;
  ASSERT_TRUE(ReadPMT(whole.section().data(), whole.section().size(), &pmt));
  ASSERT_EQ(pmt.streams.size(), 2u);
  EXPECT_EQ(pmt.streams[1].descriptors.size(), 200u);

  std::vector<uint8_t> gap(rest, rest + kTSPacketSize), damaged = gap;
  gap[3] = uint8_t((gap[3] & 0xF0) | ((gap[3] + 1) & 0x0F));  // a packet lost in between
  damaged[20] ^= 0x01;
  SectionGatherer cut, wrong, again;
  cut.Push(start);
  EXPECT_FALSE(cut.Push(gap.data()));
  EXPECT_FALSE(cut.open());
  wrong.Push(start);
  EXPECT_FALSE(wrong.Push(damaged.data()));
  EXPECT_FALSE(wrong.open());
  again.Push(start);
  again.Push(start);  // a new start: the section begins again
  EXPECT_TRUE(again.Push(rest));
}

}  // namespace
}  // namespace palvex_host
