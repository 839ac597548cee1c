// ProcessFrame in steady state allocates nothing, and Start fails cleanly when memory runs
// out: every global allocation function is replaced here by one that counts and can be made
// to fail, in a test program of its own so that the replacement reaches no other test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "palvex/palvex.h"
#include "packetizer/ts_stream_test_util.h"
#include "support/fake_frame.h"
#include "support/muxer_fixtures.h"
#include "support/test_format.h"

namespace {

std::atomic<long> g_allocations{0};
std::atomic<long> g_failingAllocation{0};  // the count of the allocation that fails; 0: none

// Out of line, so that the compiler pairs each operator new with its operator delete and
// not with the malloc and free behind them.
__attribute__((noinline)) void* Allocate(std::size_t size) {
  const long count = g_allocations.fetch_add(1, std::memory_order_relaxed) + 1;
  if (count == g_failingAllocation.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}

__attribute__((noinline)) void Release(void* p) { std::free(p); }

}  // namespace

void* operator new(std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

using palvex_test::AnnexB;
using palvex_test::FakeFrame;

constexpr int kVideoId = 1;
constexpr int kAudioId = 2;

std::unique_ptr<MediaFormat> VideoAudioFormat(int32_t videoCodec) {
  auto format = std::make_unique<MediaFormat>();
  palvex_test::AddVideo(format.get(), videoCodec, kVideoId, 25.0f);
  palvex_test::AddAudio(format.get(), kMediaCodecAAC, kAudioId, {0x11, 0x90});  // raw frames that get ADTS headers
  return format;
}

// A host frame whose bytes are put back before every call: the muxer writes the ADTS
// header into the host's buffer.
struct HostFrame {
  std::vector<uint8_t> bytes;
  std::unique_ptr<FakeFrame> frame;
  explicit HostFrame(std::vector<uint8_t> b) : bytes(std::move(b)), frame(new FakeFrame(bytes, 0)) {}
  FakeFrame* At(int64_t time) {
    std::memcpy(frame->GetData(), bytes.data(), bytes.size());
    frame->SetSize(int(bytes.size()));
    frame->SetTime(time);
    return frame.get();
  }
};

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // H.264 High: a key frame with SPS and PPS, and P frames, some of them larger than
    // the packet buffer holds at first.
    std::vector<uint8_t> key = AnnexB({palvex_test::MakeSps(100), palvex_test::MakePps(),
                                       palvex_test::MakeSlice(5, 3, 0)});
    std::vector<std::vector<uint8_t>> pictures{key};
    for (int i = 1; i < 12; ++i) {
      pictures.push_back(AnnexB({palvex_test::MakeSlice(1, 2, uint32_t(2 * i % 16))}, i % 2 ? 3 : 4));
    }
    Build(kMediaCodecH264, pictures);
  }

  // A muxer of one video stream of the given codec, whose 12 frames are the pictures given
  // with filler bytes behind them (the first 90000, the others 1000 + 7000 x i), and raw
  // AAC frames.
  void Build(int32_t videoCodec, const std::vector<std::vector<uint8_t>>& pictures) {
    format = VideoAudioFormat(videoCodec);
    mux.reset(iptv::CreatePalvex());
    ASSERT_NE(mux, nullptr);
    ASSERT_NE(mux->AddMediaFormat(format.get()), nullptr);
    ASSERT_EQ(mux->Open(), 0);
    ASSERT_EQ(mux->Start(), 0);
    for (size_t i = 0; i < pictures.size(); ++i) {
      std::vector<uint8_t> frame = pictures[i];
      frame.resize(frame.size() + (i == 0 ? 90000 : 1000 + 7000 * i), uint8_t(0x40 + i));
      video.emplace_back(frame);
    }
    for (int i = 0; i < 8; ++i) audio.emplace_back(std::vector<uint8_t>(size_t(200 + 50 * i), 0x21));
  }

  // The packet buffer grows to the largest frame once. (A frame whose 120 % falls within the
  // 188 bytes that rounding down to whole packets cuts off would find the buffer short
  // again and resize it every time it comes: a growth step, not steady state.)
  void GrowBuffer() {
    std::vector<uint8_t> largest = AnnexB({palvex_test::MakeSlice(1, 2, 0)}, 4);
    largest.resize(120000, 0x40);
    HostFrame frame(largest);
    uint8_t* data = nullptr;
    int length = 0;
    ASSERT_EQ(mux->ProcessFrame(kVideoId, frame.At(0), &data, &length), 0);
  }

  // Feeds `seconds` of 25 fps video and 48 kHz audio frames in time order.
  int Feed(int64_t from, int seconds, bool withVideo, bool withAudio) {
    int failures = 0;
    int64_t audioTime = from;
    for (int64_t videoTime = from; videoTime < from + seconds * 1000000LL; videoTime += 40000) {
      uint8_t* data = nullptr;
      int length = 0;
      if (withVideo) {
        HostFrame& v = video[size_t(videoTime / 40000 % 12)];
        if (mux->ProcessFrame(kVideoId, v.At(videoTime), &data, &length) != 0 || length <= 0) ++failures;
      }
      while (withAudio && audioTime < videoTime + 40000) {
        HostFrame& a = audio[size_t(audioTime / 21333 % 8)];
        if (mux->ProcessFrame(kAudioId, a.At(audioTime), &data, &length) != 0 || length <= 0) ++failures;
        audioTime += 21333;
      }
    }
    return failures;
  }

