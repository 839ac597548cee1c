// PAT and PMT packets: golden bytes, CRC, continuity counters, slot exhaustion, and the
// sections read back by libdvbpsi.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "packer/pid_record.h"
#include "packer_fixture.h"
#include "support/ts_checker.h"
#include "ts_reader.h"

namespace palvex_test {
namespace {

using palvex::kNoFreePacket;
using palvex::kPackerOk;

// True when the packet holds one whole section whose CRC_32 leaves residue 0.
bool WholeSection(const std::vector<uint8_t>& packet) {
  size_t size = 0;
  return palvex_host::PacketSection(packet.data(), &size) != nullptr;
}

std::vector<uint8_t> WithStuffing(std::vector<uint8_t> bytes) {
  bytes.resize(188, 0xFF);
  return bytes;
}

// H.264 video (codec 0) then AAC (codec 8): PMT PID 0x0010, PIDs 0x0011 and 0x0012.
void AddVideoAudio(TestFormat* format) {
  format->Add(kVideo, kMediaCodecH264, 1);
  format->Add(kAudio, kMediaCodecAAC, 2, AacConfig());
}

TEST(PatTest, OneProgramVersion0GoldenPacket) {
  PackerRig rig;
  TestFormat format;
  AddVideoAudio(&format);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  rig.packer->Reset();
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  const std::vector<uint8_t> expected = WithStuffing({
      0x47,        // sync_byte
      0x40,        // payload_unit_start_indicator 1, PID[12:8] 0
      0x00,        // PID[7:0]: PAT
      0x10,        // payload only, continuity_counter 0
      0x00,        // pointer_field
      0x00,        // table_id: program_association_section
      0xB0,        // section_syntax_indicator 1, '0', reserved '11', section_length[11:8]
      0x0D,        // section_length 13
      0x00, 0x66,  // transport_stream_id 0x0066
      0xC1,        // reserved '11', version_number 0, current_next_indicator 1
      0x00,        // section_number
      0x00,        // last_section_number
      0x00, 0x01,  // program_number 1
      0xE0,        // reserved '111', program_map_PID[12:8]
      0x10,        // program_map_PID[7:0]: 0x0010
      0x11, 0xC5, 0xB9, 0x73,  // CRC_32
  });
  const auto packets = rig.TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], expected);
  EXPECT_TRUE(WholeSection(packets[0]));
}

TEST(PatTest, VersionIsCarriedModulo32) {
  PackerRig rig;
  TestFormat format;
  AddVideoAudio(&format);
  for (int i = 0; i < 16; ++i) {  // each addition and each removal raises the version
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
    ASSERT_EQ(rig.packer->RemoveProgram(&format), kPackerOk);
  }
  ASSERT_EQ(rig.packer->patVersion(), 32);
  rig.packer->PATToTS();
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  rig.packer->PATToTS();
  const auto packets = rig.TakePackets();
  EXPECT_EQ(packets[0][10], 0xC1);  // version 32 -> version_number 0
  EXPECT_EQ(packets[1][10], 0xC3);  // version 33 -> version_number 1
  PALVEX_NEEDS_LIBDVBPSI();
  EXPECT_EQ(PatOf(packets[1]).at(0).version, 1);
}

TEST(PatTest, PackerWithoutProgramsWritesTwelveBytePat) {
  PackerRig rig;
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  ASSERT_EQ(rig.packer->PMTToTS(), kPackerOk);
  const auto packets = rig.TakePackets();
  ASSERT_EQ(packets.size(), 1u);  // PMTToTS wrote nothing
  const std::vector<uint8_t> head = {0x47, 0x40, 0x00, 0x10, 0x00,
                                     0x00, 0xB0, 0x09,  // table_id, section_length 9
                                     0x00, 0x66, 0xC1, 0x00, 0x00};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), packets[0].begin()));
  EXPECT_TRUE(WholeSection(packets[0]));
  EXPECT_EQ(std::vector<uint8_t>(packets[0].begin() + 17, packets[0].end()),
            std::vector<uint8_t>(171, 0xFF));
}

