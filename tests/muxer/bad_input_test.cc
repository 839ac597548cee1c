// Bad input through the exported interface: what the muxer answers (result, output,
// message on standard output) and that the stream around the bad input stays whole —
// every packet well formed, continuity on every PID, every good frame once, byte for byte.
// Each test, or each row of the null-argument and call-order tables, is one row of the
// table "Bad input: what palvex does" of docs/bad-input.md.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/muxer_fixtures.h"
#include "support/pes_reader.h"
#include "support/test_format.h"
#include "support/ts_checker.h"
#include "ts_reader.h"

namespace {

using palvex_test::FakeFrame;
using palvex_test::H264KeyFrame;

constexpr uint8_t kVideoId = 1;
constexpr uint8_t kAudioId = 2;
constexpr uint8_t kDataId = 3;
// PIDs of the single program: PMT, then the streams in the order of the format.
constexpr int kVideoPid = 0x11;
constexpr int kAudioPid = 0x12;

constexpr uint8_t kTimeTrailerMarker[16] = {0x0E, 0x71, 0x72, 0xDC, 0x6F, 0x9E, 0xF6, 0x4F,
                                            0xAF, 0xBB, 0xEB, 0xB0, 0x5D, 0xFE, 0xA6, 0x45};

std::vector<uint8_t> Bytes(size_t size, uint8_t first) {
  std::vector<uint8_t> b;
  b.reserve(size);
  for (size_t i = 0; i < size; ++i) b.push_back(uint8_t(first + i * 7));
  return b;
}

// Video (H.264 unless given, or with the time-trailer marker), audio of the given codec (AAC
// with its AudioSpecificConfig: raw frames get ADTS headers), and a data stream, which is not
// carried.
std::unique_ptr<MediaFormat> Format(int audioCodec = kMediaCodecAAC, bool timeTrailer = false,
                                    int videoCodec = kMediaCodecH264) {
  auto format = std::make_unique<MediaFormat>();
  std::vector<uint8_t> marker;
  if (timeTrailer) marker.assign(kTimeTrailerMarker, kTimeTrailerMarker + 16);
  palvex_test::AddVideo(format.get(), videoCodec, kVideoId, 0.0f, marker);
  palvex_test::AddAudio(format.get(), audioCodec, kAudioId, palvex_test::AacConfig());
  DataStream data;
  data.SetMainType(kMediaMainTypeData);
  data.SetStreamId(kDataId);
  format->AddStream(&data);
  return format;
}

// What one ProcessFrame call gave: result, outputs and the lines printed meanwhile.
struct Call {
  int result = 0;
  uint8_t* data = nullptr;
  int length = 0;
  std::string message;
};

constexpr int kUntouched = -77;

// A frame whose NAL units are cut: with a start code it goes out whole, without one it is
// refused without a packet.
struct TruncatedCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool sent;  // packed whole, or refused without a packet
};

// One call of a row: the operation, what it returns and prints, and for ProcessFrame the
// frame, the out-pointers passed and the length it leaves (kUntouched: not written). A
// ProcessFrame that returns -1 leaves the data out-pointer untouched.
enum class Op {
  kAddFormat, kAddNull, kRemoveNull, kListed, kOpen, kStart, kStop, kClose, kGood, kFrame, kRemoveNullMuxer
};
enum class Frame { kKey, kNull, kNullData, kEmptyNullData };
struct RowStep {
  Op op;
  int result = 0;  // kAddFormat / kAddNull: 0 for the argument back, -1 for null; kListed: the count
  const char* message = "";
  Frame frame = Frame::kKey;
  int streamId = kVideoId;
  bool dataOut = true;
  bool lengthOut = true;
  int length = 0;
};
RowStep Do(Op op, int result = 0, const char* message = "") { return RowStep{op, result, message}; }
RowStep Send(Frame frame, int result, int length, int streamId = kVideoId, bool dataOut = true,
             bool lengthOut = true) {
  return RowStep{Op::kFrame, result, "", frame, streamId, dataOut, lengthOut, length};
}
const RowStep kStop = Do(Op::kStop, 0, "call stop\n");
const RowStep kGood = Do(Op::kGood);

struct Row {
  const char* name;  // as in docs/bad-input.md's table
  std::vector<RowStep> steps;
};

// A muxer with the format added, opened and started, then the row's steps.
Row Started(const char* name, std::vector<RowStep> then) {
  std::vector<RowStep> steps = {Do(Op::kAddFormat), Do(Op::kOpen), Do(Op::kStart)};
  steps.insert(steps.end(), then.begin(), then.end());
  return Row{name, steps};
}

