#include "request_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace palvex_host {
namespace {

constexpr size_t kMaxDrained = 64 * 1024;  // read and dropped after an early answer, then closed
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr int kNice = 10;

// The calling thread yields to the channel's threads (and to other programs) when they
// compete for a core: a storm of requests then slows its own answers, not the muxing.
void YieldToTheChannel() { setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kNice); }

const char* Reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

void SendSome(int fd, const std::string& text) {
  // The socket takes a few hundred bytes at once; what it does not take is not waited for.
  (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsToken(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || std::strchr("()<>@,;:\\\"/[]?={}", c) != nullptr)
      return false;
  return true;
}

// The address of either end of a socket as text.
void Address(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  const int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length)
                      : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ip.clear();
  port = 0;
  if (rc != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

// A request read whole, to cpp-httplib: it reads from memory (the end of the request is
// the end of the stream) and writes to the client, all of an answer within a deadline.
class HeldRequestStream final : public httplib::Stream {
 public:
  HeldRequestStream(int fd, const char* data, size_t size, bool continued, std::chrono::milliseconds writeTime)
      : m_fd(fd), m_data(data), m_size(size), m_continued(continued),
        m_writeDeadline(std::chrono::steady_clock::now() + writeTime) {}

  bool is_readable() const override { return m_at < m_size; }
  bool is_writable() const override { return Wait() > 0; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, m_size - m_at);
    std::memcpy(ptr, m_data + m_at, n);
    m_at += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    // The reception already sent the interim answer: not a second one.
    if (m_continued && size == sizeof kContinue - 1 && std::memcmp(ptr, kContinue, size) == 0) return static_cast<ssize_t>(size);
    if (Wait() <= 0) return -1;
    const ssize_t n = send(m_fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(m_fd, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(m_fd, false, ip, port); }
  socket_t socket() const override { return m_fd; }

 private:
  // Until the socket takes more bytes or the answer's time is up.
  int Wait() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_writeDeadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd p{m_fd, POLLOUT, 0};
    int rc;
    do rc = poll(&p, 1, static_cast<int>(left.count()));
    while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & POLLOUT) != 0 ? 1 : rc < 0 ? -1 : 0;
  }

  const int m_fd;
  const char* m_data;
  const size_t m_size;
  size_t m_at = 0;
  const bool m_continued;
  const std::chrono::steady_clock::time_point m_writeDeadline;
};

}  // namespace

std::string RequestHead::Field(const std::string& name) const {
  for (const auto& f : fields)
    if (f.first == name) return f.second;
  return "";
}

bool RequestHead::Has(const std::string& name) const {
  return std::any_of(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; });
}

bool ParseRequestHead(const std::string& head, RequestHead* out) {
  size_t at = head.find("\r\n");
  if (at == std::string::npos) return false;
  const std::string line = head.substr(0, at);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return false;
  out->method = line.substr(0, sp1);
  out->target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (!IsToken(out->method) || out->target.empty() || line.compare(sp2 + 1, 5, "HTTP/") != 0) return false;
  out->fields.clear();
  for (at += 2; at < head.size();) {
    const size_t end = head.find("\r\n", at);
    if (end == std::string::npos) return false;
    if (end == at) return true;  // the blank line
    const std::string field = head.substr(at, end - at);
    const size_t colon = field.find(':');
    if (colon == std::string::npos || !IsToken(field.substr(0, colon))) return false;  // also a folded line
    const size_t begin = field.find_first_not_of(" \t", colon + 1);
    const size_t last = field.find_last_not_of(" \t");
    out->fields.emplace_back(Lower(field.substr(0, colon)),
                             begin == std::string::npos ? "" : field.substr(begin, last - begin + 1));
    at = end + 2;
  }
  return false;
}

std::string EarlyAnswerText(const EarlyAnswer& answer) {
  return "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(answer.json.size()) +
         "\r\nCache-Control: no-store\r\nConnection: close\r\n" + answer.headers + "\r\n" + answer.json;
}

RequestGate::RequestGate(const GateLimits& limits, Check check, Serve serve, ErrorBody errorBody)
    : m_limits(limits), m_check(std::move(check)), m_serve(std::move(serve)), m_errorBody(std::move(errorBody)) {}

