// AddProgram and its refusals, RemoveProgram, the lifecycle operations, and the routing
// slots they leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "packer_fixture.h"
#include "support/fake_frame.h"

namespace palvex_test {
namespace {

using palvex::TSPacker;

using palvex::kFrameRefused;
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
  first.Add(kVideo, kMediaCodecH264, 1);
  first.Add(kAudio, kMediaCodecAAC, 2, AacConfig());
  second.Add(kVideo, kMediaCodecH264, 3);
  second.Add(kAudio, kMediaCodecAAC, 4, AacConfig());
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
  // Every stream receives the frames of its own id.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rig.packer->RoutedStream(i + 1), programs[i / 2]->GetStream(i % 2));
  EXPECT_TRUE(rig.packer->RoutedStream(2)->adts().insert());
  EXPECT_TRUE(rig.packer->RoutedStream(4)->adts().insert());
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
      {kVideo, kMediaCodecMPEG4Visual, {}, 0x10, 0xE0},
      {kVideo, kMediaCodecMPEG2Video, {}, 0x02, 0xE2},
      {kAudio, kMediaCodecMPEG1Audio, {}, 0x03, 0xC0},
      {kAudio, kMediaCodecAAC, AacConfig(), 0x0F, 0xC0},
      {kAudio, kMediaCodecMPEG2Audio, {}, 0x04, 0xC2},
      {kAudio, kMediaCodecLATM, {}, 0x11, 0xC3},
      {kAudio, kMediaCodecPrivateAudioFirst, {}, 0x80, 0xBD},
      {kAudio, 130, {0xBE}, 0x82, 0xBE},
      {kAudio, 130, {0xBE, 0x00}, 0x82, 0xBD},
      {kAudio, kMediaCodecEAC3, {}, 0x87, 0xBD},
      {kAudio, kMediaCodecLATMOwnId, {0xC5}, 0x11, 0xC5},
      {kAudio, kMediaCodecLATMOwnId, {}, 0x11, 0xC0},
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
      {"video then AAC", {{kVideo, kMediaCodecH264}, {kAudio, kMediaCodecAAC}}, 0x11, {true, false}},
      {"MPEG audio only", {{kAudio, kMediaCodecMPEG1Audio}}, 0x11, {true}},
      {"audio before video", {{kAudio, kMediaCodecMPEG1Audio}, {kVideo, kMediaCodecH264}}, 0x12, {false, true}},
      {"two videos", {{kVideo, kMediaCodecH264}, {kVideo, kMediaCodecMPEG4Visual}}, 0x11, {true, false}},
      {"data stream first", {{kData, 0}, {kAudio, kMediaCodecMPEG1Audio}}, 0x12, {true}},
      {"undefined video codec", {{kVideo, 7}, {kAudio, kMediaCodecMPEG1Audio}}, 0x12, {true}},
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

TEST(ProgramSetupTest, BothVideoStreamsReceiveTheirFrames) {
  PackerRig rig;
  TestFormat format;
  MediaStream* first = format.Add(kVideo, kMediaCodecH264, 1);
  MediaStream* second = format.Add(kVideo, kMediaCodecMPEG4Visual, 2);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  EXPECT_EQ(rig.packer->RoutedStream(1)->description(), first);
  EXPECT_EQ(rig.packer->RoutedStream(2)->description(), second);
  EXPECT_EQ(rig.packer->RoutedStream(2), rig.packer->programs()[0]->GetStream(1));
  EXPECT_EQ(Frame(&rig, 1), kPackerOk);
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
    format.Add(c.mainType, c.mainType == kVideo ? kMediaCodecH264 : kMediaCodecAAC, 1, c.extra);
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk) << c.name;
    const bool actual = c.mainType == kVideo
                            ? rig.packer->programs()[0]->GetStream(0)->hasTimeTrailer()
                            : rig.packer->programs()[0]->GetStream(0)->adts().insert();
    EXPECT_EQ(actual, c.expected) << c.name;
  }
}

// Regression: the ADTS switch of the packer stayed on from an AAC stream when a later audio
// stream of another codec took the audio slot, so its frames went out behind an AAC header.
// The framing now belongs to each stream: armed on AAC streams only.
TEST(ProgramSetupTest, AdtsFramingBelongsToEachAacStream) {
  PackerRig rig;
  TestFormat format;
  const int32_t codecs[] = {kMediaCodecAAC, kMediaCodecAC3, kMediaCodecMPEG1Audio, kMediaCodecLATM, kMediaCodecAAC};
  uint8_t id = 2;
  for (int32_t codec : codecs) format.Add(kAudio, codec, id++, AacConfig());
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  for (uint8_t i = 0; i < 5; ++i) {
    EXPECT_EQ(rig.packer->RoutedStream(2 + i)->adts().insert(), codecs[i] == kMediaCodecAAC) << int(i);
  }
  // Through the frame: the AC-3 frame leaves as it came, in a PES packet on private_stream_1.
  std::vector<uint8_t> ac3(100, 0x55);
  ac3[0] = 0x0B;  // AC-3 syncword 0x0B77
  ac3[1] = 0x77;
  FakeFrame frame(ac3, 0);
  ASSERT_EQ(rig.packer->MuxFrame(3, &frame), kPackerOk);
  const auto packets = rig.TakePackets();
  ASSERT_GE(packets.size(), 3u);
  const auto& first = packets.back();  // PAT, PMT, then the one packet of the frame
  EXPECT_TRUE(std::equal(ac3.begin(), ac3.end(), first.end() - 100));
  EXPECT_EQ(first[188 - 100 - 19 + 3], 0xBD);  // stream_id
}

