// palvex-mux as operators run it, one row per (inputs, mode, output): clips of a few
// seconds made with ffmpeg (H.264 at 25, 29.97, 30, 50 and 59.94 fps from x264 ultrafast,
// without B-frames, and veryfast, with them; HEVC with AC-3; MPEG-2 1080i with MP2; two
// AAC tracks in two languages; an SCTE-35 cue PID), carried as a single channel, a plan of
// files, a plan of live inputs (`ffmpeg -re` sending MPEG-TS to 127.0.0.1) or a plan of
// both, into a file as fast as it goes, a file paced by -re, UDP or RTP on 127.0.0.1.
// Every row, for every service:
// - every frame of its source in its program (framemd5 of each video and audio stream,
//   the cue count, codecs and languages); a live input may miss the start of its sender
//   up to its first key frame (one GOP) and, at its end, the frames its demuxer cannot
//   know whole without a next PES (kLiveTrailingSeconds);
// - the run ends by itself within its media time and kEndSlack (a live one within
//   kLiveEndSlack of its senders' start, once SIGINT follows the input's loss), a paced
//   one not before most of its media time; a run that does not end is killed and failed;
// - on the wire (UDP, RTP) no two datagrams more than 50 ms apart, each seven packets;
// - its PCRs at most 40 ms apart, none stepping back, and every access unit's last byte
//   in before its decode time on its program's own PCR clock (support/program_timing.h);
//   the summary tells no access unit late and the exit status is 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/frame_compare.h"
#include "support/http_client.h"
#include "support/pes_reader.h"
#include "support/process.h"
#include "support/program_timing.h"
#include "support/shell.h"
#include "support/splice_sections.h"
#include "support/ts_checker.h"
#include "support/udp_receiver.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadText;

constexpr int64_t kMaxWireGapNs = 50000000;
constexpr int64_t kMaxPCRIntervalNs = 40000000;
constexpr double kEndSlack = 3.0;           // seconds past the media time a file run may take
constexpr double kLiveEndSlack = 7.0;       // a live input runs 1-2 s behind, its loss told 1 s on,
                                            // seen steady for 1 s
// A live MPEG-TS input's last video PES (its length open) stays in the demuxer; with
// B-frames the pictures of its last group are shown around it.
constexpr double kLiveTrailingSeconds = 0.2;

struct Clip {
  const char* name;    // its file name (MPEG-TS, as a head-end's encoders send it)
  const char* encode;  // ffmpeg's inputs and encoders
  double seconds;
  double gopSeconds;   // key frame to key frame: what a live join may miss
  int64_t rate;        // bit/s the service is given in the multiplex
  bool cues;           // SCTE-35 cues written into it
};

// clang-format off
const Clip kH264At25BFrames = {"om-h264-25-veryfast.ts",
    "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -preset veryfast "
    "-bf 2 -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k", 3, 1, 1500000, false};
const Clip kH264At25Ac3 = {"om-h264-25-ultrafast-ac3.ts",
    "-f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -preset ultrafast "
    "-b:v 1500k -maxrate 1500k -bufsize 1500k -g 50 -pix_fmt yuv420p -c:a ac3 -b:a 192k", 3, 2, 3000000, false};
const Clip kH264At2997BFrames = {"om-h264-2997-veryfast.ts",
    "-f lavfi -i testsrc2=size=640x360:rate=30000/1001 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -preset "
    "veryfast -b:v 1500k -maxrate 1500k -bufsize 1500k -g 30 -pix_fmt yuv420p -c:a aac -b:a 128k", 3, 1, 3000000, false};
// The clip of the report: 640x360 30 fps ultrafast + AAC, the multiplex at 4M.
const Clip kH264At30 = {"om-h264-30-ultrafast.ts",
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -preset ultrafast "
    "-b:v 2M -maxrate 2M -bufsize 2M -pix_fmt yuv420p -c:a aac -b:a 128k", 3, 3, 4000000, false};
const Clip kH264At50Ac3 = {"om-h264-50-ultrafast-ac3.ts",
    "-f lavfi -i testsrc2=size=640x360:rate=50 -f lavfi -i sine=sample_rate=48000 -t 2 -c:v libx264 -preset ultrafast "
    "-b:v 2M -maxrate 2M -bufsize 2M -g 50 -pix_fmt yuv420p -c:a ac3 -b:a 192k", 2, 1, 4000000, false};
