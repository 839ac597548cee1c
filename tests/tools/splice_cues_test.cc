#include "splice_cues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "splice_info.h"
#include "splice_requests.h"
#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int kPid = 0x0102;
constexpr int64_t kFrame = 3600;  // 25 fps

// The sections in packets of the cue PID, read back.
std::vector<SpliceInfo> Sections(const std::vector<uint8_t>& ts) {
  std::vector<SpliceInfo> out;
  SectionGatherer gatherer;
  for (size_t off = 0; off + kTSPacketSize <= ts.size(); off += kTSPacketSize) {
    EXPECT_EQ(PacketPid(&ts[off]), kPid);
    if (!gatherer.Push(&ts[off])) continue;
    SpliceInfo info;
    std::string why;
    EXPECT_TRUE(ReadSpliceInfo(gatherer.section().data(), gatherer.section().size(), &info, &why)) << why;
    out.push_back(info);
  }
  return out;
}

CuePicture Picture(int64_t in, int64_t out, bool key = false) { return {in, out, out - 2 * kFrame, kFrame, key}; }

// A carried cue takes the distance of the pictures around it, through a jump of the clock
// (the distance learnt anew) and across the 2^33 wrap; a damaged one is dropped.
TEST(SpliceCues, CarriedCuesFollowTheClock) {
  struct Row {
    const char* name;
    int64_t inPts, outPts;   // the picture muxed next
    int64_t spliceTime, adjustment;
    int64_t named;           // splice_time + pts_adjustment out
  };
  const Row rows[] = {
      {"start offset", 133200, 169200, 396000, 0, 432000},
      {"adjustment kept in the sum", 133200 + kFrame, 169200 + kFrame, 395000, 1000, 432000},
      {"clock jump: learnt anew", 5000000, 200000, 5090000, 0, 290000},
      {"across the wrap", kPTSModulus - 9000, 90000, 100, kPTSModulus - 100 - 9000 + 18000, 99000 + 9000},
  };
  SpliceCues cues;
  cues.SetPid(kPid);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BreakCue cue;
    cue.spliceTime = row.spliceTime;
    std::vector<uint8_t> section = WriteSpliceInsert(cue);
    ASSERT_TRUE(SetPtsAdjustment(&section, row.adjustment));
    std::string why;
    ASSERT_TRUE(cues.Take(section.data(), section.size(), &why)) << why;
    std::vector<uint8_t> damaged = section;
    damaged[15] ^= 0x01;
    EXPECT_FALSE(cues.Take(damaged.data(), damaged.size(), &why));
    EXPECT_EQ(why, "CRC_32 wrong");
    std::vector<uint8_t> out;
    cues.OnPicture(Picture(row.inPts, row.outPts), &out);
    const std::vector<SpliceInfo> sent = Sections(out);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ((sent[0].insert.time.pts + sent[0].ptsAdjustment) % kPTSModulus, row.named % kPTSModulus);
  }
  EXPECT_EQ(cues.carried(), 4u);
  EXPECT_EQ(cues.dropped(), 4u);
  // Distances a tick apart (microsecond frame times): a cue naming a picture still to come
  // takes the smaller (a tick early at most), one naming a picture already muxed its own.
  std::vector<uint8_t> out;
  cues.OnPicture(Picture(1000000, 2000000), &out);
  cues.OnPicture(Picture(1003003, 2003002), &out);
  for (const int64_t named : {1000000, 1009009}) {
    BreakCue cue;
    cue.spliceTime = named;
    const std::vector<uint8_t> section = WriteSpliceInsert(cue);
    std::string why;
    ASSERT_TRUE(cues.Take(section.data(), section.size(), &why));
    out.clear();
    cues.OnPicture(Picture(1006006, 2006006), &out);
    const std::vector<SpliceInfo> sent = Sections(out);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].insert.time.pts + sent[0].ptsAdjustment, named == 1000000 ? 2000000 : 2009008);
  }
}

