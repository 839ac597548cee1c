// One channel through its input's faults, on 127.0.0.1: ffmpeg -re sends a 2 s clip as
// MPEG-TS to palvex-mux (UDP in, UDP out), stops for 2 s or more (until the input is told
// lost) and sends it again with its clock from the start, as an encoder restart does. What a receiver records must be one channel:
// no gap between datagrams over 50 ms (with --muxrate; 100 ms without, where the library's
// own datagrams of a low-rate clip may stand that far apart), PAT at most 500 ms apart on
// the program clock, no continuity break, PCRs rising by at most 40 ms, no PTS or DTS
// stepping back, and a recording that ffmpeg decodes without an error; with --muxrate also
// every PCR exact to its byte position (the rate went on through the silence) and no
// access unit late. palvex-mux tells the loss and the return on standard error.
// KilledMidStream: the sender of a longer clip killed 4 s in (not at a clean end: the input's
// demuxer holds its last frames back until the restart's data comes) and started again 2.5 s
// later; on top, no two pictures share a PTS and GStreamer sees no timestamp go back.
// Its metrics (--http) show the input down in the silence and up again after it. A live
// input runs a second or two behind its sender: each step waits for what it needs (the
// input's port open, the input told down, up again, down after the last frames), bounded.
// Tables a receiver can act on: the PMT no later than the first PAT naming the program,
// nothing on the program's PIDs before the PMT, PAT and PMT arriving well within 0.5 s of
// each other; the first video access unit an IDR picture, also when the channel joins a
// sender within a GOP (JoinedWithinAGOP); with --muxrate the last pictures of a sender that
// stopped cleanly in the recording (all 100 pictures sent).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/pes_reader.h"
#include "support/process.h"
#include "support/psi_cadence.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/table_order.h"
#include "support/ts_checker.h"
#include "support/udp_receiver.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadText;
using palvex_test::Shell;

struct LossCase {
  const char* name;
  int64_t muxRate;      // 0: without --muxrate
  int64_t maxGapNs;     // between two datagrams
  bool killed;          // the first sender killed mid-stream instead of ending
  int64_t maxTableGapNs;  // between two datagrams with a PAT (or a PMT)
  int aheadMs = 0;        // the first (killed) sender starts this long before palvex-mux
};

const LossCase kLossCases[] = {
    {"ConstantRate", 2000000, 50000000, false, 200000000},
    // The library's PCRs, in front of which the tables are repeated, come up to 100 ms apart.
    {"LibraryRate", 0, 100000000, false, 300000000},
    {"KilledMidStream", 2000000, 50000000, true, 200000000},
    {"JoinedWithinAGOP", 2000000, 50000000, true, 200000000, 1100},
};

class InputLossTest : public testing::TestWithParam<LossCase> {};

