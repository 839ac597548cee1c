// Hostile clients of an HTTP endpoint on 127.0.0.1, for tests: each runs for a bounded time
// and a bounded number of bytes, then ends by itself. Beside them, a well-behaved client
// that scrapes a path and counts how many answers came within a second, and the resident
// memory of the process under attack.
#ifndef PALVEX_TESTS_SUPPORT_HTTP_ATTACK_H_
#define PALVEX_TESTS_SUPPORT_HTTP_ATTACK_H_

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace palvex_test {

using AttackClock = std::chrono::steady_clock;

// A TCP connection to 127.0.0.1:port whose sends give up after a second; -1 when refused.
inline int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval t{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// The status of the answer waiting on fd (0 when none came within a second).
inline int ReadStatus(int fd) {
  char text[64] = {};
  const ssize_t n = recv(fd, text, sizeof text - 1, 0);
  int status = 0;
  return n > 12 && std::sscanf(text, "HTTP/1.%*d %d", &status) == 1 ? status : 0;
}

struct FloodResult {
  uint64_t sent = 0;  // bytes the endpoint took before it answered or closed
  int status = 0;     // the status it answered with, 0 when none
};

// One request of head (a request line and fields) then up to `bytes` of filler: more header
// fields, or chunks of a chunked body; sent in 64 KiB writes until the endpoint stops taking
// them, within `limit`.
inline FloodResult Flood(int port, const std::string& head, bool chunked, uint64_t bytes,
                         std::chrono::milliseconds limit) {
  FloodResult result;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return result;
  const auto end = AttackClock::now() + limit;
  std::string filler;
  if (chunked) {
    filler = "fff0\r\n" + std::string(0xfff0, 'a') + "\r\n";
  } else {
    const std::string field = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    while (filler.size() + field.size() <= 65536) filler += field;
  }
  if (SendAll(fd, head)) {
    while (result.sent < bytes && AttackClock::now() < end && SendAll(fd, filler)) result.sent += filler.size();
  }
  result.status = ReadStatus(fd);
  close(fd);
  return result;
}

// `connections` clients that each send a request line, then one header field every
// `every`, never ending their head; a client the endpoint closes connects again. For
// `limit`; the number of connections made in all.
inline int Slowloris(int port, int connections, std::chrono::milliseconds every, std::chrono::milliseconds limit) {
  const auto end = AttackClock::now() + limit;
  std::vector<int> fds(static_cast<size_t>(connections), -1);
  int made = 0;
  while (AttackClock::now() < end) {
    for (int& fd : fds) {
      if (fd >= 0 && !SendAll(fd, "X-Slow: " + std::to_string(made) + "\r\n")) {
        close(fd);
        fd = -1;
      }
      if (fd < 0 && (fd = ConnectLoopback(port)) >= 0) {
        ++made;
        if (!SendAll(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")) close(fd), fd = -1;
      }
    }
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
        every, std::chrono::duration_cast<std::chrono::milliseconds>(end - AttackClock::now())));
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  return made;
}

// `threads` clients asking for `path` by POST as fast as they are answered (on one kept-alive
// connection each, or a new connection each time), for `limit`; the number of answers.
inline uint64_t RequestStorm(int port, int threads, const std::string& path, bool keepAlive,
                             std::chrono::milliseconds limit) {
  std::atomic<uint64_t> answers{0};
  std::vector<std::thread> storm;
  const auto end = AttackClock::now() + limit;
  for (int i = 0; i < threads; ++i)
    storm.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_connection_timeout(1, 0);
      client.set_read_timeout(1, 0);
      client.set_keep_alive(keepAlive);
      while (AttackClock::now() < end)
        if (client.Post(path.c_str(), R"({"duration": 30})", "application/json")) ++answers;
    });
  for (std::thread& t : storm) t.join();
  return answers.load();
}

// A well-behaved client: GET path every `every` on a connection of its own each time,
// until stop; how many were asked and how many answered 200 within a second.
struct ScrapeCount {
  int asked = 0;
  int inTime = 0;
};

inline ScrapeCount Scrape(int port, const std::string& path, std::chrono::milliseconds every,
                          const std::atomic<bool>& stop) {
  ScrapeCount count;
  while (!stop.load()) {
    const auto start = AttackClock::now();
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    client.set_read_timeout(1, 0);
    client.set_write_timeout(1, 0);
    const httplib::Result got = client.Get(path.c_str());
    ++count.asked;
    if (got && got->status == 200 && AttackClock::now() - start <= std::chrono::seconds(1)) ++count.inTime;
    std::this_thread::sleep_until(start + every);
  }
  return count;
}

// The resident memory of a process in KiB (VmRSS), -1 when it cannot be read.
inline long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_HTTP_ATTACK_H_
