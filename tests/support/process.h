// Running a program in the background from tests (the host tool under a signal, or beside
// a receiver), with its standard output and standard error in files.
#ifndef PALVEX_TESTS_SUPPORT_PROCESS_H_
#define PALVEX_TESTS_SUPPORT_PROCESS_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace palvex_test {

// Starts args[0] with standard output and standard error going to the files named (empty:
// /dev/null); the process id, or -1.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& stdoutPath,
                   const std::string& stderrPath) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(), flags, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.empty() ? "/dev/null" : stderrPath.c_str(), flags, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits at most timeout for the process; its exit status (128 + signal when killed), or
// -1 after killing it when it did not end in time.
inline int WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// Polls condition every period until it holds (true) or the timeout passes (false, after
// one last look): the bounded wait of every timing test, in place of a fixed sleep.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds period = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(period);
  }
  return condition();
}

// True once the file holds text (a line the program writes to its standard error) more
// than `seen` times (0: once is enough); polled until the timeout.
inline bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout,
                        size_t seen = 0) {
  return WaitUntil(
      [&] {
        const std::string got = ReadText(path);
        size_t found = 0;
        for (size_t at = got.find(text); at != std::string::npos; at = got.find(text, at + 1)) ++found;
        return found > seen;
      },
      timeout);
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_PROCESS_H_
