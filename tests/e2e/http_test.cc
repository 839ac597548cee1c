// palvex-mux's HTTP endpoint (--http) on 127.0.0.1 while a channel runs (-re, --muxrate, a
// few seconds): the metrics count what goes out and promtool accepts them, the status JSON
// has its fields, bad requests answer 400/401/404/405/409/413/501 with a JSON error while
// the channel goes on, the status page renders the service and its plot in headless
// Chromium, and the command lines the endpoint refuses end with status 2 before anything is
// opened; floods, slow clients and storms of requests cost the endpoint no memory and a
// well-behaved client its answers. Under a service manager (standard error not a terminal)
// every line palvex-mux writes starts with its UTC time and level.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cctype>
#include <cmath>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/http_attack.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/psi_cadence.h"
#include "support/shell.h"
#include "support/ts_checker.h"
#include "support/udp_receiver.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadText;
using palvex_test::Shell;

constexpr char kToken[] = "s3cret-token";

// The value of one series of a Prometheus text exposition ("name{labels}"), NaN when absent.
double Series(const std::string& text, const std::string& series) {
  const size_t at = text.find("\n" + series + " ");
  return at == std::string::npos ? std::nan("") : std::strtod(text.c_str() + at + series.size() + 2, nullptr);
}

// "2026-12-07T22:40:00Z"
bool IsISOTime(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  return true;
}

struct RequestCase {
  const char* name;
  const char* method;
  const char* path;
  const char* token;  // the bearer token sent, null for none; with a space in it, the whole field
  std::string body;
  int status;
  const char* errorHas;  // in the JSON error
};

const RequestCase kRequests[] = {
    {"UnknownPath", "GET", "/nothing", nullptr, "", 404, "no such path"},
    {"StatusByDelete", "DELETE", "/status", nullptr, "", 405, "DELETE is not allowed"},
    {"MetricsByPost", "POST", "/metrics", kToken, "{}", 405, "POST is not allowed"},
    {"ReloadByGet", "GET", "/reload", nullptr, "", 405, "GET is not allowed"},
    {"SpliceWithoutToken", "POST", "/services/7/splice", nullptr, R"({"duration": 30})", 401, "Bearer"},
    {"SpliceWrongToken", "POST", "/services/7/splice", "s3cret-tokem", R"({"duration": 30})", 401, "Bearer"},
    {"ReloadWithoutToken", "POST", "/reload", nullptr, "", 401, "Bearer"},
    {"SpliceCutJSON", "POST", "/services/7/splice", kToken, R"({"duration": 3)", 400, "malformed JSON"},
    {"SpliceNotAnObject", "POST", "/services/7/splice", kToken, "[30]", 400, "JSON object"},
    {"SpliceNoDuration", "POST", "/services/7/splice", kToken, R"({"in": 2})", 400, "\"duration\""},
    {"SpliceNegative", "POST", "/services/7/splice", kToken, R"({"in": -1, "duration": 30})", 400, "\"in\""},
    {"SpliceText", "POST", "/services/7/splice", kToken, R"({"duration": "30s"})", 400, "\"duration\""},
    {"SpliceTooFarAhead", "POST", "/services/7/splice", kToken, R"({"in": 47721, "duration": 30})", 400, "\"in\""},
    {"SpliceTooLong", "POST", "/services/7/splice", kToken, R"({"duration": 1e9})", 400, "\"duration\""},
    {"SpliceUnknownService", "POST", "/services/8/splice", kToken, R"({"duration": 30})", 404, "no service 8"},
    {"SpliceBodyTooLarge", "POST", "/services/7/splice", kToken, std::string(8192, ' '), 413, "too large"},
    {"SpliceNoInserter", "POST", "/services/7/splice", kToken, R"({"in": 2, "duration": 30})", 501, "no splices"},
    {"SpliceMisspeltKey", "POST", "/services/7/splice", kToken, R"({"inn": 600, "duration": 30})", 400,
     "unknown key \"inn\""},
    {"SchemeInAnyCase", "POST", "/reload", "bEaReR s3cret-token", "", 409, "no plan"},
    {"ReloadWithoutPlan", "POST", "/reload", kToken, "", 409, "no plan"},
};

