#include "palvex/media_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kFailed = "This UnSerialize is error.......\n";
const uint8_t kExtra[4] = {0x01, 0x42, 0xC0, 0x1E};

Bytes Form(MediaFormat& format) {
  int query = -1;
  format.Serialize(nullptr, &query);
  Bytes out(static_cast<size_t>(query));
  int written = -1;
  EXPECT_EQ(format.Serialize(out.data(), &written), query);
  EXPECT_EQ(written, query);
  return out;
}

// UnSerialize from a heap block of exactly the first `size` bytes; returns what was printed.
std::string UnSerializeExact(MediaFormat& format, const Bytes& bytes, size_t size) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
  if (size) std::memcpy(exact.get(), bytes.data(), size);
  testing::internal::CaptureStdout();
  format.UnSerialize(exact.get(), int(size));
  return testing::internal::GetCapturedStdout();
}

std::string Text(const char* text) { return text ? text : "<null>"; }

// A host's own stream: implements the interface without the library's classes.
class HostStream : public MediaStream {
 public:
  explicit HostStream(int32_t mainType) {
    m_mainType = mainType;
    m_codec = 0x1B;
    m_streamId = 0xE0;
    m_video.frameRate = 29.97f;
    m_video.extraSize = sizeof kExtra;
    m_video.extraData = const_cast<uint8_t*>(kExtra);
    m_audio.audioParam1 = 44100;
  }
  void* GetFormat() override {
    if (m_mainType == 0) return &m_video;
    return m_mainType == 1 ? &m_audio : nullptr;
  }
  void SetFormat(const void*) override {}
  int Serialize(uint8_t*, int* size) override { return *size = 0; }
  void UnSerialize(const uint8_t*, int) override {}

 private:
  VideoFormatInfo m_video{};
  AudioFormatInfo m_audio{};
};

// Video with extradata, audio, a data stream of each data maintype, and every attribute.
void Fill(MediaFormat& format) {
  for (int32_t mainType : {0, 1}) {
    HostStream host(mainType);
    format.AddStream(&host);
  }
  for (int32_t mainType : {2, 3}) {
    DataStream data;
    data.SetMainType(mainType);
    data.SetStreamId(uint8_t(mainType));
    format.AddStream(&data);
  }
  format.SetTextA("channel one");
  format.SetValueA64(-1234567890123);
  format.SetValueB64(1);
  format.SetValueA32(2);
  format.SetValueB32(-3);
  format.SetValueC32(4);
  format.SetValueA8(0xA8);
  format.SetTextB("b");
  format.SetTextC("");
  format.SetTextD("dddd");
  format.SetValueD32(5);
  format.SetValueC64(6);
  format.SetValueD64(7);
}

// Attributes a failed UnSerialize must leave alone.
void SetOld(MediaFormat& format) {
  format.SetTextA("old");
  format.SetValueA64(11);
  format.SetValueD64(22);
}

void ExpectOld(MediaFormat& format) {
  EXPECT_EQ(Text(format.GetTextA()), "old");
  EXPECT_EQ(format.GetValueA64(), 11);
  EXPECT_EQ(format.GetValueD64(), 22);
}

TEST(MediaFormatTest, EmptyFormatIs69ZeroBytes) {
  MediaFormat empty;
  EXPECT_EQ(Form(empty), Bytes(69, 0));
  MediaFormat format;
  Fill(format);
  EXPECT_EQ(UnSerializeExact(format, Bytes(69, 0), 69), "");
  EXPECT_EQ(Form(format), Bytes(69, 0));
  EXPECT_EQ(format.GetTextA(), nullptr);
  EXPECT_EQ(format.GetTextD(), nullptr);
  EXPECT_EQ(format.HasStreams(), 0);
}

