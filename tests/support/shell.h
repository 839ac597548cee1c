// Running the field's command-line tools (ffmpeg, ffprobe) from tests.
#ifndef PALVEX_TESTS_SUPPORT_SHELL_H_
#define PALVEX_TESTS_SUPPORT_SHELL_H_

#include <cstdio>
#include <string>

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

inline bool HaveTool(const char* tool) {
  int status = 0;
  Shell(std::string("command -v ") + tool + " >/dev/null 2>&1", &status);
  return status == 0;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_SHELL_H_