httplib::Result Ask(httplib::Client& client, const RequestCase& c) {
  httplib::Headers headers;
  if (c.token != nullptr)
    headers.emplace("Authorization", std::strchr(c.token, ' ') != nullptr ? std::string(c.token)
                                                                       : std::string("Bearer ") + c.token);
  const std::string method = c.method;
  if (method == "GET") return client.Get(c.path, headers);
  if (method == "DELETE") return client.Delete(c.path, headers);
  return client.Post(c.path, headers, c.body, "application/json");
}

// The page as headless Chromium leaves it after a few seconds of its (virtual) time.
std::string RenderedPage(int port, const fs::path& dir) {
  const fs::path profile = dir / "chromium-profile";
  fs::create_directories(profile);
  int status = 0;
  return Shell("timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
               "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
                   profile.string() + " --virtual-time-budget=3000 --dump-dom http://127.0.0.1:" +
                   std::to_string(port) + "/ 2>/dev/null",
               &status);
}

TEST(HttpEndpointTest, AnswersWhileAChannelRuns) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http");
  const fs::path clip = palvex_test::SharedClip(
      "http6.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 6 -c:v libx264 "
                   "-preset ultrafast -b:v 1M -pix_fmt yuv420p -c:a aac");
  std::ofstream(dir / "token") << "  " << kToken << "\n";
  const int port = palvex_test::FreeTcpPort();
  const pid_t pid = palvex_test::Spawn(
      {PALVEX_MUX_PATH, "-re", "--muxrate", "2M", "--http", "127.0.0.1:" + std::to_string(port), "--http-token",
       (dir / "token").string(), "--program-number", "7", "--service-name", "News \"24\" <b>", clip.string(),
       (dir / "out.ts").string()},
      "", (dir / "err.txt").string());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(palvex_test::WaitForHttp(port, "/status", std::chrono::seconds(10))) << ReadText((dir / "err.txt").string());
  httplib::Client client("127.0.0.1", port);
  // The counts below reached (bounded wait).
  palvex_test::WaitUntil(
      [&client] {
        const httplib::Result got = client.Get("/metrics");
        return got && Series(got->body, R"(palvex_packets_total{service="7"})") > 500 &&
               Series(got->body, "palvex_null_packets_total") > 100 &&
               Series(got->body, R"(palvex_input_bytes_total{service="7"})") > 100000 &&
               Series(got->body, R"(palvex_pcr_interval_max_seconds{service="7"})") > 0.01;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(100));
  palvex_test::WaitUntil(  // and a second of bit rate measured
      [&client] {
        const httplib::Result got = client.Get("/status");
        const nlohmann::json j = got ? nlohmann::json::parse(got->body, nullptr, false) : nlohmann::json();
        return j.is_object() && j.contains("services") && !j["services"].empty() &&
               j["services"][0].value("bitrate_bps", int64_t{0}) > 500000;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(100));

  // Metrics: counted, and what Prometheus accepts.
  const httplib::Result metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics && metrics->status == 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
  std::ofstream(dir / "metrics.txt") << metrics->body;
  if (HaveTool("promtool")) {
    int status = 0;
    const std::string lint = Shell("promtool check metrics < " + (dir / "metrics.txt").string() + " 2>&1", &status);
    EXPECT_EQ(status, 0) << lint;
    EXPECT_EQ(lint, "") << metrics->body;
  }
  const std::string& m = metrics->body;
  EXPECT_GT(Series(m, R"(palvex_packets_total{service="7"})"), 500) << m;
  EXPECT_GT(Series(m, "palvex_null_packets_total"), 100) << m;  // 1 Mbit/s content in 2 Mbit/s
  EXPECT_GT(Series(m, "palvex_output_packets_total"), Series(m, R"(palvex_packets_total{service="7"})"));
  EXPECT_EQ(Series(m, R"(palvex_bytes_total{service="7"})"), 188 * Series(m, R"(palvex_packets_total{service="7"})"));
  EXPECT_EQ(Series(m, "palvex_muxrate_bytes_per_second"), 250000);
  EXPECT_GT(Series(m, R"(palvex_input_bytes_total{service="7"})"), 100000);
  EXPECT_GT(Series(m, "process_resident_memory_bytes"), 1e6);
  EXPECT_NE(m.find("\npalvex_build_info{version=\""), std::string::npos) << m;
  EXPECT_EQ(Series(m, R"(palvex_input_up{service="7"})"), 1);
  EXPECT_EQ(Series(m, R"(palvex_late_frames_total{service="7"})"), 0);
  EXPECT_EQ(Series(m, R"(palvex_pcr_late_total{service="7"})"), 0);
  EXPECT_GT(Series(m, R"(palvex_pcr_interval_max_seconds{service="7"})"), 0.01);
  EXPECT_LE(Series(m, R"(palvex_table_interval_max_seconds{table="pat"})"), 0.5);
  EXPECT_LE(Series(m, R"(palvex_table_interval_max_seconds{service="7",table="pmt"})"), 0.5);
  EXPECT_NE(m.find(R"(name="News \"24\" <b>",provider="palvex")"), std::string::npos) << m;

  // Status: the fields an operator's tools read.
  const httplib::Result status = client.Get("/status");
  ASSERT_TRUE(status && status->status == 200);
  const nlohmann::json j = nlohmann::json::parse(status->body);
  EXPECT_EQ(j["muxrate_bps"], 2000000);
  ASSERT_EQ(j["services"].size(), 1u) << status->body;
  const nlohmann::json& s = j["services"][0];
  EXPECT_EQ(s["service_id"], 7);
  EXPECT_EQ(s["name"], "News \"24\" <b>");
  EXPECT_EQ(s["provider"], "palvex");
  EXPECT_EQ(s["input"]["url"], clip.string());
  EXPECT_EQ(s["input"]["up"], true);
  EXPECT_TRUE(IsISOTime(s["input"]["since"].get<std::string>())) << s["input"]["since"];
  EXPECT_GT(s["bitrate_bps"].get<int64_t>(), 500000);
  EXPECT_EQ(s["late_frames"], 0);

  // Bad requests, each answered with its status and a JSON error; the channel goes on.
  for (const RequestCase& c : kRequests) {
    SCOPED_TRACE(c.name);
    const httplib::Result got = Ask(client, c);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, c.status) << got->body;
    const nlohmann::json error = nlohmann::json::parse(got->body, nullptr, false);
    ASSERT_TRUE(error.is_object()) << got->body;
    EXPECT_NE(error.value("error", "").find(c.errorHas), std::string::npos) << got->body;
    EXPECT_EQ(got->get_header_value("Allow").empty(), c.status != 405);
  }

  // The page: the service's row and its plot, drawn from /status.
  if (HaveTool("chromium")) {
    const std::string page = RenderedPage(port, dir);
    EXPECT_NE(page.find(R"(<tr class="service" data-service-id="7">)"), std::string::npos) << page;
    EXPECT_NE(page.find("News \"24\" &lt;b&gt;"), std::string::npos) << page;
    EXPECT_NE(page.find(R"(<td class="up">up</td>)"), std::string::npos) << page;
    const size_t plot = page.find(R"(<polyline class="rate" data-service-id="7")");
    const size_t points = page.find(" points=\"", plot);
    ASSERT_NE(plot, std::string::npos) << page;
    ASSERT_LT(points, page.find('>', plot)) << page;
    const std::string line = page.substr(points + 9, page.find('"', points + 9) - points - 9);
    EXPECT_GE(std::count(line.begin(), line.end(), ','), 2) << "a line of at least two points: " << line;
  }

  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(30)), 0) << ReadText((dir / "err.txt").string());
  const std::vector<uint8_t> ts = palvex_test::ReadFile((dir / "out.ts").string());
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
}

