#include "splice_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ts_reader.h"

namespace palvex_host {
namespace {

// A break of 30 s at PTS 0x1'2345'6789, event 0x4A, unique_program_id 7.
TEST(SpliceInfo, SpliceInsertGoldenBytes) {
  BreakCue cue;
  cue.eventId = 0x4A;
  cue.spliceTime = 0x123456789LL;
  cue.duration = 30 * 90000;  // 0x29_32E0
  cue.uniqueProgramId = 7;
  const std::vector<uint8_t> expected = {
      0xFC,                    // table_id
      0x30, 0x25,              // section_syntax_indicator 0, private_indicator 0, sap_type 3, section_length 37
      0x00,                    // protocol_version
      0x00,                    // encrypted_packet 0, encryption_algorithm 0, pts_adjustment[32] 0
      0x00, 0x00, 0x00, 0x00,  // pts_adjustment 0
      0xFF,                    // cw_index
      0xFF, 0xF0, 0x14,        // tier 0xFFF, splice_command_length 20
      0x05,                    // splice_command_type: splice_insert
      0x00, 0x00, 0x00, 0x4A,  // splice_event_id
      0x7F,                    // splice_event_cancel_indicator 0, reserved
      0xEF,                    // out_of_network 1, program_splice 1, duration 1, splice_immediate 0, reserved
      0xFF,                    // time_specified_flag 1, reserved, pts_time[32] 1
      0x23, 0x45, 0x67, 0x89,  // pts_time[31:0]
      0xFE,                    // auto_return 1, reserved, duration[32] 0
      0x00, 0x29, 0x32, 0xE0,  // duration 2 700 000 (30 s)
      0x00, 0x07,              // unique_program_id
      0x00, 0x00,              // avail_num, avails_expected
      0x00, 0x00,              // descriptor_loop_length
      0x00, 0x00, 0x00, 0x00}; // CRC_32, below
  std::vector<uint8_t> written = WriteSpliceInsert(cue);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_EQ(SectionCRC(written.data(), written.size()), 0u);
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.end() - 4),
            std::vector<uint8_t>(expected.begin(), expected.end() - 4));
  SpliceInfo info;
  std::string why;
  ASSERT_TRUE(ReadSpliceInfo(written.data(), written.size(), &info, &why)) << why;
  EXPECT_EQ(info.insert.eventId, 0x4Au);
  EXPECT_TRUE(info.insert.outOfNetwork && info.insert.autoReturn);
  EXPECT_EQ(info.insert.duration, 30 * 90000);
  EXPECT_EQ(SpliceTimes(info), std::vector<int64_t>{0x123456789LL});
}

// The cues a carried stream holds, as the test support writes them, and the damage the
// reader refuses.
std::vector<uint8_t> Sealed(std::vector<uint8_t> s) {
  SealSection(&s);
  return s;
}

const std::vector<uint8_t> kHead = {0xFC, 0x30, 0, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xFF};  // pts_adjustment 0x1000

std::vector<uint8_t> With(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(SpliceInfo, ReadsCommandsAndRefusesDamage) {
  // time_signal at 0x0'0001'0000 with a segmentation_descriptor (provider advertisement start, 15 s).
  const std::vector<uint8_t> timeSignal = Sealed(With(kHead, {
      0xFF, 0xF0, 0x05, 0x06, 0xFE, 0x00, 0x01, 0x00, 0x00,     // tier, length 5, time_signal, splice_time
      0x00, 0x16,                                                // descriptor_loop_length 22
      0x02, 0x14, 'C', 'U', 'E', 'I', 0x00, 0x00, 0x00, 0x09,    // segmentation_descriptor, event 9
      0x7F, 0xFF, 0x00, 0x00, 0x14, 0x99, 0x70,                  // flags, segmentation_duration 1 350 000
      0x00, 0x00, 0x30, 0x01, 0x01}));                           // no UPID, type 0x30, segment 1 of 1
  const std::vector<uint8_t> null = Sealed(With(kHead, {0xFF, 0xF0, 0x00, 0x00, 0x00, 0x00}));
  // Encrypted: the command and loop are ciphertext followed by E_CRC_32.
  const std::vector<uint8_t> encrypted = Sealed({0xFC, 0x30, 0, 0x00, 0x82, 0x00, 0x00, 0x10, 0x00, 0x01, 0xFF, 0xF0,
                                                 0x05, 0x9A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                 0xE1, 0xE2, 0xE3, 0xE4});
  std::vector<uint8_t> badCRC = timeSignal;
  badCRC[15] ^= 0x01;
  std::vector<uint8_t> cut(timeSignal.begin(), timeSignal.end() - 1);  // section_length beyond the data
  const std::vector<uint8_t> loopPast = Sealed(With(kHead, {0xFF, 0xF0, 0x00, 0x00, 0x00, 0x09, 0x02, 0x01, 0x00}));
  const std::vector<uint8_t> commandPast = Sealed(With(kHead, {0xFF, 0xF0, 0x30, 0x06, 0xFE, 0x00, 0x00}));
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
    bool ok;
    int command;
    std::vector<int64_t> times;
    size_t segmentations;
  };
  const Row rows[] = {
      {"time_signal+segmentation", timeSignal, true, kTimeSignal, {0x10000}, 1},
      {"splice_null", null, true, kSpliceNull, {}, 0},
      {"encrypted", encrypted, true, 0x9A, {}, 0},
      {"CRC wrong", badCRC, false, 0, {}, 0},
      {"cut", cut, false, 0, {}, 0},
      {"descriptor loop past section", loopPast, false, 0, {}, 0},
      {"command past section", commandPast, false, 0, {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SpliceInfo info;
    std::string why;
    ASSERT_EQ(ReadSpliceInfo(row.bytes.data(), row.bytes.size(), &info, &why), row.ok) << why;
    if (!row.ok) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    EXPECT_EQ(info.commandType, row.command);
    EXPECT_EQ(info.ptsAdjustment, 0x1000);
    EXPECT_EQ(SpliceTimes(info), row.times);
    ASSERT_EQ(info.segmentations.size(), row.segmentations);
    if (row.segmentations > 0) {
      EXPECT_EQ(info.segmentations[0].eventId, 9u);
      EXPECT_EQ(info.segmentations[0].duration, 1350000);
      EXPECT_EQ(info.segmentations[0].typeId, 0x30);
    }
    // The adjustment moved across the wrap: the CRC_32 is written anew, the rest stays
    // (an encrypted section's E_CRC_32 too).
    std::vector<uint8_t> moved = row.bytes;
    ASSERT_TRUE(SetPtsAdjustment(&moved, kPTSModulus + 0x10));
    ASSERT_TRUE(ReadSpliceInfo(moved.data(), moved.size(), &info, &why)) << why;
    EXPECT_EQ(info.ptsAdjustment, 0x10);
    EXPECT_EQ(std::vector<uint8_t>(moved.begin() + 9, moved.end() - 4),
              std::vector<uint8_t>(row.bytes.begin() + 9, row.bytes.end() - 4));
  }
}

}  // namespace
}  // namespace palvex_host
