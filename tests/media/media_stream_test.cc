#include "palvex/media_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kExtra16[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                              0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const uint8_t kExtra2[2] = {0x11, 0x90};

// The record of a stream; the size query must agree with the write and the write must stay
// inside the length it reports.
Bytes Record(MediaStream& stream) {
  int query = -1;
  stream.Serialize(nullptr, &query);
  Bytes out(size_t(query) + 8, 0xEE);
  int written = -1;
  stream.Serialize(out.data(), &written);
  EXPECT_EQ(written, query);
  for (size_t i = size_t(query); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past " << query;
  out.resize(size_t(query));
  return out;
}

// UnSerialize from a heap block of exactly the given bytes, so ASan sees any overread;
// returns what was printed.
std::string UnSerializeExact(MediaStream& stream, const Bytes& bytes, int size) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  testing::internal::CaptureStdout();
  stream.UnSerialize(exact.get(), size);
  return testing::internal::GetCapturedStdout();
}

void MakeVideo(VideoStream& video) {
  VideoFormatInfo block{};
  block.videoParam1 = 1280;
  block.videoParam2 = 720;
  block.frameRate = 25.0f;
  block.extraSize = sizeof kExtra16;
  block.extraData = const_cast<uint8_t*>(kExtra16);
  video.SetCodec(0);
  video.SetStreamId(7);
  video.SetFormat(&block);
}

void MakeAudio(AudioStream& audio) {
  AudioFormatInfo block{};
  block.audioParam1 = 48000;
  block.audioParam2 = 2;
  block.extraSize = sizeof kExtra2;
  block.extraData = const_cast<uint8_t*>(kExtra2);
  audio.SetMainType(1);
  audio.SetCodec(0x0F);
  audio.SetStreamId(9);
  audio.SetFormat(&block);
}

TEST(MediaStreamTest, VideoRecordMatchesWorkedExample) {
  VideoStream video;
  MakeVideo(video);
  const Bytes expected = {
      0x45, 0x00, 0x00, 0x00,  // record length 69
      0x0D, 0x00, 0x00, 0x00,  // header length 13
      0x00, 0x00, 0x00, 0x00,  // maintype 0
      0x00, 0x00, 0x00, 0x00,  // codec 0
      0x07,                    // streamId
      0x00, 0x05, 0x00, 0x00,  // videoParam1 1280
      0xD0, 0x02, 0x00, 0x00,  // videoParam2 720
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // reserved
      0x00, 0x00, 0xC8, 0x41,  // frameRate 25.0
      0x10, 0x00, 0x00, 0x00,  // E 16
      0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,  // extradata
      0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
  EXPECT_EQ(Record(video), expected);
}

TEST(MediaStreamTest, AudioAndDataRecordLayouts) {
  AudioStream audio;
  MakeAudio(audio);
  const Bytes a = Record(audio);
  ASSERT_EQ(a.size(), 47u);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 17),
            (Bytes{47, 0, 0, 0, 13, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 9}));
  EXPECT_EQ(Bytes(a.begin() + 21, a.begin() + 29), (Bytes{0x80, 0xBB, 0, 0, 2, 0, 0, 0}));  // params
  EXPECT_EQ(Bytes(a.begin() + 41, a.end()), (Bytes{2, 0, 0, 0, 0x11, 0x90}));  // E, extradata

  DataStream data;
  data.SetMainType(2);
  data.SetCodec(42);
  data.SetStreamId(0xC0);
  EXPECT_EQ(Record(data), (Bytes{17, 0, 0, 0, 13, 0, 0, 0, 2, 0, 0, 0, 42, 0, 0, 0, 0xC0}));
}

