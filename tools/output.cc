#include "output.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace palvex_host {
namespace {

std::string LocalPath(const std::string& target) {
  return target.rfind("file:", 0) == 0 ? target.substr(5) : target;
}

class FileSink final : public Sink {
 public:
  FileSink(int fd, bool owned) : m_fd(fd), m_owned(owned) {
    struct stat st {};
    m_regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (m_regular) m_written = lseek(fd, 0, SEEK_CUR);
  }
  ~FileSink() override {
    if (m_owned) close(m_fd);
  }
  bool Write(const uint8_t* data, size_t size, const uint32_t*) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(m_fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        m_error = std::string("write error: ") + (n < 0 ? std::strerror(errno) : "nothing written");
        // A file keeps only whole packets: the part of this write that went in is cut off.
        if (m_regular && done > 0 && ftruncate(m_fd, m_written) != 0) m_error += " (and cannot cut back)";
        return false;
      }
      done += static_cast<size_t>(n);
    }
    m_written += static_cast<off_t>(size);
    return true;
  }
  bool network() const override { return false; }

 private:
  int m_fd;
  bool m_owned;
  bool m_regular = false;
  off_t m_written = 0;
};

// host, port and the query of udp://host:port?query; IPv6 hosts in brackets.
bool SplitUrl(const std::string& url, std::string* host, std::string* port, std::string* query) {
  std::string rest = url.substr(url.find("://") + 3);
  const size_t q = rest.find('?');
  *query = q == std::string::npos ? "" : rest.substr(q + 1);
  rest = rest.substr(0, q);
  size_t colon = rest.rfind(':');
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 != colon) return false;
    *host = rest.substr(1, close - 1);
  } else {
    if (colon == std::string::npos) return false;
    *host = rest.substr(0, colon);
  }
  *port = rest.substr(colon + 1);
  return !host->empty() && !port->empty() && port->find_first_not_of("0123456789") == std::string::npos;
}

// The value of key in a query "a=1&b=2", or "" when absent.
std::string QueryValue(const std::string& query, const std::string& key) {
  size_t pos = 0;
  while (pos <= query.size()) {
    const size_t end = std::min(query.find('&', pos), query.size());
    const std::string item = query.substr(pos, end - pos);
    if (item.rfind(key + "=", 0) == 0) return item.substr(key.size() + 1);
    pos = end + 1;
  }
  return "";
}

class DatagramSink final : public Sink {
 public:
  DatagramSink(int fd, const sockaddr_storage& to, socklen_t toLength, bool rtp)
      : m_fd(fd), m_to(to), m_toLength(toLength), m_rtp(rtp) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    m_ssrc = static_cast<uint32_t>(now ^ (static_cast<int64_t>(getpid()) << 16));
    m_sequence = static_cast<uint16_t>(now >> 8);
  }
  ~DatagramSink() override { close(m_fd); }
  bool Write(const uint8_t* data, size_t size, const uint32_t* clocks90k) override;
  bool network() const override { return true; }

 private:
  int m_fd;
  sockaddr_storage m_to;
  socklen_t m_toLength;
  bool m_rtp;
  uint32_t m_ssrc = 0;
  uint16_t m_sequence = 0;

  bool SendAll(mmsghdr* messages, size_t count);
};

// Up to kBatch datagrams per sendmmsg: the packets straight from data, behind an RTP
// header each when the sink speaks RTP.
bool DatagramSink::Write(const uint8_t* data, size_t size, const uint32_t* clocks90k) {
  constexpr size_t kDatagram = kPacketsPerDatagram * kTSPacketSize;
  constexpr size_t kBatch = 64;
  uint8_t headers[kBatch][12];
  iovec parts[kBatch][2];
  mmsghdr messages[kBatch];
  size_t off = 0, index = 0;
  while (off < size) {
    size_t count = 0;
    for (; count < kBatch && off < size; ++count, ++index) {
      const size_t chunk = std::min(size - off, kDatagram);
      const uint32_t clock = clocks90k != nullptr ? clocks90k[index] : 0;
      // version 2, no padding, extension or CSRC; marker 0; payload type 33 (MP2T)
      const uint8_t rtp[12] = {0x80, kRtpPayloadTypeMp2t, uint8_t(m_sequence >> 8), uint8_t(m_sequence),
                               uint8_t(clock >> 24), uint8_t(clock >> 16), uint8_t(clock >> 8), uint8_t(clock),
                               uint8_t(m_ssrc >> 24), uint8_t(m_ssrc >> 16), uint8_t(m_ssrc >> 8), uint8_t(m_ssrc)};
      std::memcpy(headers[count], rtp, sizeof rtp);
      m_sequence = static_cast<uint16_t>(m_sequence + (m_rtp ? 1 : 0));
      parts[count][0] = iovec{headers[count], sizeof rtp};
      parts[count][1] = iovec{const_cast<uint8_t*>(data + off), chunk};
      messages[count] = mmsghdr{};
      messages[count].msg_hdr.msg_name = &m_to;
      messages[count].msg_hdr.msg_namelen = m_toLength;
      messages[count].msg_hdr.msg_iov = m_rtp ? parts[count] : parts[count] + 1;
      messages[count].msg_hdr.msg_iovlen = m_rtp ? 2 : 1;
      off += chunk;
    }
    if (!SendAll(messages, count)) return false;
  }
  return true;
}