TEST(ProgramSetupTest, UndefinedStreamsUseUpTheirPidOnly) {
  PackerRig rig;
  TestFormat format;
  format.Add(kVideo, 3, 1);
  format.Add(kAudio, 9, 2, AacConfig());
  format.Add(kData, 0, 3);
  format.Add(kMediaMainTypeDataAlt, 0, 4);
  format.Add(kAudio, kMediaCodecMPEG1Audio, 5);
  ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
  palvex::PMTProgram* program = rig.packer->programs()[0];
  ASSERT_EQ(program->streams().size(), 1u);
  EXPECT_EQ(program->GetStream(0)->pid(), 0x15);
  EXPECT_EQ(program->pcrPID(), 0x15);
  EXPECT_EQ(program->WritePSI(nullptr), 16 + 5);
  EXPECT_EQ(rig.packer->RoutedStream(1), nullptr);
  EXPECT_EQ(rig.packer->RoutedStream(2), nullptr);  // codec 9 is not audio the tables know
  EXPECT_EQ(Frame(&rig, 1), kFrameRefused);
  EXPECT_EQ(Frame(&rig, 3), kFrameRefused);
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
  std::vector<std::unique_ptr<TestFormat>> formats;
  std::vector<MediaFormat*> listed;
  for (int i = 0; i < 43; ++i) {
    formats.push_back(std::make_unique<TestFormat>());
    formats.back()->Add(kAudio, kMediaCodecMPEG1Audio, uint8_t(i + 1));
  }
  for (int i = 0; i < 42; ++i) {
    EXPECT_EQ(TSPacker::CheckFormat(formats[i].get(), listed), nullptr) << i;
    listed.push_back(formats[i].get());
    ASSERT_EQ(rig.packer->AddProgram(formats[i].get()), kPackerOk) << i;
  }
  const uint16_t nextPID = rig.packer->nextPID();
  EXPECT_NE(TSPacker::CheckFormat(formats[42].get(), listed), nullptr);
  EXPECT_EQ(rig.packer->AddProgram(formats[42].get()), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->programs().size(), 42u);
  EXPECT_EQ(rig.packer->patVersion(), 42);
  EXPECT_EQ(rig.packer->nextPID(), nextPID);
  ASSERT_EQ(rig.packer->PATToTS(), kPackerOk);
  PALVEX_NEEDS_LIBDVBPSI();
  const std::vector<DvbpsiPAT> pat = PatOf(rig.TakePackets().at(0));
  ASSERT_EQ(pat.size(), 1u);
  EXPECT_EQ(pat[0].programs.size(), 42u);
  EXPECT_EQ(pat[0].programs.back(), (std::pair<int, int>{42, 0x10 + 2 * 41}));
}

// A refused program leaves the packer as it was: programs, PAT version, routing table and
// the streams' ADTS framing.
TEST(ProgramSetupTest, PmtHoldsAtMost33StreamsAndRefusalRestoresState) {
  PackerRig rig;
  TestFormat kept;
  kept.Add(kVideo, kMediaCodecH264, 1);
  kept.Add(kAudio, kMediaCodecAAC, 2, AacConfig());
  ASSERT_EQ(rig.packer->AddProgram(&kept), kPackerOk);
  TSStream* video = rig.packer->RoutedStream(1);
  TSStream* audio = rig.packer->RoutedStream(2);

  TestFormat fits;
  TestFormat tooLong;
  for (TestFormat* f : {&fits, &tooLong}) {
    f->Add(kVideo, kMediaCodecMPEG4Visual, 3);
    for (int i = 1; i < 33; ++i) f->Add(kAudio, kMediaCodecAAC, uint8_t(9 + i), Concat({0x13, 0x88}, kMarkerB));
  }
  tooLong.Add(kAudio, kMediaCodecMPEG1Audio, 5);
  EXPECT_NE(TSPacker::CheckFormat(&tooLong, {&kept}), nullptr);
  EXPECT_EQ(TSPacker::CheckFormat(&fits, {&kept}), nullptr);
  EXPECT_EQ(rig.packer->AddProgram(&tooLong), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->programs().size(), 1u);
  EXPECT_EQ(rig.packer->patVersion(), 1);
  EXPECT_EQ(rig.packer->RoutedStream(1), video);
  EXPECT_EQ(rig.packer->RoutedStream(2), audio);
  for (int id = 3; id < 256; ++id) EXPECT_EQ(rig.packer->RoutedStream(id), nullptr) << id;
  EXPECT_TRUE(audio->adts().insert());
  EXPECT_EQ(Frame(&rig, 1), kPackerOk);

  ASSERT_EQ(rig.packer->AddProgram(&fits), kPackerOk);
  EXPECT_EQ(rig.packer->programs()[1]->WritePSI(nullptr), 16 + 5 * 33);
  EXPECT_FALSE(rig.packer->RoutedStream(10)->adts().insert());
  EXPECT_TRUE(audio->adts().insert());
  ASSERT_NE(rig.packer->programs()[1]->ToTS(), nullptr);
  PALVEX_NEEDS_LIBDVBPSI();
  const std::vector<DvbpsiPMT> pmt = PmtOf(rig.TakePackets().back(), 2);
  ASSERT_EQ(pmt.size(), 1u);
  EXPECT_EQ(pmt[0].streams.size(), 33u);
}