// Hostile clients against the endpoint while a channel runs, with and without a token: the
// endpoint's memory stays put, a client scraping /metrics meanwhile is answered within a
// second (all but one in twenty), and the channel runs on to its end.
enum class Attack { kHeaderFlood, kChunkedFlood, kSlowloris, kUnauthorisedStorm, kKeptAliveStorm };

struct AttackCase {
  const char* name;
  Attack attack;
};

const AttackCase kAttacks[] = {
    {"GiBOfHeaderFields", Attack::kHeaderFlood},
    {"GiBChunkedPost", Attack::kChunkedFlood},
    {"TwentyNineSlowHeads", Attack::kSlowloris},
    {"FourThreadsOfPosts", Attack::kUnauthorisedStorm},
    {"FourKeptAlivePosters", Attack::kKeptAliveStorm},
};

// How much the endpoint's resident memory may grow in one attack. AddressSanitizer keeps
// freed memory in quarantine (256 MiB by default): there a storm of requests grows it
// without the endpoint holding any of it, and only a flood read whole (a GiB) shows.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMaxGrowthKiB = 320 * 1024;
#else
constexpr long kMaxGrowthKiB = 8 * 1024;
#endif

// Runs one attack; how many bytes the endpoint took of a flood (0 for the others).
uint64_t RunAttack(Attack attack, int port) {
  using std::chrono::milliseconds;
  constexpr uint64_t kGiB = uint64_t(1) << 30;
  switch (attack) {
    case Attack::kHeaderFlood:
      return palvex_test::Flood(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n", false, kGiB, milliseconds(5000)).sent;
    case Attack::kChunkedFlood:
      return palvex_test::Flood(port, "POST /reload HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                                true, kGiB, milliseconds(5000)).sent;
    case Attack::kSlowloris:
      palvex_test::Slowloris(port, 29, milliseconds(1500), milliseconds(5000));
      return 0;
    case Attack::kUnauthorisedStorm:
      palvex_test::RequestStorm(port, 4, "/reload", false, milliseconds(3000));
      return 0;
    case Attack::kKeptAliveStorm:
      palvex_test::RequestStorm(port, 4, "/reload", true, milliseconds(3000));
      return 0;
  }
  return 0;
}

TEST(HttpEndpointTest, HoldsUnderAttack) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http-attack");
  const fs::path clip = palvex_test::SharedClip(
      "http6.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 6 -c:v libx264 "
                   "-preset ultrafast -b:v 1M -pix_fmt yuv420p -c:a aac");
  std::ofstream(dir / "token") << kToken << "\n";
  for (const bool token : {true, false}) {
    SCOPED_TRACE(token ? "with a token" : "without a token");
    const int port = palvex_test::FreeTcpPort();
    std::vector<std::string> args = {PALVEX_MUX_PATH, "-y", "-re", "--loop", "--muxrate", "2M", "--http",
                                     "127.0.0.1:" + std::to_string(port)};
    if (token) args.insert(args.end(), {"--http-token", (dir / "token").string()});
    args.insert(args.end(), {clip.string(), (dir / "out.ts").string()});
    const pid_t pid = palvex_test::Spawn(args, "", (dir / "err.txt").string());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(palvex_test::WaitForHttp(port, "/metrics", std::chrono::seconds(10))) << ReadText((dir / "err.txt").string());
    for (const AttackCase& c : kAttacks) {
      SCOPED_TRACE(c.name);
      const long before = palvex_test::ResidentKiB(pid);
      std::atomic<bool> stop{false};
      palvex_test::ScrapeCount scrapes;
      std::thread scraper([&] { scrapes = palvex_test::Scrape(port, "/metrics", std::chrono::milliseconds(100), stop); });
      const auto start = std::chrono::steady_clock::now();
      const uint64_t taken = RunAttack(c.attack, port);
      std::this_thread::sleep_until(start + std::chrono::seconds(2));  // at least twenty scrapes
      stop = true;
      scraper.join();
      const long after = palvex_test::ResidentKiB(pid);
      EXPECT_LT(taken, uint64_t(64) << 20) << "the endpoint read on";
      EXPECT_LE(after - before, kMaxGrowthKiB) << before << " KiB before, " << after << " KiB after";
      EXPECT_GE(scrapes.inTime, scrapes.asked - std::max(1, scrapes.asked / 20)) << scrapes.inTime << " of " << scrapes.asked;
    }
    kill(pid, SIGINT);
    EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(30)), 0) << ReadText((dir / "err.txt").string());
  }
  const std::vector<uint8_t> ts = palvex_test::ReadFile((dir / "out.ts").string());
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
}

