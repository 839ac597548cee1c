// A multiplex on air, on 127.0.0.1, recorded as a receiver gets it (UDP out, paced):
// - two UDP inputs from `ffmpeg -re`, one stopped for 3 s and started again from 0 (an
//   encoder restart): the other service's PCRs stay exact, its time stamps step evenly and
//   no access unit of it is late; the silent one's PCRs stay at most 40 ms apart; no
//   silence on the wire over 50 ms;
// - a reload: SIGHUP with a plan that has an error is refused with a line, then one that
//   adds a service and removes one: the PAT names the new set (its version stepped; the new
//   service not on the PIDs the removed one leaves), and the service that stays goes on
//   without a continuity or timing break;
// - a head-end's months in small (support/mux_soak.h): live senders that loop, die and
//   come back from 0, into their clip, with their clock on or in a burst; reloads every
//   few seconds that start services anew (a file, a live one on its port), add and remove
//   them: no access unit late on any program, no continuity error, PCRs within 40 ms,
//   descriptors and memory flat.
// Both first: every PMT no later than the first PAT naming its service (also the one a
// reload adds), nothing on a service's PIDs before its PMT, the PAT arriving at most 200 ms
// apart, and each service's first picture an IDR picture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/dvbpsi_tables.h"
#include "support/http_client.h"
#include "support/mux_soak.h"
#include "support/pes_reader.h"
#include "support/process.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/table_order.h"
#include "support/ts_checker.h"
#include "support/udp_receiver.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;

constexpr int64_t kMuxRate = 3000000;

// The 2 s clip of the input loss test, and one of 8 s.
fs::path Clip(double seconds) {
  return palvex_test::SharedClip(seconds == 2 ? "loss.mp4" : "mux-live.mp4",
                                 "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t " +
                                     std::to_string(static_cast<int>(seconds)) +
                                     " -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac");
}

std::string ServiceText(int id, const std::string& input) {
  return "\n[[service]]\ninput = \"" + input + "\"\nservice_id = " + std::to_string(id) + "\n";
}

struct Recording {
  int exit = -1;
  std::string log;
  std::vector<uint8_t> ts;
  int64_t maxGapNs = 0;
  int64_t patGapNs = 0;  // between two datagrams with a PAT
};

// palvex-mux --plan over the plan file (head: its muxrate, output and operations page on
// httpPort, then services) while script runs (given the process id and head), recorded on
// a UDP port of 127.0.0.1 until SIGINT ends it.
Recording Record(const fs::path& dir, const std::string& services, const std::vector<std::string>& options,
                 int httpPort, const std::function<void(pid_t, const std::string&)>& script) {
  Recording r;
  int port = 0;
  const int fd = palvex_test::ListenUdp(&port);
  if (fd < 0) return r;
  const std::string head = "muxrate = \"3M\"\noutput = \"udp://127.0.0.1:" + std::to_string(port) + "\"\nhttp = " +
                           "\"127.0.0.1:" + std::to_string(httpPort) + "\"\n";
  std::ofstream(dir / "plan.toml") << head << services;
  std::atomic<bool> done{false};
  std::vector<palvex_test::Datagram> got;
  std::thread receiver([&] { got = palvex_test::ReceiveUdp(fd, done, palvex_test::SteadyNs() + 60000000000); });
  std::vector<std::string> args = {PALVEX_MUX_PATH, "--rt-priority", "10", "--plan", (dir / "plan.toml").string()};
  args.insert(args.end(), options.begin(), options.end());
  const pid_t pid = palvex_test::Spawn(args, "", (dir / "err.txt").string());
  if (pid > 0) {
    script(pid, head);
    kill(pid, SIGINT);
    r.exit = palvex_test::WaitFor(pid, std::chrono::seconds(10));
  }
  done = true;
  receiver.join();
  close(fd);
  r.log = palvex_test::ReadText((dir / "err.txt").string());
  r.patGapNs = palvex_test::LongestTableArrivalGapNs(got, 0, 0x00);
  size_t gapAt = 0;
  for (size_t d = 0; d < got.size(); ++d) {
    r.ts.insert(r.ts.end(), got[d].bytes.begin(), got[d].bytes.end());
    if (d > 0 && got[d].arrivalNs - got[d - 1].arrivalNs > r.maxGapNs) {
      r.maxGapNs = got[d].arrivalNs - got[d - 1].arrivalNs;
      gapAt = d;
    }
  }
  std::printf("%zu datagrams, longest gap %.1f ms, %.3f s in\n", got.size(), static_cast<double>(r.maxGapNs) / 1e6,
              got.empty() ? 0.0 : static_cast<double>(got[gapAt].arrivalNs - got[0].arrivalNs) / 1e9);
  return r;
}