TEST(MediaFormatTest, AttributeLayout) {
  const Bytes form = {
      0x00, 0x00, 0x00, 0x00,                          // stream count 0
      0x01, 0x00, 0x00, 0x00, 'a',                     // textA
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // valueA64
      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // valueB64 -2
      0x03, 0x00, 0x00, 0x00,                          // valueA32
      0x04, 0x00, 0x00, 0x00,                          // valueB32
      0x05, 0x00, 0x00, 0x00,                          // valueC32
      0x06,                                            // valueA8, unaligned from here on
      0x02, 0x00, 0x00, 0x00, 'b', 'c',                // textB
      0x00, 0x00, 0x00, 0x00,                          // textC null
      0x01, 0x00, 0x00, 0x00, 'd',                     // textD
      0x07, 0x00, 0x00, 0x00,                          // valueD32
      0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // valueC64
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // valueD64 -1
  };
  MediaFormat format;
  format.SetTextA("a");
  format.SetValueA64(0x0102030405060708);
  format.SetValueB64(-2);
  format.SetValueA32(3);
  format.SetValueB32(4);
  format.SetValueC32(5);
  format.SetValueA8(6);
  format.SetTextB("bc");
  format.SetTextD("d");
  format.SetValueD32(7);
  format.SetValueC64(8);
  format.SetValueD64(-1);
  EXPECT_EQ(Form(format), form);
  MediaFormat copy;
  EXPECT_EQ(UnSerializeExact(copy, form, form.size()), "");
  EXPECT_EQ(Text(copy.GetTextB()), "bc");
  EXPECT_EQ(copy.GetTextC(), nullptr);
  EXPECT_EQ(copy.GetValueA64(), 0x0102030405060708);
  EXPECT_EQ(copy.GetValueA8(), 6);
  EXPECT_EQ(copy.GetValueD64(), -1);
  EXPECT_EQ(Form(copy), form);
}

TEST(MediaFormatTest, OneVideoStreamAndTwoByteTextIs124Bytes) {
  MediaFormat format;
  VideoStream video;
  format.AddStream(&video);
  format.SetTextA("ab");
  const Bytes form = Form(format);
  ASSERT_EQ(form.size(), 124u);
  EXPECT_EQ(Bytes(form.begin(), form.begin() + 12), (Bytes{1, 0, 0, 0, 53, 0, 0, 0, 13, 0, 0, 0}));
  EXPECT_EQ(Bytes(form.begin() + 57, form.begin() + 63), (Bytes{2, 0, 0, 0, 'a', 'b'}));
}

TEST(MediaFormatTest, RoundTripKeepsStreamsAndAttributes) {
  MediaFormat format;
  Fill(format);
  const Bytes form = Form(format);
  MediaFormat copy;
  SetOld(copy);
  EXPECT_EQ(UnSerializeExact(copy, form, form.size()), "");
  EXPECT_EQ(Form(copy), form);
  EXPECT_TRUE(copy.IsEqual(&format));
  EXPECT_EQ(copy.GetValueD32(), 5);
  EXPECT_EQ(copy.GetValueC64(), 6);
  EXPECT_EQ(copy.GetValueD64(), 7);
  const auto& streams = copy.GetStreams();
  ASSERT_EQ(streams.size(), 4u);
  // maintype 2 reads back as a data stream like 3, so nothing after it is lost.
  EXPECT_NE(dynamic_cast<DataStream*>(streams[2]), nullptr);
  EXPECT_EQ(streams[2]->GetMainType(), 2);
  EXPECT_EQ(streams[3]->GetMainType(), 3);
  auto* video = static_cast<VideoFormatInfo*>(streams[0]->GetFormat());
  EXPECT_EQ(video->frameRate, 29.97f);
  EXPECT_EQ(Bytes(video->extraData, video->extraData + video->extraSize), Bytes(kExtra, kExtra + 4));
  EXPECT_EQ(static_cast<AudioFormatInfo*>(streams[1]->GetFormat())->audioParam1, 44100);
}

TEST(MediaFormatTest, EmptyTextReadsBackAsNull) {
  MediaFormat format;
  format.SetTextB("");
  ASSERT_NE(format.GetTextB(), nullptr);
  EXPECT_STREQ(format.GetTextB(), "");
  MediaFormat copy;
  copy.SetTextB("was set");
  const Bytes form = Form(format);
  UnSerializeExact(copy, form, form.size());
  EXPECT_EQ(copy.GetTextB(), nullptr);
}

