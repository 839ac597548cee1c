// A multiplex on air as a head-end runs it for months, in small: palvex-mux --plan with its
// output recorded on a UDP port of 127.0.0.1 (every datagram, in memory), live inputs fed
// by ffmpeg senders on ports of 127.0.0.1 that the test starts, kills and starts again, and
// the plan rewritten and reloaded (SIGHUP) while it runs. The process's open descriptors
// and resident memory are sampled on the way, for a check that they stay flat.
//
// RunMuxSoak plays a scenario on a fixed multiplex: services 101 and 102 from a looping
// file, 105 and 106 from live senders that loop their clips (seams), and 103, a file
// service that reloads add and remove. Its checks, on the wire as a receiver gets it:
// no access unit of any program late on its own PCR clock, no continuity error, PCRs at
// most 40 ms apart and steps of a program's clock flagged, no PCR of a program after it
// left the PAT, every service on air at the end (a restarted live one back on its port),
// and the descriptors and memory of the process flat after warm-up.
#ifndef PALVEX_TESTS_SUPPORT_MUX_SOAK_H_
#define PALVEX_TESTS_SUPPORT_MUX_SOAK_H_

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/udp_receiver.h"

namespace palvex_test {

// Open descriptors of a process (-1 when it cannot be read).
inline int OpenDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

// Resident memory of a process in bytes (-1 when it cannot be read).
inline long ResidentBytesOf(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  const int n = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

class MuxSoak {
 public:
  // dir: where the plan and the log go; muxRate as the plan gives it ("4M").
  MuxSoak(std::filesystem::path dir, std::string muxRate) : m_dir(std::move(dir)), m_muxRate(std::move(muxRate)) {}
  ~MuxSoak() {
    for (auto& [id, pid] : m_senders) StopSender(id);
    if (m_pid > 0) Stop();
  }
  MuxSoak(const MuxSoak&) = delete;
  MuxSoak& operator=(const MuxSoak&) = delete;

  // A live input's URL on a port of 127.0.0.1 that was free: the same for every sender of id.
  std::string LiveInput(int id) {
    if (m_ports.count(id) == 0) m_ports[id] = FreeUdpPort();
    return "udp://127.0.0.1:" + std::to_string(m_ports[id]);
  }

  // Starts palvex-mux (options after the plan's) on the plan's services; false when the
  // receiver or the process cannot be set up.
  bool Start(const std::string& services, const std::vector<std::string>& options, int64_t maxSeconds) {
    int port = 0;
    m_fd = ListenUdp(&port);
    if (m_fd < 0) return false;
    m_head = "muxrate = \"" + m_muxRate + "\"\noutput = \"udp://127.0.0.1:" + std::to_string(port) + "\"\n";
    WritePlan(services);
    const int64_t deadline = SteadyNs() + (maxSeconds + 20) * 1000000000;
    m_receiver = std::thread([this, deadline] { m_got = ReceiveUdp(m_fd, m_done, deadline); });
    std::vector<std::string> args = {PALVEX_MUX_PATH, "--plan", (m_dir / "plan.toml").string()};
    args.insert(args.end(), options.begin(), options.end());
    m_pid = Spawn(args, "", (m_dir / "err.txt").string());
    return m_pid > 0;
  }

  // The plan rewritten with these services and read again.
  void Reload(const std::string& services) {
    WritePlan(services);
    kill(m_pid, SIGHUP);
  }

  // ffmpeg sending clip to the live input of id, as an encoder does (-re, TS over UDP),
  // looping it (seams) unless loop is false; extra: options before the output (an offset
  // of its clock, -output_ts_offset) or before the input (a start into the clip, -ss).
  void StartSender(int id, const std::filesystem::path& clip, const std::vector<std::string>& before = {},
                   const std::vector<std::string>& extra = {}, bool loop = true) {
    StopSender(id);
    std::vector<std::string> args = {"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re"};
    if (loop) args.insert(args.end(), {"-stream_loop", "-1"});
    args.insert(args.end(), before.begin(), before.end());
    args.insert(args.end(), {"-i", clip.string(), "-c", "copy"});
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-f", "mpegts", LiveInput(id) + "?pkt_size=1316"});
    m_senders[id] = Spawn(args, "", "");
  }
  // The sender killed as an encoder dies (SIGKILL).
  void StopSender(int id) {
    auto it = m_senders.find(id);
    if (it == m_senders.end() || it->second <= 0) return;
    kill(it->second, SIGKILL);
    WaitFor(it->second, std::chrono::seconds(5));
    m_senders.erase(it);
  }

  // Descriptors and resident memory now.
  void Sample() {
    descriptors.push_back(OpenDescriptors(m_pid));
    residentBytes.push_back(ResidentBytesOf(m_pid));
  }

  // SIGINT, its exit status; the recording and the log are then complete.
  int Stop() {
    for (auto& [id, pid] : std::map<int, pid_t>(m_senders)) StopSender(id);
    kill(m_pid, SIGINT);
    exit = WaitFor(m_pid, std::chrono::seconds(15));
    m_pid = -1;
    m_done = true;
    if (m_receiver.joinable()) m_receiver.join();
    close(m_fd);
    for (const Datagram& d : m_got) ts.insert(ts.end(), d.bytes.begin(), d.bytes.end());
    m_got.clear();
    log = ReadText((m_dir / "err.txt").string());
    return exit;
  }

  int exit = -1;
  std::string log;
  std::vector<uint8_t> ts;
  std::vector<int> descriptors;
  std::vector<long> residentBytes;

 private:
  void WritePlan(const std::string& services) {
    // Written aside and renamed into place: a reload never reads half a plan.
    std::ofstream(m_dir / "plan.next") << m_head << services;
    std::filesystem::rename(m_dir / "plan.next", m_dir / "plan.toml");
  }

  std::filesystem::path m_dir;
  std::string m_muxRate;
  std::string m_head;
  std::map<int, int> m_ports;
  std::map<int, pid_t> m_senders;
  pid_t m_pid = -1;
  int m_fd = -1;
  std::atomic<bool> m_done{false};
  std::vector<Datagram> m_got;
  std::thread m_receiver;
};

struct SoakEvent {
  enum class Kind {
    kSender,             // the sender of service arg (re)started, looping its clip from 0
    kSenderIntoClip,     // the same from 1 s into its clip (-ss 1)
    kSenderClockOffset,  // the same with its clock 30 s on (-output_ts_offset 30)
    kSenderBurst,        // the clip sent once at full speed (no -re), as a sender catching up
    kKillSender,         // the sender of service arg killed
    kReload,             // the plan of variant arg (SoakPlan) read again
  };
  double at;  // seconds into the cycle
  Kind kind;
  int arg;
};

struct SoakScenario {
  const char* name;
  double cycleSeconds;
  double warmUpSeconds;  // into the first cycle: descriptors and memory taken as they should stay
  std::vector<SoakEvent> events;
};

inline void PrintTo(const SoakScenario& scenario, std::ostream* os) { *os << scenario.name; }

struct SoakClips {
  std::filesystem::path file;              // the file services' (looped)
  std::filesystem::path liveA, liveB;      // the senders' of 105 and 106
};

// The clips: 2 s for the files (a seam of --loop every 2 s) and the first sender, 8 s for
// the second (made once, shared with the other tests: SharedClip).
inline SoakClips MakeSoakClips() {
  const auto clip = [](const char* name, int seconds) {
    return SharedClip(name, "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t " +
                                std::to_string(seconds) + " -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac");
  };
  return SoakClips{clip("loss.mp4", 2), clip("loss.mp4", 2), clip("mux-live.mp4", 8)};
}

// The scenarios, one cycle each. The burst comes first, so that the queues have grown to
// hold it before the warm-up sample.
inline const std::vector<SoakScenario>& SoakScenarios() {
  using Kind = SoakEvent::Kind;
  static const std::vector<SoakScenario> scenarios = {
      {"SendersLoopDieAndComeBack", 32, 9,
       {{4, Kind::kSenderBurst, 106}, {10, Kind::kKillSender, 105}, {12, Kind::kSender, 105},
        {14, Kind::kKillSender, 106}, {15, Kind::kSenderClockOffset, 106}, {18, Kind::kKillSender, 105},
        {19, Kind::kSenderIntoClip, 105}, {23, Kind::kKillSender, 105}, {24, Kind::kSender, 105}}},
      {"ReloadsStartServicesAnewAddAndRemove", 34, 5,
       {{6, Kind::kReload, 1}, {9, Kind::kReload, 3}, {12, Kind::kReload, 6}, {15, Kind::kReload, 10},
        {18, Kind::kReload, 2}, {21, Kind::kReload, 0}, {24, Kind::kReload, 4}, {27, Kind::kReload, 0}}},
  };
  return scenarios;
}

// The services of a plan variant: bit 0: 101 with another map (started anew), bit 1: 105
// with another map (started anew on its port), bit 2: 103 on air, bit 3: 106 off air.
inline std::string SoakPlan(int variant, const SoakClips& clips, MuxSoak& soak) {
  const auto service = [](int id, const std::string& input, bool map) {
    return "\n[[service]]\ninput = \"" + input + "\"\nservice_id = " + std::to_string(id) + "\n" +
           (map ? "map = [\"v\", \"a\"]\n" : "");
  };
  std::string text = service(101, clips.file.string(), (variant & 1) != 0) + service(102, clips.file.string(), false);
  if ((variant & 4) != 0) text += service(103, clips.file.string(), false);
  text += service(105, soak.LiveInput(105), (variant & 2) != 0);
  if ((variant & 8) == 0) text += service(106, soak.LiveInput(106), false);
  return text;
}

inline void RunMuxSoak(const std::filesystem::path& dir, const SoakClips& clips, const SoakScenario& scenario,
                       int cycles, int64_t muxRate, long residentSlackBytes) {
  MuxSoak soak(dir, std::to_string(muxRate));
  const double seconds = scenario.cycleSeconds * cycles;
  ASSERT_TRUE(soak.Start(SoakPlan(0, clips, soak), {"--loop", "--rt-priority", "10"},
                         static_cast<int64_t>(seconds) + 1));
  const auto begin = std::chrono::steady_clock::now();
  const auto until = [&](double at) {
    std::this_thread::sleep_until(begin + std::chrono::milliseconds(static_cast<int64_t>(at * 1000)));
  };
  const auto clipOf = [&](int id) { return id == 105 ? clips.liveA : clips.liveB; };
  until(0.3);
  soak.StartSender(105, clips.liveA);
  soak.StartSender(106, clips.liveB);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const double base = cycle * scenario.cycleSeconds;
    bool warmedUp = cycle > 0;
    for (const SoakEvent& e : scenario.events) {
      if (!warmedUp && e.at >= scenario.warmUpSeconds) {
        until(scenario.warmUpSeconds);
        soak.Sample();
        warmedUp = true;
      }
      until(base + e.at);
      switch (e.kind) {
        case SoakEvent::Kind::kSender: soak.StartSender(e.arg, clipOf(e.arg)); break;
        case SoakEvent::Kind::kSenderIntoClip: soak.StartSender(e.arg, clipOf(e.arg), {"-ss", "1"}); break;
        case SoakEvent::Kind::kSenderClockOffset:
          soak.StartSender(e.arg, clipOf(e.arg), {}, {"-output_ts_offset", "30"});
          break;
        case SoakEvent::Kind::kSenderBurst: {
          // Sent at once, then the sender goes on in real time from the clip's start.
          soak.StopSender(e.arg);
          EXPECT_TRUE(Succeeds("ffmpeg -nostdin -hide_banner -loglevel error -i " + clipOf(e.arg).string() +
                               " -c copy -f mpegts '" + soak.LiveInput(e.arg) + "?pkt_size=1316'"));
          soak.StartSender(e.arg, clipOf(e.arg));
          break;
        }
        case SoakEvent::Kind::kKillSender: soak.StopSender(e.arg); break;
        case SoakEvent::Kind::kReload: soak.Reload(SoakPlan(e.arg, clips, soak)); break;
      }
    }
    until(base + scenario.cycleSeconds - 0.2);
    soak.Sample();
  }
  EXPECT_EQ(soak.Stop(), 0) << soak.log;
  EXPECT_EQ(soak.log.find("Address already in use"), std::string::npos) << soak.log;
  const WireReport wire = ReadWire(soak.ts.data(), soak.ts.size(), muxRate);
  const double wireSeconds = static_cast<double>(wire.packets) * 188 * 8 / static_cast<double>(muxRate);
  std::printf("%s: %.1f s on the wire, %zu continuity errors, %zu PCRs after leaving the PAT (%.3f s)\n",
              scenario.name, wireSeconds, wire.continuityErrors.size(), wire.strayPCRs,
              static_cast<double>(wire.strayPCRsAfterNs) / 1e9);
  EXPECT_GT(wireSeconds, seconds - 2);
  EXPECT_TRUE(wire.continuityErrors.empty()) << wire.continuityErrors.front();
  EXPECT_EQ(wire.strayPCRs, 0u);
  for (int id : {101, 102, 105, 106}) EXPECT_EQ(wire.programs.count(id), 1u) << "program " << id;
  for (const auto& [number, p] : wire.programs) {
    std::printf("  program %d: %zu access units, %zu late (up to %.3f s), PCRs up to %.1f ms apart, %zu steps\n",
                number, p.units, p.lateUnits, static_cast<double>(p.maxLateNs) / 1e9,
                static_cast<double>(p.maxPCRIntervalNs) / 1e6, p.pcrSteps);
    SCOPED_TRACE("program " + std::to_string(number));
    const std::string first = p.errors.empty() ? "" : p.errors.front();
    EXPECT_EQ(p.lateUnits, 0u) << first;
    EXPECT_EQ(p.pcrSteps, 0u) << first;
    EXPECT_LE(p.maxPCRIntervalNs, 40000000);
    // On air to the end (a live one back on its port after every restart and reload).
    if (number != 103) {
      EXPECT_GT(static_cast<double>(p.lastUnitNs) / 1e9, seconds - 3);
    }
  }
  std::string samples;
  for (size_t i = 0; i < soak.descriptors.size(); ++i)
    samples += " " + std::to_string(soak.descriptors[i]) + " fds " + std::to_string(soak.residentBytes[i] >> 10) + " KiB;";
  std::printf("  after warm-up, then each cycle:%s\n", samples.c_str());
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine: resident memory tells nothing here.
  residentSlackBytes = std::numeric_limits<long>::max();
#endif
  // Against the warm-up, or over many cycles the end of the second: the queues have grown
  // to their largest and the allocator's arenas to what the restarts' threads take.
  ASSERT_GE(soak.descriptors.size(), 2u);
  const size_t reference = std::min<size_t>(2, soak.descriptors.size() - 2);
  EXPECT_EQ(soak.descriptors.back(), soak.descriptors[reference]) << samples;
  EXPECT_LE(soak.residentBytes.back() - soak.residentBytes[reference], residentSlackBytes) << samples;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_MUX_SOAK_H_
