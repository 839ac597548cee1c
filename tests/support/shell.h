// Running the field's command-line tools (ffmpeg, ffprobe) from tests.
#ifndef PALVEX_TESTS_SUPPORT_SHELL_H_
#define PALVEX_TESTS_SUPPORT_SHELL_H_

#include <unistd.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace palvex_test {

// Runs a shell command and returns what it printed on standard output; status receives
// its exit status as pclose reports it (-1 when it could not be started).
inline std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = pclose(pipe);
  return out;
}

// Runs a shell command for what it does; true when it exits with status 0.
inline bool Succeeds(const std::string& command) {
  int status = 0;
  Shell(command, &status);
  return status == 0;
}

inline bool HaveTool(const char* tool) { return Succeeds(std::string("command -v ") + tool + " >/dev/null 2>&1"); }

// Runs `gst-launch-1.0 -v <pipeline> ! fakesink silent=false` and returns the PTS of every
// buffer that reached the sink, in nanoseconds (-1 for a buffer without one); false when
// GStreamer failed.
inline bool GstSinkTimes(const std::string& pipeline, std::vector<int64_t>* times) {
  int status = 0;
  std::istringstream lines(Shell("gst-launch-1.0 -v " + pipeline + " ! fakesink silent=false 2>&1", &status));
  times->clear();
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("chain   ******* (fakesink0:sink)") == std::string::npos) continue;
    const size_t at = line.find("pts: ");
    unsigned hours = 0, minutes = 0, seconds = 0, nanoseconds = 0;
    const bool timed = at != std::string::npos &&
                       std::sscanf(line.c_str() + at, "pts: %u:%u:%u.%u", &hours, &minutes, &seconds, &nanoseconds) == 4;
    times->push_back(timed ? ((int64_t{hours} * 60 + minutes) * 60 + seconds) * 1000000000 + nanoseconds : -1);
  }
  return status == 0;
}

// A directory of this test process's own under the system's temporary directory: made
// afresh on first use of each prefix (mkdtemp, so no leftover of another process is ever
// found in it), and removed with what it holds when the process ends.
inline std::filesystem::path ProcessTempDir(const std::string& prefix) {
  struct Dirs {
    ~Dirs() {
      std::error_code ignored;
      for (const auto& entry : made) std::filesystem::remove_all(entry.second, ignored);
    }
    std::map<std::string, std::filesystem::path> made;
  };
  static Dirs dirs;
  const auto found = dirs.made.find(prefix);
  if (found != dirs.made.end()) return found->second;
  std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp " + name);
  return dirs.made[prefix] = name;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_SHELL_H_
