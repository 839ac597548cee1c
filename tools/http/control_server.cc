#include "control_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <httplib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "request_gate.h"
#include "status_page.h"

namespace palvex_host {
namespace {

constexpr size_t kMaxBody = 4096;          // a control request is a few dozen bytes
constexpr size_t kMaxHead = 8192;
constexpr int kBacklog = 128;
constexpr char kNeedsToken[] = "this request needs \"Authorization: Bearer TOKEN\" with the --http-token";
constexpr double kMaxSpliceSeconds = 86400;  // a break a day long at most
// A break half a day ahead at most: its splice_time must stay ahead of the stream time on
// the 33-bit 90 kHz clock, which wraps after 26.5 hours (a time more than 13.25 hours
// ahead reads as one behind).
constexpr double kMaxSpliceInSeconds = 43200;

// cpp-httplib accepts the connections and answers the requests; the gate in between
// holds the connections while their requests arrive, and hands a worker only a request
// read whole (see request_gate.h).
class GatedServer final : public httplib::Server {
 public:
  explicit GatedServer(RequestGate* gate) : m_gate(gate) {
    // The accepting thread's task is only to hand the socket over: done at once.
    new_task_queue = [] { return new HandOver(); };
  }
  // cpp-httplib listens with a backlog of 5: a burst of connections (clients coming back
  // together) would overflow it and a client's SYN would wait a second for its resend.
  void DeepenBacklog() { ::listen(svr_sock_, kBacklog); }
  // One request held in memory; false when the connection is to close.
  bool Answer(httplib::Stream& stream, bool lastRequest) {
    bool closed = false;
    return process_request(stream, lastRequest, closed, nullptr) && !closed;
  }

 private:
  class HandOver final : public httplib::TaskQueue {
   public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
  };
  bool process_and_close_socket(socket_t sock) override {
    m_gate->Adopt(sock);
    return true;
  }
  RequestGate* m_gate;
};

std::string ErrorJSON(const std::string& text) {
  return nlohmann::json{{"error", text}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Answer(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json, "application/json");
}

void Error(httplib::Response& res, int status, const std::string& text) { Answer(res, status, ErrorJSON(text)); }

// Compares in a time that does not depend on where the strings differ.
bool SameSecret(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
  return diff == 0;
}

// The splice request's fields; false with the reason when the body is not what it must be.
bool ReadSplice(const std::string& body, SpliceRequest* out, std::string* error) {
  const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (j.is_discarded()) return *error = "malformed JSON", false;
  if (!j.is_object()) return *error = "the body must be a JSON object {\"in\": S, \"duration\": D}", false;
  // A number of seconds from 0 to most; false when present and not one.
  const auto seconds = [&](const char* key, double most, double* value) {
    const auto it = j.find(key);
    if (it == j.end()) return true;
    if (it->is_number() && it->get<double>() >= 0 && it->get<double>() <= most) {
      *value = it->get<double>();
      return true;
    }
    char text[96];
    std::snprintf(text, sizeof text, "\"%s\" must be a number of seconds from 0 to %.0f", key, most);
    *error = text;
    return false;
  };
  if (!seconds("in", kMaxSpliceInSeconds, &out->inSeconds) ||
      !seconds("duration", kMaxSpliceSeconds, &out->durationSeconds))
    return false;
  if (!(out->durationSeconds > 0)) return *error = "\"duration\" (seconds, above 0) is missing or 0", false;
  return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, std::string* address, int* port, std::string* error) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  char* end = nullptr;
  const long p = std::strtol(digits.c_str(), &end, 10);
  in6_addr v6{};
  in_addr v4{};
  const bool hostOk = host == "localhost" || inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
                      (text[0] == '[' && inet_pton(AF_INET6, host.c_str(), &v6) == 1);
  if (!hostOk || digits.empty() || *end != '\0' || p < 1 || p > 65535) {
    *error = "bad --http '" + text + "' (ADDR:PORT: an IPv4 address, [IPv6] or localhost, and a port 1-65535)";
    return false;
  }
  *address = host == "localhost" ? "127.0.0.1" : host;
  *port = static_cast<int>(p);
  return true;
}

bool IsLoopback(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return address == "localhost" || (inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6));
}

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
  errno = 0;
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read --http-token '" + path + "'" + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  std::string line;
  std::getline(in, line);
  const size_t begin = line.find_first_not_of(" \t\r");
  const size_t end = line.find_last_not_of(" \t\r");
  *token = begin == std::string::npos ? "" : line.substr(begin, end - begin + 1);
  if (token->empty()) *error = "--http-token '" + path + "' holds no token on its first line";
  return !token->empty();
}

ControlServer::ControlServer(Registry* registry) : m_registry(registry) {}

ControlServer::~ControlServer() { Stop(); }

void ControlServer::SetSpliceHandler(SpliceHandler handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_splice = std::move(handler);
}

void ControlServer::SetReloadHandler(ReloadHandler handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_reload = std::move(handler);
}