bool DatagramSink::SendAll(mmsghdr* messages, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    const int n = sendmmsg(m_fd, messages + sent, static_cast<unsigned>(count - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == ECONNREFUSED || errno == ENOBUFS || errno == EAGAIN)) {
      ++sent;  // no receiver yet (port unreachable) or a full queue: this datagram is lost
    } else {
      m_error = std::string("send error: ") + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
  }
  return true;
}

bool SetMulticastOptions(int fd, const addrinfo* ai, int ttl, const std::string& interface, std::string* error) {
  int rc = 0;
  if (ai->ai_family == AF_INET) {
    if (ttl >= 0) {
      rc |= setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
      rc |= setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    }
    in_addr local{};
    if (!interface.empty() && inet_pton(AF_INET, interface.c_str(), &local) != 1) {
      *error = "bad multicast interface address '" + interface + "' (an IPv4 address)";
      return false;
    }
    if (!interface.empty()) rc |= setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
  } else {
    if (ttl >= 0) {
      rc |= setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl);
      rc |= setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
    }
    const unsigned index = interface.empty() ? 0 : if_nametoindex(interface.c_str());
    if (!interface.empty() && index == 0) {
      *error = "no network interface '" + interface + "'";
      return false;
    }
    if (index != 0) rc |= setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
  }
  if (rc != 0) *error = std::string("cannot set the socket options: ") + std::strerror(errno);
  return rc == 0;
}

std::unique_ptr<Sink> OpenDatagramSink(const std::string& url, const SinkOptions& options, std::string* error) {
  std::string host, port, query;
  if (!SplitUrl(url, &host, &port, &query)) {
    *error = "bad output URL '" + url + "' (udp://HOST:PORT or rtp://HOST:PORT)";
    return nullptr;
  }
  const int ttl = options.ttl >= 0 ? options.ttl : QueryValue(query, "ttl").empty() ? -1 : std::atoi(QueryValue(query, "ttl").c_str());
  const std::string interface =
      options.multicastInterface.empty() ? QueryValue(query, "localaddr") : options.multicastInterface;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
    return nullptr;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, freeaddrinfo);
  const int fd = socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot open a socket: ") + std::strerror(errno);
    return nullptr;
  }
  if (!SetMulticastOptions(fd, found, ttl, interface, error)) {
    close(fd);
    return nullptr;
  }
  sockaddr_storage to{};
  std::memcpy(&to, found->ai_addr, found->ai_addrlen);
  return std::make_unique<DatagramSink>(fd, to, static_cast<socklen_t>(found->ai_addrlen), url.rfind("rtp://", 0) == 0);
}

}  // namespace

bool IsNetworkOutput(const std::string& target) {
  return target.rfind("udp://", 0) == 0 || target.rfind("rtp://", 0) == 0;
}

std::unique_ptr<Sink> OpenSink(const std::string& target, const SinkOptions& options, std::string* error) {
  if (IsNetworkOutput(target)) return OpenDatagramSink(target, options, error);
  if (target.find("://") != std::string::npos) {
    *error = "cannot write to '" + target + "': a file, -, udp:// or rtp:// only";
    return nullptr;
  }
  if (target == "-") return std::make_unique<FileSink>(options.stdoutFd, false);
  const std::string path = LocalPath(target);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot write '" + target + "': " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileSink>(fd, true);
}

bool SameFile(const std::string& input, const std::string& output, int stdoutFd) {
  if (input == "-" || input.find("://") != std::string::npos || IsNetworkOutput(output)) return false;
  struct stat in {}, out {};
  if (stat(LocalPath(input).c_str(), &in) != 0) return false;
  const int rc = output == "-" ? fstat(stdoutFd, &out) : stat(LocalPath(output).c_str(), &out);
  return rc == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

}  // namespace palvex_host
