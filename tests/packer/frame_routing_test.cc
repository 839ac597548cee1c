// MuxFrame: routing by stream id, PSI repetition, ADTS detection and insertion per stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "packer_fixture.h"
#include "packetizer/ts_stream_test_util.h"
#include "support/fake_frame.h"
#include "support/ts_checker.h"

namespace palvex_test {
namespace {

using palvex::kNoFreePacket;
using palvex::kFrameRefused;
using palvex::kPackerOk;
using palvex::TSPacker;
using palvex_test::PesOf;

constexpr uint8_t kVideoId = 1;
constexpr uint8_t kAudioId = 2;

// One program: H.264 video (id 1) and AAC (id 2) with the given AudioSpecificConfig.
struct AvRig : PackerRig {
  explicit AvRig(std::vector<uint8_t> config = AacConfig(), int32_t audioCodec = kMediaCodecAAC) {
    format.Add(kVideo, kMediaCodecH264, kVideoId);
    format.Add(kAudio, audioCodec, kAudioId, std::move(config));
    EXPECT_EQ(packer->AddProgram(&format), kPackerOk);
    packer->Reset();
  }
  TestFormat format;
};

std::vector<uint8_t> RawAac(size_t size) { return std::vector<uint8_t>(size, 0x21); }
std::vector<uint8_t> AdtsAac(size_t size) {
  std::vector<uint8_t> bytes = RawAac(size);
  bytes[0] = 0xFF;  // syncword[11:4]
  bytes[1] = 0xF1;  // syncword[3:0], ID, layer, protection_absent
  return bytes;
}

int PatPackets(const std::vector<std::vector<uint8_t>>& packets) {
  int count = 0;
  for (const auto& packet : packets) count += PidOf(packet) == 0 ? 1 : 0;
  return count;
}

struct TimedFrame {
  bool audio;
  int64_t time;
  bool psi;
};

struct TimingCase {
  const char* name;
  std::vector<TimedFrame> frames;
};

// PAT and PMTs go out once a stream has moved on by the repetition interval on its own
// clock: 400 ms before any frame step is known, then 500 ms less two of the largest steps.
TEST(FrameRoutingTest, PsiRepetitionByEachStreamsClock) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const TimingCase cases[] = {
      {"interval boundary", {{false, 0, true}, {false, 399999, false}, {false, 400000, true}}},
      {"40 ms frames: 420 ms from the second emission on",
       {{false, 0, true}, {false, 40000, false}, {false, 400000, true}, {false, 440000, false},
        {false, 819999, false}, {false, 820000, true}}},
      {"audio 600 ms ahead of the video: each stream by its own clock",
       {{false, 0, true}, {true, 600000, false}, {false, 40000, false}, {true, 999999, false},
        {false, 399999, false}, {true, 1000000, true}, {false, 440000, false}, {true, 1040000, false}}},
      {"a video clock far behind does not make every audio frame due",
       {{true, 2000000, true}, {false, 0, false}, {true, 2021333, false}, {false, 40000, false},
        {true, 2042666, false}}},
      {"extreme times",
       {{false, -5, true}, {false, kMax, true}, {false, kMin, false}, {false, kMin + 399999, false},
        {false, kMin + 400000, true}}},
  };
  for (const TimingCase& c : cases) {
    AvRig rig;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      FakeFrame frame(std::vector<uint8_t>(40, 0x00), c.frames[i].time);
      ASSERT_EQ(rig.packer->MuxFrame(c.frames[i].audio ? kAudioId : kVideoId, &frame), kPackerOk);
      EXPECT_EQ(PatPackets(rig.TakePackets()), c.frames[i].psi ? 1 : 0) << c.name << " frame " << i;
    }
  }
}

