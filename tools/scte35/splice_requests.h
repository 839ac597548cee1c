// Breaks asked for at run time (the control endpoint's POST /services/ID/splice), handed
// from any thread to the thread that muxes the channel: it answers each one at its next
// picture, from its own stream time (SpliceCues::AddBreakIn).
#ifndef PALVEX_TOOLS_SPLICE_REQUESTS_H_
#define PALVEX_TOOLS_SPLICE_REQUESTS_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "splice_cues.h"

namespace palvex_host {

struct SpliceReply {
  bool ok = false;
  std::string error;        // why not, when !ok
  uint32_t eventId = 0;     // splice_event_id
  int64_t splicePts = -1;   // the PTS of the picture the break starts at, on the output's clock
  KeyPicture key = KeyPicture::kUnknown;
};

class SpliceRequests {
 public:
  // Any thread: a break inSeconds from now for durationSeconds. Waits for the muxing
  // thread at most timeoutMs (it answers at its next picture); a request not taken by
  // then is withdrawn and answered with an error.
  SpliceReply Ask(double inSeconds, double durationSeconds, int timeoutMs = 2000);

  // The muxing thread: every request waiting is answered by place(inSeconds, durationSeconds).
  void Serve(const std::function<SpliceReply(double, double)>& place);

 private:
  struct Request {
    double inSeconds;
    double durationSeconds;
    std::promise<SpliceReply> reply;
  };
  std::mutex m_mutex;
  std::deque<std::shared_ptr<Request>> m_waiting;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SPLICE_REQUESTS_H_
