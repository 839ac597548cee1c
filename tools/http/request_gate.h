// The connections of the HTTP endpoint, held apart from the threads that answer them.
//
// One thread (the reception) reads every connection, without blocking, into a buffer of its
// own: the request head up to a limit, then the body its Content-Length announces, up to a
// limit. Only a request read whole goes to a worker, which answers it from memory, so a
// worker never waits on a client: a client that sends slowly, or sends nothing, or sends
// too much, holds a slot of the reception and a few KiB, never a worker, and is answered
// (408, 431, 413, 411) and closed when its time or its room is used up. A request the
// early check refuses (a missing token) is answered from its head, its body never read.
//
// Each request must arrive whole within requestTime of its first byte (of the connection,
// for the first); an idle kept-alive connection is closed after idleTime. The reception
// holds at most maxConnections: a new one beyond that pushes out the oldest. The workers'
// queue holds at most maxQueued requests; beyond that a request is answered 503.
#ifndef PALVEX_TOOLS_REQUEST_GATE_H_
#define PALVEX_TOOLS_REQUEST_GATE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Stream;
}

namespace palvex_host {

struct GateLimits {
  size_t maxHead = 8192;
  size_t maxBody = 4096;
  std::chrono::milliseconds requestTime{2000};
  std::chrono::milliseconds idleTime{2000};
  std::chrono::milliseconds writeTime{2000};  // to write one answer
  size_t maxConnections = 128;
  size_t workers = 2;
  size_t maxQueued = 16;
  size_t maxRequestsPerConnection = 100;
};

// A request head as read: the method, the target and the header fields (names in lower case).
struct RequestHead {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> fields;
  // The value of the first field of that (lower-case) name, empty when absent.
  std::string Field(const std::string& name) const;
  bool Has(const std::string& name) const;
};

// An answer the gate gives by itself: a status, a JSON body and extra header lines
// ("Name: value\r\n" each).
struct EarlyAnswer {
  int status = 0;  // 0: no early answer, the request goes on
  std::string json;
  std::string headers;
};

// Parses a request head (its bytes up to and with the blank line); false when it is not
// a request line followed by header fields.
bool ParseRequestHead(const std::string& head, RequestHead* out);

// The whole answer the gate writes by itself, with Connection: close.
std::string EarlyAnswerText(const EarlyAnswer& answer);

class RequestGate {
 public:
  // Before a body is read: an early answer, or status 0 to read on.
  using Check = std::function<EarlyAnswer(const RequestHead& head)>;
  // A worker answers one request read whole, from the stream (which reads from memory and
  // writes to the client); lastRequest asks for Connection: close. Returns whether the
  // connection may carry another request.
  using Serve = std::function<bool(httplib::Stream& stream, bool lastRequest)>;
  // What every early answer carries (a JSON error body from its text).
  using ErrorBody = std::function<std::string(const std::string& text)>;

  RequestGate(const GateLimits& limits, Check check, Serve serve, ErrorBody errorBody);
  ~RequestGate();
  RequestGate(const RequestGate&) = delete;
  RequestGate& operator=(const RequestGate&) = delete;

  void Start();
  // A connection accepted: the gate owns (and closes) the socket from now on.
  void Adopt(int fd);
  // Closes every connection and ends the threads.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection {
    int fd = -1;
    std::string buffer;       // read, not yet answered
    size_t requestSize = 0;   // head and body of the first request in buffer, once known
    Clock::time_point since;  // when the connection came (for pushing out the oldest)
    Clock::time_point deadline;
    size_t served = 0;        // requests answered on it
    bool draining = false;    // answered early: what still comes is read and dropped
    size_t drained = 0;
    bool continued = false;   // 100 Continue sent for the request in buffer
    bool peerDone = false;    // the client sends no more (end of stream or an error)
  };
  using Held = std::unique_ptr<Connection>;

  void Receive();
  void Work();
  // Reads what the socket has; false when the connection is done with (closed or answered).
  bool ReadFrom(Connection& c);
  // Looks at what is buffered: answers early, hands a whole request to the workers, or waits.
  // False when the connection left the reception.
  bool Examine(Held& c);
  void AnswerEarly(Connection& c, int status, const std::string& text, const std::string& headers = "");
  void SendEarly(Connection& c, const EarlyAnswer& answer);
  void Return(Held c);  // a worker gives back a kept-alive connection
  static void Close(Connection& c);

  const GateLimits m_limits;
  const Check m_check;
  const Serve m_serve;
  const ErrorBody m_errorBody;

  std::mutex m_mutex;
  std::condition_variable m_work;
  std::vector<Held> m_incoming;  // adopted or returned, for the reception to take
  std::deque<Held> m_queue;      // whole requests for the workers
  bool m_stop = false;
  int m_wake[2] = {-1, -1};  // a pipe that wakes the reception
  std::thread m_reception;
  std::vector<std::thread> m_workers;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_REQUEST_GATE_H_