const Clip kH264At5994TwoLanguages = {"om-h264-5994-veryfast-2aac.ts",
    "-f lavfi -i testsrc2=size=1280x720:rate=60000/1001 -f lavfi -i sine=frequency=440:sample_rate=48000 -f lavfi -i "
    "sine=frequency=660:sample_rate=48000 -t 2 -map 0:v -map 1:a -map 2:a -c:v libx264 -preset veryfast -b:v 3M "
    "-maxrate 3M -bufsize 3M -g 60 -pix_fmt yuv420p -c:a aac -b:a 128k -metadata:s:a:0 language=eng "
    "-metadata:s:a:1 language=deu", 2, 1, 6000000, false};
const Clip kHevcAc3 = {"om-hevc-50-ac3.ts",
    "-f lavfi -i testsrc2=size=1280x720:rate=50 -f lavfi -i sine=sample_rate=48000 -t 2 -c:v libx265 -preset ultrafast "
    "-x265-params log-level=error -b:v 2M -g 50 -pix_fmt yuv420p -c:a ac3 -b:a 192k", 2, 1, 5000000, false};
const Clip kMpeg2InterlacedMp2 = {"om-mpeg2-1080i-mp2.ts",
    "-f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 -c:v mpeg2video -flags "
    "+ilme+ildct -top 1 -b:v 8M -maxrate 8M -bufsize 1835k -g 12 -bf 2 -c:a mp2 -b:a 192k", 2, 0.5, 11000000, false};
const Clip kScte35 = {"om-h264-25-cues.ts",
    "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 3 -c:v libx264 -preset veryfast "
    "-bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac -b:a 96k", 3, 1, 1500000, true};
// clang-format on

enum class Mode { kSingle, kPlan };
enum class Output { kFile, kPacedFile, kUdp, kRtp };

struct Service {
  const Clip* clip;
  bool live;  // sent by `ffmpeg -re` over UDP, else read as a file
};

struct Row {
  const char* name;
  Mode mode;
  Output output;
  std::vector<Service> services;
};

// Every clip at least once; each of single channel, plan of files, plan of live inputs and
// a mixed plan into each output; the plan of one 30 fps ultrafast file paced into a file,
// UDP and RTP; the other clips of the report paced together.
const Row kRows[] = {
    {"SingleFile_H264At25BFrames", Mode::kSingle, Output::kFile, {{&kH264At25BFrames, false}}},
    {"SinglePacedFile_HevcAc3", Mode::kSingle, Output::kPacedFile, {{&kHevcAc3, false}}},
    {"SingleUdp_H264At2997BFrames", Mode::kSingle, Output::kUdp, {{&kH264At2997BFrames, false}}},
    {"SingleRtp_Mpeg2InterlacedMp2", Mode::kSingle, Output::kRtp, {{&kMpeg2InterlacedMp2, false}}},
    // Fails: the second service's first cue section leaves before its PMT (packet 5, the
    // PMT at 8), so ffmpeg takes the cue PID for a PES stream of unknown type and finds no
    // cue; a receiver that reads the PMT first loses that section.
    {"PlanFilesFile_TwoLanguagesAndCues", Mode::kPlan, Output::kFile,
     {{&kH264At5994TwoLanguages, false}, {&kScte35, false}}},
    {"PlanFilesPacedFile_H264At30", Mode::kPlan, Output::kPacedFile, {{&kH264At30, false}}},
    {"PlanFilesUdp_H264At30", Mode::kPlan, Output::kUdp, {{&kH264At30, false}}},
    {"PlanFilesRtp_H264At30", Mode::kPlan, Output::kRtp, {{&kH264At30, false}}},
    {"PlanFilesUdp_FourClips", Mode::kPlan, Output::kUdp,
     {{&kHevcAc3, false}, {&kH264At5994TwoLanguages, false}, {&kH264At50Ac3, false}, {&kH264At25Ac3, false}}},
    // A plan with live inputs goes out in real time, into a file as well.
    {"PlanLiveFile", Mode::kPlan, Output::kFile, {{&kH264At25BFrames, true}, {&kH264At50Ac3, true}}},
    {"PlanLivePacedFile", Mode::kPlan, Output::kPacedFile, {{&kH264At25Ac3, true}}},
    {"PlanLiveUdp", Mode::kPlan, Output::kUdp, {{&kH264At2997BFrames, true}, {&kH264At5994TwoLanguages, true}}},
    {"PlanLiveRtp", Mode::kPlan, Output::kRtp, {{&kH264At30, true}}},
    {"MixedFile", Mode::kPlan, Output::kFile, {{&kH264At50Ac3, false}, {&kH264At25BFrames, true}}},
    {"MixedPacedFile", Mode::kPlan, Output::kPacedFile, {{&kScte35, false}, {&kH264At25BFrames, true}}},
    {"MixedUdp", Mode::kPlan, Output::kUdp, {{&kH264At30, false}, {&kH264At25Ac3, true}}},
    {"MixedRtp", Mode::kPlan, Output::kRtp, {{&kHevcAc3, false}, {&kH264At2997BFrames, true}}},
};