RequestGate::~RequestGate() { Stop(); }

void RequestGate::Start() {
  if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
  m_reception = std::thread([this] { Receive(); });
  for (size_t i = 0; i < m_limits.workers; ++i) m_workers.emplace_back([this] { Work(); });
}

void RequestGate::Adopt(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(fd);
    return;
  }
  // An answer goes out in two writes (head, body): without this the body of an answer on a
  // kept-alive connection waits for the client's delayed acknowledgement of the head.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->since = Clock::now();
  c->deadline = c->since + m_limits.requestTime;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stop) m_incoming.push_back(std::move(c));
  }
  if (c != nullptr) return Close(*c);
  if (m_wake[1] >= 0) (void)!write(m_wake[1], "", 1);
}

void RequestGate::Return(Held c) {
  c->deadline = Clock::now() + (c->buffer.empty() ? m_limits.idleTime : m_limits.requestTime);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stop) m_incoming.push_back(std::move(c));
  }
  if (c != nullptr) return Close(*c);
  if (m_wake[1] >= 0) (void)!write(m_wake[1], "", 1);
}

void RequestGate::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_work.notify_all();
  if (m_wake[1] >= 0) (void)!write(m_wake[1], "", 1);
  if (m_reception.joinable()) m_reception.join();
  for (std::thread& t : m_workers) t.join();
  m_workers.clear();
  for (Held& c : m_incoming) Close(*c);
  for (Held& c : m_queue) Close(*c);
  m_incoming.clear();
  m_queue.clear();
  for (int& fd : m_wake)
    if (fd >= 0) close(fd), fd = -1;
}

void RequestGate::Close(Connection& c) {
  if (c.fd < 0) return;
  shutdown(c.fd, SHUT_RDWR);
  close(c.fd);
  c.fd = -1;
}

void RequestGate::AnswerEarly(Connection& c, int status, const std::string& text, const std::string& headers) {
  EarlyAnswer answer;
  answer.status = status;
  answer.json = m_errorBody(text);
  answer.headers = headers;
  SendEarly(c, answer);
}

void RequestGate::SendEarly(Connection& c, const EarlyAnswer& answer) {
  SendSome(c.fd, EarlyAnswerText(answer));
  // The client's last bytes are read and dropped for a moment, so that the answer is not
  // lost to a reset, then the connection closes.
  shutdown(c.fd, SHUT_WR);
  std::string().swap(c.buffer);
  c.draining = true;
  c.deadline = Clock::now() + kDrainTime;
}

bool RequestGate::ReadFrom(Connection& c) {
  char chunk[4096];
  for (;;) {
    size_t room = sizeof chunk;
    if (!c.draining) {
      const size_t limit = c.requestSize > 0 ? c.requestSize : m_limits.maxHead + m_limits.maxBody;
      if (c.buffer.size() >= limit) return true;  // the rest waits in the kernel
      room = std::min(room, limit - c.buffer.size());
    }
    const ssize_t n = recv(c.fd, chunk, room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) {
      c.peerDone = true;
      return true;
    }
    if (c.draining) {
      c.drained += static_cast<size_t>(n);
      if (c.drained > kMaxDrained) return false;
      continue;
    }
    if (c.buffer.empty() && c.served > 0) c.deadline = Clock::now() + m_limits.requestTime;  // the next request began
    c.buffer.append(chunk, static_cast<size_t>(n));
  }
}

