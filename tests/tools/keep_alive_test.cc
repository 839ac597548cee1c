// The keep-alive alone, over a stream shaped like palvex's (PAT, PMT and SDT, video with a
// PCR on every frame) whose input falls silent for a while and comes back with its next PCR
// 20 or 40 ms after the last one the keep-alive added (up to 40 ms it does not fill). For
// every length of the silence, a receiver that times packets on the line between PCRs sees
// PAT and PMT at most 0.5 s apart, PCRs at most 40 ms apart and continuity on every PID.
#include "keep_alive.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/program_maker.h"
#include "support/psi_cadence.h"
#include "support/ts_checker.h"

namespace palvex_host {
namespace {

using palvex_test::kVideoPid;
using palvex_test::PsiCadence;

constexpr int64_t kStart90k = 162000;           // the first frame's DTS, 1.8 s
constexpr int64_t kPCRBehind = kPCRHz * 4 / 10;  // the muxer's PCR, 400 ms behind the DTS

// 25 frames, idleTicks of silence, 25 frames more whose first PCR comes resumeTicks after the
// keep-alive's last; the tables come every 420 ms of frame time, as the muxer sends them.
std::vector<uint8_t> RunThroughSilence(int64_t idleTicks, int64_t resumeTicks) {
  KeepAlive keepAlive(7);
  palvex_test::ProgramMaker maker(kVideoPid);
  std::vector<uint8_t> out;
  int64_t shift = 0, nextTables = 0;
  for (int frame = 0; frame < 50; ++frame) {
    if (frame == 25) {
      const int64_t from = keepAlive.lastPCR();  // the channel looks every 10 ms
      for (int64_t line = from; line <= from + idleTicks; line += kPCRHz / 100) keepAlive.AdvanceTo(line, &out);
      const int64_t nextPCR = keepAlive.lastPCR() + resumeTicks;
      shift = (nextPCR + kPCRBehind) / 300 - (kStart90k + frame * 3600);
    }
    const int64_t dts = kStart90k + frame * 3600 + shift;
    if (dts >= nextTables) {
      maker.Tables(true);
      nextTables = dts + 37800;
    }
    maker.Unit(kVideoPid, dts, dts + 7200, 3, true);
    const std::vector<uint8_t> ts = maker.Take();
    keepAlive.Pass(ts.data(), ts.size(), &out);
  }
  return out;
}

TEST(KeepAliveTest, TablesAndPCRsInTimeWhateverTheSilence) {
  for (const int64_t resume : {KeepAlive::kStepTicks, 2 * KeepAlive::kStepTicks}) {
    for (int64_t idle = kPCRHz / 2; idle <= 3 * kPCRHz / 2; idle += kPCRHz / 250) {
      const std::vector<uint8_t> ts = RunThroughSilence(idle, resume);
      const std::string where = "silence " + std::to_string(idle / 27000) + " ms, next PCR " +
                                std::to_string(resume / 27000) + " ms after";
      palvex_test::TsChecker checker;
      checker.Feed(ts.data(), ts.size());
      ASSERT_TRUE(checker.errors().empty()) << where << ": " << checker.errors().front();
      const std::vector<int64_t>& pcrs = checker.pcrBases().at(kVideoPid);
      for (size_t k = 1; k < pcrs.size(); ++k) ASSERT_LE(pcrs[k] - pcrs[k - 1], 3600) << where;
      const palvex_test::PsiCadence cadence = palvex_test::MeasurePsiCadence(ts.data(), ts.size());
      const PsiCadence::Gap pat = PsiCadence::LongestGap(cadence.patTimes, cadence.firstPcr, cadence.lastPcr);
      const PsiCadence::Gap pmt = PsiCadence::LongestGap(cadence.pmtTimes, cadence.firstPcr, cadence.lastPcr);
      ASSERT_LE(pat.length, 45000) << where << ": no PAT for " << pat.length / 90 << " ms from PCR " << pat.from;
      ASSERT_LE(pmt.length, 45000) << where << ": no PMT for " << pmt.length / 90 << " ms from PCR " << pmt.from;
    }
  }
}

}  // namespace
}  // namespace palvex_host