TEST(MediaFormatTest, NullFormStopsBeforeTouchingAnything) {
  MediaFormat format;
  SetOld(format);
  VideoStream video;
  format.AddStream(&video);
  testing::internal::CaptureStdout();
  format.UnSerialize(nullptr, 69);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " the pdata pointer is NULL!\n");
  EXPECT_EQ(format.GetStreams().size(), 1u);
  ExpectOld(format);
}

TEST(MediaFormatTest, AddStreamCopiesThroughTheInterface) {
  struct Case {
    int32_t mainType;
    bool video, audio, data;
  };
  for (const Case& c : {Case{0, true, false, false}, Case{1, false, true, false}, Case{2, false, false, true},
                        Case{3, false, false, true}, Case{4, false, false, false}, Case{-1, false, false, false}}) {
    MediaFormat format;
    HostStream host(c.mainType);
    MediaStream* added = format.AddStream(&host);
    EXPECT_EQ(dynamic_cast<VideoStream*>(added) != nullptr, c.video) << c.mainType;
    EXPECT_EQ(dynamic_cast<AudioStream*>(added) != nullptr, c.audio) << c.mainType;
    EXPECT_EQ(dynamic_cast<DataStream*>(added) != nullptr, c.data) << c.mainType;
    EXPECT_EQ(format.HasStreams(), added ? 1 : 0) << c.mainType;
    EXPECT_EQ(added ? added->GetMainType() : -1, added ? c.mainType : -1);
  }
  MediaFormat format;
  HostStream host(0);
  MediaStream* added = format.AddStream(&host);
  EXPECT_EQ(added->GetCodec(), 0x1B);
  EXPECT_EQ(added->GetStreamId(), 0xE0);
  auto* block = static_cast<VideoFormatInfo*>(added->GetFormat());
  EXPECT_EQ(block->frameRate, 29.97f);
  ASSERT_NE(block->extraData, kExtra);  // its own copy
  EXPECT_EQ(Bytes(block->extraData, block->extraData + block->extraSize), Bytes(kExtra, kExtra + 4));
}

TEST(MediaFormatTest, RemoveStreamFromTheMiddle) {
  MediaFormat format;
  DataStream data;
  data.SetMainType(3);
  MediaStream* s[3];
  for (int i = 0; i < 3; ++i) s[i] = format.AddStream(&data);
  EXPECT_EQ(format.RemoveStream(s[1]), 0);
  EXPECT_EQ(format.GetStreams(), (std::vector<MediaStream*>{s[0], s[2]}));
  EXPECT_EQ(format.RemoveStream(s[1]), -1);
  EXPECT_EQ(format.RemoveStream(nullptr), -1);
}

// Records which getters IsEqual asks for.
class RecordingFormat : public MediaFormat {
 public:
  std::string asked;
  const char* GetTextA() override { return Ask("textA "), MediaFormat::GetTextA(); }
  const char* GetTextB() override { return Ask("textB "), MediaFormat::GetTextB(); }
  const char* GetTextC() override { return Ask("textC "), MediaFormat::GetTextC(); }
  const char* GetTextD() override { return Ask("textD "), MediaFormat::GetTextD(); }
  int64_t GetValueA64() override { return Ask("A64 "), MediaFormat::GetValueA64(); }
  int64_t GetValueB64() override { return Ask("B64 "), MediaFormat::GetValueB64(); }
  int32_t GetValueA32() override { return Ask("A32 "), MediaFormat::GetValueA32(); }
  int32_t GetValueB32() override { return Ask("B32 "), MediaFormat::GetValueB32(); }
  int32_t GetValueC32() override { return Ask("C32 "), MediaFormat::GetValueC32(); }
  uint8_t GetValueA8() override { return Ask("A8 "), MediaFormat::GetValueA8(); }
  int32_t GetValueD32() override { return Ask("D32 "), MediaFormat::GetValueD32(); }
  int64_t GetValueC64() override { return Ask("C64 "), MediaFormat::GetValueC64(); }
  int64_t GetValueD64() override { return Ask("D64 "), MediaFormat::GetValueD64(); }

