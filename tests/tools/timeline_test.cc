// The channel's time line alone: frames of a video (clock) stream and an audio stream with
// their input times, and where each lands. An input clock that steps back or jumps more
// than a second forward re-bases the program onto the latest frame end (or the channel's
// own time when the caller gives one); a clock-stream frame behind the channel's floor is
// moved on to it; a short gap is kept as it is; a --loop pass lasts each stream's own
// duration, with the audio's first frame left out or its last sent again when it drifts
// more than half a frame from the video. After an input loss, frames held back from before
// it keep their time, or are left out when the channel is past it; a re-based frame lands
// after the last picture presented, not only after the last decode time.
#include "timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace palvex_host {
namespace {

constexpr int64_t N = Timeline::kNone;
constexpr size_t kVideo = 0, kAudio = 1;
constexpr int64_t kStart = 1000000;

struct Event {
  bool pass;            // NextPass instead of a frame; expect then lists the repeats' times
  size_t stream;
  int64_t timeUs, durationUs;
  int64_t floorUs, resumeUs;
  Timeline::Step step;  // expected
  int64_t mappedUs;     // expected; for a pass, the one repeat's time (N: none)
  int64_t shownAfterUs = 0;  // PTS less DTS
  bool lost = false;         // InputLost instead of a frame
  bool key = true;
};

Event F(size_t stream, int64_t t, int64_t d, Timeline::Step step, int64_t mapped, int64_t floor = N,
        int64_t resume = N) {
  return {false, stream, t, d, floor, resume, step, mapped};
}
Event Pass(int64_t repeatUs = N) { return {true, 0, 0, 0, N, N, Timeline::Step::kOn, repeatUs}; }
Event NotKey(Event e) {
  e.key = false;
  return e;
}
Event Lost() { return {false, 0, 0, 0, N, N, Timeline::Step::kOn, N, 0, true}; }
Event Shown(Event e, int64_t afterUs) {
  e.shownAfterUs = afterUs;
  return e;
}

constexpr Timeline::Step kOn = Timeline::Step::kOn, kRebased = Timeline::Step::kRebased,
                         kDropped = Timeline::Step::kDropped, kLate = Timeline::Step::kLate,
                         kCut = Timeline::Step::kCut;

struct TimelineCase {
  const char* name;
  std::vector<Event> events;
};

const TimelineCase kCases[] = {
    {"ClockStepsBack",
     {F(kVideo, 0, 40000, kOn, kStart), F(kVideo, 40000, 40000, kOn, kStart + 40000),
      F(kVideo, 0, 40000, kRebased, kStart + 80000), F(kVideo, 40000, 40000, kOn, kStart + 120000)}},
    {"ClockJumpsForward",
     {F(kVideo, 0, 40000, kOn, kStart), F(kVideo, 40000, 40000, kOn, kStart + 40000),
      F(kVideo, 9000000, 40000, kRebased, kStart + 80000), F(kAudio, 8990000, 20000, kOn, kStart + 70000)}},
    {"ShortGapKept", {F(kVideo, 0, 40000, kOn, kStart), F(kVideo, 900000, 40000, kOn, kStart + 900000)}},
    {"BackAfterSilenceResumesAtTheChannelsTime",
     {F(kVideo, 0, 40000, kOn, kStart), F(kVideo, 40000, 40000, kOn, kStart + 40000),
      F(kVideo, 0, 40000, kRebased, 5000000, N, 5000000),
      F(kAudio, 10000, 20000, kOn, 5010000)}},
    {"RebasedOntoTheFrameGrid",
     {F(kVideo, 0, 40000, kOn, kStart), F(kVideo, 40000, 40000, kOn, kStart + 40000),
      F(kVideo, 0, 40000, kRebased, 2040000, N, 2010000)}},
    {"ClockFrameBehindTheChannel",
     {F(kVideo, 0, 40000, kOn, kStart), F(kAudio, 20000, 20000, kOn, kStart + 20000, 2000000, 2400000),
      F(kVideo, 40000, 40000, kRebased, 2400000, 2000000, 2400000), F(kVideo, 80000, 40000, kOn, 2440000, 2000000)}},
    {"SameTimeAgainIsAStepBack", {F(kAudio, 0, 20000, kOn, kStart), F(kAudio, 0, 20000, kRebased, kStart + 20000)}},
    // The last P picture of a cut GOP is shown 80 ms after its decode time.
    {"RebasedAfterTheLastPictureShown",
     {Shown(F(kVideo, 0, 40000, kOn, kStart), 80000), Shown(F(kVideo, 40000, 40000, kOn, kStart + 40000), 80000),
      Shown(F(kVideo, 0, 40000, kRebased, kStart + 160000), 80000)}},
    // Moved within a GOP of reordered pictures: left out up to the next key picture.
    {"ReorderedCutUpToTheKeyPicture",
     {Shown(F(kVideo, 0, 40000, kOn, kStart), 80000), NotKey(F(kVideo, 40000, 40000, kOn, kStart + 40000)),
      NotKey(F(kVideo, 80000, 40000, kCut, N, kStart + 200000)), NotKey(F(kVideo, 120000, 40000, kCut, N)),
      F(kVideo, 160000, 40000, kOn, kStart + 280000)}},
    // Held back by the input's demuxer: the first still in time, the next ones not; then
    // the restarted input.
    {"HeldBackAfterALoss",
     {F(kVideo, 0, 40000, kOn, kStart), F(kAudio, 0, 20000, kOn, kStart), F(kVideo, 40000, 40000, kOn, kStart + 40000),
      Lost(), F(kVideo, 80000, 40000, kOn, kStart + 80000, kStart + 60000),
      F(kVideo, 120000, 40000, kLate, N, kStart + 200000), F(kAudio, 20000, 20000, kLate, N, kStart + 200000),
      F(kVideo, 0, 40000, kRebased, kStart + 320000, kStart + 200000, kStart + 300000),
      F(kAudio, 0, 20000, kOn, kStart + 320000, kStart + 200000), F(kVideo, 40000, 40000, kOn, kStart + 360000)}},
    // Without a restart the input goes on late: past the held-back span it is re-based.
    {"LateAfterALossGoesOn",
     {F(kVideo, 0, 40000, kOn, kStart), Lost(), F(kVideo, 40000, 40000, kLate, N, kStart + 2000000),
      F(kVideo, 600000, 40000, kRebased, kStart + 2000000, kStart + 2000000)}},
    // Video 80 ms a pass, audio 90 ms: 10 ms more each pass, then a frame left out.
    {"LoopAudioLonger",
     {F(kVideo, 0, 40000, kOn, kStart), F(kAudio, 0, 30000, kOn, kStart), F(kVideo, 40000, 40000, kOn, 1040000),
      F(kAudio, 30000, 30000, kOn, 1030000), F(kAudio, 60000, 30000, kOn, 1060000), Pass(),
      F(kVideo, 0, 40000, kOn, 1080000), F(kAudio, 0, 30000, kOn, 1090000), F(kVideo, 40000, 40000, kOn, 1120000),
      F(kAudio, 30000, 30000, kOn, 1120000), F(kAudio, 60000, 30000, kOn, 1150000), Pass(),
      F(kVideo, 0, 40000, kOn, 1160000), F(kAudio, 0, 30000, kDropped, N), F(kAudio, 30000, 30000, kOn, 1180000)}},
    // Video 80 ms a pass, audio 60 ms: the last audio frame again fills the seam.
    {"LoopAudioShorter",
     {F(kVideo, 0, 40000, kOn, kStart), F(kAudio, 0, 30000, kOn, kStart), F(kVideo, 40000, 40000, kOn, 1040000),
      F(kAudio, 30000, 30000, kOn, 1030000), Pass(1060000), F(kVideo, 0, 40000, kOn, 1080000),
      F(kAudio, 0, 30000, kOn, 1090000)}},
    // The last audio frame of the container cut short: a pass still counts it whole.
    {"LoopLastFrameCutShort",
     {F(kVideo, 0, 40000, kOn, kStart), F(kAudio, 0, 40000, kOn, kStart), F(kAudio, 40000, 10000, kOn, 1040000),
      F(kVideo, 40000, 40000, kOn, 1040000), Pass(), F(kAudio, 0, 40000, kOn, 1080000),
      F(kVideo, 0, 40000, kOn, 1080000)}},
};

class TimelineTest : public testing::TestWithParam<TimelineCase> {};

TEST_P(TimelineTest, FramesLandWhereTheChannelGoesOn) {
  Timeline timeline({false, true}, kVideo);
  timeline.Start(kStart);
  for (size_t i = 0; i < GetParam().events.size(); ++i) {
    const Event& e = GetParam().events[i];
    if (e.pass) {
      std::vector<Timeline::Repeat> repeats;
      ASSERT_TRUE(timeline.NextPass(&repeats)) << "event " << i;
      ASSERT_EQ(repeats.size(), e.mappedUs == N ? 0u : 1u) << "event " << i;
      if (!repeats.empty()) {
        EXPECT_EQ(repeats[0].timeUs, e.mappedUs) << "event " << i;
      }
      continue;
    }
    if (e.lost) {
      timeline.InputLost();
      continue;
    }
    int64_t mapped = N;
    Timeline::Bounds bounds;
    bounds.floorUs = e.floorUs;
    bounds.resumeUs = e.resumeUs;
    EXPECT_EQ(timeline.Map(e.stream, e.timeUs, e.durationUs, bounds, &mapped, e.timeUs + e.shownAfterUs, e.key), e.step)
        << "event " << i;
    if (e.step != kDropped && e.step != kLate && e.step != kCut) {
      EXPECT_EQ(mapped, e.mappedUs) << "event " << i;
    }
  }
}

void PrintTo(const TimelineCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Cases, TimelineTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TimelineCase>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex_host
