// Running the field's command-line tools (ffmpeg, ffprobe) from tests, and the clips ffmpeg
// makes for them.
#ifndef PALVEX_TESTS_SUPPORT_SHELL_H_
#define PALVEX_TESTS_SUPPORT_SHELL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
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

// ffprobe's line per stream of a file (csv, in stream order; of a transport stream the
// streams after the program's own list of them), by default "codec_name,nb_read_frames".
inline std::string ProbeStreams(const std::string& file,
                                const std::string& entries = "stream=codec_name,nb_read_frames") {
  int status = 0;
  const std::string out =
      Shell("ffprobe -v error -count_frames -show_entries " + entries + " -of csv=p=0 " + file + " 2>/dev/null", &status);
  const size_t programEnd = out.rfind("\n\n");
  return programEnd == std::string::npos ? out : out.substr(programEnd + 2);
}

// The MD5 of every frame ffmpeg decodes from a stream (framemd5; by default the first video
// stream's pictures, or what map names, e.g. "0:p:101:a:0"), in presentation order; empty
// when ffmpeg fails.
// packets: the MD5 of each packet as it is carried (-c copy) instead of each decoded frame.
inline std::vector<std::string> PictureHashes(const std::string& file, const std::string& map = "0:v:0",
                                              bool packets = false) {
  int status = 0;
  std::istringstream lines(Shell("ffmpeg -v error -i " + file + " -map " + map + (packets ? " -c copy" : "") +
                                     " -f framemd5 - 2>/dev/null",
                                 &status));
  std::vector<std::string> hashes;
  // "stream, dts, pts, duration, size, hash" and side data behind it ("S=1, size, hash"):
  // the sixth field.
  for (std::string line; status == 0 && std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t at = 0;
    for (int field = 0; field < 5 && at != std::string::npos; ++field) at = line.find(',', at + 1);
    if (at == std::string::npos) continue;
    const size_t begin = line.find_first_not_of(' ', at + 1);
    hashes.push_back(line.substr(begin, line.find(',', begin) - begin));
  }
  return hashes;
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

// The clip ffmpeg makes from args (its inputs and encoders; the extension of name chooses
// the container), made once for every test program of the run: ctest starts each test in a
// process of its own, and many of them read the same clip. Clips are kept in
// $PALVEX_TEST_CLIPS (scripts/test.sh gives its plain and sanitizer runs one directory),
// else in the build tree's test-clips, under name behind a hash of args. A test that finds
// another one making the clip waits for it (flock) instead of making it again; a clip
// appears whole (renamed into place) or not at all. An empty path, and a test failure with
// ffmpeg's messages, when ffmpeg fails.
inline std::filesystem::path SharedClip(const std::string& name, const std::string& args) {
  const char* env = std::getenv("PALVEX_TEST_CLIPS");
#if defined(PALVEX_TEST_CLIP_DIR)
  const std::filesystem::path dir = env != nullptr && *env != 0 ? env : PALVEX_TEST_CLIP_DIR;
#else
  const std::filesystem::path dir = env != nullptr && *env != 0 ? env : ProcessTempDir("palvex-clips").string();
#endif
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
  for (char c : args) hash = (hash ^ uint8_t(c)) * 0x100000001b3u;
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%016llx-", static_cast<unsigned long long>(hash));
  const std::filesystem::path clip = dir / (prefix + name);
  const int lock = open((dir / (prefix + name + ".lock")).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock >= 0) flock(lock, LOCK_EX);
  if (!std::filesystem::exists(clip)) {
    const std::filesystem::path made = dir / (".made-" + std::to_string(getpid()) + "-" + prefix + name);
    int status = 0;
    const std::string out =
        Shell("ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " " + made.string() + " 2>&1", &status);
    if (status == 0) {
      std::filesystem::rename(made, clip, ignored);
    } else {
      std::filesystem::remove(made, ignored);
      ADD_FAILURE() << "ffmpeg could not make " << name << ": " << out;
    }
  }
  if (lock >= 0) close(lock);
  return std::filesystem::exists(clip) ? clip : std::filesystem::path();
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_SHELL_H_
