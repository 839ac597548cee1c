// The scheduler alone, over a stream shaped like palvex's (PAT, PMT, H.264 and AAC PES
// packets, a PCR on the first packet of video frames) but with the PIDs moved and an SDT
// put in between, as a DVB stage in front of it would: constant slots, exact PCRs, a PCR
// every 40 ms on the PCR_PID that the PMT names, tables at their cadence, every access unit
// between its DTS less the lead and its DTS, continuity on every PID; with too little rate
// the late units counted as a receiver sees them; and the channel kept on air without input,
// also with a PMT of two packets. Tables a receiver can act on: every PMT no later than the
// first PAT naming it, nothing on a listed PID before its PMT (a program added to a multiplex
// with its PMT and first access units ahead of the PAT naming it, too), PAT and PMT at most
// 100 ms apart, SI 1 s, and a TDT leaving when it comes even while content is late.
#include "scheduler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/program_maker.h"
#include "support/rate_reader.h"
#include "support/table_order.h"
#include "support/ts_checker.h"

namespace palvex_host {
namespace {

using palvex_test::kAudioPid;
using palvex_test::kSDTPid;
using palvex_test::kTDTPid;
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
  int pmtPid = palvex_test::kPMTPid;
};

const ScheduleCase kCases[] = {
    {"PCROnVideoAsThePMTSays", kVideoPid, 1, 1.5, false, 0, false},
    {"PCROnAudioWithAnSDTBetween", kAudioPid, 0, 1.5, true, 0, false},
    {"FewPCRsFromTheMuxer", kVideoPid, 25, 1.2, true, 0, false},
    {"KeptOnAirThroughSilence", kVideoPid, 1, 1.5, true, 2.5, false},
    {"TooLittleRate", kVideoPid, 1, 0.7, false, 0, true},
    {"TwoPacketPMTNamesTheClockAndIsKeptOnAir", kAudioPid, 0, 1.5, true, 2.5, false, true},
    // --keep-pids: the library's PMT on 0x0010, among the DVB SI PIDs.
    {"PMTOnAnSIPidAsTheLibraryPutsIt", kVideoPid, 1, 1.5, false, 0, false, false, 0x0010},
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
  ProgramMaker maker(c.pcrPid, palvex_test::ProgramPids{1, c.pmtPid, kVideoPid, kAudioPid});
  int64_t nextAudio = start90k, nextTables = start90k, shift = 0;
  size_t units = 0;
  std::vector<int64_t> tdtIn;  // the line when each TDT came in
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
    if (frame % 25 == 10 && scheduler.started()) {  // a TDT each second, pushed alone
      const std::vector<uint8_t> before = maker.Take();
      ASSERT_TRUE(scheduler.Push(before.data(), before.size()));
      maker.TDT();
      tdtIn.push_back(scheduler.now());
      ASSERT_TRUE(scheduler.Push(maker.Take().data(), kTSPacketSize));
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
  EXPECT_LE(r.maxPATIntervalNs, 100000000);
  EXPECT_LE(r.maxPMTIntervalNs, 100000000);
  EXPECT_EQ(r.units, units);
  const palvex_test::TableOrder order = palvex_test::ReadTableOrder(out.bytes.data(), out.bytes.size());
  EXPECT_TRUE(order.pmtAfterPAT.empty()) << order.pmtAfterPAT.front();
  EXPECT_TRUE(order.beforePMT.empty()) << order.beforePMT.front();
  // A table never waits behind late content: each TDT leaves within 50 ms of the line where
  // it came in (the slots are fixed up to a frame behind the content that came).
  std::vector<int64_t> tdtOut;
  for (size_t i = 0; i < out.times.size(); ++i)
    if (PacketPid(&out.bytes[i * kTSPacketSize]) == kTDTPid) tdtOut.push_back(out.times[i]);
  ASSERT_EQ(tdtOut.size(), tdtIn.size());
  for (size_t k = 0; k < tdtIn.size(); ++k) EXPECT_LE(tdtOut[k] - tdtIn[k], kPCRHz / 20) << "TDT " << k;
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
    EXPECT_LE(longest, kPCRHz);
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

// A multiplex: programs A (number 1) and B (number 2), each on its own clock and PIDs, fed
// as a live head-end feeds them, every 40 ms of the wall clock (the line of A's clock) what
// came in, then AdvanceTo that line. B's content is heavier (I frames of 90 packets).
struct MultiplexCase {
  const char* name;
  int64_t clockB90k;      // B's first DTS on its own clock
  int startB, endB;       // the 40 ms steps in which B is named by the PAT and sends
  int silentFrom, silentTo;  // B sends nothing in these steps, its clock going on as a
                             // host's timeline puts it (on by the silence)
  double rateFactor;      // the mux rate as a share of A and B's content
  bool lateB;             // B's content cannot all be carried: B late
  bool pmtAhead = false;  // B's PMT and first access units come ahead of the PAT naming it
  int jumpAt = 0;         // from this step on B's time stamps run jumpB90k further on (a live
  int64_t jumpB90k = 0;   // input re-based ahead of the wall clock)
  int restartAt = 0;      // B started anew every so many steps: a new muxer on the same PIDs
                          // (its continuity counters from 0), its clock from clockB90k again
};

const MultiplexCase kMultiplexCases[] = {
    {"TwoClocksOneAcrossTheWrap", (int64_t{1} << 33) - 90000, 0, 100, 0, 0, 1.5, false},
    {"ASilentProgramKeepsItsPCRAndMovesNothing", 162000, 0, 100, 30, 105, 1.5, false},
    {"AProgramAddedAndOneRemovedWhileTheLineRuns", 162000, 30, 75, 0, 0, 1.5, false},
    {"AProgramAddedWithItsPMTAheadOfThePAT", 162000, 30, 100, 0, 0, 1.5, false, true},
    {"TooLittleRateIsToldPerProgram", 5400000, 0, 100, 0, 0, 0.6, true},
    {"AProgramAheadOfTheWallClockTakesNoSlotFromTheOther", 162000, 0, 100, 0, 0, 1.5, false, false, 40, 4 * 90000},
    {"AProgramStartedAnewOnTheSamePidsGetsAClockOfItsOwn", 5400000, 0, 100, 0, 0, 1.5, false, false, 0, 0, 34},
};

class MultiplexTest : public testing::TestWithParam<MultiplexCase> {};

TEST_P(MultiplexTest, EachProgramOnItsOwnClockExactAndInTime) {
  const MultiplexCase& c = GetParam();
  const palvex_test::ProgramPids a{1, 0x0100, 0x0101, 0x0102}, b{2, 0x0120, 0x0121, 0x0122};
  const double bitsA = (60 + 24 * 8) * 188 * 8 + 50 * 2 * 188 * 8, bitsB = bitsA + 30 * 188 * 8;
  const int64_t rate = static_cast<int64_t>((bitsA + bitsB) * c.rateFactor);
  Collector out;
  SchedulerConfig config;
  config.muxRate = rate;
  Scheduler scheduler(config, &out);
  ProgramMaker makerA(a.videoPid, a), makerB(b.videoPid, b), patMaker(a.videoPid);
  const int64_t startA = 162000;
  int64_t audioA = startA, audioB = c.clockB90k, shiftB = 0;
  size_t unitsA = 0, unitsB = 0;
  int64_t wall = 0;  // the line of the wall clock
  std::vector<int64_t> pcrGapsB;
  int startedB = c.startB;  // the step of B's last start
  for (int step = 0; step < 100; ++step) {
    std::vector<uint8_t> tables;
    const bool bNamed = step >= c.startB && step < c.endB;
    const bool bSends = bNamed && (step < c.silentFrom || step >= c.silentTo);
    const bool restart = c.restartAt > 0 && step > 0 && step % c.restartAt == 0;
    if (restart) {
      startedB = step;
      scheduler.StartAnew(b.number);
      makerB = ProgramMaker(b.videoPid, b);
      audioB = c.clockB90k;
    }
    if (step % 12 == 0 || step == c.startB || step == c.endB || restart) {  // tables every 480 ms, and when B comes or goes
      std::vector<palvex_test::ProgramPids> named{a};
      if (bNamed) named.push_back(b);
      patMaker.PAT(named, bNamed ? 1 : 0);
      makerA.Tables(false, false, false);
      if (bNamed) makerB.Tables(false, false, false);
      tables = patMaker.Take();
      if (!c.pmtAhead || step != c.startB) {
        ASSERT_TRUE(scheduler.Push(tables.data(), tables.size()));
      }
    }
    const int64_t dtsA = startA + step * 3600;
    for (; audioA < dtsA + 3600; audioA += 1920, ++unitsA) makerA.Unit(a.audioPid, audioA - 3600, audioA, 2, false);
    makerA.Unit(a.videoPid, dtsA, dtsA + 7200, step % 25 == 0 ? 60 : 8, true);
    ++unitsA;
    if (step == c.silentTo && c.silentTo > c.silentFrom) shiftB = (c.silentTo - c.silentFrom) * 3600;
    if (step == c.jumpAt && c.jumpB90k > 0) {
      shiftB += c.jumpB90k;
      audioB += c.jumpB90k;
    }
    const int bStep = step - startedB;
    const int64_t dtsB = c.clockB90k + bStep * 3600 + shiftB;
    if (bSends) {
      if (step == c.silentTo) audioB = dtsB;
      for (; audioB < dtsB + 3600; audioB += 1920, ++unitsB)
        makerB.Unit(b.audioPid, (audioB - 3600) & ((int64_t{1} << 33) - 1), audioB & ((int64_t{1} << 33) - 1), 2, false);
      makerB.Unit(b.videoPid, dtsB & ((int64_t{1} << 33) - 1), (dtsB + 7200) & ((int64_t{1} << 33) - 1),
                  bStep % 25 == 0 ? 90 : 9, true);
      ++unitsB;
    }
    for (ProgramMaker* m : {&makerA, &makerB}) {
      const std::vector<uint8_t> ts = m->Take();
      ASSERT_TRUE(scheduler.Push(ts.data(), ts.size()));
    }
    if (c.pmtAhead && step == c.startB) {
      ASSERT_TRUE(scheduler.Push(tables.data(), tables.size()));
    }
    if (step == 0) wall = scheduler.now();
    wall += 40 * kPCRHz / 1000;
    ASSERT_TRUE(scheduler.AdvanceTo(wall));
  }
  ASSERT_TRUE(scheduler.Finish());

  for (size_t i = 0; i < out.times.size(); ++i)
    ASSERT_EQ(out.times[i] - out.times[0], static_cast<int64_t>(i) * 1504 * kPCRHz / rate) << "slot " << i;
  palvex_test::TsChecker checker;
  checker.Feed(out.bytes.data(), out.bytes.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  const std::vector<ProgramStats> stats = scheduler.programStats();
  // Started anew twice: the place of B's first program taken again, its counts kept.
  ASSERT_EQ(stats.size(), c.restartAt > 0 ? 4u : 2u);
  if (c.restartAt > 0) {
    // B's two programs each on their own clock: none late, the new clock flagged.
    const palvex_test::WireReport w = palvex_test::ReadWire(out.bytes.data(), out.bytes.size(), rate);
    for (const auto& [number, program] : w.programs) {
      SCOPED_TRACE("program " + std::to_string(number));
      EXPECT_EQ(program.lateUnits, 0u) << (program.errors.empty() ? "" : program.errors.front());
      EXPECT_EQ(program.pcrSteps, 0u) << (program.errors.empty() ? "" : program.errors.front());
      EXPECT_LE(program.maxPCRIntervalNs, 40000000);
      EXPECT_EQ(program.units, number == 1 ? unitsA : unitsB);
    }
    int instances = 0;
    for (const ProgramStats& program : stats) instances |= program.number == 2 ? 1 << program.instance : 0;
    EXPECT_EQ(instances, 7);
  }
  for (const ProgramStats& program : stats) {
    if (c.restartAt > 0) break;
    SCOPED_TRACE("program " + std::to_string(program.number));
    const palvex_test::RateReport r = palvex_test::ReadConstantRate(out.bytes.data(), out.bytes.size(), rate, program.number);
    EXPECT_LE(r.maxPCRErrorNs, 37);  // one 27 MHz tick, on the program's own clock
    EXPECT_LE(r.maxPCRIntervalNs, 40000000);
    EXPECT_LE(r.maxPMTIntervalNs, 500000000);
    EXPECT_EQ(r.units, program.number == 1 ? unitsA : unitsB);
    EXPECT_LE(r.maxLeadNs, kLead * 1000 / 27 + 37);
    EXPECT_EQ(r.lateUnits, program.lateUnits) << "the scheduler and a receiver disagree on late units";
    // Earliest deadline first shares the want of rate: A may be late too, never alone.
    if (!c.lateB || program.number == 2) {
      EXPECT_EQ(program.lateUnits > 0, c.lateB) << (r.errors.empty() ? "" : r.errors.front());
    }
    if (program.lateUnits > 0) {
      EXPECT_GT(program.maxNeededRate, 0);
      EXPECT_LT(program.maxNeededRate, scheduler.stats().maxNeededRate);
    }
  }
  uint64_t late = 0;
  for (const ProgramStats& program : stats) late += program.lateUnits;
  EXPECT_EQ(late, scheduler.stats().lateUnits);
  // B's PMT leaves ahead of the first PAT naming B when it came in first (or the line had not
  // started); B's packets never ahead of its PMT.
  const palvex_test::TableOrder order = palvex_test::ReadTableOrder(out.bytes.data(), out.bytes.size());
  if (c.startB == 0 || c.pmtAhead) {
    EXPECT_TRUE(order.pmtAfterPAT.empty()) << order.pmtAfterPAT.front();
  }
  EXPECT_TRUE(order.beforePMT.empty()) << order.beforePMT.front();
  // A's clock is the line; B's is its own, laid onto the line where B started.
  int64_t offsetA = -1, offsetB = 0;
  ASSERT_TRUE(scheduler.ProgramOffset(1, &offsetA));
  ASSERT_TRUE(scheduler.ProgramOffset(2, &offsetB));
  EXPECT_EQ(offsetA, 0);
  EXPECT_NEAR(static_cast<double>(offsetB),
              static_cast<double>((startA - c.clockB90k) * 300 + startedB * 40 * kPCRHz / 1000),
              kPCRHz / 10);
}

void PrintTo(const MultiplexCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Programs, MultiplexTest, testing::ValuesIn(kMultiplexCases),
                         [](const testing::TestParamInfo<MultiplexCase>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex_host