// The packets the metrics count for a service, -1 while it is not listed.
int64_t PacketsOnAir(int httpPort, int service) {
  httplib::Client client("127.0.0.1", httpPort);
  client.set_connection_timeout(0, 200000);
  const httplib::Result got = client.Get("/metrics");
  const std::string series = "\npalvex_packets_total{service=\"" + std::to_string(service) + "\"} ";
  const size_t at = got ? got->body.find(series) : std::string::npos;
  return at == std::string::npos ? -1 : std::atoll(got->body.c_str() + at + series.size());
}

// The DTS (or PTS) steps of a PID: all one frame duration (to the 90 kHz tick the
// microsecond times of the input round to).
void ExpectEvenSteps(const std::vector<uint8_t>& ts, int pid, int64_t step) {
  palvex_test::PesReader pes;
  ASSERT_TRUE(pes.Read(ts.data(), ts.size()));
  int64_t last = -1;
  size_t units = 0;
  for (const palvex_test::PesPacket& p : pes.OfPid(pid)) {
    const int64_t t = p.dts >= 0 ? p.dts : p.pts;
    if (last >= 0) {
      ASSERT_NEAR(t - last, step, 1) << "PID " << pid << " at packet " << p.firstPacket;
    }
    last = t;
    ++units;
  }
  EXPECT_GT(units, 50u) << "PID " << pid;
}

// Tables a receiver can act on, and a first picture it can decode, for every service.
void ExpectTablesFirst(const Recording& r) {
  const palvex_test::TableOrder order = palvex_test::ReadTableOrder(r.ts.data(), r.ts.size());
  EXPECT_TRUE(order.pmtAfterPAT.empty()) << order.pmtAfterPAT.front();
  EXPECT_TRUE(order.beforePMT.empty()) << order.beforePMT.front();
  EXPECT_FALSE(order.firstVideo.empty());
  for (const auto& [pid, payload] : order.firstVideo)
    EXPECT_TRUE(palvex_test::StartsWithIDR(payload)) << "PID " << pid << ": the first picture is no IDR picture";
  EXPECT_LE(r.patGapNs, 200000000) << "PAT";
}

// Exact PCRs at most 40 ms apart and every access unit in time, on the program's clock.
void ExpectOnTime(const std::vector<uint8_t>& ts, int program) {
  const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), kMuxRate, program);
  EXPECT_LE(r.maxPCRErrorNs, 500) << "program " << program;
  EXPECT_LE(r.maxPCRIntervalNs, 40000000) << "program " << program;
  EXPECT_EQ(r.lateUnits, 0u) << "program " << program << ": " << (r.errors.empty() ? "" : r.errors.front());
}

