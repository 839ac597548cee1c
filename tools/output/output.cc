#include "output.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace palvex_host {
namespace {

std::string LocalPath(const std::string& target) {
  return target.rfind("file:", 0) == 0 ? target.substr(5) : target;
}

// The file being written beside its place, for RemovePendingFile (read from a signal
// handler, so a plain array).
char g_pendingPath[4096];

std::string SizeText(off_t bytes) {
  char text[32];
  if (bytes < 1000000) std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1e3);
  else std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

class FileSink final : public Sink {
 public:
  FileSink(int fd, bool owned) : m_fd(fd), m_owned(owned) {
    struct stat st {};
    m_regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (m_regular) m_written = lseek(fd, 0, SEEK_CUR);
  }
  // Written at temp, put at place by Commit (replacing a file there only with overwrite).
  FileSink(int fd, const std::string& temp, const std::string& place, bool overwrite)
      : FileSink(fd, true) {
    m_temp = temp;
    m_place = place;
    m_overwrite = overwrite;
    if (temp.size() < sizeof g_pendingPath) std::memcpy(g_pendingPath, temp.c_str(), temp.size() + 1);
  }
  ~FileSink() override {
    if (m_owned && m_fd >= 0) close(m_fd);
    if (!m_temp.empty()) {
      unlink(m_temp.c_str());
      g_pendingPath[0] = '\0';
    }
  }
  bool Write(const uint8_t* data, size_t size, const uint32_t*) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(m_fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        m_readerGone = n < 0 && errno == EPIPE;
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
  bool Commit() override;
  bool Keep(std::string* note) override {
    if (m_temp.empty() || m_written < static_cast<off_t>(kTSPacketSize)) return false;
    const std::string place = m_place;
    if (!Commit()) {
      *note = m_error;
      return true;
    }
    *note = "kept what was written before the failure: '" + place + "', " + std::to_string(m_written / 188) +
            " whole packets (" + SizeText(m_written) + ")";
    return true;
  }

 private:
  int m_fd;
  bool m_owned;
  bool m_regular = false;
  off_t m_written = 0;
  std::string m_temp, m_place;
  bool m_overwrite = false;
};

bool FileSink::Commit() {
  if (m_temp.empty()) return true;
  const int closed = m_fd >= 0 ? close(m_fd) : 0;  // closed already when an earlier Commit could not rename
  m_fd = -1;
  if (closed != 0) {
    m_error = "write error: " + std::string(std::strerror(errno));
    return false;
  }
  // Without -y a file that appeared during the run is not replaced either: the stream stays
  // where it was written, and the error names it.
  int rc = renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD, m_place.c_str(), m_overwrite ? 0 : RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL && !m_overwrite) {  // a file system without RENAME_NOREPLACE
    struct stat st {};
    if (stat(m_place.c_str(), &st) == 0) errno = EEXIST;
    else rc = rename(m_temp.c_str(), m_place.c_str());
  }
  if (rc != 0) {
    m_error = errno == EEXIST ? "refusing to overwrite '" + m_place + "': it appeared during the run (the stream " +
                                    "is kept in '" + m_temp + "')"
                              : "cannot put the stream at '" + m_place + "': " + std::strerror(errno);
    if (errno == EEXIST) m_temp.clear();
    return false;
  }
  m_temp.clear();
  g_pendingPath[0] = '\0';
  return true;
}

// A regular file, new or replaced, is written as a new file in the same directory (so
// that rename puts it in place at once), with the old file's permissions or those a new
// file gets. Devices and FIFOs are opened as they are.
std::unique_ptr<Sink> OpenFileSink(const std::string& target, bool overwrite, std::string* error) {
  const std::string path = LocalPath(target);
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) *error = "cannot write '" + target + "': " + std::strerror(errno);
    return fd < 0 ? nullptr : std::make_unique<FileSink>(fd, true);
  }
  std::string place = path;
  if (exists) {  // through a symbolic link: the file it names is replaced, the link stays
    char* real = realpath(path.c_str(), nullptr);
    if (real != nullptr) place = real;
    std::free(real);
  }
  const size_t slash = place.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : place.substr(0, slash + 1);
  std::string temp = dir + "." + place.substr(slash + 1) + ".palvex-XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot write '" + target + "': cannot make a file in " + (dir.empty() ? "." : dir) + ": " +
             std::strerror(errno);
    return nullptr;
  }
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~mask) != 0) {
    *error = "cannot write '" + target + "': " + std::strerror(errno);
    close(fd);
    unlink(temp.c_str());
    return nullptr;
  }
  return std::make_unique<FileSink>(fd, temp, place, overwrite);
}

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