// A break asked for at run time: on the picture grid when its picture is still to come,
// on a picture already muxed (with its key flag) when it is not; first sent within 4.5 s
// of its point, then once a second until it; event ids past the input's own.
TEST(SpliceCues, BreaksAskedAtRunTime) {
  SpliceCues cues;
  cues.SetPid(kPid);
  BreakCue input;
  input.eventId = 1;
  const std::vector<uint8_t> inputCue = WriteSpliceInsert(input);
  std::string why;
  ASSERT_TRUE(cues.Take(inputCue.data(), inputCue.size(), &why));
  SpliceBreak placed;
  EXPECT_FALSE(cues.AddBreakIn(0, 90000, &placed));  // no picture yet
  std::vector<uint8_t> out;
  const int64_t start = 900000;
  cues.OnPicture(Picture(start, start, true), &out);
  // The picture just muxed is shown two frames after its decode time: asked for 1 frame on,
  // the break lands on it.
  ASSERT_TRUE(cues.AddBreakIn(kFrame, 5 * 90000, &placed));
  EXPECT_EQ(placed.eventId, 2u);
  EXPECT_EQ(placed.splicePts, start);
  EXPECT_EQ(placed.key, KeyPicture::kYes);
  // 10.01 s on: the next grid picture, its key flag told when it comes.
  SpliceBreak later;
  ASSERT_TRUE(cues.AddBreakIn(10 * 90000 + 900, 30 * 90000, &later));
  EXPECT_EQ(later.eventId, 3u);
  EXPECT_EQ(later.key, KeyPicture::kUnknown);
  const int64_t point = start - 2 * kFrame + 10 * 90000 + 900;
  EXPECT_EQ(later.splicePts, start + (point - start + kFrame - 1) / kFrame * kFrame);
  std::vector<int64_t> sentAt;
  for (int64_t pts = start + kFrame; pts <= later.splicePts + kFrame; pts += kFrame) {
    out.clear();
    cues.OnPicture(Picture(pts, pts, pts == later.splicePts), &out);
    for (const SpliceInfo& info : Sections(out))
      if (info.insert.eventId == 3) sentAt.push_back(pts - 2 * kFrame);
  }
  ASSERT_FALSE(sentAt.empty());
  EXPECT_GE(later.splicePts - sentAt.front(), 4 * 90000);
  EXPECT_LE(later.splicePts - sentAt.front(), SpliceCues::kFirstLeadTicks);
  for (size_t k = 1; k < sentAt.size(); ++k) EXPECT_EQ(sentAt[k] - sentAt[k - 1], 90000) << k;
  EXPECT_LT(sentAt.back(), later.splicePts);
  const std::vector<std::string> lines = cues.TakeLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("event 3: the picture at PTS " + std::to_string(later.splicePts) + " is a key picture"),
            std::string::npos) << lines.back();
}

// A break far ahead: up to half a day it lies ahead of the stream time on the 33-bit clock
// (placed on the frame grid at that distance); beyond, it would read as one behind (placed
// on the picture just muxed and dropped as passed), so it is refused.
TEST(SpliceCues, BreaksFarAheadStayAheadOrAreRefused) {
  const struct {
    const char* name;
    double inSeconds;
    bool placed;
  } rows[] = {
      {"HalfADay", 43200, true},
      {"JustOverHalfADay", 43200.04, false},
      {"PastHalfTheClock", 47721, false},
      {"ADay", 86400, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SpliceCues cues;
    cues.SetPid(0x102);
    std::vector<uint8_t> out;
    const int64_t start = (int64_t(1) << 33) - 10 * 90000;  // near the wrap, as a long run meets it
    cues.OnPicture(Picture(start, start, true), &out);
    SpliceBreak placed;
    const int64_t ticks = std::llround(row.inSeconds * 90000);
    ASSERT_EQ(cues.AddBreakIn(ticks, 30 * 90000, &placed), row.placed);
    SpliceRequests requests;
    EXPECT_EQ(requests.Ask(row.inSeconds, 30, 1).error.find("\"in\""), row.placed ? std::string::npos : 0u);
    if (!row.placed) continue;
    const int64_t lead = PTSDifference(placed.splicePts, start - 2 * kFrame);
    EXPECT_GE(lead, ticks);
    EXPECT_LT(lead, ticks + kFrame);
    out.clear();
    cues.OnPicture(Picture(start + kFrame, start + kFrame), &out);
    EXPECT_EQ(cues.TakeLines(), std::vector<std::string>{});  // not dropped as passed
  }
}

// The queue between threads: an answer from the muxing thread, a withdrawal when it never
// comes, bad values refused at once.
TEST(SpliceRequests, AnsweredByTheMuxingThread) {
  SpliceRequests requests;
  std::atomic<bool> answered{false};
  std::thread mux([&requests, &answered] {
    for (int i = 0; i < 400 && !answered; ++i) {
      requests.Serve([&answered](double in, double duration) {
        answered = true;
        SpliceReply reply;
        reply.ok = true;
        reply.eventId = 7;
        reply.splicePts = static_cast<int64_t>((in + duration) * 90000);
        return reply;
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const SpliceReply reply = requests.Ask(4, 30);
  mux.join();
  EXPECT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.eventId, 7u);
  EXPECT_EQ(reply.splicePts, 34 * 90000);
  EXPECT_FALSE(requests.Ask(4, 30, 20).ok);  // nobody serves: withdrawn
  bool served = false;
  requests.Serve([&served](double, double) {
    served = true;
    return SpliceReply{};
  });
  EXPECT_FALSE(served);
  EXPECT_FALSE(requests.Ask(-1, 30).ok);
  EXPECT_FALSE(requests.Ask(1, 0).ok);
  EXPECT_FALSE(requests.Ask(1, 1e9).ok);
}

}  // namespace
}  // namespace palvex_host