 private:
  void Ask(const char* name) { asked += name; }
};

TEST(MediaFormatTest, IsEqualComparesInOrderAndStopsAtFirstDifference) {
  MediaFormat mine;
  RecordingFormat other;
  EXPECT_TRUE(mine.IsEqual(&other));
  EXPECT_EQ(other.asked, "textD textC textB textA A64 B64 A32 B32 C32 A8 ");
  other.asked.clear();
  other.SetValueB64(1);
  EXPECT_FALSE(mine.IsEqual(&other));
  EXPECT_EQ(other.asked, "textD textC textB textA A64 B64 ");
}

TEST(MediaFormatTest, IsEqualWhatCountsAndWhatDoesNot) {
  struct Case {
    const char* name;
    std::function<void(MediaFormat&)> change;
    bool equal;
  };
  const Case cases[] = {
      {"textD", [](MediaFormat& f) { f.SetTextD("x"); }, false},
      {"textC", [](MediaFormat& f) { f.SetTextC("x"); }, false},
      {"textB", [](MediaFormat& f) { f.SetTextB("x"); }, false},
      {"textA", [](MediaFormat& f) { f.SetTextA("x"); }, false},
      {"valueA64", [](MediaFormat& f) { f.SetValueA64(1); }, false},
      {"valueB64", [](MediaFormat& f) { f.SetValueB64(1); }, false},
      {"valueA32", [](MediaFormat& f) { f.SetValueA32(1); }, false},
      {"valueB32", [](MediaFormat& f) { f.SetValueB32(1); }, false},
      {"valueC32", [](MediaFormat& f) { f.SetValueC32(1); }, false},
      {"valueA8", [](MediaFormat& f) { f.SetValueA8(1); }, false},
      {"valueD32", [](MediaFormat& f) { f.SetValueD32(1); }, true},
      {"valueC64", [](MediaFormat& f) { f.SetValueC64(1); }, true},
      {"valueD64", [](MediaFormat& f) { f.SetValueD64(1); }, true},
      {"streams", [](MediaFormat& f) { HostStream d(3); f.AddStream(&d); }, true},
      {"empty texts", [](MediaFormat& f) { f.SetTextA(""); f.SetTextB(""); f.SetTextC(""); f.SetTextD(""); }, true},
  };
  for (const Case& c : cases) {
    MediaFormat a, b;
    c.change(b);
    EXPECT_EQ(a.IsEqual(&b), c.equal) << c.name;
    EXPECT_EQ(b.IsEqual(&a), c.equal) << c.name;
  }
}

// Offsets in the form of Fill(): count, then records of 53 + 4, 45, 17 and 17 bytes.
constexpr size_t kVideoAt = 4, kAudioAt = 61, kData2At = 106, kData3At = 123, kAttributesAt = 140;

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

TEST(MediaFormatTest, MainType4RecordStopsTheCopy) {
  MediaFormat source;
  Fill(source);
  Bytes form = Form(source);
  Put32(form, kAudioAt + 8, 4);
  MediaFormat format;
  SetOld(format);
  HostStream earlier(3);
  format.AddStream(&earlier);
  format.AddStream(&earlier);
  EXPECT_EQ(UnSerializeExact(format, form, form.size()),
            std::string("ERROR:the maintype of the MediaStream is error!\n") + kFailed);
  ASSERT_EQ(format.GetStreams().size(), 1u);
  EXPECT_NE(dynamic_cast<VideoStream*>(format.GetStreams()[0]), nullptr);
  ExpectOld(format);
}

