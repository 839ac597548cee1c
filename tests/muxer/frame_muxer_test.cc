#include "muxer/frame_muxer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/muxer_fixtures.h"
#include "support/test_format.h"
#include "support/ts_checker.h"

namespace {

using palvex_test::FakeFrame;
using palvex_test::H264KeyFrame;
using palvex_test::MuxerPtr;
using palvex_test::TsChecker;

constexpr uint8_t kVideoId = 1;
constexpr uint8_t kAudioId = 2;

std::unique_ptr<MediaFormat> VideoAudioFormat(int audioCodec = kMediaCodecAAC, uint8_t videoId = kVideoId,
                                              uint8_t audioId = kAudioId) {
  auto format = std::make_unique<MediaFormat>();
  palvex_test::AddVideo(format.get(), kMediaCodecH264, videoId);
  palvex_test::AddAudio(format.get(), audioCodec, audioId, palvex_test::AacConfig());
  return format;
}

MuxerPtr StartedMuxer(MediaFormat* format) {
  MuxerPtr mux(iptv::CreatePalvex());
  EXPECT_NE(mux->AddMediaFormat(format), nullptr);
  EXPECT_EQ(mux->Open(), 0);
  EXPECT_EQ(mux->Start(), 0);
  return mux;
}

struct Output {
  int result = 0;
  std::vector<uint8_t> bytes;
};

Output Feed(iptv::IVorlux* mux, int streamId, FakeFrame* frame) {
  uint8_t* data = nullptr;
  int length = -7;
  Output out;
  out.result = mux->ProcessFrame(streamId, frame, &data, &length);
  if (out.result == 0 && length > 0) out.bytes.assign(data, data + length);
  return out;
}

constexpr auto Pid = palvex_host::PacketPid;

TEST(FrameMuxerTest, BufferGrowsFromTheFrameSize) {
  struct Case {
    int size;
    std::string firstMessage;
    std::string secondMessage;
  };
  const Case cases[] = {
      {85227, "", ""},
      {85228, "oldsize: 102272 ,newsize: 102273 \n", "oldsize: 102272 ,newsize: 102273 \n"},
      {100000, "oldsize: 102272 ,newsize: 120000 \n", "oldsize: 119944 ,newsize: 120000 \n"},
  };
  auto format = VideoAudioFormat();
  for (const Case& c : cases) {
    MuxerPtr mux = StartedMuxer(format.get());
    FakeFrame frame(std::vector<uint8_t>(static_cast<size_t>(c.size), 0x11), 0);
    testing::internal::CaptureStdout();
    Feed(mux.get(), 99, &frame);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.firstMessage) << c.size;
    testing::internal::CaptureStdout();
    Feed(mux.get(), 99, &frame);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.secondMessage) << c.size;
  }
}

TEST(FrameMuxerTest, LargeFramesComeOutWhole) {
  auto format = VideoAudioFormat();
  MuxerPtr mux = StartedMuxer(format.get());
  TsChecker checker;
  for (size_t payload : {size_t{200000}, size_t{1000000}, size_t{30}}) {
    FakeFrame frame(H264KeyFrame(payload), 40000);
    Output out = Feed(mux.get(), kVideoId, &frame);
    ASSERT_EQ(out.result, 0);
    checker.Feed(out.bytes.data(), out.bytes.size());
    // Payload bytes of the frame's packets add up to the frame plus its PES header.
    size_t carried = 0;
    for (size_t off = 0, size = 0; off < out.bytes.size(); off += 188) {
      if (Pid(&out.bytes[off]) == 0x11 && palvex_host::PacketPayload(&out.bytes[off], &size)) carried += size;
    }
    EXPECT_EQ(carried, payload + 24 + 19) << payload;
  }
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
}