// A 25 s transport stream.
fs::path Clip25() {
  return palvex_test::SharedClip(
      "http-mux.ts", "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 25 -c:v libx264 "
                     "-preset ultrafast -g 25 -b:v 500k -pix_fmt yuv420p -c:a aac -f mpegts");
}

// The value of a series with its labels; labels in the order the exposition writes them.
double Labeled(const std::string& text, const std::string& name, const std::string& labels) {
  return Series(text, name + "{" + labels + "}");
}

// A multiplex of a looping live input (ffmpeg -re to UDP) and a file, sent to UDP on
// 127.0.0.1 and recorded there: every PCR and table step the metrics show (histograms,
// late counts, the longest of the last 10 s) and every packet count agree with the
// recording's own analysis of the packets the metrics had counted. A reload that renames a
// service shows the new name in /status and the metrics, and counts as a reload that
// succeeded.
TEST(HttpEndpointTest, MultiplexMetricsAgreeWithACapture) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http-mux");
  const fs::path clip = Clip25();
  constexpr int64_t kRate = 3000000;
  const int inPort = palvex_test::FreeUdpPort();
  int outPort = 0;
  const int fd = palvex_test::ListenUdp(&outPort);
  ASSERT_GE(fd, 0);
  const int httpPort = palvex_test::FreeTcpPort();
  std::ofstream(dir / "token") << kToken << "\n";
  const auto planText = [&](const std::string& name) {
    return "muxrate = \"3M\"\noutput = \"udp://127.0.0.1:" + std::to_string(outPort) + "\"\nhttp = \"127.0.0.1:" +
           std::to_string(httpPort) + "\"\n[[service]]\ninput = \"udp://127.0.0.1:" + std::to_string(inPort) +
           "\"\nservice_id = 101\nname = \"Live\"\n[[service]]\ninput = \"" + clip.string() +
           "\"\nservice_id = 102\nname = \"" + name + "\"\n";
  };
  std::ofstream(dir / "plan.toml") << planText("File");
  // The sender ends by itself after 60 s.
  int status = 0;
  std::string ffmpeg = Shell("command -v ffmpeg", &status);
  ffmpeg.erase(ffmpeg.find_last_not_of("\n") + 1);
  const pid_t sender = palvex_test::Spawn({ffmpeg, "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
                                           clip.string(), "-c", "copy", "-t", "60", "-f", "mpegts",
                                           "udp://127.0.0.1:" + std::to_string(inPort) + "?pkt_size=1316"},
                                          "", (dir / "sender.txt").string());
  ASSERT_GT(sender, 0);
  std::atomic<bool> done{false};
  std::vector<palvex_test::Datagram> got;
  std::thread receiver([&] { got = palvex_test::ReceiveUdp(fd, done, palvex_test::SteadyNs() + 60000000000); });
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, "--http-token", (dir / "token").string(), "--plan",
                                        (dir / "plan.toml").string()},
                                       "", (dir / "err.txt").string());
  httplib::Client client("127.0.0.1", httpPort);
  client.set_connection_timeout(0, 200000);
  std::string m;
  // While it runs; whatever fails here, the processes are stopped and the receiver joined.
  [&] {
    ASSERT_GT(pid, 0);
    // Wait for 6 s of PCRs of the live service, or 40 s at most.
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
         std::chrono::steady_clock::now() < deadline;) {
      const httplib::Result r = client.Get("/metrics");
      if (r && r->status == 200) m = r->body;
      if (Labeled(m, "palvex_pcr_interval_seconds_count", R"(service="101")") >= 150) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(Labeled(m, "palvex_pcr_interval_seconds_count", R"(service="101")"), 150)
        << ReadText((dir / "err.txt").string());
    std::ofstream(dir / "metrics.txt") << m;
    if (HaveTool("promtool")) {
      EXPECT_EQ(Shell("promtool check metrics < " + (dir / "metrics.txt").string() + " 2>&1", &status), "");
    }

    // A plan with an error is refused, and the answer says why; then service 102 renamed.
    client.set_read_timeout(6, 0);
    std::ofstream(dir / "plan.toml") << planText("File") << "bogus = 1\n";
    const httplib::Result refused =
        client.Post("/reload", {{"Authorization", std::string("Bearer ") + kToken}}, "", "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 422);
    EXPECT_NE(refused->body.find("plan.toml:12: bogus: unknown key"), std::string::npos) << refused->body;
    std::ofstream(dir / "plan.toml") << planText("File renamed");
    const httplib::Result reload =
        client.Post("/reload", {{"Authorization", std::string("Bearer ") + kToken}}, "", "application/json");
    ASSERT_TRUE(reload) << httplib::to_string(reload.error());
    EXPECT_EQ(reload->status, 200) << reload->body;
    std::string name;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline && name != "File renamed";) {
      const httplib::Result r = client.Get("/status");
      const nlohmann::json j = nlohmann::json::parse(r ? r->body : "", nullptr, false);
      if (j.is_object())
        for (const nlohmann::json& s : j["services"])
          if (s["service_id"] == 102) name = s["name"].get<std::string>();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(name, "File renamed");
    const httplib::Result afterReload = client.Get("/metrics");
    ASSERT_TRUE(afterReload);
    const std::string& after = afterReload->body;
    EXPECT_NE(after.find(R"(palvex_service_info{service="102",name="File renamed")"), std::string::npos) << after;
    EXPECT_EQ(Series(after, R"(palvex_reloads_total{result="ok"})"), 1);
    EXPECT_EQ(Series(after, R"(palvex_reloads_total{result="failed"})"), 1);
    EXPECT_EQ(Series(after, "palvex_reload_success"), 1);
  }();

  if (pid > 0) kill(pid, SIGINT);
  const int exit = pid > 0 ? palvex_test::WaitFor(pid, std::chrono::seconds(15)) : -1;
  EXPECT_TRUE(exit == 0 || exit == 3) << exit << ": " << ReadText((dir / "err.txt").string());  // 3: units late
  kill(sender, SIGINT);
  palvex_test::WaitFor(sender, std::chrono::seconds(10));
  done = true;
  receiver.join();
  close(fd);
  EXPECT_NE(ReadText((dir / "err.txt").string()).find("service 102 \"File renamed\""), std::string::npos)
      << "the summary names the service as renamed: " << ReadText((dir / "err.txt").string());

  // The recording up to the packets the metrics had counted.
  std::vector<uint8_t> ts;
  for (const palvex_test::Datagram& d : got) ts.insert(ts.end(), d.bytes.begin(), d.bytes.end());
  const size_t counted = static_cast<size_t>(Series(m, "palvex_output_packets_total"));
  ASSERT_GE(ts.size() / 188, counted) << "datagrams lost on the loopback";
  const palvex_test::MultiplexCadence c = palvex_test::MeasureMultiplexCadence(ts.data(), counted, kRate);
  EXPECT_NEAR(Series(m, "palvex_null_packets_total"), static_cast<double>(c.nulls), 400);
  const double kTicks = 27e6;
  struct Family {
    std::string what;     // in the recording
    std::string labels;   // of the series
    std::string name;     // palvex_pcr_interval or palvex_table_interval
    const palvex_test::MultiplexCadence::Steps* steps;
  };
  std::vector<Family> families;
  for (const int id : {101, 102}) {
    const std::string service = "service=\"" + std::to_string(id) + "\"";
    families.push_back({"pcr " + std::to_string(id), service, "palvex_pcr_interval", &c.pcr.at(id)});
    families.push_back({"pmt " + std::to_string(id), service + ",table=\"pmt\"", "palvex_table_interval",
                        &c.tables.at("pmt:" + std::to_string(id))});
    // Packets of its PIDs: the counters are a batch of the scheduler apart at most.
    EXPECT_NEAR(Labeled(m, "palvex_packets_total", service), static_cast<double>(c.packets.at(id)), 400) << id;
  }
  for (const char* table : {"pat", "sdt", "nit"})
    families.push_back({table, std::string("table=\"") + table + "\"", "palvex_table_interval", &c.tables.at(table)});
  for (const Family& f : families) {
    SCOPED_TRACE(f.what);
    EXPECT_NEAR(Labeled(m, f.name + "_seconds_count", f.labels), static_cast<double>(f.steps->length.size()), 2);
    for (const char* bound : {"0.04", "0.1", "0.5", "2", "10"}) {
      const double metric = Labeled(m, f.name + "_seconds_bucket", f.labels + ",le=\"" + bound + "\"");
      if (std::isnan(metric)) continue;  // not a bound of this family
      EXPECT_NEAR(metric, static_cast<double>(f.steps->AtMost(static_cast<int64_t>(std::stod(bound) * kTicks))), 2)
          << bound;
    }
    // The longest of the last 10 s: the meter's window is 9 to 10 s of its clock.
    const double recent = Labeled(m, f.name == "palvex_pcr_interval" ? "palvex_pcr_interval_max_seconds"
                                                                     : "palvex_table_interval_max_seconds",
                                  f.labels);
    EXPECT_GE(recent * kTicks + 1, static_cast<double>(f.steps->LongestSince(c.endTicks - 9 * 27000000)));
    EXPECT_LE(recent * kTicks - 1, static_cast<double>(f.steps->LongestSince(c.endTicks - 11 * 27000000)));
  }
  EXPECT_EQ(Labeled(m, "palvex_pcr_late_total", R"(service="101")"), 0) << m;
  EXPECT_EQ(Labeled(m, "palvex_table_late_total", R"(table="pat")"), 0);
  palvex_test::TsChecker checker;  // the whole recording, the reload included
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
}

