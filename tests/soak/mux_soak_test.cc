// Soak of a multiplex on air: the scenarios of the paced e2e tests (support/mux_soak.h),
// their senders' deaths and restarts and the reloads repeated cycle after cycle
// (PALVEX_MUX_SOAK_CYCLES, 10 by default: about 11 minutes in all). Over the whole run no
// access unit of any program is late, the wire stays continuous, every service is on air
// at the end; from the end of the second cycle to the end of the last the process's
// descriptors stay the same and its memory grows by at most 4 MiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "support/mux_soak.h"
#include "support/shell.h"

namespace {

class MuxSoakTest : public testing::TestWithParam<palvex_test::SoakScenario> {};

TEST_P(MuxSoakTest, CycleAfterCycle) {
  if (!palvex_test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const palvex_test::SoakClips clips = palvex_test::MakeSoakClips();
  ASSERT_FALSE(clips.file.empty());
  ASSERT_FALSE(clips.liveB.empty());
  const char* cycles = std::getenv("PALVEX_MUX_SOAK_CYCLES");
  palvex_test::RunMuxSoak(palvex_test::ProcessTempDir("palvex-mux-soak"), clips, GetParam(),
                          cycles != nullptr ? std::max(3, std::atoi(cycles)) : 10, 4000000, 4 << 20);
}

INSTANTIATE_TEST_SUITE_P(Multiplex, MuxSoakTest, testing::ValuesIn(palvex_test::SoakScenarios()),
                         [](const testing::TestParamInfo<palvex_test::SoakScenario>& param) { return param.param.name; });

}  // namespace