// The clip as its service's input: ffmpeg's, or for kScte35 that with a cue PID written in
// (a splice_insert before picture 10 naming the picture shown 1.2 s in, a time_signal
// before picture 40 naming the one 2 s in).
fs::path MakeClip(const Clip& clip, const fs::path& dir) {
  const fs::path made = palvex_test::SharedClip(clip.name, clip.encode);
  if (made.empty() || !clip.cues) return made;
  const std::vector<uint8_t> plain = palvex_test::ReadFile(made.string());
  palvex_test::PesReader pes;
  if (!pes.Read(plain.data(), plain.size())) return {};
  std::vector<int64_t> shown;
  for (const palvex_test::PesPacket& p : pes.pes())
    if ((p.streamId & 0xF0) == 0xE0) shown.push_back(p.pts);
  std::sort(shown.begin(), shown.end());
  if (shown.size() < 75) return {};
  const std::vector<uint8_t> cued = palvex_test::WithCues(
      plain, {{10, palvex_test::SpliceInsertAt(shown[30], 0, 0x4A0)}, {40, palvex_test::TimeSignalAt(shown[50])}});
  const fs::path path = dir / clip.name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(cued.data()),
                                              static_cast<std::streamsize>(cued.size()));
  return path;
}

// The services the operations page (/status) lists: service_id -> its input up, packets.
struct OnAir {
  bool up = false;
  int64_t packets = 0;
};
std::map<int, OnAir> ServicesOnAir(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(0, 200000);
  const httplib::Result got = client.Get("/status");
  std::map<int, OnAir> listed;
  const nlohmann::json status = got ? nlohmann::json::parse(got->body, nullptr, false) : nlohmann::json();
  if (!status.is_object() || !status.contains("services")) return {{-1, {}}};  // no answer
  for (const nlohmann::json& s : status["services"])
    listed[s.value("service_id", 0)] = {s["input"].value("up", false), s.value("packets", int64_t{0})};
  return listed;
}

class OperatorMatrixTest : public testing::TestWithParam<Row> {};