TEST(MediaStreamTest, RecordLengthsWithoutExtradata) {
  VideoStream video;
  VideoFormatInfo vblock{};
  vblock.extraSize = 99;  // without a pointer the size counts for nothing
  video.SetFormat(&vblock);
  AudioStream audio;
  AudioFormatInfo ablock{};
  audio.SetFormat(&ablock);
  DataStream data2, data3;
  data2.SetMainType(2);
  data3.SetMainType(3);
  struct Case {
    MediaStream* stream;
    size_t length;
  };
  for (const Case& c : {Case{&video, 53}, Case{&audio, 45}, Case{&data2, 17}, Case{&data3, 17}})
    EXPECT_EQ(Record(*c.stream).size(), c.length) << c.length;
  EXPECT_EQ(static_cast<VideoFormatInfo*>(video.GetFormat())->extraSize, 0u);
  EXPECT_EQ(static_cast<VideoFormatInfo*>(video.GetFormat())->extraData, nullptr);
}

TEST(MediaStreamTest, SetFormatKeepsItsOwnCopy) {
  uint8_t extra[3] = {1, 2, 3};
  AudioFormatInfo block{};
  block.audioParam2 = 6;
  block.extraSize = 3;
  block.extraData = extra;
  AudioStream audio;
  audio.SetFormat(&block);
  extra[0] = 9;
  auto* own = static_cast<AudioFormatInfo*>(audio.GetFormat());
  ASSERT_NE(own->extraData, extra);
  EXPECT_EQ(Bytes(own->extraData, own->extraData + own->extraSize), (Bytes{1, 2, 3}));
  EXPECT_EQ(own->audioParam2, 6);
  audio.SetFormat(own);  // its own block copies onto itself
  own = static_cast<AudioFormatInfo*>(audio.GetFormat());
  EXPECT_EQ(Bytes(own->extraData, own->extraData + own->extraSize), (Bytes{1, 2, 3}));
}

TEST(MediaStreamTest, NullPointersPrintAndChangeNothing) {
  VideoStream video;
  AudioStream audio;
  DataStream data;
  MakeVideo(video);
  MakeAudio(audio);
  data.SetStreamId(3);
  for (MediaStream* stream : std::initializer_list<MediaStream*>{&video, &audio, &data}) {
    const Bytes before = Record(*stream);
    testing::internal::CaptureStdout();
    stream->SetFormat(nullptr);
    const std::string set = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    stream->UnSerialize(nullptr, 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " the pdata pointer is NULL!\n");
    EXPECT_EQ(set, stream == &data ? "" : "the input format pointer is NULL\n");
    EXPECT_EQ(Record(*stream), before);
  }
  EXPECT_EQ(data.GetFormat(), nullptr);
}

TEST(MediaStreamTest, UnSerializeHoldsExtradataBufferEvenWhenEmpty) {
  AudioStream source;
  AudioFormatInfo block{};
  source.SetFormat(&block);
  AudioStream copy;
  EXPECT_EQ(UnSerializeExact(copy, Record(source), 45), "");
  auto* own = static_cast<AudioFormatInfo*>(copy.GetFormat());
  EXPECT_EQ(own->extraSize, 0u);
  ASSERT_NE(own->extraData, nullptr);
  EXPECT_EQ(own->extraData[0], 0);
}

TEST(MediaStreamTest, UnSerializeHonoursHeaderLength) {
  VideoStream source;
  MakeVideo(source);
  Bytes record = Record(source);
  record.insert(record.begin() + 17, {0xDE, 0xAD, 0xBE, 0xEF});  // header grown to 17 bytes
  record[0] = uint8_t(record.size());
  record[4] = 17;
  VideoStream copy;
  EXPECT_EQ(UnSerializeExact(copy, record, int(record.size())), "");
  EXPECT_EQ(Record(copy), Record(source));
}

TEST(MediaStreamTest, RoundTripThroughRecordEveryClass) {
  VideoStream video, video2;
  AudioStream audio, audio2;
  DataStream data, data2;
  MakeVideo(video);
  MakeAudio(audio);
  data.SetMainType(2);
  data.SetCodec(-5);
  data.SetStreamId(0xFF);
  const std::pair<MediaStream*, MediaStream*> pairs[] = {{&video, &video2}, {&audio, &audio2}, {&data, &data2}};
  for (const auto& [from, to] : pairs) {
    const Bytes record = Record(*from);
    EXPECT_EQ(UnSerializeExact(*to, record, int(record.size())), "");
    EXPECT_EQ(to->GetMainType(), from->GetMainType());
    EXPECT_EQ(to->GetCodec(), from->GetCodec());
    EXPECT_EQ(to->GetStreamId(), from->GetStreamId());
    EXPECT_EQ(Record(*to), record);
  }
  auto* own = static_cast<VideoFormatInfo*>(video2.GetFormat());
  EXPECT_EQ(own->frameRate, 25.0f);
  EXPECT_EQ(Bytes(own->extraData, own->extraData + 16), Bytes(kExtra16, kExtra16 + 16));
  EXPECT_EQ(own->extraData[16], 0);  // a zero byte after the extradata
}

