// AddProgram and its refusals, RemoveProgram, the lifecycle operations, and the routing
// slots they leave behind.
#include <gtest/gtest.h>

#include <vector>

#include "packer_fixture.h"
#include "support/fake_frame.h"

namespace palvex_test {
namespace {

using palvex::kNoStream;
using palvex::kNoSuchProgram;
using palvex::kPackerOk;
using palvex::kProgramNotBuilt;
using palvex::TSStream;

const std::vector<uint8_t> kMarkerA = {0x0E, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                       0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};
const std::vector<uint8_t> kMarkerB = {0x10, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                       0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

int Frame(PackerRig* rig, int streamId) {
  FakeFrame frame(std::vector<uint8_t>(32, 0x11), 0);
  return rig->packer->MuxFrame(streamId, &frame);
}

TEST(ProgramSetupTest, TwoProgramsPidPlan) {
  PackerRig rig;
  TestFormat first;
  TestFormat second;
  for (TestFormat* f : {&first, &second}) {
    f->Add(kVideo, kMediaCodecH264, 1);
    f->Add(kAudio, kMediaCodecAac, 2, AacConfig());
  }
  ASSERT_EQ(rig.packer->AddProgram(&first), kPackerOk);
  ASSERT_EQ(rig.packer->AddProgram(&second), kPackerOk);
  const auto& programs = rig.packer->programs();
  ASSERT_EQ(programs.size(), 2u);
  const uint16_t expected[2][4] = {{1, 0x10, 0x11, 0x12}, {2, 0x13, 0x14, 0x15}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(programs[i]->programNumber(), expected[i][0]);
    EXPECT_EQ(programs[i]->pmtPID(), expected[i][1]);
    EXPECT_EQ(programs[i]->GetStream(0)->pid(), expected[i][2]);
    EXPECT_EQ(programs[i]->pcrPID(), expected[i][2]);
    EXPECT_EQ(programs[i]->GetStream(1)->pid(), expected[i][3]);
    EXPECT_EQ(programs[i]->GetStream(2), nullptr);
  }
  EXPECT_EQ(rig.packer->patVersion(), 2);
  EXPECT_TRUE(rig.packer->insertADTS());
  // One slot pair for the packer: the streams set up last receive the frames.
  EXPECT_EQ(rig.packer->videoTSStream(), programs[1]->GetStream(0));
  EXPECT_EQ(rig.packer->audioTSStream(), programs[1]->GetStream(1));
  rig.packer->Reset();
  EXPECT_EQ(rig.packer->nextPID(), 0x10);
  EXPECT_EQ(rig.packer->patVersion(), 0);
  EXPECT_EQ(rig.packer->programs().size(), 2u);
}

struct KindCase {
  int32_t mainType;
  int32_t codec;
  std::vector<uint8_t> extra;
  uint8_t streamType;
  uint8_t streamId;
};

TEST(ProgramSetupTest, StreamTypeAndStreamIdTables) {
  const KindCase cases[] = {
      {kVideo, kMediaCodecH264, {}, 0x1B, 0xE0},
      {kVideo, kMediaCodecMpeg4Visual, {}, 0x10, 0xE0},
      {kVideo, kMediaCodecMpeg2Video, {}, 0x02, 0xE2},
      {kAudio, kMediaCodecMpeg1Audio, {}, 0x03, 0xC0},
      {kAudio, kMediaCodecAac, AacConfig(), 0x0F, 0xC0},
      {kAudio, kMediaCodecMpeg2Audio, {}, 0x04, 0xC2},
      {kAudio, kMediaCodecLatm, {}, 0x11, 0xC3},
      {kAudio, kMediaCodecPrivateAudioFirst, {}, 0x80, 0xBD},
      {kAudio, 130, {0xBE}, 0x82, 0xBE},
      {kAudio, 130, {0xBE, 0x00}, 0x82, 0xBD},
      {kAudio, kMediaCodecEac3, {}, 0x87, 0xBD},
      {kAudio, kMediaCodecLatmOwnId, {0xC5}, 0x11, 0xC5},
      {kAudio, kMediaCodecLatmOwnId, {}, 0x11, 0xC0},
  };
  for (const KindCase& c : cases) {
    PackerRig rig;
    TestFormat format;
    format.Add(c.mainType, c.codec, 1, c.extra);
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << c.codec;
    const TSStream* stream = rig.packer->programs()[0]->GetStream(0);
    EXPECT_EQ(stream->streamType(), c.streamType) << c.codec;
    EXPECT_EQ(stream->streamId(), c.streamId) << c.codec;
    EXPECT_EQ(stream->pid(), 0x11) << c.codec;
  }
}

struct PcrCase {
  const char* name;
  std::vector<std::pair<int32_t, int32_t>> streams;  // maintype, codec
  uint16_t pcrPID;
  std::vector<bool> carriers;  // per built stream
};

TEST(ProgramSetupTest, PcrCarrier) {
  const PcrCase cases[] = {
      {"video then AAC", {{kVideo, kMediaCodecH264}, {kAudio, kMediaCodecAac}}, 0x11, {true, false}},
      {"MPEG audio only", {{kAudio, kMediaCodecMpeg1Audio}}, 0x11, {true}},
      {"audio before video", {{kAudio, kMediaCodecMpeg1Audio}, {kVideo, kMediaCodecH264}}, 0x12, {false, true}},
      {"two videos", {{kVideo, kMediaCodecH264}, {kVideo, kMediaCodecMpeg4Visual}}, 0x11, {true, false}},
      {"data stream first", {{kData, 0}, {kAudio, kMediaCodecMpeg1Audio}}, 0x12, {true}},
      {"undefined video codec", {{kVideo, 7}, {kAudio, kMediaCodecMpeg1Audio}}, 0x12, {true}},
  };
  for (const PcrCase& c : cases) {
    PackerRig rig;
    TestFormat format;
    uint8_t id = 1;
    for (const auto& [mainType, codec] : c.streams) format.Add(mainType, codec, id++);
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << c.name;
    const palvex::PMTProgram* program = rig.packer->programs()[0];
    EXPECT_EQ(program->pcrPID(), c.pcrPID) << c.name;
    ASSERT_EQ(program->streams().size(), c.carriers.size()) << c.name;
    for (size_t i = 0; i < c.carriers.size(); ++i)
      EXPECT_EQ(program->GetStream(i)->carriesPCR(), c.carriers[i]) << c.name << " " << i;
  }
}

TEST(ProgramSetupTest, SecondVideoStreamReceivesVideoFrames) {
  PackerRig rig;
  TestFormat format;
  format.Add(kVideo, kMediaCodecH264, 1);
  MediaStream* second = format.Add(kVideo, kMediaCodecMpeg4Visual, 2);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  EXPECT_EQ(rig.packer->videoStream(), second);
  EXPECT_EQ(rig.packer->videoTSStream(), rig.packer->programs()[0]->GetStream(1));
  EXPECT_EQ(Frame(&rig, 1), kNoStream);
  EXPECT_EQ(Frame(&rig, 2), kPackerOk);
}

struct MarkerCase {
  const char* name;
  int32_t mainType;
  std::vector<uint8_t> extra;
  bool expected;  // time trailer for video, ADTS insertion for AAC
};

TEST(ProgramSetupTest, FormatMarkers) {
  const MarkerCase cases[] = {
      {"video, marker A", kVideo, kMarkerA, true},
      {"video, marker A + 1 byte", kVideo, Concat(kMarkerA, {0x00}), false},
      {"video, marker B", kVideo, kMarkerB, false},
      {"AAC, config + marker B", kAudio, Concat(AacConfig(), kMarkerB), false},
      {"AAC, marker B alone", kAudio, kMarkerB, false},
      {"AAC, 15 bytes", kAudio, std::vector<uint8_t>(kMarkerB.begin() + 1, kMarkerB.end()), true},
      {"AAC, marker B then 1 byte", kAudio, Concat(kMarkerB, {0x00}), true},
      {"AAC, config", kAudio, AacConfig(), true},
  };
  for (const MarkerCase& c : cases) {
    PackerRig rig;
    TestFormat format;
    format.Add(c.mainType, c.mainType == kVideo ? kMediaCodecH264 : kMediaCodecAac, 1, c.extra);
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << c.name;
    const bool actual = c.mainType == kVideo
                            ? rig.packer->programs()[0]->GetStream(0)->hasTimeTrailer()
                            : rig.packer->insertADTS();
    EXPECT_EQ(actual, c.expected) << c.name;
  }
}

// Regression: the ADTS switch stayed on from an AAC stream when a later audio stream of
// another codec took the audio slot, so its frames (here AC-3, on the raw path) went out
// behind an AAC header. The switch follows the stream in the slot; an undefined audio
// codec takes no slot and leaves it alone.
TEST(ProgramSetupTest, AdtsSwitchFollowsTheAudioSlot) {
  struct Case {
    const char* name;
    std::vector<int32_t> codecs;  // audio streams in format order
    bool insert;
  };
  const Case cases[] = {
      {"AAC", {kMediaCodecAac}, true},
      {"AAC, then AC-3", {kMediaCodecAac, kMediaCodecAc3}, false},
      {"AAC, then MPEG-1 audio", {kMediaCodecAac, kMediaCodecMpeg1Audio}, false},
      {"AAC, then LATM", {kMediaCodecAac, kMediaCodecLatm}, false},
      {"AC-3, then AAC", {kMediaCodecAc3, kMediaCodecAac}, true},
      {"AAC, then an undefined codec", {kMediaCodecAac, 9}, true},
  };
  for (const Case& c : cases) {
    PackerRig rig;
    TestFormat format;
    uint8_t id = 2;
    for (int32_t codec : c.codecs) format.Add(kAudio, codec, id++, AacConfig());
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << c.name;
    EXPECT_EQ(rig.packer->insertADTS(), c.insert) << c.name;
  }
  // Through the frame: the AC-3 frame in the slot leaves as it came.
  PackerRig rig;
  TestFormat format;
  format.Add(kAudio, kMediaCodecAac, 2, AacConfig());
  format.Add(kAudio, kMediaCodecAc3, 3);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  std::vector<uint8_t> ac3(100, 0x55);
  ac3[0] = 0x0B;  // AC-3 syncword 0x0B77
  ac3[1] = 0x77;
  FakeFrame frame(ac3, 0);
  ASSERT_EQ(rig.packer->MuxFrame(3, &frame), kPackerOk);
  EXPECT_EQ(frame.Bytes(), ac3);
}

TEST(ProgramSetupTest, UndefinedStreamsUseUpTheirPidOnly) {
  PackerRig rig;
  TestFormat format;
  format.Add(kVideo, 3, 1);
  format.Add(kAudio, 9, 2, AacConfig());
  format.Add(kData, 0, 3);
  format.Add(kMediaMainTypeDataAlt, 0, 4);
  format.Add(kAudio, kMediaCodecMpeg1Audio, 5);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  palvex::PMTProgram* program = rig.packer->programs()[0];
  ASSERT_EQ(program->streams().size(), 1u);
  EXPECT_EQ(program->GetStream(0)->pid(), 0x15);
  EXPECT_EQ(program->pcrPID(), 0x15);
  EXPECT_EQ(program->WritePSI(nullptr), 16 + 5);
  EXPECT_EQ(rig.packer->videoStream(), nullptr);
  EXPECT_FALSE(rig.packer->adtsBuilt());  // codec 9 is not audio the tables know
  EXPECT_EQ(Frame(&rig, 1), kNoStream);
  EXPECT_EQ(Frame(&rig, 3), kNoStream);
  EXPECT_EQ(Frame(&rig, 5), kPackerOk);
}

TEST(ProgramSetupTest, RefusedFormats) {
  PackerRig rig;
  TestFormat empty;
  EXPECT_EQ(rig.packer->AddProgram(&empty), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->nextPID(), 0x11);  // the PMT PID stays taken
  TestFormat nothingCarried;
  nothingCarried.Add(kData, 0, 1);
  nothingCarried.Add(kVideo, 9, 2);
  EXPECT_EQ(rig.packer->AddProgram(&nothingCarried), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->AddProgram(nullptr), kProgramNotBuilt);
  EXPECT_TRUE(rig.packer->programs().empty());
  EXPECT_EQ(rig.packer->patVersion(), 0);
}

TEST(ProgramSetupTest, PatHoldsAtMost42Programs) {
  PackerRig rig;
  TestFormat format;
  format.Add(kAudio, kMediaCodecMpeg1Audio, 1);
  for (int i = 0; i < 42; ++i) ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << i;
  const uint16_t nextPID = rig.packer->nextPID();
  EXPECT_EQ(rig.packer->AddProgram(&format), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->programs().size(), 42u);
  EXPECT_EQ(rig.packer->patVersion(), 42);
  EXPECT_EQ(rig.packer->nextPID(), nextPID);
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  PALVEX_NEEDS_LIBDVBPSI();
  const DecodedPat pat = DecodePat(rig.TakePackets().at(0));
  ASSERT_TRUE(pat.decoded);
  EXPECT_EQ(pat.programs.size(), 42u);
  EXPECT_EQ(pat.programs.back(), (std::pair<uint16_t, uint16_t>{42, 0x10 + 2 * 41}));
}

// A refused program leaves the packer as it was: programs, PAT version, routing slots,
// ADTS switch and template.
TEST(ProgramSetupTest, PmtHoldsAtMost33StreamsAndRefusalRestoresState) {
  PackerRig rig;
  TestFormat kept;
  kept.Add(kVideo, kMediaCodecH264, 1);
  kept.Add(kAudio, kMediaCodecAac, 2, AacConfig());
  ASSERT_EQ(rig.packer->AddProgram(&kept), kPackerOk);
  TSStream* video = rig.packer->videoTSStream();
  TSStream* audio = rig.packer->audioTSStream();
  const std::vector<uint8_t> header(rig.packer->adtsHeader(), rig.packer->adtsHeader() + 7);

  TestFormat fits;
  TestFormat tooLong;
  for (TestFormat* f : {&fits, &tooLong}) {
    f->Add(kVideo, kMediaCodecMpeg4Visual, 3);
    for (int i = 1; i < 33; ++i) f->Add(kAudio, kMediaCodecAac, 4, Concat({0x13, 0x88}, kMarkerB));
  }
  tooLong.Add(kAudio, kMediaCodecMpeg1Audio, 5);
  EXPECT_EQ(rig.packer->AddProgram(&tooLong), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->programs().size(), 1u);
  EXPECT_EQ(rig.packer->patVersion(), 1);
  EXPECT_EQ(rig.packer->videoTSStream(), video);
  EXPECT_EQ(rig.packer->audioTSStream(), audio);
  EXPECT_TRUE(rig.packer->insertADTS());
  EXPECT_EQ(std::vector<uint8_t>(rig.packer->adtsHeader(), rig.packer->adtsHeader() + 7), header);
  EXPECT_EQ(Frame(&rig, 1), kPackerOk);

  ASSERT_EQ(rig.packer->AddProgram(&fits), kPackerOk);
  EXPECT_EQ(rig.packer->programs()[1]->WritePSI(nullptr), 16 + 5 * 33);
  EXPECT_FALSE(rig.packer->insertADTS());
  ASSERT_NE(rig.packer->programs()[1]->ToTS(), nullptr);
  PALVEX_NEEDS_LIBDVBPSI();
  const DecodedPmt pmt = DecodePmt(rig.TakePackets().back(), 2);
  ASSERT_TRUE(pmt.decoded);
  EXPECT_EQ(pmt.streams.size(), 33u);
}

TEST(ProgramSetupTest, NoPidAbove0x1FFE) {
  PackerRig rig;
  TestFormat empty;
  while (rig.packer->nextPID() < 0x1FFD) ASSERT_EQ(rig.packer->AddProgram(&empty), kProgramNotBuilt);
  TestFormat one;
  one.Add(kAudio, kMediaCodecMpeg1Audio, 1);
  ASSERT_EQ(rig.packer->AddProgram(&one), kPackerOk);  // PMT 0x1FFD, stream 0x1FFE
  EXPECT_EQ(rig.packer->programs()[0]->GetStream(0)->pid(), 0x1FFE);
  EXPECT_EQ(rig.packer->AddProgram(&one), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->AddProgram(&empty), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->nextPID(), 0x1FFF);  // never wraps round to the PAT's PID
  EXPECT_EQ(rig.packer->programs().size(), 1u);
  rig.packer->Reset();
  EXPECT_EQ(rig.packer->AddProgram(&one), kPackerOk);
}

TEST(ProgramSetupTest, RemoveProgram) {
  PackerRig rig;
  TestFormat a;
  TestFormat b;
  TestFormat stranger;
  a.Add(kVideo, kMediaCodecH264, 1);
  b.Add(kVideo, kMediaCodecH264, 2);
  EXPECT_EQ(rig.packer->RemoveProgram(&a), kNoSuchProgram);
  ASSERT_EQ(rig.packer->AddProgram(&a), kPackerOk);
  ASSERT_EQ(rig.packer->AddProgram(&b), kPackerOk);
  EXPECT_EQ(rig.packer->RemoveProgram(&stranger), kNoSuchProgram);
  EXPECT_EQ(rig.packer->RemoveProgram(nullptr), kNoSuchProgram);
  EXPECT_EQ(rig.packer->programs().size(), 2u);
  // Removing a program whose stream is not routed keeps the slots.
  ASSERT_EQ(rig.packer->RemoveProgram(&a), kPackerOk);
  EXPECT_EQ(rig.packer->patVersion(), 3);
  EXPECT_EQ(Frame(&rig, 2), kPackerOk);
  // A new program fills the program_number left free.
  TestFormat c;
  c.Add(kAudio, kMediaCodecMpeg1Audio, 3);
  ASSERT_EQ(rig.packer->AddProgram(&c), kPackerOk);
  EXPECT_EQ(rig.packer->programs()[1]->programNumber(), 1);
  // Removing the routed stream's program empties its slot: its frames find no stream.
  ASSERT_EQ(rig.packer->RemoveProgram(&b), kPackerOk);
  EXPECT_EQ(rig.packer->videoTSStream(), nullptr);
  EXPECT_EQ(rig.packer->videoStream(), nullptr);
  EXPECT_EQ(Frame(&rig, 2), kNoStream);
  EXPECT_EQ(Frame(&rig, 3), kPackerOk);
}

TEST(ProgramSetupTest, StopAndRemoveAllEmptyTheSlots) {
  for (bool stop : {true, false}) {
    PackerRig rig;
    TestFormat format;
    format.Add(kVideo, kMediaCodecH264, 1);
    format.Add(kAudio, kMediaCodecAac, 2, AacConfig());
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
    ASSERT_EQ(Frame(&rig, 1), kPackerOk);
    const int32_t result = stop ? rig.packer->StopPacker() : rig.packer->RemoveAllPrograms();
    EXPECT_EQ(result, kPackerOk);
    EXPECT_TRUE(rig.packer->programs().empty());
    EXPECT_EQ(rig.packer->psiCount(), stop ? 0 : 1);
    EXPECT_EQ(rig.packer->patVersion(), 1);
    EXPECT_EQ(rig.packer->nextPID(), 0x13);
    EXPECT_EQ(rig.packer->videoTSStream(), nullptr);
    EXPECT_EQ(rig.packer->audioTSStream(), nullptr);
    rig.TakePackets();
    EXPECT_EQ(Frame(&rig, 1), kNoStream);
    EXPECT_EQ(Frame(&rig, 2), kNoStream);
    EXPECT_TRUE(rig.TakePackets().empty());
    EXPECT_TRUE(rig.packer->insertADTS());  // ADTS state survives a stop
  }
}

}  // namespace
}  // namespace palvex_test
