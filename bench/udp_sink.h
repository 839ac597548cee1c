// A bound UDP socket on 127.0.0.1 that nobody reads, for the benchmarks of paced output: the
// datagrams are queued, then dropped, and no port-unreachable replies are made.
#ifndef PALVEX_BENCH_UDP_SINK_H_
#define PALVEX_BENCH_UDP_SINK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

// The socket, its port in *port; -1 when it cannot be made.
inline int UdpSink(int* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  *port = ntohs(addr.sin_port);
  return fd;
}

#endif  // PALVEX_BENCH_UDP_SINK_H_