class BadInputTest : public testing::Test {
 protected:
  void TearDown() override {
    if (m_mux != nullptr) {
      EXPECT_EQ(iptv::RemovePalvex(m_mux), iptv::RESULT_SUCCESS);
    }
  }

  // A muxer with the format added, opened and started.
  void Start(std::unique_ptr<MediaFormat> format = Format()) {
    m_format = std::move(format);
    m_mux = iptv::CreatePalvex();
    ASSERT_NE(m_mux, nullptr);
    ASSERT_EQ(m_mux->AddMediaFormat(m_format.get()), m_format.get());
    ASSERT_EQ(m_mux->Open(), 0);
    ASSERT_EQ(m_mux->Start(), 0);
  }

  // ProcessFrame with the given out-pointers (null for "pass null"), output recorded.
  Call Process(int streamId, IMediaFrame* frame, bool dataOut = true, bool lengthOut = true) {
    Call call;
    call.data = reinterpret_cast<uint8_t*>(&m_sentinel);
    call.length = kUntouched;
    testing::internal::CaptureStdout();
    call.result = m_mux->ProcessFrame(streamId, frame, dataOut ? &call.data : nullptr,
                                      lengthOut ? &call.length : nullptr);
    call.message = testing::internal::GetCapturedStdout();
    if (call.result == 0 && call.length > 0) m_stream.insert(m_stream.end(), call.data, call.data + call.length);
    return call;
  }

  bool Untouched(const Call& call) const {
    return call.data == reinterpret_cast<const uint8_t*>(&m_sentinel);
  }

  // Frames whose GetSize() is one of sizes (more than their bytes, or negative) on either
  // stream, before the first good frame: -1, length 0, no message, and the stream after
  // them whole, opening with the PAT (none of them counted as the first frame).
  void ExpectSizesRefused(std::initializer_list<int> sizes) {
    Start();
    for (int size : sizes) {
      for (int id : {int(kVideoId), int(kAudioId)}) {
        FakeFrame frame(H264KeyFrame(50), m_time);
        frame.SetSize(size);
        const Call call = Process(id, &frame);
        EXPECT_EQ(call.result, -1) << size;
        EXPECT_EQ(call.length, 0) << size;
        EXPECT_EQ(call.message, "") << size;
      }
    }
    GoodFrames();
    GoodFrames();
    ExpectStreamIntact();
  }

  // A good video frame and a good audio frame, expected in the stream.
  void GoodFrames() {
    FakeFrame video(H264KeyFrame(300, uint8_t(m_videoFrames.size())), m_time);
    m_videoFrames.push_back(video.Bytes());
    ASSERT_EQ(Process(kVideoId, &video).result, 0);
    FakeFrame audio(Bytes(100, uint8_t(m_audioFrames.size())), m_time);
    m_audioFrames.push_back(audio.Bytes());
    ASSERT_EQ(Process(kAudioId, &audio).result, 0);
    m_time += 40000;
  }

  // Frames the bad input itself put into the stream, whole.
  void ExpectVideo(const std::vector<uint8_t>& payload) { m_videoFrames.push_back(payload); }

  // Each frame alone on the video stream, no message; good frames after them, the stream whole.
  void FeedTruncated(const std::vector<TruncatedCase>& cases) {
    for (const TruncatedCase& c : cases) {
      FakeFrame frame(c.bytes, m_time);
      const Call call = Process(kVideoId, &frame);
      EXPECT_EQ(call.result, 0) << c.name;
      EXPECT_EQ(call.message, "") << c.name;
      EXPECT_EQ(call.length > 0, c.sent) << c.name;
      if (c.sent) ExpectVideo(c.bytes);
      m_time += 40000;
    }
    GoodFrames();
    ExpectStreamIntact();
  }
  void ExpectAudio(const std::vector<uint8_t>& payload) { m_audioFrames.push_back(payload); }

