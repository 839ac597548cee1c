// A multiplex of three file services (H.264 + AAC, MPEG-2 video + MPEG audio, HEVC + AC-3)
// made by `palvex-mux --plan`, as receivers and analyzers find it: libdvbpsi decodes the PAT
// (every service, program 0 -> the NIT's PID), each PMT, the SDT (names, providers,
// service types), the NIT (network name, service list, logical channel numbers) and the
// TDT; ffprobe names every program; each program extracted has the pictures and audio
// frames of its source (framemd5); each program's PCRs are exact to their byte on its own
// clock and no access unit arrives late or earlier than the lead.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/dvbpsi_tables.h"
#include "support/process.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::Shell;

struct ServiceRow {
  int id;
  const char* name;
  int lcn;
  const char* clip;     // file name: its extension chooses the container
  const char* encode;   // ffmpeg inputs and encoders
  int videoType, audioType;  // stream_types in the PMT
  int serviceType;           // in the SDT and the NIT's service list
};

const ServiceRow kRows[] = {
    {101, "News 24", 1, "mux-h264.mp4",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -bf 2 -g 25 "
     "-b:v 500k -pix_fmt yuv420p -c:a aac -b:a 96k",
     0x1B, 0x0F, 0x16},
    {102, "Classic", 2, "mux-mpeg2.mkv",
     "-f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i sine=frequency=600:sample_rate=48000 -t 3 -c:v mpeg2video "
     "-bf 2 -g 12 -b:v 800k -c:a mp2 -b:a 128k",
     0x02, 0x03, 0x01},
    {103, "Cinema", 7, "mux-hevc.mkv",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=300:sample_rate=48000 -t 3 -c:v libx265 "
     "-x265-params log-level=error -g 25 -b:v 400k -pix_fmt yuv420p -c:a ac3 -b:a 192k",
     0x24, 0x06, 0x1F},
};

constexpr int64_t kMuxRate = 4000000;

TEST(MultiplexTest, ThreeFileServicesAsReceiversFindThem) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-multiplex");
  std::string plan = "muxrate = \"4M\"\ntransport_stream_id = 9\noriginal_network_id = 0xFF02\nnetwork_name = \"Acme "
                     "cable\"\nprovider = \"Acme\"\n";
  std::vector<fs::path> clips;
  for (const ServiceRow& row : kRows) {
    clips.push_back(palvex_test::SharedClip(row.clip, row.encode));
    ASSERT_FALSE(clips.back().empty());
    plan += "\n[[service]]\ninput = \"" + clips.back().string() + "\"\nservice_id = " + std::to_string(row.id) +
            "\nname = \"" + row.name + "\"\nlcn = " + std::to_string(row.lcn) + "\n";
  }
  std::ofstream(dir / "plan.toml") << plan;
  const fs::path out = dir / "out.ts";
  int status = 0;
  const std::string log = Shell(std::string(PALVEX_MUX_PATH) + " --plan " + (dir / "plan.toml").string() + " " +
                                    out.string() + " 2>&1",
                                &status);
  ASSERT_EQ(status, 0) << log;
  const std::vector<uint8_t> ts = palvex_test::ReadFile(out.string());
  ASSERT_GT(ts.size(), 100000u) << log;
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();

#if defined(PALVEX_HAVE_LIBDVBPSI)
  const std::vector<palvex_test::DvbpsiPAT> pats = palvex_test::DecodePATs(ts.data(), ts.size());
  ASSERT_FALSE(pats.empty());
  EXPECT_EQ(pats.front().tsId, 9);
  const std::vector<std::pair<int, int>>& programs = pats.front().programs;
  ASSERT_EQ(programs.size(), 4u);
  EXPECT_EQ(programs[0], std::make_pair(0, 0x0010));
  const std::vector<palvex_test::DvbpsiSDT> sdts = palvex_test::DecodeSDTs(ts.data(), ts.size());
  ASSERT_FALSE(sdts.empty());
  EXPECT_EQ(sdts.front().networkId, 0xFF02);
  ASSERT_EQ(sdts.front().services.size(), 3u);
  const std::vector<palvex_test::DvbpsiNIT> nits = palvex_test::DecodeNITs(ts.data(), ts.size());
  ASSERT_FALSE(nits.empty());
  EXPECT_EQ(nits.front().networkName, "Acme cable");
  ASSERT_EQ(nits.front().streams.size(), 1u);
  const palvex_test::DvbpsiNITStream& nitStream = nits.front().streams.front();
  EXPECT_EQ(nitStream.tsId, 9);
  EXPECT_EQ(nitStream.originalNetworkId, 0xFF02);
  const std::vector<uint64_t> tdts = palvex_test::DecodeTDTs(ts.data(), ts.size());
  EXPECT_FALSE(tdts.empty());
