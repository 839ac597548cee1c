// What one paced HD channel costs: palvex-mux's channel (libavformat demux, palvex through
// its exported interface, PCR pacing, UDP datagrams to 127.0.0.1) run in real time on a
// 1080p25 H.264 + AAC clip, and the CPU time it takes as a share of one core; channels one
// core paces in real time = 1 / that share (sends and wake-ups included). Beside it: a bare
// loop of as many sleeps (what the machine charges for waking alone), the channel paced
// into /dev/null (no sends) and unpaced (demux and mux alone); and the same channel as a
// constant-rate channel (--muxrate: the scheduler's slots, nulls included) paced to UDP,
// beside `ffmpeg -re` sending the same clip to the same socket at the same mux rate and at
// its own (no null packets) (its user + system CPU seconds from wait4). The machine may be busy with other work: CPU
// seconds, not wall time, are what compares.
//
//   palvex_paced_channel [--seconds N] [--rate 8M] [--clip FILE] [--muxrate 8M]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "channel.h"
#include "udp_sink.h"
#include "plan.h"
#include "service_options.h"
#include "output.h"
#include "pacer.h"

namespace {

namespace fs = std::filesystem;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string MakeClip(int seconds, const std::string& rate) {
  const fs::path dir = fs::temp_directory_path() / "palvex_paced_channel";
  fs::create_directories(dir);
  const fs::path clip = dir / ("hd" + std::to_string(seconds) + "s_" + rate + ".mp4");
  if (fs::exists(clip)) return clip.string();
  std::printf("making %s (1080p25 H.264 %s + AAC, %d s)\n", clip.c_str(), rate.c_str(), seconds);
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i "
      "sine=sample_rate=48000 -t " + std::to_string(seconds) + " -c:v libx264 -preset ultrafast -b:v " + rate +
      " -maxrate " + rate + " -bufsize " + rate + " -g 50 -pix_fmt yuv420p -c:a aac -b:a 128k " + clip.string();
  if (std::system(command.c_str()) != 0) return "";
  return clip.string();
}

// One run of the channel; its media seconds, and the wall and CPU seconds it took.
struct Run {
  double media = 0, wall = 0, cpu = 0;
  int64_t maxLateNs = 0;
  uint64_t sleeps = 0;
  uint64_t packets = 0;  // sent at the constant rate
};

Run RunChannel(const std::string& clip, const std::string& output, bool paced, int64_t muxRate = 0) {
  static volatile std::sig_atomic_t stop = 0;
  palvex_host::Options options;
  options.input = clip;
  options.output = output;
  options.realtime = paced;
  options.muxRate = muxRate;
  options.verbosity = palvex_host::Verbosity::kQuiet;
  const double cpu = CpuSeconds();
  const int64_t begin = palvex_host::SteadyNowNs();
  palvex_host::Channel channel(options, &stop, STDOUT_FILENO);
  Run run;
  if (channel.Run() != 0) return run;
  if (channel.scheduler() != nullptr) run.packets = channel.scheduler()->stats().packets;
  run.wall = static_cast<double>(palvex_host::SteadyNowNs() - begin) / 1e9;
  run.cpu = CpuSeconds() - cpu;
  run.media = static_cast<double>(channel.counts().lastUs - channel.counts().firstUs) / 1e6;
  run.maxLateNs = channel.pacerStats().maxLateNs;
  run.sleeps = channel.pacerStats().sleeps;
  return run;
}

// What the machine charges for waking alone: as many absolute sleeps as the paced run
// made, spread over as long, with nothing else done; its CPU seconds.
double BareSleeps(uint64_t count, double seconds) {
  const double cpu = CpuSeconds();
  const int64_t step = static_cast<int64_t>(seconds * 1e9) / static_cast<int64_t>(count == 0 ? 1 : count);
  int64_t due = palvex_host::SteadyNowNs();
  for (uint64_t i = 0; i < count; ++i) {
    due += step;
    const timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
  }
  return CpuSeconds() - cpu;
}

// `ffmpeg -re` sending the clip as MPEG-TS at muxRate (0: its own rate) to url: its user +
// system CPU seconds and wall seconds; cpu < 0 when it could not run.
Run RunFfmpeg(const std::string& clip, const std::string& url, int64_t muxRate) {
  Run run;
  run.cpu = -1;
  const int64_t begin = palvex_host::SteadyNowNs();
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string rate = std::to_string(muxRate), target = url + "?pkt_size=1316";
    if (muxRate > 0)
      execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", clip.c_str(), "-c", "copy", "-f",
             "mpegts", "-muxrate", rate.c_str(), target.c_str(), static_cast<char*>(nullptr));
    else
      execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", clip.c_str(), "-c", "copy", "-f",
             "mpegts", target.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.wall = static_cast<double>(palvex_host::SteadyNowNs() - begin) / 1e9;
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  std::string rate = "8M", clip, muxRateText;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--seconds") seconds = std::atoi(argv[i + 1]);
    else if (arg == "--rate") rate = argv[i + 1];
    else if (arg == "--clip") clip = argv[i + 1];
    else if (arg == "--muxrate") muxRateText = argv[i + 1];
  }
  if (clip.empty()) clip = MakeClip(seconds > 0 ? seconds : 10, rate);
  int port = 0;
  const int fd = UdpSink(&port);
  if (clip.empty() || fd < 0) {
    std::fprintf(stderr, "no clip or no socket\n");
    return 1;
  }
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  const Run paced = RunChannel(clip, url, true);
  // The same channel paced into /dev/null (-re): the waits without the sends; and unpaced:
  // demux and mux alone.
  const Run pacedFile = RunChannel(clip, "/dev/null", true);
  const Run unpacedFile = RunChannel(clip, "/dev/null", false);
  int64_t muxRate = 0;
  Run constant;
  Run ffmpeg;
  const Run ffmpegOwnRate = RunFfmpeg(clip, url, 0);
  if (!muxRateText.empty() && palvex_host::ParseRate(muxRateText, &muxRate)) {
    constant = RunChannel(clip, url, true, muxRate);
    ffmpeg = RunFfmpeg(clip, url, muxRate);
  }
  close(fd);
  if (paced.wall <= 0 || unpacedFile.cpu <= 0) {
    std::fprintf(stderr, "a run failed\n");
    return 1;
  }
  const double share = paced.cpu / paced.wall;
  std::printf("clip: %s, %.1f s of media\n", clip.c_str(), paced.media);
  std::printf("paced to %s: %.2f s wall, %.3f s CPU = %.2f %% of one core (latest datagram %.2f ms late)\n",
              url.c_str(), paced.wall, paced.cpu, share * 100, static_cast<double>(paced.maxLateNs) / 1e6);
  std::printf("channels one core paces in real time: %.0f\n", 1.0 / share);
  if (constant.wall > 0)
    std::printf("constant rate %.3f Mbit/s paced to %s (%llu packets, nulls included): %.2f s wall, %.3f s CPU = %.2f %% "
                "of one core (latest datagram %.2f ms late); %.0f such channels per core\n",
                static_cast<double>(muxRate) / 1e6, url.c_str(), static_cast<unsigned long long>(constant.packets),
                constant.wall, constant.cpu, constant.cpu / constant.wall * 100,
                static_cast<double>(constant.maxLateNs) / 1e6, constant.wall / constant.cpu);
  if (ffmpegOwnRate.cpu >= 0 && ffmpegOwnRate.wall > 0)
    std::printf("ffmpeg -re -c copy -f mpegts (its own rate, no nulls) to %s: %.2f s wall, %.3f s CPU = %.2f %% of one "
                "core\n",
                url.c_str(), ffmpegOwnRate.wall, ffmpegOwnRate.cpu, ffmpegOwnRate.cpu / ffmpegOwnRate.wall * 100);
  if (ffmpeg.cpu >= 0 && ffmpeg.wall > 0)
    std::printf("ffmpeg -re -c copy -f mpegts -muxrate %.3f Mbit/s to %s: %.2f s wall, %.3f s CPU = %.2f %% of one core\n",
                static_cast<double>(muxRate) / 1e6, url.c_str(), ffmpeg.wall, ffmpeg.cpu, ffmpeg.cpu / ffmpeg.wall * 100);
  const double bare = BareSleeps(paced.sleeps, paced.wall);
  std::printf("%llu sleeps (%.0f a second); the same sleeps with nothing else done: %.3f s CPU = %.2f %% of one core\n",
              static_cast<unsigned long long>(paced.sleeps), static_cast<double>(paced.sleeps) / paced.wall, bare,
              bare / paced.wall * 100);
  std::printf("paced to /dev/null (-re: the waits, no sends): %.3f s CPU = %.2f %% of one core\n", pacedFile.cpu,
              pacedFile.cpu / pacedFile.wall * 100);
  std::printf("unpaced to /dev/null (demux + mux + write, no sends, no waits): %.3f s CPU for %.1f s of media = "
              "%.0f channels per core\n",
              unpacedFile.cpu, unpacedFile.media, unpacedFile.media / unpacedFile.cpu);
  return 0;
}