  // Every packet well formed, continuity on every PID, the PAT first, and on each PID
  // exactly the expected frames in order, byte for byte (audio behind its ADTS header).
  void ExpectStreamIntact(bool adts = true) {
    palvex_test::TsChecker checker;
    checker.Feed(m_stream.data(), m_stream.size());
    EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
    ASSERT_GE(m_stream.size(), 188u);
    size_t sectionSize = 0;
    const uint8_t* section = palvex_host::PacketSection(m_stream.data(), &sectionSize);
    palvex_host::PAT pat;
    EXPECT_EQ(palvex_host::PacketPid(m_stream.data()), 0);
    ASSERT_TRUE(section != nullptr && palvex_host::ReadPAT(section, sectionSize, &pat)) << "the PAT first";
    EXPECT_EQ(pat.programs.size(), 1u);
    palvex_test::PesReader reader;
    EXPECT_TRUE(reader.Read(m_stream.data(), m_stream.size())) << reader.errors().front();
    const std::vector<palvex_test::PesPacket> video = reader.OfPid(kVideoPid);
    ASSERT_EQ(video.size(), m_videoFrames.size());
    for (size_t i = 0; i < video.size(); ++i) EXPECT_EQ(video[i].payload, m_videoFrames[i]) << "video " << i;
    const std::vector<palvex_test::PesPacket> audio = reader.OfPid(kAudioPid);
    ASSERT_EQ(audio.size(), m_audioFrames.size());
    for (size_t i = 0; i < audio.size(); ++i) {
      std::vector<uint8_t> payload = audio[i].payload;
      if (adts) {
        ASSERT_GE(payload.size(), 7u);
        EXPECT_EQ(payload[0], 0xFF);
        EXPECT_EQ(payload[1], 0xF1);
        payload.erase(payload.begin(), payload.begin() + 7);
      }
      EXPECT_EQ(payload, m_audioFrames[i]) << "audio " << i;
    }
  }

  // Each step on a fresh muxer; then, if good frames went in, the stream whole.
  void Run(const Row& row) {
    SCOPED_TRACE(row.name);
    m_stream.clear();
    m_videoFrames.clear();
    m_audioFrames.clear();
    m_time = 0;
    m_format = Format();
    m_mux = iptv::CreatePalvex();
    ASSERT_NE(m_mux, nullptr);
    bool good = false;
    for (size_t i = 0; i < row.steps.size(); ++i) {
      const RowStep& s = row.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (s.op == Op::kGood) {
        GoodFrames();
        good = true;
      } else if (s.op == Op::kFrame) {
        FakeFrame key(H264KeyFrame(50), m_time);
        FakeFrame empty(std::vector<uint8_t>(), m_time);
        FakeFrame* frame = s.frame == Frame::kNull ? nullptr : s.frame == Frame::kEmptyNullData ? &empty : &key;
        if (s.frame == Frame::kNullData || s.frame == Frame::kEmptyNullData) frame->SetNullData(true);
        const Call call = Process(s.streamId, frame, s.dataOut, s.lengthOut);
        EXPECT_EQ(call.result, s.result);
        if (s.lengthOut) {
          EXPECT_EQ(call.length, s.length);
        }
        if (s.dataOut && s.result == -1) {
          EXPECT_TRUE(Untouched(call));
        }
        EXPECT_EQ(call.message, s.message);
      } else {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Invoke(s.op), s.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), s.message);
      }
    }
    if (good) ExpectStreamIntact();
    EXPECT_EQ(iptv::RemovePalvex(m_mux), iptv::RESULT_SUCCESS);
    m_mux = nullptr;
  }

  int Invoke(Op op) {
    switch (op) {
      case Op::kAddFormat: return m_mux->AddMediaFormat(m_format.get()) == m_format.get() ? 0 : -1;
      case Op::kAddNull: return m_mux->AddMediaFormat(nullptr) == nullptr ? -1 : 0;
      case Op::kRemoveNull: return m_mux->RemoveMediaFormat(nullptr);
      case Op::kListed: return int(m_mux->GetMediaFormats().size());
      case Op::kOpen: return m_mux->Open();
      case Op::kStart: return m_mux->Start();
      case Op::kStop: return m_mux->Stop();
      case Op::kClose: return m_mux->Close();
      case Op::kRemoveNullMuxer: return iptv::RemovePalvex(nullptr) == iptv::RESULT_FAILURE ? -1 : 0;
      default: return INT_MIN;
    }
  }

  std::unique_ptr<MediaFormat> m_format;
  iptv::IVorlux* m_mux = nullptr;
  std::vector<uint8_t> m_stream;
  std::vector<std::vector<uint8_t>> m_videoFrames;
  std::vector<std::vector<uint8_t>> m_audioFrames;
  int64_t m_time = 0;
  int m_sentinel = 0;
};

// ---- null pointers and calls out of order ------------------------------------------------

