// palvex-mux's HTTP endpoint (--http ADDR:PORT), served by cpp-httplib on threads of its
// own: GET /metrics (Prometheus text), GET /status (JSON), GET / (the status page), and the
// control requests POST /services/ID/splice and POST /reload through handlers the runner
// gives. What a request reads comes from the metrics registry, whose lock the mux thread
// never waits on; the server has a bounded number of threads (an accepting one, one that
// reads the requests as they arrive, and two workers that answer requests read whole), a
// bounded number of connections and queue of requests, bounded request sizes (a head of
// 8 KiB, a body of 4 KiB announced by Content-Length) and a time within which a request
// must arrive whole (request_gate.h), so a slow client or a flood of requests costs the
// channel nothing but the CPU time the kernel gives these threads, and a well-behaved
// client is answered meanwhile.
//
// Requests: an unknown path answers 404, a known path with another method 405 (with
// Allow), a body that is not a JSON object or whose values are out of range 400; each with
// {"error": "..."}. When a token is given, the POST requests need "Authorization: Bearer
// TOKEN" (else 401, answered from the head, the body not read); an address other than loopback needs a token (the caller's check,
// IsLoopback).
#ifndef PALVEX_TOOLS_CONTROL_SERVER_H_
#define PALVEX_TOOLS_CONTROL_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "metrics.h"

namespace httplib {
class Server;
}

namespace palvex_host {

class RequestGate;

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080"; false with an error otherwise.
bool ParseListenAddress(const std::string& text, std::string* address, int* port, std::string* error);
// 127.0.0.0/8, ::1, localhost.
bool IsLoopback(const std::string& address);
// The token of a --http-token file: its first line, surrounding white space left out;
// false with an error when the file cannot be read or holds no token.
bool ReadToken(const std::string& path, std::string* token, std::string* error);

// A handler's answer: an HTTP status and a JSON body.
struct Reply {
  int status = 200;
  std::string json;
};

// POST /services/ID/splice {"in": S, "duration": D}: the break starts S seconds from now
// (0 when left out) and lasts D seconds.
struct SpliceRequest {
  double inSeconds = 0;
  double durationSeconds = 0;
};

class ControlServer {
 public:
  using SpliceHandler = std::function<Reply(int serviceId, const SpliceRequest& request)>;
  using ReloadHandler = std::function<Reply()>;

  explicit ControlServer(Registry* registry);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // The run's constant rate, for /status (0: none).
  void SetMuxRate(int64_t bitsPerSecond) { m_muxRate = bitsPerSecond; }
  // Without a splice handler a splice answers 501; without a reload handler a reload
  // answers 409 (there is no plan to read again). Any time, from any thread.
  void SetSpliceHandler(SpliceHandler handler);
  void SetReloadHandler(ReloadHandler handler);

  // Listens (the port is taken before it returns) and serves on its own threads; false
  // with an error when the address cannot be listened on.
  bool Start(const std::string& address, int port, const std::string& token, std::string* error);
  void Stop();

 private:
  void Route();

  Registry* m_registry;
  std::atomic<int64_t> m_muxRate{0};
  std::mutex m_mutex;  // the handlers
  SpliceHandler m_splice;
  ReloadHandler m_reload;
  std::string m_token;
  std::unique_ptr<RequestGate> m_gate;  // the connections while their requests arrive
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_CONTROL_SERVER_H_
