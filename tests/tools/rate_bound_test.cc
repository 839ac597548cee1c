// The rate that meets every decode time, worked by hand: each row lists access units (DTS
// in ms, packets) in the order a muxer hands them over, with the lead and the first slot's
// line; the rate is the steepest window of bytes over the time from the lead before its
// first DTS (not before the first slot) to its last DTS.
#include <gtest/gtest.h>

#include <vector>

#include "rate_bound.h"

namespace {

using palvex_host::FixedLoad;
using palvex_host::FixedShare;
using palvex_host::LeastMuxRate;
using palvex_host::NeededMuxRate;

constexpr int64_t kMs = 27000;

struct Unit {
  int64_t dtsMs;
  int packets;
};

struct BoundCase {
  const char* name;
  int64_t leadMs;
  int64_t startMs;
  std::vector<Unit> units;
  int64_t rate;  // bit/s
};

const BoundCase kCases[] = {
    // 100 packets within the second before their DTS: 18800 bytes a second.
    {"OneUnitWithinTheLead", 1000, 0, {{2000, 100}}, 150400},
    // The first slot 500 ms before the DTS: half the time.
    {"FirstSlotCutsTheLead", 1000, 500, {{1000, 50}}, 150400},
    // [0, 1 s]: 1880 bytes; [0, 2 s]: 7520 in 2 s; [1 s, 2 s]: 5640 in 1 s, the steepest.
    {"LaterWindowSteeper", 1000, 0, {{1000, 10}, {2000, 30}}, 45120},
    // The same units as two PIDs hand them over, the later DTS first.
    {"InterleavedPids", 1000, 0, {{2000, 20}, {1000, 10}, {2000, 10}}, 45120},
    // A burst, then units spread thin: the burst's window stays the steepest.
    {"BurstThenQuiet", 1000, 0, {{1000, 100}, {2000, 1}, {3000, 1}, {10000, 1}}, 150400},
    // Many small units at 40 ms, 4 packets each: 4 x 188 x 8 / 0.04 at a lead of one frame.
    {"SteadyStreamAtAShortLead", 40, 0,
     {{40, 4}, {80, 4}, {120, 4}, {160, 4}, {200, 4}, {240, 4}, {280, 4}, {320, 4}}, 150400},
};

class RateBoundTest : public testing::TestWithParam<BoundCase> {};

TEST_P(RateBoundTest, SteepestWindow) {
  const BoundCase& c = GetParam();
  palvex_host::RateBound bound;
  bound.Start(c.startMs * kMs, c.leadMs * kMs);
  for (const Unit& u : c.units)
    for (int i = 0; i < u.packets; ++i) bound.Add(u.dtsMs * kMs);
  EXPECT_NEAR(static_cast<double>(bound.Rate()), static_cast<double>(c.rate), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, RateBoundTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<BoundCase>& param) { return param.param.name; });


// What PCRs and tables leave of a channel's rate (a PCR every 40 ms; PAT, PMT and SDT every
// 100 ms), worked by hand. 75 kbit/s: a slot of 20.05 ms, two slots are more than 40 ms, so
// every slot would be a PCR; 76 kbit/s: 19.8 ms, a PCR every other slot and 30 table
// packets a second. 112 kbit/s: a PCR every third slot, 0.33 + 0.403 of the slots; 113
// kbit/s: 0.33 + 0.399, within three quarters. 1 Mbit/s of content (with 1 % to spare): at
// 1.09M a PCR every 28 slots and the tables leave 1.006 Mbit/s; at 1.10M every 29, 1.017.
TEST(FixedLoadTest, ChannelRatesWorkedByHand) {
  FixedLoad channel;
  channel.pcrPrograms = 1;
  channel.psiPackets = 3;
  EXPECT_GT(FixedShare(channel, 75000), 1.0);
  EXPECT_NEAR(FixedShare(channel, 76000), 0.5 + 30 * 1504.0 / 76000, 1e-9);
  EXPECT_EQ(LeastMuxRate(channel), 113000);
  EXPECT_EQ(NeededMuxRate(1000000, channel), 1100000);
  EXPECT_EQ(NeededMuxRate(0, channel), 100000);  // the first 10k at which any slot is left
  // Ten programs: ten PCR slots in every floor(40 ms / slot).
  FixedLoad ten = channel;
  ten.pcrPrograms = 10;
  EXPECT_NEAR(FixedShare(ten, 15040000), 10.0 / 400 + 30 * 1504.0 / 15040000, 1e-9);
}

}  // namespace