TEST_F(BadInputTest, NullArguments) {
  const Row rows[] = {
      {"RemovePalvex(nullptr)", {Do(Op::kRemoveNullMuxer, -1)}},
      // Before the first frame and between good ones: the stream still opens with the PAT.
      Started("ProcessFrame with a null frame",
              {Send(Frame::kNull, -1, 0), kGood, Send(Frame::kNull, -1, 0), kGood}),
      Started("ProcessFrame with a null data or null length out-pointer",
              {kGood, Send(Frame::kKey, -1, 0, kVideoId, false, true),
               Send(Frame::kKey, -1, kUntouched, kVideoId, true, false), kGood}),
      Started("a frame whose GetData() is null",
              {kGood, Send(Frame::kNullData, -1, 0, kVideoId), Send(Frame::kNullData, -1, 0, kAudioId),
               Send(Frame::kEmptyNullData, 0, 0, kVideoId), Send(Frame::kEmptyNullData, 0, 0, kAudioId), kGood}),
      Started("AddMediaFormat(nullptr), RemoveMediaFormat(nullptr)",
              {Do(Op::kAddNull, -1), Do(Op::kRemoveNull, -1), Do(Op::kListed, 1), kGood}),
  };
  for (const Row& row : rows) Run(row);
}

TEST_F(BadInputTest, CallsOutOfOrder) {
  const Row rows[] = {
      // Not even a null frame is looked at before Start.
      {"ProcessFrame before Open or before Start",
       {Do(Op::kAddFormat), Send(Frame::kKey, -1, kUntouched), Do(Op::kOpen), Send(Frame::kKey, -1, kUntouched),
        Send(Frame::kNull, -1, kUntouched), Do(Op::kStart), kGood}},
      Started("ProcessFrame after Stop or Close",
              {kGood, kStop, Send(Frame::kKey, -1, kUntouched), Do(Op::kClose), Send(Frame::kKey, -1, kUntouched)}),
      // Still one program: ExpectStreamIntact finds one in the PAT.
      Started("Start twice without Stop", {kGood, Do(Op::kStart, -1), kGood}),
      {"Start before Open or after Close",
       {Do(Op::kAddFormat), Do(Op::kStart, -1), Do(Op::kOpen), Do(Op::kClose), Do(Op::kStart, -1), Do(Op::kOpen),
        Do(Op::kStart), kGood}},
      Started("Open twice without Close", {kGood, Do(Op::kOpen, -1), kGood}),
      {"Close or Stop without Open",
       {Do(Op::kClose, -1), Do(Op::kStop, -1, "call stop\n"), Do(Op::kOpen), Do(Op::kClose), Do(Op::kClose, -1)}},
      Started("Stop twice", {kGood, kStop, kStop}),
  };
  for (const Row& row : rows) Run(row);
}

// ---- negative sizes, unknown stream ids -------------------------------------------------

TEST_F(BadInputTest, NegativeSize) { ExpectSizesRefused({-1, -7, INT_MIN}); }

// The packet buffer counts its bytes in 32 bits and takes 1.2 times a frame's size: a frame
// of 1789569707 bytes or more would overflow it, and is refused before a byte is read.
TEST_F(BadInputTest, FrameBeyondTheBufferCapacity) { ExpectSizesRefused({1789569707, INT_MAX}); }

TEST_F(BadInputTest, UnknownStreamId) {
  Start();
  // No stream with the id, the data stream's id (data streams are not carried), and ids
  // beyond the stream id byte whose low byte names a stream. They come before any good
  // frame and begin with an ADTS syncword: had they counted, the first of them would have
  // had PSI and three of them would have switched ADTS insertion off for the raw AAC after.
  for (int id : {0, int(kDataId), 255, 256 + kVideoId, 256 + kAudioId, -1, INT_MIN}) {
    FakeFrame frame({0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x01}, m_time + 10000000);
    const Call call = Process(id, &frame);
    EXPECT_EQ(call.result, 0) << id;
    EXPECT_EQ(call.length, 0) << id;
    EXPECT_EQ(call.message, "") << id;
  }
  GoodFrames();
  GoodFrames();
  GoodFrames();
  ExpectStreamIntact(/*adts=*/true);
}

// ---- formats changed while started ------------------------------------------------------