TEST(MultiplexLiveTest, OneInputSilentAndRestartedLeavesTheOtherUndisturbed) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-mux-live");
  const fs::path steady = Clip(8), restarted = Clip(2);
  ASSERT_FALSE(steady.empty());
  ASSERT_FALSE(restarted.empty());
  const std::string inA = "udp://127.0.0.1:" + std::to_string(palvex_test::FreeUdpPort());
  const std::string inB = "udp://127.0.0.1:" + std::to_string(palvex_test::FreeUdpPort());
  const auto sender = [](const fs::path& clip, const std::string& url) {
    return std::vector<std::string>{"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", clip.string(),
                                    "-c", "copy", "-f", "mpegts", url + "?pkt_size=1316"};
  };
  const fs::path err = dir / "err.txt";
  const auto port = [](const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); };
  const Recording r = Record(dir, ServiceText(201, inA) + ServiceText(202, inB), {}, palvex_test::FreeTcpPort(),
                             [&](pid_t, const std::string&) {
    EXPECT_TRUE(palvex_test::WaitForUdpListener(port(inA), std::chrono::seconds(10)));
    EXPECT_TRUE(palvex_test::WaitForUdpListener(port(inB), std::chrono::seconds(10)));
    const pid_t a = palvex_test::Spawn(sender(steady, inA), "", "");
    const pid_t b = palvex_test::Spawn(sender(restarted, inB), "", "");
    EXPECT_EQ(palvex_test::WaitFor(b, std::chrono::seconds(10)), 0);
    // Silent for 3 s at least, and until the loss is told (the input runs behind its sender).
    const auto silence = std::chrono::steady_clock::now();
    EXPECT_TRUE(palvex_test::WaitForText(err.string(), "service 202: input lost", std::chrono::seconds(10)));
    std::this_thread::sleep_until(silence + std::chrono::seconds(3));
    EXPECT_TRUE(palvex_test::Succeeds(
        "ffmpeg -hide_banner -loglevel error -re -i " + restarted.string() + " -c copy -f mpegts '" + inB + "?pkt_size=1316'"));
    EXPECT_TRUE(palvex_test::WaitForText(err.string(), "service 202: input back", std::chrono::seconds(10)));
    EXPECT_EQ(palvex_test::WaitFor(a, std::chrono::seconds(20)), 0);
  });
  ASSERT_EQ(r.exit, 0) << r.log;
  EXPECT_NE(r.log.find("service 202: input lost"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("service 202: input back"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("service 201: input lost"), std::string::npos) << r.log;
  ASSERT_GT(r.ts.size(), 1000000u) << r.log;
  EXPECT_LE(r.maxGapNs, 50000000) << r.log;
  palvex_test::TsChecker checker;
  checker.Feed(r.ts.data(), r.ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  ExpectOnTime(r.ts, 201);
  ExpectOnTime(r.ts, 202);
  ExpectEvenSteps(r.ts, 0x0101, 3600);  // 201's pictures, 25 a second
  ExpectEvenSteps(r.ts, 0x0102, 1920);  // 201's AAC frames, 1024 samples at 48 kHz
  ExpectTablesFirst(r);
}

TEST(MultiplexLiveTest, ReloadAddsAndRemovesWhileTheOtherGoesOn) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-mux-reload");
  const std::string clip = Clip(2).string();
  ASSERT_FALSE(clip.empty());
  const fs::path err = dir / "err.txt";
  const int httpPort = palvex_test::FreeTcpPort();
  const auto onAir = [httpPort](int service, int64_t packets) {
    return palvex_test::WaitUntil([=] { return PacketsOnAir(httpPort, service) >= packets; }, std::chrono::seconds(15),
                                  std::chrono::milliseconds(50));
  };
  const Recording r = Record(dir, ServiceText(301, clip) + ServiceText(302, clip), {"--loop"}, httpPort,
                             [&](pid_t pid, const std::string& head) {
    // Both on air a while (about a second of the clip's packets), then a plan with an
    // error, then one that adds 303 and removes 302, and 303 on air as long.
    EXPECT_TRUE(onAir(301, 300) && onAir(302, 300));
    std::ofstream(dir / "plan.toml") << "muxrate = \"3M\"\nbogus = 1\n";
    kill(pid, SIGHUP);
    EXPECT_TRUE(palvex_test::WaitForText(err.string(), "plan not reloaded", std::chrono::seconds(10)));
    std::ofstream(dir / "plan.toml") << head << ServiceText(301, clip) + ServiceText(303, clip);
    kill(pid, SIGHUP);
    EXPECT_TRUE(palvex_test::WaitForText(err.string(), "plan reloaded", std::chrono::seconds(10)));
    EXPECT_TRUE(onAir(303, 600));
  });
  ASSERT_EQ(r.exit, 0) << r.log;
  EXPECT_NE(r.log.find("plan.toml:2: bogus"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("plan reloaded"), std::string::npos) << r.log;
  palvex_test::TsChecker checker;
  checker.Feed(r.ts.data(), r.ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
#if defined(PALVEX_HAVE_LIBDVBPSI)
  const std::vector<palvex_test::DvbpsiPAT> pats = palvex_test::DecodePATs(r.ts.data(), r.ts.size());
  ASSERT_GE(pats.size(), 2u);
  EXPECT_EQ(pats.front().programs, (std::vector<std::pair<int, int>>{{0, 0x10}, {301, 0x100}, {302, 0x120}}));
  EXPECT_EQ(pats.back().programs, (std::vector<std::pair<int, int>>{{0, 0x10}, {301, 0x100}, {303, 0x140}}));
  EXPECT_NE(pats.back().version, pats.front().version);
#endif
  ExpectOnTime(r.ts, 301);
  ExpectOnTime(r.ts, 303);
  ExpectEvenSteps(r.ts, 0x0101, 3600);  // 301's pictures across the reload (and a seam of --loop)
  ExpectTablesFirst(r);
}

class MultiplexSoakTest : public testing::TestWithParam<palvex_test::SoakScenario> {};

TEST_P(MultiplexSoakTest, EveryProgramInTimeAndNothingLeaks) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const palvex_test::SoakClips clips = palvex_test::MakeSoakClips();
  ASSERT_FALSE(clips.file.empty());
  ASSERT_FALSE(clips.liveB.empty());
  // One cycle: memory against the warm-up may grow by the allocator's high water of the
  // restarts' threads and inputs (16 MiB); the soak label's run holds it cycle to cycle.
  palvex_test::RunMuxSoak(palvex_test::ProcessTempDir("palvex-mux-soak"), clips, GetParam(), 1, 4000000, 16 << 20);
}

INSTANTIATE_TEST_SUITE_P(Soak, MultiplexSoakTest, testing::ValuesIn(palvex_test::SoakScenarios()),
                         [](const testing::TestParamInfo<palvex_test::SoakScenario>& param) { return param.param.name; });

}  // namespace