// An input whose packets skip (every 40th packet of the input left out: continuity errors
// the demuxer marks) is counted as damaged while the channel goes on.
TEST(HttpEndpointTest, DamagedInputCounted) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http-faults");
  const fs::path clip = Clip25();
  const std::vector<uint8_t> ts = palvex_test::ReadFile(clip.string());
  std::ofstream damaged(dir / "damaged.ts", std::ios::binary);
  for (size_t k = 0; k + 188 <= ts.size(); k += 188)
    if (k / 188 % 40 != 39) damaged.write(reinterpret_cast<const char*>(ts.data() + k), 188);
  damaged.close();
  const int port = palvex_test::FreeTcpPort();
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, "--muxrate", "2M", "--http", "127.0.0.1:" + std::to_string(port),
                                        (dir / "damaged.ts").string(),
                                        "udp://127.0.0.1:" + std::to_string(palvex_test::FreeUdpPort())},
                                       "", (dir / "err.txt").string());
  ASSERT_GT(pid, 0);
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(0, 200000);
  std::string m;
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       std::chrono::steady_clock::now() < deadline;) {
    const httplib::Result r = client.Get("/metrics");
    if (r && r->status == 200) m = r->body;
    if (Series(m, R"(palvex_input_corrupt_packets_total{service="1"})") > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGINT);
  palvex_test::WaitFor(pid, std::chrono::seconds(10));
  EXPECT_GT(Series(m, R"(palvex_input_corrupt_packets_total{service="1"})"), 0) << m;
  EXPECT_GT(Series(m, R"(palvex_input_bytes_total{service="1"})"), 0) << m;
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  const char* stderrHas;
};