TEST_F(BadInputTest, FormatsChangedWhileStarted) {
  Start();
  GoodFrames();
  // Added while started: its stream ids are those of the listed format, so it is refused.
  auto second = Format(kMediaCodecMPEG1Audio);
  testing::internal::CaptureStdout();
  EXPECT_EQ(m_mux->AddMediaFormat(second.get()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR:a stream id of the MediaFormat is in use already, the MediaFormat is refused!\n");
  GoodFrames();
  // Removed while started: the running program keeps its streams until Stop; the ids are
  // free in the list again, and the copy of the second format waits for the next Start.
  const std::vector<MediaFormat*> listed = m_mux->GetMediaFormats();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(m_mux->RemoveMediaFormat(listed[0]), 0);
  EXPECT_EQ(m_mux->AddMediaFormat(second.get()), second.get());
  GoodFrames();
  ExpectStreamIntact();
  // The next run has one program, from the second format.
  EXPECT_EQ(m_mux->Stop(), 0);
  EXPECT_EQ(m_mux->Start(), 0);
  FakeFrame audio(Bytes(100, 0), m_time);
  const Call call = Process(kAudioId, &audio);
  ASSERT_EQ(call.result, 0);
  ASSERT_GE(call.length, 3 * 188);
  EXPECT_EQ(call.data[7], 9 + 4);  // PAT section_length: one program
  EXPECT_EQ(call.data[188 + 22], 0x03);  // PMT: stream_type of its second stream, MPEG-1 audio
}

TEST_F(BadInputTest, RemoveFormatNotListed) {
  Start();
  MediaFormat stranger;
  EXPECT_EQ(m_mux->RemoveMediaFormat(m_format.get()), -1);  // the host's own object
  EXPECT_EQ(m_mux->RemoveMediaFormat(&stranger), -1);
  EXPECT_EQ(m_mux->RemoveMediaFormat(nullptr), -1);
  EXPECT_EQ(m_mux->GetMediaFormats().size(), 1u);
  GoodFrames();
  ExpectStreamIntact();
}

// ---- malformed serialized forms -----------------------------------------------------------

// A host format whose serialized form is given bytes, with a size query that may disagree.
class HostFormat final : public MediaFormat {
 public:
  HostFormat(std::vector<uint8_t> form, int declared) : m_form(std::move(form)), m_declared(declared) {}
  int Serialize(uint8_t* buf, int* size) override {
    if (buf == nullptr) return *size = m_declared;
    const int n = std::min(int(m_form.size()), m_declared);
    if (n > 0) std::memcpy(buf, m_form.data(), size_t(n));
    return *size = n;
  }

 private:
  std::vector<uint8_t> m_form;
  int m_declared;
};

std::vector<uint8_t> SerializedForm(MediaFormat* format) {
  int size = 0;
  format->Serialize(nullptr, &size);
  std::vector<uint8_t> form(static_cast<size_t>(size));
  format->Serialize(form.data(), &size);
  return form;
}

void Put32(std::vector<uint8_t>* form, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*form)[at + size_t(i)] = uint8_t(value >> (8 * i));
}

TEST_F(BadInputTest, HostFormatWithoutSerializedForm) {
  m_mux = iptv::CreatePalvex();
  for (int declared : {0, -1, INT_MIN}) {
    HostFormat host({}, declared);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_mux->AddMediaFormat(&host), nullptr) << declared;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << declared;
  }
  // A size promised but nothing written.
  HostFormat silent({}, 100);
  EXPECT_EQ(m_mux->AddMediaFormat(&silent), nullptr);
  EXPECT_TRUE(m_mux->GetMediaFormats().empty());
}

TEST_F(BadInputTest, MalformedSerializedForm) {
  auto good = Format();
  const std::vector<uint8_t> form = SerializedForm(good.get());
  // Record layout: count (4), then per stream length (4), header length (4), maintype (4),
  // codec (4), stream id (1), format bytes, extradata length (4), extradata.
  const size_t video = 4;
  const size_t videoLength = form[video] | form[video + 1] << 8;
  const size_t audio = video + videoLength;
  struct Case {
    const char* name;
    std::vector<uint8_t> form;
    std::string message;
    size_t streamsKept;  // streams read before the fault
  };
  std::vector<Case> cases;
  {
    // Read as a count of 0: no streams, the attributes behind it, no message.
    MediaFormat empty;
    empty.SetTextA("channel");
    std::vector<uint8_t> f = SerializedForm(&empty);
    Put32(&f, 0, uint32_t(-1));
    cases.push_back({"negative stream count", f, "", 0});
  }
  {
    std::vector<uint8_t> f = form;
    Put32(&f, audio + 8, 4);  // maintype 4
    cases.push_back({"undefined maintype", f,
                     "ERROR:the maintype of the MediaStream is error!\nThis UnSerialize is error.......\n", 1});
  }
  {
    std::vector<uint8_t> f = form;
    Put32(&f, audio, 12);  // record length below its header
    cases.push_back({"record length below the header", f,
                     "ERROR:the length of the MediaStream record is error!\nThis UnSerialize is error.......\n", 1});
  }
  {
    std::vector<uint8_t> f = form;
    Put32(&f, 0, 9);  // more streams than records
    f.resize(audio + 10);
    cases.push_back({"cut inside a record", f,
                     "ERROR:the MediaStream record is truncated!\nThis UnSerialize is error.......\n", 1});
  }
  {
    std::vector<uint8_t> f = form;
    f.resize(f.size() - 5);
    cases.push_back({"cut inside the attributes", f,
                     "ERROR:the MediaFormat is truncated!\nThis UnSerialize is error.......\n", 3});
  }
  {
    cases.push_back({"cut before the stream count", {1, 0},
                     "ERROR:the MediaFormat is truncated!\nThis UnSerialize is error.......\n", 0});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    iptv::IVorlux* mux = iptv::CreatePalvex();
    HostFormat host(c.form, int(c.form.size()));
    testing::internal::CaptureStdout();
    EXPECT_EQ(mux->AddMediaFormat(&host), &host);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    const std::vector<MediaFormat*> listed = mux->GetMediaFormats();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->GetStreams().size(), c.streamsKept);
    // What was read becomes the program; frames of streams not read go nowhere.
    ASSERT_EQ(mux->Open(), 0);
    ASSERT_EQ(mux->Start(), 0);
    FakeFrame frame(H264KeyFrame(50), 0);
    uint8_t* data = nullptr;
    int length = kUntouched;
    EXPECT_EQ(mux->ProcessFrame(kVideoId, &frame, &data, &length), 0);
    if (c.streamsKept == 0) {
      EXPECT_EQ(length, 0);
    } else {
      palvex_test::TsChecker checker;
      checker.Feed(data, size_t(length));
      EXPECT_TRUE(checker.errors().empty());
      EXPECT_EQ(length, 3 * 188);  // PAT, PMT, the frame
    }
    EXPECT_EQ(iptv::RemovePalvex(mux), iptv::RESULT_SUCCESS);
  }
}