bool RequestGate::Examine(Held& c) {
  if (c->draining) return !c->peerDone;
  if (c->requestSize == 0 && !c->buffer.empty()) {
    const size_t end = c->buffer.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 > m_limits.maxHead) {
      if (end == std::string::npos && c->buffer.size() < m_limits.maxHead) return !c->peerDone;
      AnswerEarly(*c, 431, "request head too large (at most " + std::to_string(m_limits.maxHead) + " bytes)");
      return true;
    }
    RequestHead head;
    if (!ParseRequestHead(c->buffer.substr(0, end + 4), &head)) {
      AnswerEarly(*c, 400, "bad request (HTTP/1.1 that cannot be read)");
      return true;
    }
    const EarlyAnswer early = m_check(head);
    if (early.status != 0) {
      SendEarly(*c, early);
      return true;
    }
    if (head.Has("transfer-encoding")) {
      AnswerEarly(*c, 411, "a request body needs Content-Length (no chunked bodies)");
      return true;
    }
    const std::string length = head.Field("content-length");
    size_t body = 0;
    if (!length.empty()) {
      if (length.size() > 12 || length.find_first_not_of("0123456789") != std::string::npos) {
        AnswerEarly(*c, 400, "bad request (Content-Length is not a number)");
        return true;
      }
      body = static_cast<size_t>(std::stoull(length));
    }
    if (body > m_limits.maxBody) {
      AnswerEarly(*c, 413, "request body too large (at most " + std::to_string(m_limits.maxBody) + " bytes)");
      return true;
    }
    c->requestSize = end + 4 + body;
    if (c->buffer.size() < c->requestSize && Lower(head.Field("expect")) == "100-continue") {
      SendSome(c->fd, kContinue);
      c->continued = true;
    }
  }
  if (c->requestSize == 0 || c->buffer.size() < c->requestSize) return !c->peerDone;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.size() < m_limits.maxQueued) {
      m_queue.push_back(std::move(c));
      m_work.notify_one();
      return false;
    }
  }
  AnswerEarly(*c, 503, "busy: too many requests at once", "Retry-After: 1\r\n");
  return true;
}

void RequestGate::Receive() {
  YieldToTheChannel();
  std::vector<Held> held;
  std::vector<pollfd> polled;
  for (;;) {
    std::vector<Held> taken;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_stop) break;
      taken.swap(m_incoming);
    }
    for (Held& c : taken) {
      if (held.size() >= m_limits.maxConnections) {
        // Full: the connection that has been here longest goes.
        auto oldest = std::min_element(held.begin(), held.end(), [](const Held& a, const Held& b) { return a->since < b->since; });
        Close(**oldest);
        held.erase(oldest);
      }
      if (Examine(c)) held.push_back(std::move(c));
      else if (c != nullptr) Close(*c);
    }
    // Wait for bytes, or the nearest deadline.
    Clock::time_point next = Clock::now() + std::chrono::seconds(1);
    polled.assign(1, pollfd{m_wake[0], POLLIN, 0});
    for (const Held& c : held) {
      polled.push_back(pollfd{c->fd, POLLIN, 0});
      next = std::min(next, c->deadline);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
    if (poll(polled.data(), polled.size(), static_cast<int>(std::max<int64_t>(0, wait))) < 0 && errno != EINTR) break;
    if ((polled[0].revents & POLLIN) != 0) {
      char sink[64];
      while (read(m_wake[0], sink, sizeof sink) > 0) {
      }
    }
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < held.size(); ++i) {
      Held& c = held[i];
      bool keep = true;
      if (polled[i + 1].revents != 0) keep = ReadFrom(*c) && Examine(c);
      if (keep && c != nullptr && now >= c->deadline) {
        // Time is up: a request begun is answered (and the connection drained a moment), an idle
        // or drained connection closes.
        keep = !c->draining && !c->buffer.empty();
        if (keep) AnswerEarly(*c, 408, "the request did not arrive whole in time");
      }
      if (!keep) {
        if (c != nullptr) Close(*c);
        c.reset();
      }
    }
    held.erase(std::remove(held.begin(), held.end(), nullptr), held.end());
  }
  for (Held& c : held) Close(*c);
}

void RequestGate::Work() {
  YieldToTheChannel();
  for (;;) {
    Held c;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
      if (m_stop) return;
      c = std::move(m_queue.front());
      m_queue.pop_front();
    }
    const bool last = c->peerDone || c->served + 1 >= m_limits.maxRequestsPerConnection;
    HeldRequestStream stream(c->fd, c->buffer.data(), c->requestSize, c->continued, m_limits.writeTime);
    const bool more = m_serve(stream, last) && !last;
    c->buffer.erase(0, c->requestSize);
    c->requestSize = 0;
    c->continued = false;
    ++c->served;
    if (more) Return(std::move(c));
    else Close(*c);
  }
}

}  // namespace palvex_host
