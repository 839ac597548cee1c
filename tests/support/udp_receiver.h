// A UDP receiver on 127.0.0.1 for tests of paced network output: every datagram with the
// time the kernel took it in (SO_TIMESTAMPNS), so that the receiver's own scheduling does
// not count as the sender's jitter.
#ifndef PALVEX_TESTS_SUPPORT_UDP_RECEIVER_H_
#define PALVEX_TESTS_SUPPORT_UDP_RECEIVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ts_reader.h"

namespace palvex_test {

struct Datagram {
  int64_t arrivalNs;  // CLOCK_REALTIME of the kernel's time stamp, -1 when none
  std::vector<uint8_t> bytes;
};

inline int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A datagram socket on 127.0.0.1 with a large receive buffer, its port in *port; -1 on failure.
inline int ListenUdp(int* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int size = 16 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  *port = ntohs(addr.sin_port);
  return fd;
}

// A port on 127.0.0.1 that was free a moment ago (for a program that listens on it).
inline int FreeUdpPort() {
  int port = 0;
  const int fd = ListenUdp(&port);
  if (fd >= 0) close(fd);
  return port;
}

inline int64_t KernelArrivalNs(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec at{};
      std::memcpy(&at, CMSG_DATA(c), sizeof at);
      return int64_t{at.tv_sec} * 1000000000 + at.tv_nsec;
    }
  }
  return -1;
}

// Receives until done is set and 500 ms pass quietly, or until the deadline (SteadyNs);
// received, when given, counts the datagrams as they come (for a test that acts on them).
inline std::vector<Datagram> ReceiveUdp(int fd, const std::atomic<bool>& done, int64_t deadlineNs,
                                        std::atomic<size_t>* received = nullptr) {
  std::vector<Datagram> got;
  std::vector<uint8_t> buffer(65536);
  int64_t quietSince = -1;
  while (SteadyNs() < deadlineNs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      iovec io{buffer.data(), buffer.size()};
      alignas(cmsghdr) char control[256];
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd, &message, 0);
      if (n > 0) got.push_back({KernelArrivalNs(message), std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
      if (n > 0 && received != nullptr) ++*received;
      quietSince = -1;
    } else if (done) {
      if (quietSince < 0) quietSince = SteadyNs();
      if (SteadyNs() - quietSince > 500000000) break;
    }
  }
  return got;
}

// The longest time between the arrivals of two datagrams that carry a packet starting a
// section of table_id on pid (the PAT: 0, 0x00; a PMT: its PID, 0x02), from the first such
// datagram to the last; 0 with fewer than two.
inline int64_t LongestTableArrivalGapNs(const std::vector<Datagram>& got, int pid, int tableId) {
  int64_t last = -1, longest = 0;
  for (const Datagram& d : got)
    for (size_t off = 0; off + palvex_host::kTSPacketSize <= d.bytes.size(); off += palvex_host::kTSPacketSize) {
      const uint8_t* p = &d.bytes[off];
      if (palvex_host::PacketPid(p) != pid || palvex_host::PacketTableId(p) != tableId) continue;
      if (last >= 0) longest = std::max(longest, d.arrivalNs - last);
      last = d.arrivalNs;
      break;
    }
  return longest;
}

// The longest time between two datagrams' arrivals (the wire silent), and the index of the
// datagram that ended it; 0 and 0 for fewer than two.
struct ArrivalGap {
  int64_t ns = 0;
  size_t at = 0;
};
inline ArrivalGap LongestArrivalGap(const std::vector<Datagram>& got) {
  ArrivalGap gap;
  for (size_t d = 1; d < got.size(); ++d)
    if (got[d].arrivalNs - got[d - 1].arrivalNs > gap.ns) gap = {got[d].arrivalNs - got[d - 1].arrivalNs, d};
  return gap;
}

// The transport stream the datagrams carry, each with header bytes in front of its
// packets (12 for RTP) taken off.
inline std::vector<uint8_t> Payloads(const std::vector<Datagram>& got, size_t header = 0) {
  std::vector<uint8_t> ts;
  for (const Datagram& d : got)
    if (d.bytes.size() > header) ts.insert(ts.end(), d.bytes.begin() + static_cast<long>(header), d.bytes.end());
  return ts;
}

// True once some socket of this machine is bound to the UDP port on 127.0.0.1 or any
// address (/proc/net/udp), polled every 10 ms until the timeout: a program that was
// started to listen there is ready for a sender.
inline bool WaitForUdpListener(int port, std::chrono::milliseconds timeout) {
  char loopback[16], any[16];
  std::snprintf(loopback, sizeof loopback, "0100007F:%04X", port);
  std::snprintf(any, sizeof any, "00000000:%04X", port);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream table("/proc/net/udp");
    for (std::string line; std::getline(table, line);) {
      // "  sl  local_address rem_address ...": the local address is the second field.
      const size_t colon = line.find(':');
      const size_t at = line.find_first_not_of(' ', colon + 1);
      if (colon == std::string::npos || at == std::string::npos) continue;
      const std::string local = line.substr(at, 13);
      if (local == loopback || local == any) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_UDP_RECEIVER_H_