// What --http refuses ends the run with status 2 before the input or output is opened.
TEST(HttpEndpointTest, RefusedBeforeAnythingIsOpened) {
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http-refused");
  const RefusalCase cases[] = {
      {"NotLoopbackWithoutToken", {"--http", "0.0.0.0:8080"}, "needs --http-token"},
      {"TokenFileMissing", {"--http", "127.0.0.1:8080", "--http-token", (dir / "none").string()}, "cannot read"},
      {"TokenFileEmpty", {"--http", "127.0.0.1:8080", "--http-token", "/dev/null"}, "holds no token"},
      {"EmptyAddress", {"--http", ""}, "bad --http"},
      {"IPv6WithoutBrackets", {"--http", "::1:8080"}, "bad --http"},
      {"BadAddress", {"--http", "127.0.0.1"}, "bad --http"},
      {"BadPort", {"--http", "127.0.0.1:70000"}, "bad --http"},
      {"NameNotAnAddress", {"--http", "example.org:80"}, "bad --http"},
      {"TokenWithoutHttp", {"--http-token", "/etc/hostname"}, "--http-token goes with --http"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {PALVEX_MUX_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("udp://127.0.0.1:9");
    args.push_back((dir / "out.ts").string());
    const pid_t pid = palvex_test::Spawn(args, "", (dir / "err.txt").string());
    EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(10)), 2);
    EXPECT_NE(ReadText((dir / "err.txt").string()).find(c.stderrHas), std::string::npos)
        << ReadText((dir / "err.txt").string());
    EXPECT_FALSE(fs::exists(dir / "out.ts"));
  }
}

