// Asking palvex-mux's HTTP endpoint (--http) from tests: a free TCP port on 127.0.0.1 for
// it, and a wait until it answers. Requests go through cpp-httplib's client.
#ifndef PALVEX_TESTS_SUPPORT_HTTP_CLIENT_H_
#define PALVEX_TESTS_SUPPORT_HTTP_CLIENT_H_

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace palvex_test {

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
  close(fd);
  return ok ? ntohs(addr.sin_port) : -1;
}

// True once GET path answers 200, polled every 50 ms until the timeout.
inline bool WaitForHttp(int port, const char* path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(0, 200000);
  while (std::chrono::steady_clock::now() < deadline) {
    const httplib::Result got = client.Get(path);
    if (got && got->status == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_HTTP_CLIENT_H_