TEST(FrameRoutingTest, PatThenPmtsInProgramOrderThenFrame) {
  PackerRig rig;
  TestFormat first;
  TestFormat second;
  first.Add(kVideo, kMediaCodecH264, kVideoId);
  second.Add(kAudio, kMediaCodecMPEG1Audio, 9);
  ASSERT_EQ(rig.packer->AddProgram(&first), kPackerOk);
  ASSERT_EQ(rig.packer->AddProgram(&second), kPackerOk);
  rig.packer->Reset();
  FakeFrame frame(std::vector<uint8_t>(40, 0x00), 0);
  ASSERT_EQ(rig.packer->MuxFrame(9, &frame), kPackerOk);
  const auto packets = rig.TakePackets();
  ASSERT_GE(packets.size(), 3u);
  EXPECT_EQ(PidOf(packets[0]), 0x00);
  EXPECT_EQ(PidOf(packets[1]), 0x10);
  EXPECT_EQ(PidOf(packets[2]), 0x12);
  ASSERT_GT(packets.size(), 3u);  // the frame's own packets follow
  for (size_t i = 3; i < packets.size(); ++i) EXPECT_EQ(PidOf(packets[i]), 0x13);
  TsChecker checker;
  for (const auto& packet : packets) checker.Feed(packet.data(), packet.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  // After a reset the next frame is preceded by the PSI again.
  rig.packer->Reset();
  ASSERT_EQ(rig.packer->MuxFrame(9, &frame), kPackerOk);
  EXPECT_EQ(PatPackets(rig.TakePackets()), 1);
}

// The PES payload of a frame's packets (the reader passes the PAT and the PMTs by).
std::vector<uint8_t> FramePayload(const std::vector<std::vector<uint8_t>>& packets) {
  const auto pes = PesOf(packets);
  return pes.empty() ? std::vector<uint8_t>() : pes[0].payload;
}

// Stream ids name streams across the packer: a program that repeats one, within itself or
// from a program already built, is refused and routes nothing.
TEST(FrameRoutingTest, RepeatedStreamIdsRefused) {
  PackerRig rig;
  TestFormat repeating;
  repeating.Add(kVideo, kMediaCodecH264, 5);
  repeating.Add(kAudio, kMediaCodecAAC, 5, AacConfig());
  EXPECT_EQ(rig.packer->AddProgram(&repeating), palvex::kProgramNotBuilt);
  EXPECT_EQ(rig.packer->RoutedStream(5), nullptr);
  TestFormat first;
  first.Add(kVideo, kMediaCodecH264, 1);
  first.Add(kData, 0, 2);  // not carried: its id is free
  TestFormat second;
  second.Add(kAudio, kMediaCodecAAC, 2, AacConfig());
  second.Add(kAudio, kMediaCodecMPEG1Audio, 1);
  ASSERT_EQ(rig.packer->AddProgram(&first), kPackerOk);
  EXPECT_EQ(rig.packer->AddProgram(&second), palvex::kProgramNotBuilt);
  EXPECT_EQ(rig.packer->programs().size(), 1u);
  EXPECT_EQ(rig.packer->RoutedStream(2), nullptr);
  EXPECT_EQ(rig.packer->RoutedStream(1), rig.packer->programs()[0]->GetStream(0));
  EXPECT_EQ(TSPacker::CheckFormat(&second, {&first}) != nullptr, true);
  EXPECT_EQ(TSPacker::CheckFormat(&repeating, {}) != nullptr, true);
  EXPECT_EQ(TSPacker::CheckFormat(&first, {}), nullptr);
}

struct DetectionCase {
  const char* name;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> headerAdded;
  bool insertAfter;
};

TEST(FrameRoutingTest, AdtsDetection) {
  const DetectionCase cases[] = {
      {"raw frames", {RawAac(50), RawAac(50), RawAac(50), RawAac(50)}, {true, true, true, true}, true},
      {"frames with headers", {AdtsAac(50), AdtsAac(50), AdtsAac(50), AdtsAac(50)},
       {false, false, false, false}, false},
      {"one of three with a syncword", {RawAac(50), AdtsAac(50), RawAac(50), AdtsAac(50)},
       {true, false, true, true}, true},
      {"third frame raw", {AdtsAac(50), AdtsAac(50), RawAac(50), RawAac(50)},
       {false, false, true, true}, true},
      {"short frames have no syncword", {{0xFF}, {}, AdtsAac(50), RawAac(50)},
       {true, true, true, true}, true},
      {"0xFFF with other header bits", {{0xFF, 0xF8, 0x00}, {0xFF, 0xFF}, {0xFF, 0xF0}, RawAac(9)},
       {false, false, false, false}, false},
      {"0xFFE is no syncword", {{0xFF, 0xE1, 0x00}, AdtsAac(9), AdtsAac(9)}, {true, false, true}, true},
  };
  for (const DetectionCase& c : cases) {
    AvRig rig;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      FakeFrame frame(c.frames[i], int64_t(i) * 1000);
      ASSERT_EQ(rig.packer->MuxFrame(kAudioId, &frame), kPackerOk) << c.name << " " << i;
      const std::vector<uint8_t> payload = FramePayload(rig.TakePackets());
      const bool added = payload.size() == c.frames[i].size() + 7;
      EXPECT_EQ(added, c.headerAdded[i]) << c.name << " frame " << i;
      EXPECT_EQ(std::vector<uint8_t>(payload.begin() + (added ? 7 : 0), payload.end()), c.frames[i]) << c.name;
      EXPECT_EQ(frame.Bytes(), c.frames[i]) << c.name;  // the host's frame is only read
      EXPECT_EQ(frame.setSizeCalls(), 0) << c.name;
    }
    const palvex::ADTSFraming& adts = rig.packer->RoutedStream(kAudioId)->adts();
    EXPECT_EQ(adts.insert(), c.insertAfter) << c.name;
    EXPECT_EQ(adts.checked(), 4) << c.name;
  }
}