// A TTL of 0-255 in decimal.
bool ParseTtl(const std::string& text, int* ttl) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *ttl = std::atoi(text.c_str());
  return *ttl <= 255;
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
  // The interface multicast leaves from: for IPv4 its address or its name, for IPv6 its name.
  in_addr local{};
  const bool byAddress = ai->ai_family == AF_INET && inet_pton(AF_INET, interface.c_str(), &local) == 1;
  const unsigned index = interface.empty() || byAddress ? 0 : if_nametoindex(interface.c_str());
  if (!interface.empty() && !byAddress && index == 0) {
    *error = "no network interface '" + interface + "'";
    return false;
  }
  int rc = 0;
  if (ai->ai_family == AF_INET) {
    if (ttl >= 0) {
      rc |= setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
      rc |= setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    }
    ip_mreqn request{};
    request.imr_address = local;
    request.imr_ifindex = static_cast<int>(index);
    if (!interface.empty()) rc |= setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
  } else {
    if (ttl >= 0) {
      rc |= setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl);
      rc |= setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
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
  int ttl = options.ttl;
  if (ttl < 0 && !ParseTtl(QueryValue(query, "ttl"), &ttl)) ttl = -1;
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
  if (!CheckOutputName(target, error)) return nullptr;
  if (IsNetworkOutput(target)) return OpenDatagramSink(target, options, error);
  if (target == "-") return std::make_unique<FileSink>(options.stdoutFd, false);
  return OpenFileSink(target, options.overwrite, error);
}

bool CheckOutputName(const std::string& target, std::string* error) {
  std::string host, port, query;
  int ttl = 0;
  if (!IsNetworkOutput(target)) {
    if (target.find("://") != std::string::npos) *error = "cannot write to '" + target + "': a file, -, udp:// or rtp:// only";
  } else if (!SplitUrl(target, &host, &port, &query)) {
    *error = "bad output URL '" + target + "' (udp://HOST:PORT or rtp://HOST:PORT)";
  } else if (port.size() > 5 || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
    *error = "bad port in '" + target + "' (1-65535)";
  } else if (QueryValue(query, "ttl") != "" && !ParseTtl(QueryValue(query, "ttl"), &ttl)) {
    *error = "bad ttl in '" + target + "' (0-255)";
  }
  return error->empty();
}

bool CheckOutputFile(const std::string& target, bool overwrite, std::string* error) {
  struct stat st {};
  if (target == "-" || target.find("://") != std::string::npos || stat(LocalPath(target).c_str(), &st) != 0)
    return true;
  if (S_ISDIR(st.st_mode)) *error = "cannot write '" + target + "': " + std::strerror(EISDIR);
  else if (S_ISREG(st.st_mode) && !overwrite) *error = "refusing to overwrite '" + target + "' (-y replaces it)";
  return error->empty();
}

std::string LeftoverNote(const std::string& target) {
  if (target == "-" || target.find("://") != std::string::npos) return "";
  const std::string path = LocalPath(target);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string prefix = "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".palvex-";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string found;
  for (dirent* entry = readdir(d); entry != nullptr && found.empty(); entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) found = name;
  }
  closedir(d);
  if (found.empty()) return "";
  struct stat st {};
  const std::string at = slash == std::string::npos ? found : dir + found;
  if (stat(at.c_str(), &st) != 0) return "";
  return "'" + at + "' (" + SizeText(st.st_size) + ") is what an earlier run over '" + target +
         "' wrote before it was killed (or it is still running): palvex-mux leaves it alone; rename it to keep "
         "that stream, or remove it";
}

void RemovePendingFile() {
  if (g_pendingPath[0] != '\0') unlink(g_pendingPath);
}

bool SameFile(const std::string& input, const std::string& output, int stdoutFd) {
  if (input == "-" || input.find("://") != std::string::npos || IsNetworkOutput(output)) return false;
  struct stat in {}, out {};
  if (stat(LocalPath(input).c_str(), &in) != 0) return false;
  const int rc = output == "-" ? fstat(stdoutFd, &out) : stat(LocalPath(output).c_str(), &out);
  return rc == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

}  // namespace palvex_host
