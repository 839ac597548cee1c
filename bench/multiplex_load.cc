// What a head-end multiplex costs: N services of ~4 Mbit/s (720p25 H.264 + AAC, from files,
// in real time) in one constant-rate multiplex paced as UDP datagrams to 127.0.0.1 (a bound
// socket nobody reads), made by `palvex-mux --plan` and, beside it, by `ffmpeg -re` muxing the
// same N inputs into N programs at the same -muxrate in one process. For each: the CPU
// seconds (user + system, all threads) per second of media, as a share of one core, and the
// peak resident memory, from the child's own rusage.
//
//   palvex_multiplex_load [--services 20] [--seconds 20] [--muxrate 100M] [--rate 4M]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "udp_sink.h"

namespace {

namespace fs = std::filesystem;

std::string MakeClip(const fs::path& dir, int seconds, const std::string& rate) {
  const fs::path clip = dir / ("720p_" + rate + "_" + std::to_string(seconds) + "s.mp4");
  if (fs::exists(clip)) return clip.string();
  std::printf("making %s (720p25 H.264 %s + AAC, %d s)\n", clip.c_str(), rate.c_str(), seconds);
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
      "sine=sample_rate=48000 -t " + std::to_string(seconds) + " -c:v libx264 -preset ultrafast -b:v " + rate +
      " -maxrate " + rate + " -bufsize " + rate + " -g 50 -pix_fmt yuv420p -c:a aac -b:a 128k " + clip.string();
  return std::system(command.c_str()) == 0 ? clip.string() : "";
}

struct Cost {
  int status = -1;
  double wall = 0, cpu = 0;
  long maxRssKiB = 0;
};

// Runs args to its end, with its output to /dev/null.
Cost RunChild(const std::vector<std::string>& args) {
  Cost cost;
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return cost;
  cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  cost.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  cost.maxRssKiB = usage.ru_maxrss;
  return cost;
}

void Print(const char* name, const Cost& c, int seconds) {
  std::printf("%-34s exit %d  wall %6.1f s  CPU %6.2f s = %5.1f %% of a core  peak memory %6.1f MiB\n", name, c.status,
              c.wall, c.cpu, 100.0 * c.cpu / seconds, static_cast<double>(c.maxRssKiB) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  int services = 20, seconds = 20;
  std::string muxRate = "100M", rate = "4M";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--services") services = std::atoi(value.c_str());
    else if (option == "--seconds") seconds = std::atoi(value.c_str());
    else if (option == "--muxrate") muxRate = value;
    else if (option == "--rate") rate = value;
  }
  const fs::path dir = fs::temp_directory_path() / "palvex_multiplex_load";
  fs::create_directories(dir);
  const std::string clip = MakeClip(dir, seconds, rate);
  int port = 0;
  const int sink = UdpSink(&port);
  if (clip.empty() || sink < 0 || services < 1) {
    std::fprintf(stderr, "cannot make the clip or the UDP sink\n");
    return 1;
  }
  const std::string output = "udp://127.0.0.1:" + std::to_string(port);
  std::printf("%d services of %s from files, one %s multiplex to %s, %d s of media (load average now: ", services,
              rate.c_str(), muxRate.c_str(), output.c_str(), seconds);
  std::fflush(stdout);
  std::system("cut -d' ' -f1 /proc/loadavg");

  std::ofstream plan(dir / "plan.toml");
  plan << "muxrate = \"" << muxRate << "\"\noutput = \"" << output << "\"\n";
  for (int s = 0; s < services; ++s)
    plan << "\n[[service]]\ninput = \"" << clip << "\"\nservice_id = " << s + 1 << "\nlcn = " << s + 1 << "\n";
  plan.close();
  Print("palvex-mux --plan", RunChild({PALVEX_MUX_PATH, "-q", "--plan", (dir / "plan.toml").string()}), seconds);

  std::vector<std::string> ffmpeg = {"ffmpeg", "-hide_banner", "-loglevel", "error"};
  for (int s = 0; s < services; ++s) ffmpeg.insert(ffmpeg.end(), {"-re", "-i", clip});
  for (int s = 0; s < services; ++s)
    ffmpeg.insert(ffmpeg.end(), {"-map", std::to_string(s) + ":v", "-map", std::to_string(s) + ":a"});
  for (int s = 0; s < services; ++s)
    ffmpeg.insert(ffmpeg.end(), {"-program", "program_num=" + std::to_string(s + 1) + ":title=S" + std::to_string(s + 1) +
                                                 ":st=" + std::to_string(2 * s) + ":st=" + std::to_string(2 * s + 1)});
  ffmpeg.insert(ffmpeg.end(), {"-c", "copy", "-muxrate", muxRate, "-f", "mpegts", output + "?pkt_size=1316"});
  Print("ffmpeg -re, N programs", RunChild(ffmpeg), seconds);
  close(sink);
  return 0;
}
