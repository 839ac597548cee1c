// palvex-mux's H.264 and HEVC access units each begin with an access unit delimiter, from
// containers that carry none (MP4, parameter sets from avcC/hvcC put in front of key
// frames) and from transport streams that carry one already: every PES payload of the
// video PID starts with it, and the pictures ffmpeg decodes are the source's (framemd5).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/pes_reader.h"
#include "support/process.h"
#include "support/shell.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::Shell;

struct DelimiterRun {
  const char* name;
  const char* encode;
  const char* container;
  bool hevc;
};

#define AUD_AV "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 1 -pix_fmt yuv420p "
const DelimiterRun kRuns[] = {
    {"H264FromMp4", AUD_AV "-c:v libx264 -bf 2 -g 10 -c:a aac", ".mp4", false},
    {"H264FromTransportStream", AUD_AV "-c:v libx264 -bf 2 -g 10 -c:a aac", ".ts", false},
    {"HevcFromMp4", AUD_AV "-c:v libx265 -x265-params log-level=error:keyint=10 -c:a aac", ".mp4", true},
    {"HevcFromMatroska", AUD_AV "-c:v libx265 -x265-params log-level=error:keyint=10 -c:a aac", ".mkv", true},
};
#undef AUD_AV

class AccessUnitDelimiterRunTest : public testing::TestWithParam<DelimiterRun> {};

TEST_P(AccessUnitDelimiterRunTest, EveryVideoPesBeginsWithOne) {
  if (!palvex_test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const DelimiterRun& r = GetParam();
  const fs::path clip = palvex_test::SharedClip(std::string("aud-") + r.name + r.container, r.encode);
  ASSERT_FALSE(clip.empty());
  const fs::path out = palvex_test::ProcessTempDir("palvex-aud") / (std::string(r.name) + ".ts");
  int status = 0;
  Shell(std::string(PALVEX_MUX_PATH) + " -q -y " + clip.string() + " " + out.string(), &status);
  ASSERT_EQ(status, 0);
  const std::vector<uint8_t> ts = palvex_test::ReadFile(out.string());
  palvex_test::PesReader pes;
  ASSERT_TRUE(pes.Read(ts.data(), ts.size()));
  const std::vector<uint8_t> delimiter = r.hevc ? std::vector<uint8_t>{0, 0, 0, 1, 0x46, 0x01}
                                                : std::vector<uint8_t>{0, 0, 0, 1, 0x09};
  size_t pictures = 0;
  for (const palvex_test::PesPacket& p : pes.pes()) {
    if ((p.streamId & 0xF0) != 0xE0) continue;
    ++pictures;
    ASSERT_GE(p.payload.size(), delimiter.size() + 1);
    EXPECT_TRUE(std::equal(delimiter.begin(), delimiter.end(), p.payload.begin()))
        << "PES packet at TS packet " << p.firstPacket;
  }
  EXPECT_EQ(pictures, 25u);
  const std::vector<std::string> source = palvex_test::PictureHashes(clip.string());
  EXPECT_EQ(source.size(), 25u);
  EXPECT_EQ(palvex_test::PictureHashes(out.string()), source);
}

void PrintTo(const DelimiterRun& r, std::ostream* os) { *os << r.name; }

INSTANTIATE_TEST_SUITE_P(Runs, AccessUnitDelimiterRunTest, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<DelimiterRun>& param) { return param.param.name; });

}  // namespace