// Each AAC stream decides for itself, from its own first frames, and a stream that program
// setup builds anew (after a stop) decides again: frames that carry a header get none,
// raw frames exactly one. Streams of other codecs never get one.
TEST(FrameRoutingTest, AdtsDecisionPerStream) {
  PackerRig rig;
  TestFormat format;
  format.Add(kAudio, kMediaCodecAAC, 2, AacConfig());
  format.Add(kAudio, kMediaCodecAAC, 3, AacConfig());
  format.Add(kAudio, kMediaCodecMPEG1Audio, 4, AacConfig());
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  for (int i = 0; i < 4; ++i) {
    FakeFrame framed(AdtsAac(30), i);
    ASSERT_EQ(rig.packer->MuxFrame(2, &framed), kPackerOk);
    EXPECT_EQ(FramePayload(rig.TakePackets()), AdtsAac(30)) << i;
    FakeFrame raw(RawAac(30), i);
    ASSERT_EQ(rig.packer->MuxFrame(3, &raw), kPackerOk);
    EXPECT_EQ(FramePayload(rig.TakePackets()).size(), 37u) << i;
    FakeFrame mpeg(RawAac(30), i);
    ASSERT_EQ(rig.packer->MuxFrame(4, &mpeg), kPackerOk);
    EXPECT_EQ(FramePayload(rig.TakePackets()), RawAac(30)) << i;
  }
  EXPECT_FALSE(rig.packer->RoutedStream(2)->adts().insert());
  EXPECT_TRUE(rig.packer->RoutedStream(3)->adts().insert());
  EXPECT_FALSE(rig.packer->RoutedStream(4)->adts().insert());
  rig.packer->StopPacker();
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  rig.packer->Reset();
  EXPECT_TRUE(rig.packer->RoutedStream(2)->adts().insert());
  EXPECT_EQ(rig.packer->RoutedStream(2)->adts().checked(), 0);
  FakeFrame raw(RawAac(30), 0);
  ASSERT_EQ(rig.packer->MuxFrame(2, &raw), kPackerOk);
  EXPECT_EQ(FramePayload(rig.TakePackets()).size(), 37u);
}