TEST(PmtTest, VideoAndAacGoldenPacket) {
  PackerRig rig;
  TestFormat format;
  AddVideoAudio(&format);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  ASSERT_NE(rig.packer->programs()[0]->ToTS(), nullptr);
  const std::vector<uint8_t> expected = WithStuffing({
      0x47,        // sync_byte
      0x40,        // payload_unit_start_indicator 1, PID[12:8] 0
      0x10,        // PID[7:0]: PMT PID 0x0010
      0x10,        // payload only, continuity_counter 0
      0x00,        // pointer_field
      0x02,        // table_id: TS_program_map_section
      0xB0,        // section_syntax_indicator 1, '0', reserved '11', section_length[11:8]
      0x17,        // section_length 23
      0x00, 0x01,  // program_number 1
      0xC1,        // reserved '11', version_number 0, current_next_indicator 1
      0x00,        // section_number
      0x00,        // last_section_number
      0xE0, 0x11,  // reserved '111', PCR_PID 0x0011
      0xF0, 0x00,  // reserved '1111', program_info_length 0
      0x1B,        // stream_type: H.264
      0xE0, 0x11,  // reserved '111', elementary_PID 0x0011
      0xF0, 0x00,  // reserved '1111', ES_info_length 0
      0x0F,        // stream_type: AAC (ADTS)
      0xE0, 0x12,  // reserved '111', elementary_PID 0x0012
      0xF0, 0x00,  // reserved '1111', ES_info_length 0
      0xF1, 0x2B, 0x97, 0x2C,  // CRC_32
  });
  EXPECT_EQ(rig.TakePackets().at(0), expected);
}

TEST(PsiTest, ContinuityCountersWrapAndStayIndependent) {
  PackerRig rig;
  TestFormat first;
  TestFormat second;
  AddVideoAudio(&first);
  second.Add(kVideo, kMediaCodecH264, 3);
  second.Add(kAudio, kMediaCodecAAC, 4, AacConfig());
  ASSERT_EQ(rig.packer->AddProgram(&first), kPackerOk);
  ASSERT_EQ(rig.packer->AddProgram(&second), kPackerOk);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  auto packets = rig.TakePackets();
  for (int i = 0; i < 17; ++i) EXPECT_EQ(packets[i][3], 0x10 | (i & 0x0F)) << i;
  ASSERT_EQ(rig.packer->PMTToTS(), kPackerOk);
  ASSERT_NE(rig.packer->programs()[1]->ToTS(), nullptr);
  packets = rig.TakePackets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(PidOf(packets[0]), 0x10);
  EXPECT_EQ(packets[0][3], 0x10);  // first program, CC 0
  EXPECT_EQ(PidOf(packets[1]), 0x13);
  EXPECT_EQ(packets[1][3], 0x10);  // second program, CC 0
  EXPECT_EQ(packets[2][3], 0x11);  // second program again, CC 1
  EXPECT_EQ(rig.packer->programs()[0]->counter(), 1);
}

TEST(PsiTest, OneFreeSlotTakesThePatOnly) {
  PackerRig rig;
  TestFormat format;
  AddVideoAudio(&format);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  rig.LeaveFreeSlots(1);
  EXPECT_EQ(rig.packer->PATToTS(), kPackerOk);
  EXPECT_EQ(rig.packer->PMTToTS(), kNoFreePacket);
  EXPECT_EQ(rig.packer->programs()[0]->counter(), 0);
  EXPECT_EQ(rig.packer->PATToTS(), kNoFreePacket);
  // The refused PAT took no continuity_counter value: the next one goes out with 1.
  rig.TakePackets();
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  const auto packets = rig.TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][3] & 0x0F, 1);
}

TEST(PsiTest, NoOutputBufferIsNoFreeSlot) {
  PackerPtr packer(palvex::CreatePacker());
  EXPECT_EQ(packer->SetOutputBuffer(nullptr), -1);
  EXPECT_EQ(packer->PATToTS(), kNoFreePacket);
}

// A program assembled by hand beyond what AddProgram admits: its PMT would not fit one
// packet, so no packet is written rather than one written past the slot.
TEST(PsiTest, PmtLongerThanOnePacketIsNotWritten) {
  PackerRig rig;
  palvex::PMTProgram program(1, 0x10, 0, 1, &rig.buffer, nullptr, 188);
  for (uint16_t pid = 0x11; pid < 0x11 + 34; ++pid) {
    program.AppendStream(new palvex::AudioTSStream(0x0F, 0xC0, pid, false, &rig.buffer, 188));
  }
  ASSERT_EQ(program.WritePSI(nullptr), 16 + 5 * 34);
  EXPECT_EQ(program.ToTS(), nullptr);
  EXPECT_EQ(program.counter(), 0);
  EXPECT_TRUE(rig.TakePackets().empty());
}