TEST_P(OperatorMatrixTest, EveryFrameInItsProgramOnTimeAndTheWireNeverSilent) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const Row& row = GetParam();
  const fs::path dir = palvex_test::ProcessTempDir("palvex-operator-matrix") / row.name;
  fs::create_directories(dir);
  const bool network = row.output == Output::kUdp || row.output == Output::kRtp;

  // Inputs: the clips, a port for each live one.
  std::vector<fs::path> clips;
  std::vector<int> inputPorts;
  double media = 0;
  int64_t muxRate = 0;
  bool live = false;
  for (const Service& s : row.services) {
    clips.push_back(MakeClip(*s.clip, dir));
    ASSERT_FALSE(clips.back().empty()) << s.clip->name;
    inputPorts.push_back(s.live ? palvex_test::FreeUdpPort() : 0);
    media = std::max(media, s.clip->seconds);
    muxRate += s.clip->rate;
    live = live || s.live;
  }
  // A plan with a live input goes out in real time, into a file too.
  const bool paced = row.output != Output::kFile || (row.mode == Mode::kPlan && live);
  const auto input = [&](size_t k) {
    return row.services[k].live ? "udp://127.0.0.1:" + std::to_string(inputPorts[k]) : clips[k].string();
  };
  const auto programOf = [&](size_t k) { return row.mode == Mode::kSingle ? 1 : 101 + static_cast<int>(k); };

  // The output: a file, or a receiver on 127.0.0.1.
  int port = 0;
  const int fd = network ? palvex_test::ListenUdp(&port) : -1;
  if (network) {
    ASSERT_GE(fd, 0);
  }
  const fs::path recording = dir / "out.ts", err = dir / "err.txt";
  const std::string output = row.output == Output::kUdp   ? "udp://127.0.0.1:" + std::to_string(port)
                             : row.output == Output::kRtp ? "rtp://127.0.0.1:" + std::to_string(port)
                                                          : recording.string();
  std::atomic<bool> done{false};
  std::vector<palvex_test::Datagram> got;
  std::thread receiver([&] {
    if (network) got = palvex_test::ReceiveUdp(fd, done, palvex_test::SteadyNs() + int64_t((media + 90) * 1e9));
  });

  const int httpPort = live ? palvex_test::FreeTcpPort() : 0;
  std::vector<std::string> args = {PALVEX_MUX_PATH, "-y", "--rt-priority", "10"};
  if (row.output == Output::kPacedFile) args.push_back("-re");
  if (row.mode == Mode::kSingle) {
    args.insert(args.end(), {"--muxrate", std::to_string(muxRate), input(0), output});
  } else {
    std::string plan = "muxrate = " + std::to_string(muxRate) + "\n";
    if (live) plan += "http = \"127.0.0.1:" + std::to_string(httpPort) + "\"\n";
    for (size_t k = 0; k < row.services.size(); ++k)
      plan += "\n[[service]]\ninput = \"" + input(k) + "\"\nservice_id = " + std::to_string(programOf(k)) + "\n";
    std::ofstream(dir / "plan.toml") << plan;
    args.insert(args.end(), {"--plan", (dir / "plan.toml").string(), output});
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = palvex_test::Spawn(args, "", err.string());
  ASSERT_GT(pid, 0);

  // Live inputs: each sender once its port is open. SIGINT once every service is through
  // (/status): paced, a file service has left the list and a live one has been told down
  // for a second; into a file as fast as it goes (where the line moves only as live frames
  // come, and no loss is told), every service has sent no packet for a second.
  int exit = -1;
  if (live) {
    std::vector<pid_t> senders;
    for (size_t k = 0; k < row.services.size(); ++k) {
      if (!row.services[k].live) continue;
      EXPECT_TRUE(palvex_test::WaitForUdpListener(inputPorts[k], std::chrono::seconds(10))) << input(k);
      senders.push_back(palvex_test::Spawn({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i",
                                            clips[k].string(), "-map", "0", "-c", "copy", "-f", "mpegts",
                                            input(k) + "?pkt_size=1316"},
                                           "", ""));
    }
    for (const pid_t sender : senders)
      EXPECT_EQ(palvex_test::WaitFor(sender, std::chrono::milliseconds(int64_t((media + 20) * 1000))), 0);
    std::map<int, std::pair<int64_t, std::chrono::steady_clock::time_point>> still;  // up or packets, since
    const bool through = palvex_test::WaitUntil(
        [&] {
          const std::map<int, OnAir> listed = ServicesOnAir(httpPort);
          const auto now = std::chrono::steady_clock::now();
          bool all = listed.count(-1) == 0;
          for (size_t k = 0; k < row.services.size(); ++k) {
            const auto it = listed.find(programOf(k));
            if (it == listed.end()) continue;
            // Paced: down for a second (on a loaded machine an input's thread may fall a
            // second behind its socket, and the input be told down while frames wait).
            auto& last = still[programOf(k)];
            const int64_t mark = paced ? (it->second.up ? 1 : 0) : it->second.packets;
            if (last.first != mark) last = {mark, now};
            all = all && (!paced || (row.services[k].live && mark == 0)) && now - last.second >= std::chrono::seconds(1);
          }
          return all;
        },
        std::chrono::seconds(15), std::chrono::milliseconds(100));
    EXPECT_TRUE(through) << "services not through 15 s after their senders' end";
    kill(pid, SIGINT);
    exit = palvex_test::WaitFor(pid, std::chrono::seconds(10));
  } else {
    exit = palvex_test::WaitFor(pid, std::chrono::milliseconds(int64_t((media + 15) * 1000)));
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  done = true;
  receiver.join();
  if (fd >= 0) close(fd);
  const std::string log = ReadText(err.string());
  std::printf("%s: %.2f s for %.1f s of media, %zu datagrams\n", row.name, took, media, got.size());
  ASSERT_NE(exit, -1) << "no end within " << media + 15 << " s of the start (killed); " << log;
  EXPECT_EQ(exit, 0) << log;
  EXPECT_LE(took, media + (live ? kLiveEndSlack : kEndSlack)) << log;
  if (paced && !live) {
    EXPECT_GE(took, media - 1.0) << "a paced run faster than its media";
  }

  // The stream, from the wire or the file.
  std::vector<uint8_t> ts;
  if (network) {
    const size_t header = row.output == Output::kRtp ? 12 : 0;
    for (size_t d = 0; d < got.size(); ++d) {
      const size_t payload = got[d].bytes.size() - header;
      ASSERT_TRUE(payload == 7 * 188 || (d + 1 == got.size() && payload % 188 == 0 && payload > 0))
          << "datagram " << d << " of " << got[d].bytes.size() << " bytes";
    }
    const palvex_test::ArrivalGap gap = palvex_test::LongestArrivalGap(got);
    EXPECT_LE(gap.ns, kMaxWireGapNs) << "the wire silent " << static_cast<double>(gap.ns) / 1e6 << " ms before datagram "
                                     << gap.at << " of " << got.size() << ", "
                                     << (gap.at > 0 ? static_cast<double>(got[gap.at].arrivalNs - got[0].arrivalNs) / 1e9
                                                    : 0.0)
                                     << " s in";
    ts = palvex_test::Payloads(got, header);
    std::ofstream(recording, std::ios::binary).write(reinterpret_cast<const char*>(ts.data()),
                                                     static_cast<std::streamsize>(ts.size()));
  } else {
    ts = palvex_test::ReadFile(recording.string());
  }
  ASSERT_GT(ts.size(), 100u * 188) << log;
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  EXPECT_EQ(log.find("is too little"), std::string::npos) << log;
  EXPECT_EQ(log.find("access units late:"), std::string::npos) << log;

  for (size_t k = 0; k < row.services.size(); ++k) {
    const Service& s = row.services[k];
    const int program = programOf(k);
    SCOPED_TRACE(std::string(s.clip->name) + " as program " + std::to_string(program));
    if (row.mode == Mode::kPlan) {  // the summary's line of the service: none late
      std::string summary;
      std::istringstream lines(log);
      for (std::string line; std::getline(lines, line);)
        if (line.find("palvex-mux: service " + std::to_string(program) + " ") != std::string::npos &&
            line.find(" muxed, ") != std::string::npos)
          summary = line;
      EXPECT_NE(summary.find(", 0 access units late"), std::string::npos) << log;
    }
    const palvex_test::ProgramTiming timing = palvex_test::ReadProgramTiming(ts.data(), ts.size(), program);
    EXPECT_TRUE(timing.errors.empty()) << timing.errors.front() << " (" << timing.lateUnits << " late of "
                                       << timing.units << ")";
    EXPECT_GT(timing.units, 0u);
    EXPECT_LE(timing.maxPCRIntervalNs, kMaxPCRIntervalNs);
    EXPECT_EQ(timing.pcrStepsBack, 0u);
    std::printf("  program %d: %zu access units, least slack %.1f ms, PCRs up to %.1f ms apart\n", program,
                timing.units, static_cast<double>(timing.minSlackNs) / 1e6,
                static_cast<double>(timing.maxPCRIntervalNs) / 1e6);
    palvex_test::FrameTolerance tolerance;
    if (s.live) tolerance = {s.clip->gopSeconds, kLiveTrailingSeconds};
    EXPECT_EQ(palvex_test::CompareProgramFrames(clips[k].string(), recording.string(), program, s.clip->seconds,
                                                tolerance),
              "");
  }
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(Operators, OperatorMatrixTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& param) { return param.param.name; });

}  // namespace