// A plan's http takes --http-token as --http does: the token file is read (here it holds
// none), not refused as a token without an address.
TEST(HttpEndpointTest, PlanTakesATokenForItsHttp) {
  const fs::path dir = palvex_test::ProcessTempDir("palvex-http-plan");
  const fs::path plan = dir / "plan.toml";
  std::ofstream(plan) << "muxrate = \"5M\"\nhttp = \"0.0.0.0:8080\"\n[[service]]\ninput = \"udp://127.0.0.1:9\"\n"
                         "service_id = 1\n";
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, "--plan", plan.string(), "--http-token", "/dev/null",
                                        (dir / "out.ts").string()},
                                       "", (dir / "err.txt").string());
  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(10)), 2);
  EXPECT_NE(ReadText((dir / "err.txt").string()).find("holds no token"), std::string::npos)
      << ReadText((dir / "err.txt").string());
  EXPECT_FALSE(fs::exists(dir / "out.ts"));
}

// Standard error to a file, as a journal takes it: each line "TIME LEVEL text", no
// progress line (its carriage return): a run's summary, an error, and a plan's service name
// holding control characters (escaped: it neither forges a line nor reaches the terminal).
TEST(LogTest, EveryLineBehindItsTimeAndLevel) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = palvex_test::ProcessTempDir("palvex-log");
  const fs::path clip = palvex_test::SharedClip(
      "log1.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 1 -c:v libx264 "
                  "-preset ultrafast -pix_fmt yuv420p -c:a aac");
  // A plan whose service name holds a line end, an escape sequence and a C1 control.
  std::ofstream(dir / "plan.toml") << "muxrate = \"2M\"\n[[service]]\ninput = \"" << clip.string()
                                   << "\"\nservice_id = 1\nname = \"Evil\\nerror forged\\u001B[31m\\u009B2J\"\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* level;  // of the line that must be there
    std::string has;
  } cases[] = {
      {"Summary", {clip.string()}, 0, "info", "palvex-mux: " + clip.string() + " -> "},
      {"Error", {(dir / "missing.mp4").string()}, 1, "error", "palvex-mux: cannot open"},
      {"NameWithControls", {"--plan", (dir / "plan.toml").string()}, 0, "info",
       R"("Evil\nerror forged\x1B[31m\u009B2J")"},
      // The level is said once: not "warning palvex-mux: warning: ".
      {"WarningLevelOnce", {"--lead", "1", clip.string()}, 0, "warning", "palvex-mux: --lead has no effect"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {PALVEX_MUX_PATH, "-y"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back((dir / "out.ts").string());
    const pid_t pid = palvex_test::Spawn(args, "", (dir / "err.txt").string());
    EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(30)), c.exit);
    const std::string text = ReadText((dir / "err.txt").string());
    EXPECT_EQ(text.find('\r'), std::string::npos) << "a progress line in: " << text;
    EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
    EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos) << text;
    bool found = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const size_t level = line.find(' ');
      ASSERT_TRUE(level == 24 && line[23] == 'Z' && IsISOTime(line.substr(0, 19) + "Z")) << line;
      const std::string rest = line.substr(level + 1);
      ASSERT_TRUE(rest.rfind("info ", 0) == 0 || rest.rfind("warning ", 0) == 0 || rest.rfind("error ", 0) == 0)
          << line;
      found = found || (rest.rfind(c.level, 0) == 0 && rest.find(c.has) != std::string::npos);
    }
    EXPECT_TRUE(found) << text;
    EXPECT_EQ(text.find("palvex-mux: warning: "), std::string::npos) << text;
  }
  // Standard error is systemd's journal (JOURNAL_STREAM names it): each line behind its
  // syslog priority, which journalctl -p filters on, and no time of its own.
  const fs::path err = dir / "journal.txt";
  std::ofstream(err).flush();
  struct stat st {};
  ASSERT_EQ(stat(err.c_str(), &st), 0);
  const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const pid_t pid = palvex_test::Spawn({"/usr/bin/env", "JOURNAL_STREAM=" + stream, PALVEX_MUX_PATH, "-y", "--lead", "1",
                                        clip.string(), (dir / "out.ts").string()},
                                       "", err.string());
  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(30)), 0);
  const std::string text = ReadText(err.string());
  EXPECT_EQ(text.rfind("<4>palvex-mux: --lead has no effect without --muxrate\n", 0), 0u) << text;
  EXPECT_NE(text.find("\n<6>palvex-mux: " + clip.string() + " -> "), std::string::npos) << text;
}

}  // namespace