TEST(PsiTest, LibdvbpsiDecodesTwoProgramsWithTheirStreams) {
  PackerRig rig;
  TestFormat first;
  TestFormat second;
  AddVideoAudio(&first);
  second.Add(kAudio, 11, 3);
  second.Add(kVideo, 2, 4);
  ASSERT_EQ(rig.packer->AddProgram(&first), kPackerOk);
  ASSERT_EQ(rig.packer->AddProgram(&second), kPackerOk);
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  ASSERT_EQ(rig.packer->PMTToTS(), kPackerOk);
  const auto packets = rig.TakePackets();
  ASSERT_EQ(packets.size(), 3u);
  for (const auto& packet : packets) EXPECT_TRUE(WholeSection(packet));
  PALVEX_NEEDS_LIBDVBPSI();
  const std::vector<DvbpsiPAT> pat = PatOf(packets[0]);
  ASSERT_EQ(pat.size(), 1u);
  EXPECT_EQ(pat[0].tsId, 0x0066);
  EXPECT_EQ(pat[0].version, 2);
  EXPECT_TRUE(pat[0].currentNext);
  EXPECT_EQ(pat[0].programs, (std::vector<std::pair<int, int>>{{1, 0x10}, {2, 0x13}}));
  const std::vector<DvbpsiPMT> pmt1 = PmtOf(packets[1], 1), pmt2 = PmtOf(packets[2], 2);
  ASSERT_EQ(pmt1.size(), 1u);
  ASSERT_EQ(pmt2.size(), 1u);
  EXPECT_EQ(pmt1[0].pcrPid, 0x11);
  EXPECT_EQ(TypesAndPids(pmt1[0]), (std::vector<std::pair<int, int>>{{0x1B, 0x11}, {0x0F, 0x12}}));
  EXPECT_EQ(pmt2[0].pcrPid, 0x15);  // the video stream, listed second
  EXPECT_EQ(TypesAndPids(pmt2[0]), (std::vector<std::pair<int, int>>{{0x03, 0x14}, {0x02, 0x15}}));
}

// Runs of one packer (StopPacker, then the programs built again): every PID goes on
// counting, and a PAT or PMT goes out with version_number + 1 exactly when its content
// differs from the last one sent on its PID (here the audio stream_type 0x0F -> 0x03 -> 0x0F).
TEST(PsiTest, VersionsFollowContentAndCountersGoOnAcrossRuns) {
  PackerRig rig;
  palvex::PidRecord record;
  rig.packer->SetPidRecord(&record);
  TestFormat aac;
  AddVideoAudio(&aac);
  TestFormat mpeg;
  mpeg.Add(kVideo, kMediaCodecH264, 1);
  mpeg.Add(kAudio, kMediaCodecMPEG1Audio, 2);
  struct Run {
    TestFormat* format;
    uint8_t patVersion;
    uint8_t pmtVersion;
  } runs[] = {{&aac, 0, 0}, {&aac, 0, 0}, {&mpeg, 0, 1}, {&aac, 0, 2}, {&aac, 0, 2}};
  int counter = 0;
  for (const Run& run : runs) {
    rig.packer->StopPacker();
    ASSERT_EQ(rig.packer->AddProgram(run.format), kPackerOk);
    rig.packer->Reset();
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
      ASSERT_EQ(rig.packer->PMTToTS(), kPackerOk);
      const auto packets = rig.TakePackets();
      ASSERT_EQ(packets.size(), 2u);
      for (const auto& packet : packets) {
        EXPECT_EQ(packet[3] & 0x0F, counter & 0x0F);
        EXPECT_TRUE(WholeSection(packet));
      }
      EXPECT_EQ(packets[0][10] >> 1 & 0x1F, run.patVersion);
      EXPECT_EQ(packets[1][10] >> 1 & 0x1F, run.pmtVersion);
      ++counter;
    }
  }
  // The elementary streams too: the next run's first packet on 0x11 follows the last one.
  palvex::TSStream* video = rig.packer->RoutedStream(1);
  video->SetContinuityCounter(9);
  rig.packer->StopPacker();
  EXPECT_EQ(record.NextCounter(0x11), 9);
  ASSERT_EQ(rig.packer->AddProgram(&aac), kPackerOk);
  rig.packer->Reset();
  EXPECT_EQ(rig.packer->RoutedStream(1)->continuityCounter(), 9);
  // The version wraps after 31.
  for (int i = 0; i < 31; ++i) {
    rig.packer->StopPacker();
    ASSERT_EQ(rig.packer->AddProgram(i % 2 == 0 ? &mpeg : &aac), kPackerOk);
    rig.packer->Reset();
    ASSERT_EQ(rig.packer->PMTToTS(), kPackerOk);
  }
  const auto last = rig.TakePackets().back();
  EXPECT_EQ(last[10] >> 1 & 0x1F, (2 + 31) % 32);
}

}  // namespace
}  // namespace palvex_test