TEST(FrameMuxerTest, EveryAddedFormatGetsItsOwnCopyAndProgram) {
  auto first = VideoAudioFormat();
  auto second = VideoAudioFormat(kMediaCodecMPEG1Audio, 3, 4);
  second->SetTextA("second");
  MuxerPtr mux(iptv::CreatePalvex());
  EXPECT_EQ(mux->AddMediaFormat(first.get()), first.get());
  EXPECT_EQ(mux->AddMediaFormat(second.get()), second.get());
  std::vector<MediaFormat*> formats = mux->GetMediaFormats();
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_NE(formats[0], formats[1]);
  EXPECT_EQ(formats[0]->GetTextA(), nullptr);
  EXPECT_STREQ(formats[1]->GetTextA(), "second");
  // The host's own pointer never matches a list entry.
  EXPECT_EQ(mux->RemoveMediaFormat(first.get()), -1);
  ASSERT_EQ(mux->Open(), 0);
  ASSERT_EQ(mux->Start(), 0);
  FakeFrame frame(H264KeyFrame(10), 0);
  Output out = Feed(mux.get(), kVideoId, &frame);
  ASSERT_GE(out.bytes.size(), 3 * 188u);
  const uint8_t* pat = out.bytes.data();
  EXPECT_EQ(Pid(pat), 0);
  EXPECT_EQ(pat[5], 0x00);           // table_id
  EXPECT_EQ(pat[7], 9 + 4 * 2);      // section_length: two programs
  EXPECT_EQ(Pid(pat + 188), 0x10);   // PMT of the first program
  EXPECT_EQ(Pid(pat + 376), 0x13);   // PMT of the second program
  // Removing a format while its program runs keeps the program's streams alive.
  EXPECT_EQ(mux->RemoveMediaFormat(formats[1]), 0);
  EXPECT_EQ(mux->GetMediaFormats().size(), 1u);
  EXPECT_EQ(Feed(mux.get(), kVideoId, &frame).result, 0);
  EXPECT_EQ(mux->Stop(), 0);
  EXPECT_EQ(mux->RemoveMediaFormat(formats[0]), 0);
  EXPECT_TRUE(mux->GetMediaFormats().empty());
}

TEST(FrameMuxerTest, RemovingAnUnclosedMuxerReleasesEverything) {
  auto format = VideoAudioFormat();
  iptv::IVorlux* mux = iptv::CreatePalvex();
  mux->AddMediaFormat(format.get());
  mux->Open();
  mux->Start();
  FakeFrame frame(H264KeyFrame(1000), 0);
  Feed(mux, kVideoId, &frame);
  mux->Reserved(12345);
  EXPECT_EQ(iptv::RemovePalvex(mux), iptv::RESULT_SUCCESS);  // LeakSanitizer checks the rest
}

TEST(FrameMuxerTest, ReservedChangesNoResult) {
  auto format = VideoAudioFormat();
  MuxerPtr plain = StartedMuxer(format.get());
  MuxerPtr reserved = StartedMuxer(format.get());
  reserved->Reserved(-1);
  FakeFrame a(H264KeyFrame(500), 0);
  FakeFrame b(H264KeyFrame(500), 0);
  EXPECT_EQ(Feed(plain.get(), kVideoId, &a).bytes, Feed(reserved.get(), kVideoId, &b).bytes);
}

}  // namespace

namespace {

// A host frame of exactly GetSize() bytes (ASan sees any access past them), and one frame
// object handed to two muxers, as a head-end with one source and two outputs does: both
// muxers write the same packets, and the frame stays as the host made it.
TEST(FrameMuxerTest, HostFramesAreOnlyRead) {
  auto format = VideoAudioFormat();
  MuxerPtr muxers[2] = {MuxerPtr(iptv::CreatePalvex()), MuxerPtr(iptv::CreatePalvex())};
  for (MuxerPtr& mux : muxers) {
    ASSERT_EQ(mux->AddMediaFormat(format.get()), format.get());
    ASSERT_EQ(mux->Open(), 0);
    ASSERT_EQ(mux->Start(), 0);
  }
  struct Case {
    int streamId;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {kVideoId, H264KeyFrame(1000)}, {kAudioId, std::vector<uint8_t>(1, 0x21)},
      {kAudioId, std::vector<uint8_t>(177, 0x22)}, {kAudioId, std::vector<uint8_t>(8184, 0x23)},
      {kAudioId, std::vector<uint8_t>(8185, 0x24)},  // too long for ADTS: refused, nothing written
  };
  int64_t time = 0;
  for (const Case& c : cases) {
    FakeFrame frame(c.bytes, time, FakeFrame::Room::kExact);
    const Output first = Feed(muxers[0].get(), c.streamId, &frame);
    const Output second = Feed(muxers[1].get(), c.streamId, &frame);
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.bytes, second.bytes) << c.bytes.size();
    EXPECT_EQ(frame.Bytes(), c.bytes);
    EXPECT_EQ(frame.GetSize(), int(c.bytes.size()));
    EXPECT_EQ(frame.setSizeCalls(), 0);
    if (c.streamId == kAudioId && c.bytes.size() <= 8184) {
      // One ADTS header behind the 19-byte PES header of the frame's first packet.
      const uint8_t* p = first.bytes.data() + first.bytes.size() - 188 * ((c.bytes.size() + 7 + 19 + 183) / 184);
      const uint8_t* pes = p + ((p[3] & 0x20) ? 5 + p[4] : 4);
      EXPECT_EQ(pes[19], 0xFF);
      EXPECT_EQ(pes[20], 0xF1);
      EXPECT_EQ(pes[4] << 8 | pes[5], int(c.bytes.size() + 7 + 13));  // PES_packet_length
    }
    time += 40000;
  }
}

}  // namespace