TEST(FrameRoutingTest, AdtsWorkedExample) {
  AvRig rig;
  const uint8_t templ[] = {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC};
  const uint8_t* header = rig.packer->RoutedStream(kAudioId)->adts().header();
  EXPECT_EQ(std::vector<uint8_t>(header, header + 7), std::vector<uint8_t>(templ, templ + 7));
  FakeFrame frame(RawAac(100), 0, FakeFrame::Room::kExact);
  ASSERT_EQ(rig.packer->MuxFrame(kAudioId, &frame), kPackerOk);
  std::vector<uint8_t> expected = {
      0xFF,  // syncword[11:4]
      0xF1,  // syncword[3:0], ID 0, layer 00, protection_absent 1
      0x50,  // profile 01 (LC), sampling_frequency_index 4, private_bit 0, channel_configuration[2] 0
      0x80,  // channel_configuration[1:0] 10, four flags 0, frame_length[12:11] 00
      0x0D,  // frame_length[10:3]: 107 >> 3
      0x7F,  // frame_length[2:0] 011, adts_buffer_fullness[10:6] 11111
      0xFC,  // adts_buffer_fullness[5:0] 111111, number_of_raw_data_blocks_in_frame 00
  };
  const std::vector<uint8_t> payload = RawAac(100);
  expected.insert(expected.end(), payload.begin(), payload.end());
  EXPECT_EQ(FramePayload(rig.TakePackets()), expected);
  EXPECT_EQ(frame.Bytes(), payload);
}

struct SizeCase {
  int size;
  int32_t result;
  uint8_t byte3;  // channel_configuration[1:0] 10, frame_length[12:11]
  uint8_t byte4;  // frame_length[10:3]
  uint8_t byte5;  // frame_length[2:0], adts_buffer_fullness[10:6]
};

TEST(FrameRoutingTest, AdtsFrameLengthLimits) {
  const SizeCase cases[] = {
      {0, kPackerOk, 0x80, 0x00, 0xFF},     // L = 7
      {2041, kPackerOk, 0x81, 0x00, 0x1F},  // L = 2048: frame_length[12:11] = 01
      {8184, kPackerOk, 0x83, 0xFF, 0xFF},  // L = 8191, the largest 13-bit length
      {8185, kFrameRefused, 0, 0, 0},
      {10000, kFrameRefused, 0, 0, 0},
      {10001, kFrameRefused, 0, 0, 0},
  };
  AvRig rig;
  for (const SizeCase& c : cases) {
    FakeFrame frame(RawAac(size_t(c.size)), 0);
    ASSERT_EQ(rig.packer->MuxFrame(kAudioId, &frame), c.result) << c.size;
    EXPECT_EQ(frame.Bytes(), RawAac(size_t(c.size))) << c.size;
    if (c.result != kPackerOk) {
      EXPECT_TRUE(rig.TakePackets().empty()) << c.size;
      continue;
    }
    const auto bytes = FramePayload(rig.TakePackets());
    ASSERT_EQ(bytes.size(), size_t(c.size) + 7);
    EXPECT_EQ(bytes[3], c.byte3) << c.size;
    EXPECT_EQ(bytes[4], c.byte4) << c.size;
    EXPECT_EQ(bytes[5], c.byte5) << c.size;
    EXPECT_EQ(bytes[6], 0xFC) << c.size;
  }
}

struct ConfigCase {
  std::vector<uint8_t> config;
  bool built;
  std::vector<uint8_t> header;
};

