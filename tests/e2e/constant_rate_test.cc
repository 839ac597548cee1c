// --muxrate as a receiver that locks its clock to the channel sees it: three clips ffmpeg
// makes here (H.264 with B-pyramid + AAC, MPEG-2 + MP2, 59.94p long-GOP H.264 + AC-3), each
// at 1.5 x its own average rate. Every PCR within 500 ns of its byte position at R, PCRs at
// most 40 ms apart, PAT and PMT at most 0.5 s apart, every access unit's last byte before
// its DTS and its first no earlier than the lead before it, the file R x its duration long
// within 0.1 %, and the pictures ffmpeg decodes (framemd5) the source's. At any --lead, the
// first PCR a second or more above zero and an hour on still below the 2^33 wrap.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadFile;
using palvex_test::ReadText;
using palvex_test::Shell;

constexpr double kDefaultLeadSeconds = 0.8;

struct RateCase {
  const char* name;
  const char* encode;  // ffmpeg inputs and encoders
  const char* container;
};

const RateCase kCases[] = {
    {"H264BPyramidAAC",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 10 -c:v libx264 -bf 3 "
     "-b-pyramid normal -g 50 -b:v 600k -pix_fmt yuv420p -c:a aac -b:a 96k",
     "mp4"},
    {"MPEG2VideoMP2",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 10 -c:v mpeg2video -bf 2 "
     "-g 12 -b:v 800k -c:a mp2 -b:a 128k",
     "mkv"},
    {"P5994LongGOPAC3",
     "-f lavfi -i testsrc2=size=640x360:rate=60000/1001 -f lavfi -i sine=sample_rate=48000 -t 10 -c:v libx264 "
     "-preset veryfast -bf 2 -g 300 -b:v 1200k -pix_fmt yuv420p -c:a ac3 -b:a 192k",
     "mkv"},
};

double Duration(const fs::path& file) {
  int status = 0;
  return std::atof(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + file.string(), &status).c_str());
}

class ConstantRateTest : public testing::TestWithParam<RateCase> {};

TEST_P(ConstantRateTest, ExactPCRsAndEveryAccessUnitInTime) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const RateCase& c = GetParam();
  const fs::path dir = palvex_test::ProcessTempDir("palvex-rate");
  const fs::path clip = palvex_test::SharedClip(std::string(c.name) + "." + c.container, c.encode);
  ASSERT_FALSE(clip.empty());
  const fs::path plain = dir / "plain.ts", out = dir / "cbr.ts", err = dir / "err.txt";
  int status = 0;
  Shell(std::string(PALVEX_MUX_PATH) + " -q " + clip.string() + " " + plain.string(), &status);
  ASSERT_EQ(status, 0);
  const int64_t rate = static_cast<int64_t>(1.5 * static_cast<double>(fs::file_size(plain)) * 8 / Duration(plain));
  Shell(std::string(PALVEX_MUX_PATH) + " --muxrate " + std::to_string(rate) + " " + clip.string() + " " +
            out.string() + " 2>" + err.string(),
        &status);
  ASSERT_EQ(WEXITSTATUS(status), 0) << ReadText(err.string());
  EXPECT_NE(ReadText(err.string()).find("null packets"), std::string::npos) << ReadText(err.string());

  const std::vector<uint8_t> ts = ReadFile(out.string());
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), rate);
  std::printf("%s at %.3f Mbit/s: %zu packets (%.1f %% null), %zu PCRs, worst PCR error %lld ns, PCR interval %.1f ms, "
              "PAT %.0f ms, PMT %.0f ms; %zu access units, least time before DTS %.1f ms, most %.1f ms\n",
              c.name, static_cast<double>(rate) / 1e6, r.packets,
              100.0 * static_cast<double>(r.nullPackets) / static_cast<double>(r.packets),
              r.pcrs, static_cast<long long>(r.maxPCRErrorNs), static_cast<double>(r.maxPCRIntervalNs) / 1e6,
              static_cast<double>(r.maxPATIntervalNs) / 1e6, static_cast<double>(r.maxPMTIntervalNs) / 1e6, r.units,
              static_cast<double>(r.minSlackNs) / 1e6, static_cast<double>(r.maxLeadNs) / 1e6);
  ASSERT_GT(r.pcrs, 250u) << (r.errors.empty() ? "" : r.errors.front());
  EXPECT_LE(r.maxPCRErrorNs, 500);
  EXPECT_LE(r.maxPCRIntervalNs, 40000000);
  EXPECT_LE(r.maxPATIntervalNs, 500000000);
  EXPECT_LE(r.maxPMTIntervalNs, 500000000);
  EXPECT_EQ(r.lateUnits, 0u) << (r.errors.empty() ? "" : r.errors.front());
  EXPECT_LE(r.maxLeadNs, static_cast<int64_t>(kDefaultLeadSeconds * 1e9));
  EXPECT_GT(r.nullPackets, 0u);
  const double expected = static_cast<double>(rate) * Duration(out) / 8;
  EXPECT_NEAR(static_cast<double>(ts.size()) / expected, 1.0, 0.001) << ts.size() << " bytes";

  const std::vector<std::string> source = palvex_test::PictureHashes(clip.string()),
                                 muxed = palvex_test::PictureHashes(out.string());
  EXPECT_GT(source.size(), 200u);
  EXPECT_TRUE(source == muxed) << source.size() << " pictures in the clip, " << muxed.size() << " decoded";
}

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class LeadTest : public testing::TestWithParam<const char*> {};

TEST_P(LeadTest, ClocksStartFarFromTheWrap) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-rate");
  const fs::path clip = palvex_test::SharedClip(
      "lead.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 1 -c:v libx264 "
                  "-bf 2 -pix_fmt yuv420p -c:a aac");
  ASSERT_FALSE(clip.empty());
  const fs::path out = dir / (std::string("lead-") + GetParam() + ".ts");
  int status = 0;
  Shell(std::string(PALVEX_MUX_PATH) + " -q -y --muxrate 1000000 --lead " + GetParam() + " " + clip.string() + " " +
            out.string(),
        &status);
  ASSERT_EQ(status, 0);
  const std::vector<uint8_t> ts = ReadFile(out.string());
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  ASSERT_FALSE(checker.pcrBases().empty());
  const std::vector<int64_t>& pcrs = checker.pcrBases().begin()->second;
  ASSERT_FALSE(pcrs.empty());
  constexpr int64_t kWrap = int64_t{1} << 33, kSecond = 90000;
  EXPECT_GE(pcrs.front(), 9 * kSecond / 10) << "--lead " << GetParam();
  EXPECT_LT(pcrs.front() + 3600 * kSecond, kWrap) << "--lead " << GetParam();
  for (size_t k = 1; k < pcrs.size(); ++k) ASSERT_GT(pcrs[k], pcrs[k - 1]) << "PCR wraps at " << k;
}

INSTANTIATE_TEST_SUITE_P(Leads, LeadTest, testing::Values("0.4", "0.8", "2.5", "4", "10"),
                         [](const testing::TestParamInfo<const char*>& param) {
                           std::string name = std::string("Lead") + param.param;
                           for (char& ch : name) ch = ch == '.' ? '_' : ch;
                           return name;
                         });

INSTANTIATE_TEST_SUITE_P(Clips, ConstantRateTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<RateCase>& param) { return param.param.name; });

}  // namespace