// ---- frame contents ------------------------------------------------------------------------

const TruncatedCase kTruncatedWithoutStartCode[] = {
    {"empty", {}, false},
    {"start code alone", {0, 0, 0, 1}, false},
    {"no start code", {0x65, 0x88, 0x84, 0x21, 0xA0, 0x11, 0x22}, false},
    {"zeros", std::vector<uint8_t>(400, 0), false},
};

TEST_F(BadInputTest, TruncatedH264) {
  Start();
  GoodFrames();
  std::vector<TruncatedCase> cases(std::begin(kTruncatedWithoutStartCode), std::end(kTruncatedWithoutStartCode));
  cases.insert(cases.end(), {
      {"start code and NAL header", {0, 0, 0, 1, 0x65}, true},
      {"SPS cut after profile_idc", {0, 0, 0, 1, 0x67, 100}, true},
      {"SPS cut inside its Exp-Golomb codes", {0, 0, 0, 1, 0x67, 100, 0, 30, 0xFF, 0xFF}, true},
      {"slice header cut short", {0, 0, 0, 1, 0x41, 0x9A}, true},
      {"three-byte start codes", {0, 0, 1, 0x67, 77, 0, 30, 0, 0, 1, 0x65, 0x88}, true},
      {"emulation prevention everywhere", {0, 0, 0, 1, 0x65, 0, 0, 3, 0, 0, 3, 0, 0, 3}, true},
  });
  FeedTruncated(cases);
}

TEST_F(BadInputTest, TruncatedHEVC) {
  Start(Format(kMediaCodecAAC, false, kMediaCodecHEVC));
  GoodFrames();
  std::vector<TruncatedCase> cases(std::begin(kTruncatedWithoutStartCode), std::end(kTruncatedWithoutStartCode));
  cases.insert(cases.end(), {
      {"start code and half a NAL unit header", {0, 0, 0, 1, 0x26}, true},
      {"SPS cut inside profile_tier_level", {0, 0, 0, 1, 0x42, 0x01, 0x01, 0x01, 0x60}, true},
      {"PPS, then an IDR slice segment header cut short", {0, 0, 1, 0x44, 0x01, 0xC1, 0, 0, 1, 0x26, 0x01, 0xAF}, true},
      {"VPS of emulation prevention", {0, 0, 0, 1, 0x40, 0x01, 0, 0, 3, 0, 0, 3, 0, 0, 3}, true},
  });
  FeedTruncated(cases);
}