TEST(ProgramSetupTest, NoPidAbove0x1FFE) {
  PackerRig rig;
  TestFormat empty;
  while (rig.packer->nextPID() < 0x1FFD) ASSERT_EQ(rig.packer->AddProgram(&empty), kProgramNotBuilt);
  TestFormat one;
  one.Add(kAudio, kMediaCodecMPEG1Audio, 1);
  TestFormat two;
  two.Add(kAudio, kMediaCodecMPEG1Audio, 2);
  ASSERT_EQ(rig.packer->AddProgram(&one), kPackerOk);  // PMT 0x1FFD, stream 0x1FFE
  EXPECT_EQ(rig.packer->programs()[0]->GetStream(0)->pid(), 0x1FFE);
  EXPECT_EQ(rig.packer->AddProgram(&two), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->AddProgram(&empty), kProgramNotBuilt);
  EXPECT_EQ(rig.packer->nextPID(), 0x1FFF);  // never wraps round to the PAT's PID
  EXPECT_EQ(rig.packer->programs().size(), 1u);
  rig.packer->Reset();
  EXPECT_EQ(rig.packer->AddProgram(&two), kPackerOk);
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
  // Removing a program leaves the other programs' routes.
  ASSERT_EQ(rig.packer->RemoveProgram(&a), kPackerOk);
  EXPECT_EQ(rig.packer->patVersion(), 3);
  EXPECT_EQ(Frame(&rig, 2), kPackerOk);
  // A new program fills the program_number left free.
  TestFormat c;
  c.Add(kAudio, kMediaCodecMPEG1Audio, 3);
  ASSERT_EQ(rig.packer->AddProgram(&c), kPackerOk);
  EXPECT_EQ(rig.packer->programs()[1]->programNumber(), 1);
  // Removing a program empties its streams' routes: their frames find no stream.
  ASSERT_EQ(rig.packer->RemoveProgram(&b), kPackerOk);
  EXPECT_EQ(rig.packer->RoutedStream(2), nullptr);
  EXPECT_EQ(Frame(&rig, 2), kFrameRefused);
  EXPECT_EQ(Frame(&rig, 3), kPackerOk);
}

TEST(ProgramSetupTest, StopAndRemoveAllEmptyTheSlots) {
  for (bool stop : {true, false}) {
    PackerRig rig;
    TestFormat format;
    format.Add(kVideo, kMediaCodecH264, 1);
    format.Add(kAudio, kMediaCodecAAC, 2, AacConfig());
    ASSERT_EQ(rig.packer->AddProgram(&format), kPackerOk);
    ASSERT_EQ(Frame(&rig, 1), kPackerOk);
    const int32_t result = stop ? rig.packer->StopPacker() : rig.packer->RemoveAllPrograms();
    EXPECT_EQ(result, kPackerOk);
    EXPECT_TRUE(rig.packer->programs().empty());
    EXPECT_EQ(rig.packer->psiCount(), stop ? 0 : 1);
    EXPECT_EQ(rig.packer->patVersion(), 1);
    EXPECT_EQ(rig.packer->nextPID(), 0x13);
    EXPECT_EQ(rig.packer->RoutedStream(1), nullptr);
    EXPECT_EQ(rig.packer->RoutedStream(2), nullptr);
    rig.TakePackets();
    EXPECT_EQ(Frame(&rig, 1), kFrameRefused);
    EXPECT_EQ(Frame(&rig, 2), kFrameRefused);
    EXPECT_TRUE(rig.TakePackets().empty());
  }
}

}  // namespace
}  // namespace palvex_test