TEST_P(InputLossTest, OneChannelThroughASilenceAndAClockRestart) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const LossCase& c = GetParam();
  const fs::path dir = palvex_test::ProcessTempDir("palvex-loss");
  const fs::path clip = palvex_test::SharedClip("loss.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                                                "sine=sample_rate=48000 -t 2 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac");
  // A longer one for the sender killed mid-stream.
  const fs::path longClip = c.killed ? palvex_test::SharedClip("loss8.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 "
                                                                            "-f lavfi -i sine=sample_rate=48000 -t 8 -c:v "
                                                                            "libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac")
                                     : clip;
  ASSERT_FALSE(clip.empty());
  ASSERT_FALSE(longClip.empty());
  const fs::path err = dir / (std::string(c.name) + "-err.txt"), recording = dir / (std::string(c.name) + ".ts");
  int port = 0;
  const int fd = palvex_test::ListenUdp(&port);
  ASSERT_GE(fd, 0);
  std::atomic<bool> done{false};
  std::vector<palvex_test::Datagram> got;
  std::thread receiver([&] { got = palvex_test::ReceiveUdp(fd, done, palvex_test::SteadyNs() + 60000000000); });
  const std::string input = "udp://127.0.0.1:" + std::to_string(palvex_test::FreeUdpPort());
  int found = 0;
  const std::string ffmpeg = Shell("command -v ffmpeg | tr -d '\\n'", &found);
  const auto sender = [&](const fs::path& what) {
    return palvex_test::Spawn({ffmpeg, "-hide_banner", "-loglevel", "error", "-re", "-i", what.string(), "-c", "copy",
                               "-f", "mpegts", input + "?pkt_size=1316"},
                              "", "");
  };
  // JoinedWithinAGOP: palvex-mux joins the (long) sender 1.1 s in, within a GOP of 25 pictures.
  const pid_t ahead = c.aheadMs > 0 ? sender(longClip) : -1;
  if (c.aheadMs > 0) {
    ASSERT_GT(ahead, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.aheadMs));
  }
  const int httpPort = palvex_test::FreeTcpPort();
  std::vector<std::string> args = {PALVEX_MUX_PATH, "--rt-priority", "10", "--http", "127.0.0.1:" + std::to_string(httpPort)};
  if (c.muxRate > 0) args.insert(args.end(), {"--muxrate", std::to_string(c.muxRate)});
  args.insert(args.end(), {input, "udp://127.0.0.1:" + std::to_string(port)});
  const pid_t pid = palvex_test::Spawn(args, "", err.string());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(palvex_test::WaitForUdpListener(std::stoi(input.substr(input.rfind(':') + 1)), std::chrono::seconds(10)))
      << ReadText(err.string());
  httplib::Client http("127.0.0.1", httpPort);
  http.set_connection_timeout(0, 200000);
  const auto metric = [&http](const std::string& series) {
    const httplib::Result answer = http.Get("/metrics");
    const size_t at = answer ? answer->body.find(series + " ") : std::string::npos;
    return at == std::string::npos ? std::string("absent") : answer->body.substr(at + series.size() + 1, 1);
  };
  const auto inputUp = [&metric](const char* value) {
    return [&metric, value] { return metric(R"(palvex_input_up{service="1"})") == value; };
  };
  // The first send: the clip whole, or the longer one killed 4 s in (not at a clean end:
  // the input's demuxer holds its last frames back until the restart's data comes).
  const pid_t first = ahead > 0 ? ahead : sender(longClip);
  EXPECT_GT(first, 0);
  if (c.killed && first > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(4));  // the sender's time on air before it dies
    kill(first, SIGKILL);
  }
  if (first > 0) {
    EXPECT_EQ(palvex_test::WaitFor(first, std::chrono::seconds(20)), c.killed ? 128 + SIGKILL : 0);
  }
  // The silence: at least 2 s (2.5 s after a kill) from the sender's end, and until the
  // metrics tell the input down (a live input runs a second or two behind its sender).
  const auto silence = std::chrono::steady_clock::now();
  EXPECT_TRUE(palvex_test::WaitUntil(inputUp("0"), std::chrono::seconds(10), std::chrono::milliseconds(50)))
      << "palvex_input_up in the silence";
  std::this_thread::sleep_until(silence + std::chrono::milliseconds(c.killed ? 2500 : 2000));
  // The second send, with its clock from the start: the input up again while it plays.
  const pid_t second = sender(clip);
  EXPECT_GT(second, 0);
  EXPECT_TRUE(palvex_test::WaitUntil(inputUp("1"), std::chrono::seconds(10), std::chrono::milliseconds(50)))
      << "palvex_input_up after the silence";
  EXPECT_EQ(metric(R"(palvex_input_losses_total{service="1"})"), "1");
  if (second > 0) {
    EXPECT_EQ(palvex_test::WaitFor(second, std::chrono::seconds(20)), 0);
  }
  // Every frame of it out: the input told down again (a second without a frame), and still
  // down a second later (on a loaded machine the input's thread may fall a second behind
  // its socket, the input then told down while frames still wait there).
  auto downSince = std::chrono::steady_clock::time_point::max();
  EXPECT_TRUE(palvex_test::WaitUntil(
      [&] {
        const auto now = std::chrono::steady_clock::now();
        downSince = inputUp("0")() ? std::min(downSince, now) : std::chrono::steady_clock::time_point::max();
        return downSince != std::chrono::steady_clock::time_point::max() && now - downSince >= std::chrono::seconds(1);
      },
      std::chrono::seconds(15), std::chrono::milliseconds(50)))
      << "palvex_input_up after the last send";
  kill(pid, SIGINT);
  const int exit = palvex_test::WaitFor(pid, std::chrono::seconds(10));
  done = true;
  receiver.join();
  close(fd);
  const std::string text = ReadText(err.string());
  ASSERT_EQ(exit, 0) << text;
  EXPECT_NE(text.find("input lost: no frame for"), std::string::npos) << text;
  EXPECT_NE(text.find("input back after"), std::string::npos) << text;

  std::vector<uint8_t> ts;
  int64_t maxGap = 0;
  for (size_t d = 0; d < got.size(); ++d) {
    ts.insert(ts.end(), got[d].bytes.begin(), got[d].bytes.end());
    if (d > 0) maxGap = std::max(maxGap, got[d].arrivalNs - got[d - 1].arrivalNs);
  }
  std::ofstream(recording, std::ios::binary).write(reinterpret_cast<const char*>(ts.data()),
                                                    static_cast<std::streamsize>(ts.size()));
  std::printf("%s: %zu datagrams, longest gap %.1f ms\n", c.name, got.size(), static_cast<double>(maxGap) / 1e6);
  ASSERT_GT(got.size(), 100u) << text;
  EXPECT_LE(maxGap, c.maxGapNs);

  palvex_test::TsChecker checker;  // continuity, PCRs rising
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  for (const auto& pcrs : checker.pcrBases())
    for (size_t k = 1; k < pcrs.second.size(); ++k)
      ASSERT_LE(pcrs.second[k] - pcrs.second[k - 1], 3600) << "PCR step " << k << " on PID " << pcrs.first;
  const palvex_test::PsiCadence cadence = palvex_test::MeasurePsiCadence(ts.data(), ts.size());
  const auto patGap = palvex_test::PsiCadence::LongestGap(cadence.patTimes, cadence.firstPcr, cadence.lastPcr);
  EXPECT_LE(patGap.length, 45000) << "no PAT for " << patGap.length / 90 << " ms from PCR " << patGap.from;

  palvex_test::PesReader pes;  // per PID, no DTS (or PTS) at or before the one before, no PTS twice
  ASSERT_TRUE(pes.Read(ts.data(), ts.size()));
  std::map<int, int64_t> last;
  std::set<int64_t> shown;
  size_t pictures = 0;
  for (const palvex_test::PesPacket& p : pes.pes()) {
    pictures += (p.streamId & 0xF0) == 0xE0 ? 1 : 0;
    if ((p.streamId & 0xF0) == 0xE0) {
      EXPECT_TRUE(shown.insert(p.pts).second) << "PTS " << p.pts << " twice";
    }
    const int64_t t = p.dts >= 0 ? p.dts : p.pts;
    if (t < 0) continue;
    if (last.count(p.pid) != 0) {
      EXPECT_GT(t, last[p.pid]) << "PID " << p.pid << " steps back at packet " << p.firstPacket;
    }
    last[p.pid] = t;
  }
  EXPECT_GE(pictures, 90u) << "video access units of the 100 sent; " << text;
  if (!c.killed && c.muxRate > 0) {  // without a lead, the last pictures come too late for the channel's clock
    EXPECT_EQ(pictures, 100u) << "the last pictures of each sender's run";
  }
  // Tables a receiver can act on, and a first picture it can decode.
  const palvex_test::TableOrder order = palvex_test::ReadTableOrder(ts.data(), ts.size());
  EXPECT_TRUE(order.pmtAfterPAT.empty()) << order.pmtAfterPAT.front();
  EXPECT_TRUE(order.beforePMT.empty()) << order.beforePMT.front();
  ASSERT_EQ(order.firstVideo.size(), 1u);
  EXPECT_TRUE(palvex_test::StartsWithIDR(order.firstVideo.begin()->second)) << "the first picture is no IDR picture";
  EXPECT_LE(palvex_test::LongestTableArrivalGapNs(got, 0, 0x00), c.maxTableGapNs) << "PAT";
  EXPECT_LE(palvex_test::LongestTableArrivalGapNs(got, cadence.pmtPid, 0x02), c.maxTableGapNs) << "PMT";
  if (c.aheadMs > 0) {
    EXPECT_NE(text.find("pictures before its first key picture left out"), std::string::npos) << text;
  }

  if (c.muxRate > 0) {
    const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), c.muxRate);
    EXPECT_LE(r.maxPCRErrorNs, 500);
    EXPECT_EQ(r.lateUnits, 0u) << (r.errors.empty() ? "" : r.errors.front());
  }
  int status = 0;
  const std::string decoded = Shell("ffmpeg -hide_banner -v error -i " + recording.string() + " -f null - 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(decoded, "");
  if (HaveTool("gst-launch-1.0")) {
    const std::string gst = Shell("gst-launch-1.0 filesrc location=" + recording.string() +
                                      " ! tsdemux name=d d. ! queue ! h264parse ! fakesink d. ! queue ! aacparse ! "
                                      "fakesink 2>&1",
                                  &status);
    EXPECT_EQ(gst.find("decreasing timestamp"), std::string::npos) << gst;
  }
}

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Loopback, InputLossTest, testing::ValuesIn(kLossCases),
                         [](const testing::TestParamInfo<LossCase>& param) { return param.param.name; });

}  // namespace