#endif
  int probeStatus = 0;
  const std::string probed = Shell("ffprobe -v error -show_entries program=program_id:program_tags=service_name -of "
                                   "csv=p=0 " + out.string(), &probeStatus);
  for (size_t i = 0; i < std::size(kRows); ++i) {
    const ServiceRow& row = kRows[i];
    SCOPED_TRACE(row.name);
    EXPECT_NE(probed.find(std::to_string(row.id) + "," + row.name), std::string::npos) << probed;
#if defined(PALVEX_HAVE_LIBDVBPSI)
    ASSERT_EQ(programs[i + 1].first, row.id);
    const std::vector<palvex_test::DvbpsiPMT> pmts =
        palvex_test::DecodePMTs(ts.data(), ts.size(), programs[i + 1].second, row.id);
    ASSERT_FALSE(pmts.empty());
    ASSERT_EQ(pmts.front().streams.size(), 2u);
    EXPECT_EQ(pmts.front().streams[0].type, row.videoType);
    EXPECT_EQ(pmts.front().streams[1].type, row.audioType);
    // Each service's PIDs in a block of its own.
    for (const palvex_test::DvbpsiES& es : pmts.front().streams)
      EXPECT_EQ(es.pid & ~0x1F, programs[i + 1].second & ~0x1F) << "PID " << es.pid;
    const palvex_test::DvbpsiService& service = sdts.front().services[i];
    EXPECT_EQ(service.id, row.id);
    EXPECT_EQ(service.name, row.name);
    EXPECT_EQ(service.provider, "Acme");
    EXPECT_EQ(service.type, row.serviceType);
    EXPECT_EQ(service.running, 4);
    ASSERT_GT(nitStream.services.size(), i);
    EXPECT_EQ(nitStream.services[i], std::make_pair(row.id, row.serviceType));
    ASSERT_GT(nitStream.channels.size(), i);
    EXPECT_EQ(nitStream.channels[i], (palvex_test::DvbpsiChannel{row.id, true, row.lcn}));
#endif
    // The frames of its source, pictures and audio.
    const std::string program = "0:p:" + std::to_string(row.id);
    EXPECT_EQ(palvex_test::PictureHashes(out.string(), program + ":v:0"), palvex_test::PictureHashes(clips[i].string()));
    // An MP4's edit list hides the AAC encoder's priming frame, which a transport stream plays.
    std::vector<std::string> audio = palvex_test::PictureHashes(out.string(), program + ":a:0");
    const std::vector<std::string> sourceAudio = palvex_test::PictureHashes(clips[i].string(), "0:a:0");
    if (audio.size() == sourceAudio.size() + 1 && row.audioType == 0x0F) audio.erase(audio.begin());
    EXPECT_EQ(audio, sourceAudio);
    // Its PCRs exact on its own clock, its access units in time.
    const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), kMuxRate, row.id);
    EXPECT_LE(r.maxPCRErrorNs, 500);
    EXPECT_LE(r.maxPCRIntervalNs, 40000000);
    EXPECT_LE(r.maxPATIntervalNs, 500000000);
    EXPECT_LE(r.maxPMTIntervalNs, 500000000);
    EXPECT_GT(r.units, 100u);
    EXPECT_EQ(r.lateUnits, 0u) << (r.errors.empty() ? "" : r.errors.front());
    EXPECT_LE(r.maxLeadNs, 800000000 + 500);
  }
}

// Too little rate: the run ends with status 3 and names a rate; the same plan at that rate
// has no access unit late on any program.
TEST(MultiplexTest, TooLittleRateNamesARateThatFits) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-multiplex-rate");
  std::string services;
  for (const ServiceRow& row : kRows) {
    const fs::path clip = palvex_test::SharedClip(row.clip, row.encode);
    ASSERT_FALSE(clip.empty());
    services += "\n[[service]]\ninput = \"" + clip.string() + "\"\nservice_id = " + std::to_string(row.id) + "\n";
  }
  const auto run = [&](const std::string& rate, int* status) {
    std::ofstream(dir / "plan.toml") << "muxrate = " + rate + "\n" + services;
    return Shell(std::string(PALVEX_MUX_PATH) + " -y --plan " + (dir / "plan.toml").string() + " " +
                     (dir / "out.ts").string() + " 2>&1",
                 status);
  };
  int status = 0;
  const std::string log = run("\"1M\"", &status);
  ASSERT_EQ(WEXITSTATUS(status), 3) << log;
  EXPECT_NE(log.find("muxrate 1.000 Mbit/s is too little: "), std::string::npos) << log;
  const size_t at = log.rfind("the content fits muxrate ");
  ASSERT_NE(at, std::string::npos) << log;
  const int64_t fits = std::llround(std::stod(log.substr(at + 25)) * 1e6);
  ASSERT_GT(fits, 1000000) << log;
  const std::string again = run(std::to_string(fits), &status);
  ASSERT_EQ(status, 0) << again;
  const std::vector<uint8_t> ts = palvex_test::ReadFile((dir / "out.ts").string());
  for (const ServiceRow& row : kRows) {
    const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), fits, row.id);
    EXPECT_EQ(r.lateUnits, 0u) << row.name << " at " << fits << ": " << (r.errors.empty() ? "" : r.errors.front());
  }
}

}  // namespace