TEST(MediaStreamTest, StreamTakesTheRecordsMainType) {
  VideoStream video;
  MakeVideo(video);
  DataStream data;
  const Bytes record = Record(video);
  EXPECT_EQ(UnSerializeExact(data, record, int(record.size())), "");
  EXPECT_EQ(data.GetMainType(), 0);
  EXPECT_EQ(data.GetStreamId(), 7);
}

constexpr const char* kTruncated = "ERROR:the MediaStream record is truncated!\n";
constexpr const char* kLengthError = "ERROR:the length of the MediaStream record is error!\n";

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

TEST(MediaStreamTest, MalformedAudioRecordsAreRefused) {
  constexpr int kWhole = INT_MIN;  // the patched record's own size
  struct Case {
    const char* name;
    size_t at;       // field patched, or SIZE_MAX for none
    uint32_t value;
    int size;        // size passed, or kWhole
    const char* message;
  };
  const Case cases[] = {
      {"nothing given", SIZE_MAX, 0, 0, kTruncated},
      {"no record length", SIZE_MAX, 0, 3, kTruncated},
      {"header cut", SIZE_MAX, 0, 16, kTruncated},
      {"negative size", SIZE_MAX, 0, -47, kTruncated},
      {"one byte short", SIZE_MAX, 0, 46, kTruncated},
      {"record length 16", 0, 16, kWhole, kLengthError},
      {"record length beyond size", 0, 48, kWhole, kTruncated},
      {"record length huge", 0, 0xFFFFFFFF, kWhole, kTruncated},
      {"header length 12", 4, 12, kWhole, kLengthError},
      {"header length pushes E out", 4, 14, kWhole, kLengthError},
      {"header length huge", 4, 0xFFFFFFF0, kWhole, kLengthError},
      {"E beyond record", 41, 3, kWhole, kLengthError},
      {"E huge", 41, 0xFFFFFFFF, kWhole, kLengthError},
  };
  AudioStream source;
  MakeAudio(source);
  const Bytes valid = Record(source);
  for (const Case& c : cases) {
    Bytes record = valid;
    if (c.at != SIZE_MAX) Put32(record, c.at, c.value);
    AudioStream target;
    target.SetCodec(77);
    const Bytes before = Record(target);
    EXPECT_EQ(UnSerializeExact(target, record, c.size == kWhole ? int(record.size()) : c.size),
              c.message) << c.name;
    EXPECT_EQ(Record(target), before) << c.name;
  }
}

TEST(MediaStreamTest, EveryTruncatedRecordIsRefused) {
  VideoStream video;
  AudioStream audio;
  DataStream data;
  MakeVideo(video);
  MakeAudio(audio);
  data.SetMainType(3);
  for (MediaStream* source : std::initializer_list<MediaStream*>{&video, &audio, &data}) {
    const Bytes record = Record(*source);
    for (size_t n = 0; n < record.size(); ++n) {
      std::unique_ptr<MediaStream> target;
      if (source == &video) target = std::make_unique<VideoStream>();
      if (source == &audio) target = std::make_unique<AudioStream>();
      if (source == &data) target = std::make_unique<DataStream>();
      const Bytes before = Record(*target);
      const Bytes prefix(record.begin(), record.begin() + long(n));
      EXPECT_EQ(UnSerializeExact(*target, prefix, int(n)), kTruncated) << record.size() << " cut at " << n;
      EXPECT_EQ(Record(*target), before);
    }
  }
}

}  // namespace