TEST(FrameRoutingTest, AdtsTemplateFromAudioSpecificConfig) {
  const ConfigCase cases[] = {
      {{0x12, 0x10}, true, {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC}},
      // sampling_frequency_index 4, channel_configuration 7
      {{0x12, 0x38}, true, {0xFF, 0xF1, 0x51, 0xC0, 0x00, 0xFF, 0xFC}},
      // HE-AAC object type 5, sampling_frequency_index 3 (48000), 1 channel; profile stays LC
      {{0x29, 0x88, 0x00}, true, {0xFF, 0xF1, 0x4C, 0x40, 0x00, 0xFF, 0xFC}},
      {{0x12}, false, {0, 0, 0, 0, 0, 0, 0}},
      {{}, false, {0, 0, 0, 0, 0, 0, 0}},
  };
  for (const ConfigCase& c : cases) {
    palvex::ADTSFraming framing;
    EXPECT_EQ(framing.Build(c.config.empty() ? nullptr : c.config.data(), int32_t(c.config.size())),
              c.built);
    EXPECT_EQ(framing.built(), c.built);
    EXPECT_EQ(std::vector<uint8_t>(framing.header(), framing.header() + 7), c.header);
  }
}

// An AAC stream without a usable AudioSpecificConfig: no template, so frames go out as
// they come instead of behind an all-zero header.
TEST(FrameRoutingTest, NoTemplateNoHeader) {
  for (const std::vector<uint8_t>& config : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x12}}) {
    AvRig rig(config);
    EXPECT_TRUE(rig.packer->RoutedStream(kAudioId)->adts().insert());
    FakeFrame frame(RawAac(60), 0);
    ASSERT_EQ(rig.packer->MuxFrame(kAudioId, &frame), kPackerOk);
    EXPECT_EQ(FramePayload(rig.TakePackets()), RawAac(60));
  }
}

TEST(FrameRoutingTest, AudioFrameWithoutData) {
  AvRig rig;
  FakeFrame frame(RawAac(60), 0);
  frame.SetNullData(true);
  EXPECT_EQ(rig.packer->MuxFrame(kAudioId, &frame), kFrameRefused);
  EXPECT_EQ(frame.GetSize(), 60);
  // Counted as a frame without syncword.
  EXPECT_EQ(rig.packer->RoutedStream(kAudioId)->adts().checked(), 1);
  EXPECT_TRUE(rig.TakePackets().empty());
  FakeFrame video(std::vector<uint8_t>(60, 0), 0);
  video.SetNullData(true);
  EXPECT_EQ(rig.packer->MuxFrame(kVideoId, &video), kFrameRefused);
  FakeFrame negative(RawAac(60), 0);
  negative.SetSize(-1);
  EXPECT_EQ(rig.packer->MuxFrame(kVideoId, &negative), kFrameRefused);
  EXPECT_EQ(rig.packer->MuxFrame(kAudioId, &negative), kFrameRefused);
}

// A failed emission is not retried on the next frame: timing moved on before the write.
TEST(FrameRoutingTest, PsiWithoutFreeSlots) {
  AvRig rig;
  rig.LeaveFreeSlots(0);
  FakeFrame frame(std::vector<uint8_t>(40, 0), 1000);
  EXPECT_EQ(rig.packer->MuxFrame(kVideoId, &frame), kNoFreePacket);
  EXPECT_EQ(rig.packer->psiCount(), 1);
  EXPECT_EQ(rig.packer->lastPSITime(), 1000);
  rig.TakePackets();
  frame.SetTime(2000);
  ASSERT_EQ(rig.packer->MuxFrame(kVideoId, &frame), kPackerOk);
  EXPECT_EQ(PatPackets(rig.TakePackets()), 0);

  rig.LeaveFreeSlots(1);
  frame.SetTime(600000);
  EXPECT_EQ(rig.packer->MuxFrame(kVideoId, &frame), kNoFreePacket);
  uint8_t* data = nullptr;
  const int size = rig.buffer.GetBytes(&data);
  ASSERT_GE(size, 188);
  EXPECT_EQ(data[size - 188 + 1], 0x40);  // the PAT packet stays as the last one written
  EXPECT_EQ(data[size - 188 + 2], 0x00);
}

}  // namespace
}  // namespace palvex_test