TEST_F(BadInputTest, OversizeAdtsFrame) {
  Start();
  // Refused before anything is written, even the PSI due before the first frame.
  FakeFrame first(Bytes(8185, 1), m_time);
  const Call refused = Process(kAudioId, &first);
  EXPECT_EQ(refused.result, 0);
  EXPECT_EQ(refused.length, 0);
  GoodFrames();
  // A raw AAC frame that gets an ADTS header: frame_length (13 bits) counts the 7-byte
  // header, so at most 8184 bytes of payload.
  struct Case {
    int size;
    bool sent;
  };
  for (const Case& c : {Case{8183, true}, Case{8184, true}, Case{8185, false}, Case{10000, false},
                        Case{10001, false}, Case{65523, false}}) {
    FakeFrame frame(Bytes(size_t(c.size), 1), m_time);
    const Call call = Process(kAudioId, &frame);
    EXPECT_EQ(call.result, 0) << c.size;
    EXPECT_EQ(call.message, "") << c.size;
    EXPECT_EQ(call.length > 0, c.sent) << c.size;
    if (c.sent) {
      ExpectAudio(Bytes(size_t(c.size), 1));
      palvex_test::PesReader reader;
      ASSERT_TRUE(reader.Read(call.data, size_t(call.length)));
      const std::vector<palvex_test::PesPacket> pes = reader.OfPid(kAudioPid);
      ASSERT_EQ(pes.size(), 1u);
      const uint8_t* adts = pes[0].payload.data();
      EXPECT_EQ((adts[3] & 3) << 11 | adts[4] << 3 | adts[5] >> 5, c.size + 7);  // frame_length
    }
    m_time += 21333;
  }
  GoodFrames();
  ExpectStreamIntact();
}

TEST_F(BadInputTest, OversizeBoundedPes) {
  // MPEG-1 audio: no ADTS header; PES_packet_length (16 bits) bounds each PES packet to
  // 65522 payload bytes behind a header with time stamps, 65532 behind one without.
  Start(Format(kMediaCodecMPEG1Audio));
  GoodFrames();
  for (size_t size : {size_t{65522}, size_t{65523}, size_t{65522 + 65532}, size_t{65522 + 65532 + 1},
                      size_t{400000}}) {
    FakeFrame frame(Bytes(size, 3), m_time);
    const size_t before = m_stream.size();
    const Call call = Process(kAudioId, &frame);
    EXPECT_EQ(call.result, 0) << size;
    // Only the packet buffer's growth is reported, when the frame needs more room.
    EXPECT_TRUE(call.message.empty() || call.message.rfind("oldsize: ", 0) == 0) << call.message;
    // The frame in consecutive PES packets: the first with PTS/DTS, data_alignment_indicator
    // 1 and 65522 bytes; the others without time stamps, data_alignment_indicator 0.
    palvex_test::PesReader reader;
    ASSERT_TRUE(reader.Read(m_stream.data() + before, m_stream.size() - before)) << reader.errors().front();
    const std::vector<palvex_test::PesPacket> pes = reader.OfPid(kAudioPid);
    ASSERT_EQ(pes.size(), size <= 65522 ? 1 : 1 + (size - 65522 + 65531) / 65532) << size;
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < pes.size(); ++i) {
      EXPECT_EQ(pes[i].pts >= 0, i == 0) << size;
      EXPECT_EQ(pes[i].payload.size(), i == 0 ? std::min<size_t>(size, 65522)
                                              : std::min<size_t>(size - 65522 - 65532 * (i - 1), 65532));
      joined.insert(joined.end(), pes[i].payload.begin(), pes[i].payload.end());
    }
    EXPECT_EQ(joined, Bytes(size, 3)) << size;
    m_time += 24000;
  }
  palvex_test::TsChecker checker;
  checker.Feed(m_stream.data(), m_stream.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
}

TEST_F(BadInputTest, FrameWithoutTimeStamp) {
  Start();
  GoodFrames();  // at 0 us, with a PCR at tick 0
  int64_t lastPcrTicks = 0;
  for (int64_t time : {int64_t{-1}, int64_t{-40000}, INT64_MIN}) {
    for (int id : {int(kVideoId), int(kAudioId)}) {
      const std::vector<uint8_t> bytes = id == kVideoId ? H264KeyFrame(200, 9) : Bytes(90, 9);
      FakeFrame frame(bytes, time);
      const Call call = Process(id, &frame);
      EXPECT_EQ(call.result, 0) << time;
      EXPECT_EQ(call.message, "") << time;
      ASSERT_GT(call.length, 0) << time;
      if (id == kVideoId) ExpectVideo(bytes);
      else ExpectAudio(bytes);
      // A 9-byte PES header without PTS and DTS.
      palvex_test::PesReader reader;
      ASSERT_TRUE(reader.Read(call.data, size_t(call.length)));
      ASSERT_EQ(reader.pes().size(), 1u);
      EXPECT_EQ(reader.pes()[0].pts, -1);
      EXPECT_EQ(reader.pes()[0].dts, -1);
      // The video stream carries the PCR, due when its time moved back or 3600 ticks on:
      // the frame's time, 36000 ticks back, modulo 2^33. (-1 us is tick 0, the tick of
      // the good frame before it: no PCR.)
      if (id == kVideoId) {
        const int64_t ticks = time / 1000 * 90 + time % 1000 * 90 / 1000;
        const bool due = ticks < lastPcrTicks || ticks - lastPcrTicks >= 3600;
        ASSERT_EQ(reader.pcrs().size(), due ? 1u : 0u) << time;
        if (due) {
          EXPECT_EQ(uint64_t(reader.pcrs()[0].base), uint64_t(ticks - 36000) & ((uint64_t{1} << 33) - 1));
          lastPcrTicks = ticks;
        }
      }
    }
  }
  // PSI timing took the earliest time: the next frame is 500 ms past it and has PSI.
  FakeFrame next(H264KeyFrame(30), m_time);
  const Call call = Process(kVideoId, &next);
  ASSERT_GE(call.length, 188);
  EXPECT_EQ((call.data[1] & 0x1F) << 8 | call.data[2], 0);
  ExpectVideo(H264KeyFrame(30));
  GoodFrames();
  ExpectStreamIntact();
}