void ControlServer::Route() {
  httplib::Server& s = *m_server;
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_registry->Prometheus(), "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/status", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, 200, m_registry->StatusJSON(m_muxRate.load()));
  });
  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kStatusPage, "text/html; charset=utf-8");
  });
  // The POST requests: the token first, then the service, then the body.
  const auto authorised = [this](const httplib::Request& req, httplib::Response& res) {
    if (m_token.empty() || SameSecret(req.get_header_value("Authorization"), "Bearer " + m_token)) return true;
    res.set_header("WWW-Authenticate", "Bearer");
    Error(res, 401, kNeedsToken);
    return false;
  };
  s.Post(R"(/services/(\d{1,5})/splice)", [this, authorised](const httplib::Request& req, httplib::Response& res) {
    if (!authorised(req, res)) return;
    const int id = std::stoi(req.matches[1].str());
    if (!m_registry->HasService(id)) return Error(res, 404, "no service " + std::to_string(id));
    SpliceRequest splice;
    std::string error;
    if (!ReadSplice(req.body, &splice, &error)) return Error(res, 400, error);
    SpliceHandler handler;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      handler = m_splice;
    }
    if (!handler) return Error(res, 501, "this run inserts no splices (no SCTE-35 stream for the service)");
    const Reply reply = handler(id, splice);
    Answer(res, reply.status, reply.json);
  });
  s.Post("/reload", [this, authorised](const httplib::Request& req, httplib::Response& res) {
    if (!authorised(req, res)) return;
    ReloadHandler handler;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      handler = m_reload;
    }
    if (!handler) return Error(res, 409, "no plan to reload: this channel comes from the command line (reload reads a --plan again)");
    const Reply reply = handler();
    Answer(res, reply.status, reply.json);
  });
  // A known path with another method: 405 with the method it takes.
  const auto only = [&s](const std::string& path, const char* allowed) {
    const auto refuse = [allowed](const httplib::Request& req, httplib::Response& res) {
      res.set_header("Allow", allowed);
      Error(res, 405, req.method + " is not allowed here (" + allowed + ")");
    };
    if (std::strcmp(allowed, "GET") != 0) s.Get(path, refuse);
    else s.Post(path, refuse);
    s.Put(path, refuse);
    s.Patch(path, refuse);
    s.Delete(path, refuse);
    s.Options(path, refuse);
  };
  for (const char* path : {"/metrics", "/status", "/"}) only(path, "GET");
  for (const char* path : {R"(/services/\d{1,5}/splice)", "/reload"}) only(path, "POST");
  // What the routes above did not answer: an unknown path, a request too large or cut.
  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const char* text = res.status == 404 ? "no such path (/, /status, /metrics, POST /services/ID/splice, POST /reload)"
                       : res.status == 413 ? "request body too large"
                                           : "bad request (HTTP/1.1 that cannot be read; a POST needs Content-Length)";
    Error(res, res.status, text);
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_default_headers({{"Cache-Control", "no-store"}});
}

bool ControlServer::Start(const std::string& address, int port, const std::string& token, std::string* error) {
  m_token = token;
  GateLimits limits;
  limits.maxHead = kMaxHead;
  limits.maxBody = kMaxBody;
  // The token is asked for from the head alone: a request without it is answered before
  // its body is read.
  const auto check = [this](const RequestHead& head) {
    EarlyAnswer answer;
    if (head.method == "POST" && !m_token.empty() && !SameSecret(head.Field("authorization"), "Bearer " + m_token)) {
      answer.status = 401;
      answer.json = ErrorJSON(kNeedsToken);
      answer.headers = "WWW-Authenticate: Bearer\r\n";
    }
    return answer;
  };
  m_gate = std::make_unique<RequestGate>(
      limits, check, [this](httplib::Stream& stream, bool last) { return static_cast<GatedServer*>(m_server.get())->Answer(stream, last); }, ErrorJSON);
  m_server = std::make_unique<GatedServer>(m_gate.get());
  m_server->set_payload_max_length(kMaxBody);
  m_server->set_read_timeout(2, 0);
  m_server->set_write_timeout(2, 0);
  m_server->set_keep_alive_timeout(static_cast<time_t>(limits.idleTime.count() / 1000));
  m_server->set_keep_alive_max_count(limits.maxRequestsPerConnection);
  Route();
  errno = 0;
  if (!m_server->bind_to_port(address, port)) {
    const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    *error = "cannot listen on " + shown + ":" + std::to_string(port) + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    m_server.reset();
    m_gate.reset();
    return false;
  }
  static_cast<GatedServer*>(m_server.get())->DeepenBacklog();
  m_gate->Start();
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  return true;
}

void ControlServer::Stop() {
  if (m_server == nullptr) return;
  m_server->stop();
  if (m_thread.joinable()) m_thread.join();
  m_gate->Stop();  // no connection is handed over any more: the workers end
  m_server.reset();
  m_gate.reset();
}

}  // namespace palvex_host
