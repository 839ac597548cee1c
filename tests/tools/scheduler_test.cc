// The scheduler alone, over a stream shaped like palvex's (PAT, PMT, H.264 and AAC PES
// packets, a PCR on the first packet of video frames) but with the PIDs moved and an SDT
// put in between, as a DVB stage in front of it would: constant slots, exact PCRs, a PCR
// every 40 ms on the PCR_PID that the PMT names, tables at their cadence, every access unit
// between its DTS less the lead and its DTS, continuity on every PID; with too little rate
// the late units counted as a receiver sees them; and the channel kept on air without input,
// also with a PMT of two packets.
#include "scheduler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/program_maker.h"
#include "support/rate_reader.h"
#include "support/ts_checker.h"

namespace palvex_host {
namespace {

using palvex_test::kAudioPid;
using palvex_test::kSDTPid;
using palvex_test::kVideoPid;
using palvex_test::ProgramMaker;
constexpr int64_t kLead = kDefaultLeadTicks;

// The 27 MHz times of every slot, and the packets, as the output got them.
class Collector final : public PacketOutput {
 public:
  bool Send(const uint8_t* packets, const int64_t* departures, size_t count) override {
    bytes.insert(bytes.end(), packets, packets + count * kTSPacketSize);
    times.insert(times.end(), departures, departures + count);
    return true;
  }
  std::vector<uint8_t> bytes;
  std::vector<int64_t> times;
};

struct ScheduleCase {
  const char* name;
  int pcrPid;
  int pcrEveryFrames;   // the muxer's PCRs on video: every n-th frame (0: none)
  double rateFactor;    // the mux rate as a share of the content's
  bool sdt;
  double idleSeconds;   // input silent this long in the middle, AdvanceTo driving the channel
  bool late;            // too little rate: late units expected
  bool longPMT = false; // the PMT goes on over two packets
};

const ScheduleCase kCases[] = {
    {"PCROnVideoAsThePMTSays", kVideoPid, 1, 1.5, false, 0, false},
    {"PCROnAudioWithAnSDTBetween", kAudioPid, 0, 1.5, true, 0, false},
    {"FewPCRsFromTheMuxer", kVideoPid, 25, 1.2, true, 0, false},
    {"KeptOnAirThroughSilence", kVideoPid, 1, 1.5, true, 2.5, false},
    {"TooLittleRate", kVideoPid, 1, 0.7, false, 0, true},
    {"TwoPacketPMTNamesTheClockAndIsKeptOnAir", kAudioPid, 0, 1.5, true, 2.5, false, true},
};

class SchedulerTest : public testing::TestWithParam<ScheduleCase> {};

// 4 s of 25 fps video (an I frame of 60 packets each second, else 8) and 48 kHz AAC (2
// packets every 1024 samples), in the order a muxer gives them, tables every 500 ms.
TEST_P(SchedulerTest, ConstantSlotsExactPCRsAndUnitsInTime) {
  const ScheduleCase& c = GetParam();
  const int64_t start90k = 162000;  // 1.8 s
  const double contentBits = (60 + 24 * 8) * 188 * 8 + 47 * 2 * 188 * 8 + 2 * 2 * 188 * 8;
  const int64_t rate = static_cast<int64_t>(contentBits * c.rateFactor);
  Collector out;
  SchedulerConfig config;
  config.muxRate = rate;
  Scheduler scheduler(config, &out);
  ProgramMaker maker(c.pcrPid);
  int64_t nextAudio = start90k, nextTables = start90k, shift = 0;
  size_t units = 0;
  for (int frame = 0; frame < 100; ++frame) {
    if (frame == 50 && c.idleSeconds > 0) {
      // Silence: the channel goes on from the last DTS; the input comes back on its own time.
      ASSERT_TRUE(scheduler.AdvanceTo(scheduler.now() + static_cast<int64_t>(c.idleSeconds * kPCRHz)));
      shift = static_cast<int64_t>(c.idleSeconds * 90000) + 9000;
    }
    const int64_t dts = start90k + frame * 3600 + shift;
    for (; nextAudio + shift < dts + 3600; nextAudio += 1920) {
      maker.Unit(kAudioPid, nextAudio + shift - 3600, nextAudio + shift, 2, false);
      ++units;
      ASSERT_TRUE(scheduler.Push(maker.Take().data(), 2 * kTSPacketSize));
    }
    if (dts >= nextTables) {
      maker.Tables(c.sdt, c.longPMT);
      nextTables = dts + 45000;
    }
    maker.Unit(kVideoPid, dts, dts + 7200, frame % 25 == 0 ? 60 : 8, c.pcrEveryFrames > 0 && frame % c.pcrEveryFrames == 0);
    ++units;
    const std::vector<uint8_t> ts = maker.Take();
    ASSERT_TRUE(scheduler.Push(ts.data(), ts.size()));
  }
  ASSERT_TRUE(scheduler.Finish());

  // Slot i leaves at slot 0 + i x 188 x 8 / R, exactly (to the 27 MHz tick).
  ASSERT_GT(out.times.size(), 1000u);
  for (size_t i = 0; i < out.times.size(); ++i)
    ASSERT_EQ(out.times[i] - out.times[0], static_cast<int64_t>(i) * 1504 * kPCRHz / rate) << "slot " << i;
  palvex_test::TsChecker checker;
  checker.Feed(out.bytes.data(), out.bytes.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  const palvex_test::RateReport r = palvex_test::ReadConstantRate(out.bytes.data(), out.bytes.size(), rate);
  EXPECT_LE(r.maxPCRErrorNs, 37);  // one 27 MHz tick
  EXPECT_LE(r.maxPCRIntervalNs, 40000000);
  EXPECT_LE(r.maxPATIntervalNs, 500000000);
  EXPECT_LE(r.maxPMTIntervalNs, 500000000);
  EXPECT_EQ(r.units, units);
  EXPECT_LE(r.maxLeadNs, kLead * 1000 / 27 + 37);  // to the tick
  EXPECT_EQ(r.lateUnits, scheduler.stats().lateUnits) << "the scheduler and a receiver disagree on late units";
  EXPECT_EQ(r.lateUnits > 0, c.late) << (r.errors.empty() ? "" : r.errors.front());
  if (c.late) {
    EXPECT_GT(scheduler.stats().maxNeededRate, rate);
  }
  if (c.sdt) {
    int64_t last = -1, longest = 0;
    for (size_t i = 0; i < out.times.size(); ++i) {
      const uint8_t* p = &out.bytes[i * kTSPacketSize];
      if (PacketPid(p) != kSDTPid) continue;
      if (last >= 0) longest = std::max(longest, out.times[i] - last);
      last = out.times[i];
    }
    EXPECT_LE(longest, 2 * kPCRHz);
  }
  if (c.idleSeconds > 0) {
    EXPECT_GT(scheduler.stats().tableRepeats, 4u);
    EXPECT_GT(scheduler.stats().pcrPackets, 50u);
  }
  // The output lasts as long as the content plays: the first PTS to the last one's end.
  const double seconds = static_cast<double>(out.times.size()) * 1504 / static_cast<double>(rate);
  if (!c.late) {
    EXPECT_NEAR(seconds, 4.0 + 0.08 + (c.idleSeconds > 0 ? c.idleSeconds + 0.1 : 0), 0.05);
  }
}

void PrintTo(const ScheduleCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Streams, SchedulerTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ScheduleCase>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex_host