  // Frames for 10 s after the first seconds (PSI, buffer growth to the largest frame): PSI
  // every 500 ms, PCR every 40 ms, and not one allocation. Audio, and video when asked.
  void ExpectSteadyStateAllocatesNothing(bool withVideo) {
    testing::internal::CaptureStdout();  // buffer growth is reported on standard output
    if (withVideo) GrowBuffer();
    const int warmUp = withVideo ? 2 : 1;
    ASSERT_EQ(Feed(0, warmUp, withVideo, true), 0);
    const long before = g_allocations.load();
    const int failures = Feed(warmUp * 1000000, 10, withVideo, true);
    const long allocations = g_allocations.load() - before;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(allocations, 0);
  }

  std::unique_ptr<MediaFormat> format;
  palvex_test::MuxerPtr mux;
  std::vector<HostFrame> video;
  std::vector<HostFrame> audio;
};

TEST_F(AllocationTest, VideoAndAudioFramesAllocateNothingInSteadyState) { ExpectSteadyStateAllocatesNothing(true); }

// HEVC: an IDR picture behind x265's VPS, SPS and PPS, then trailing pictures, all read by
// the HEVC header reader.
class HEVCAllocationTest : public AllocationTest {
 protected:
  void SetUp() override {
    const std::vector<uint8_t> vps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                                      0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x1E, 0x95, 0x98, 0x09};
    const std::vector<uint8_t> sps = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00,
                                      0x03, 0x00, 0x00, 0x03, 0x00, 0x1E, 0xA0, 0x30, 0x81, 0x05, 0x96, 0x56,
                                      0x69, 0x24, 0xCA, 0xF0, 0x16, 0x80, 0x80, 0x00, 0x00, 0x03, 0x00, 0x80,
                                      0x00, 0x00, 0x0C, 0x84};
    const std::vector<uint8_t> pps = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x22, 0x40};
    std::vector<std::vector<uint8_t>> pictures{AnnexB({vps, sps, pps, {0x28, 0x01, 0xAF, 0x1D, 0x80, 0xBC}})};
    for (int i = 1; i < 12; ++i) pictures.push_back(AnnexB({{0x02, 0x01, 0xD0, 0x21, 0x49, 0xE1}}, i % 2 ? 3 : 4));
    Build(kMediaCodecHEVC, pictures);
  }
};

TEST_F(HEVCAllocationTest, VideoAndAudioFramesAllocateNothingInSteadyState) { ExpectSteadyStateAllocatesNothing(true); }

TEST_F(AllocationTest, AudioAloneAllocatesNothingInSteadyState) { ExpectSteadyStateAllocatesNothing(false); }

// The bytes of a key frame and of an AAC frame on each of the two programs' audio streams;
// none when a call fails.
std::vector<uint8_t> FramesOut(iptv::IVorlux* mux) {
  std::vector<uint8_t> out;
  FakeFrame video(palvex_test::H264KeyFrame(500), 0);
  FakeFrame audio(std::vector<uint8_t>(300, 0x21), 0);
  for (int id : {kVideoId, kAudioId, kAudioId + 1}) {
    uint8_t* data = nullptr;
    int length = 0;
    if (mux->ProcessFrame(id, id == kVideoId ? &video : &audio, &data, &length) != 0) return {};
    out.insert(out.end(), data, data + length);
  }
  return out;
}

// Whichever allocation of Start fails, Start returns -1 and leaves the muxer stopped with
// nothing of the programs behind: the next Start gives the stream a first Start gives.
TEST(StartWithoutMemoryTest, FailsAtEveryAllocationAndLeavesNothingBehind) {
  auto first = VideoAudioFormat(kMediaCodecH264);
  MediaFormat second;
  palvex_test::AddAudio(&second, kMediaCodecAAC, kAudioId + 1, {0x11, 0x90});
  auto Open = [&]() {
    palvex_test::MuxerPtr mux(iptv::CreatePalvex());
    EXPECT_NE(mux->AddMediaFormat(first.get()), nullptr);
    EXPECT_NE(mux->AddMediaFormat(&second), nullptr);
    EXPECT_EQ(mux->Open(), 0);
    return mux;
  };
  palvex_test::MuxerPtr reference = Open();
  ASSERT_EQ(reference->Start(), 0);
  const std::vector<uint8_t> expected = FramesOut(reference.get());
  ASSERT_FALSE(expected.empty());
  long failures = 0;
  for (long k = 1;; ++k) {
    palvex_test::MuxerPtr mux = Open();
    const long before = g_allocations.load();
    g_failingAllocation = before + k;
    const int result = mux->Start();
    g_failingAllocation = 0;
    if (g_allocations.load() - before < k) {  // Start made fewer allocations: none failed
      EXPECT_EQ(result, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(result, -1) << "allocation " << k;
    EXPECT_TRUE(FramesOut(mux.get()).empty()) << "allocation " << k;  // stopped
    ASSERT_EQ(mux->Start(), 0) << "allocation " << k;
    EXPECT_EQ(FramesOut(mux.get()), expected) << "allocation " << k;
  }
  EXPECT_GE(failures, 6) << "the PID record, both programs, their streams and lists";
}

TEST(AllocationCounterTest, CountsTheAllocationsItSees) {
  const long before = g_allocations.load();
  std::unique_ptr<int> one(new int(1));
  std::unique_ptr<int[]> many(new int[4]);
  std::unique_ptr<int> quiet(new (std::nothrow) int(2));
  EXPECT_EQ(g_allocations.load() - before, 3);
}

}  // namespace