TEST_F(BadInputTest, TimeGoingBackwards) {
  Start();
  struct Step {
    int64_t time;
    bool psi;  // PAT and PMT in front of the frame
  };
  // PSI before the first frame; none when time goes back, but the repetition interval
  // (400 ms while no frame step is known) restarts from the earlier time.
  const Step steps[] = {{1000000, true}, {200000, false}, {599999, false}, {600000, true}, {599998, false}};
  for (const Step& s : steps) {
    const std::vector<uint8_t> bytes = Bytes(90, uint8_t(s.time));
    FakeFrame frame(bytes, s.time);
    const Call call = Process(kAudioId, &frame);
    ASSERT_EQ(call.result, 0);
    EXPECT_EQ(call.message, "");
    ASSERT_GT(call.length, 0);
    EXPECT_EQ(((call.data[1] & 0x1F) << 8 | call.data[2]) == 0, s.psi) << s.time;
    ExpectAudio(bytes);
    palvex_test::PesReader reader;
    ASSERT_TRUE(reader.Read(call.data, size_t(call.length)));
    ASSERT_EQ(reader.OfPid(kAudioPid).size(), 1u);
    EXPECT_EQ(reader.OfPid(kAudioPid)[0].pts, s.time * 90 / 1000) << s.time;  // the frame's own time
  }
  // Video going back: its PCR follows the frame time back.
  for (int64_t time : {int64_t{2000000}, int64_t{1000000}}) {
    FakeFrame frame(H264KeyFrame(100), time);
    const Call call = Process(kVideoId, &frame);
    ASSERT_EQ(call.result, 0);
    ExpectVideo(H264KeyFrame(100));
    palvex_test::PesReader reader;
    ASSERT_TRUE(reader.Read(call.data, size_t(call.length)));
    ASSERT_EQ(reader.pcrs().size(), 1u);
    EXPECT_EQ(reader.pcrs()[0].base, time * 90 / 1000 - 36000);
  }
  ExpectStreamIntact();
}

TEST_F(BadInputTest, ShortTimeTrailerFrame) {
  // Video frames that end with an 8-byte presentation time.
  Start(Format(kMediaCodecAAC, /*timeTrailer=*/true));
  FakeFrame first(Bytes(100, 5), 0);
  ASSERT_EQ(Process(kVideoId, &first).result, 0);
  ExpectVideo(Bytes(92, 5));
  m_time = 40000;
  for (int size = 0; size < 8; ++size) {
    FakeFrame frame(Bytes(size_t(size), 1), m_time);
    const Call call = Process(kVideoId, &frame);
    EXPECT_EQ(call.result, 0) << size;
    EXPECT_EQ(call.length, 0) << size;
    EXPECT_EQ(call.message, "tsstream->EStoTS error \n") << size;
  }
  // The trailer alone: no payload, nothing to send.
  FakeFrame trailerOnly(Bytes(8, 1), m_time);
  const Call call = Process(kVideoId, &trailerOnly);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.length, 0);
  EXPECT_EQ(call.message, "");
  FakeFrame last(Bytes(9, 2), m_time);
  ASSERT_EQ(Process(kVideoId, &last).result, 0);
  ExpectVideo(Bytes(1, 2));
  FakeFrame audio(Bytes(100, 0), m_time);
  ASSERT_EQ(Process(kAudioId, &audio).result, 0);
  ExpectAudio(Bytes(100, 0));
  ExpectStreamIntact();
}

}  // namespace