TEST(MediaFormatTest, MalformedFormsStopWithADiagnostic) {
  const std::string truncatedForm = "ERROR:the MediaFormat is truncated!\n";
  const std::string truncatedRecord = "ERROR:the MediaStream record is truncated!\n";
  const std::string lengthError = "ERROR:the length of the MediaStream record is error!\n";
  struct Case {
    const char* name;
    size_t at;  // u32 patched
    uint32_t value;
    size_t cut;  // bytes given, 0: all
    const std::string& message;
    size_t streams;  // kept
  };
  const Case cases[] = {
      {"count 5 of 4", 0, 5, 0, lengthError, 4},  // the attributes read as a record
      {"count huge, no attributes", 0, 0x7FFFFFFF, kAttributesAt, truncatedRecord, 4},
      {"record length 16", kAudioAt, 16, 0, lengthError, 1},
      {"record length past the form", kAudioAt, 0x7FFFFFF0, 0, truncatedRecord, 1},
      {"video record too short for E", kVideoAt, 56, 0, lengthError, 0},
      {"E past the video record", kVideoAt + 49, 5, 0, lengthError, 0},
      {"E huge", kAudioAt + 41, 0xFFFFFFFF, 0, lengthError, 1},
      {"header length huge", kVideoAt + 4, 0xFFFFFFF0, 0, lengthError, 0},
      {"data record length past the form", kData3At, 1000, 0, truncatedRecord, 3},
      {"textA length huge", kAttributesAt, 0xFFFFFFFF, 0, truncatedForm, 4},
      {"textA length one too many", kAttributesAt, 12, 0, truncatedForm, 4},
  };
  MediaFormat source;
  Fill(source);
  const Bytes valid = Form(source);
  ASSERT_EQ(valid.size(), kAttributesAt + 4 + 11 + 29 + 5 + 4 + 8 + 20);
  for (const Case& c : cases) {
    Bytes form = valid;
    Put32(form, c.at, c.value);
    MediaFormat format;
    SetOld(format);
    EXPECT_EQ(UnSerializeExact(format, form, c.cut ? c.cut : form.size()), c.message + kFailed) << c.name;
    EXPECT_EQ(format.GetStreams().size(), c.streams) << c.name;
    ExpectOld(format);
  }
  MediaFormat format;
  testing::internal::CaptureStdout();
  format.UnSerialize(valid.data(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), truncatedForm + kFailed);
}

// A negative stream count reads as 0: no streams, then the attributes (it was refused, and
// the attributes were lost).
TEST(MediaFormatTest, NegativeStreamCountReadsAsZero) {
  MediaFormat source;
  source.SetTextA("channel one");
  source.SetValueD64(7);
  const Bytes valid = Form(source);
  for (uint32_t count : {0xFFFFFFFFu, 0x80000000u}) {
    Bytes form = valid;
    Put32(form, 0, count);
    MediaFormat format;
    Fill(format);
    EXPECT_EQ(UnSerializeExact(format, form, form.size()), "") << count;
    EXPECT_TRUE(format.GetStreams().empty());
    EXPECT_TRUE(format.IsEqual(&source)) << count;
  }
}

// Cut anywhere, a form yields exactly the streams whose records it holds whole, and the
// attributes only when it holds them all.
TEST(MediaFormatTest, EveryPrefixKeepsOnlyCompleteStreams) {
  MediaFormat source;
  Fill(source);
  const Bytes valid = Form(source);
  const size_t recordEnds[] = {kAudioAt, kData2At, kData3At, kAttributesAt};
  for (size_t n = 0; n <= valid.size(); ++n) {
    MediaFormat format;
    SetOld(format);
    const std::string printed = UnSerializeExact(format, valid, n);
    size_t complete = 0;
    for (size_t end : recordEnds) complete += n >= end ? 1 : 0;
    EXPECT_EQ(format.GetStreams().size(), complete) << "cut at " << n;
    if (n == valid.size()) {
      EXPECT_EQ(printed, "");
      EXPECT_TRUE(format.IsEqual(&source));
    } else {
      EXPECT_TRUE(printed.size() > strlen(kFailed) && printed.substr(printed.size() - strlen(kFailed)) == kFailed)
          << "cut at " << n << ": " << printed;
      ExpectOld(format);
    }
  }
}

}  // namespace
