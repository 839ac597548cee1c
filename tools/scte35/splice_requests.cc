#include "splice_requests.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace palvex_host {

SpliceReply SpliceRequests::Ask(double inSeconds, double durationSeconds, int timeoutMs) {
  constexpr double kDay = 86400.0;  // a break_duration of a day fits its 33 bits of 90 kHz
  SpliceReply reply;
  if (!std::isfinite(inSeconds) || inSeconds < 0 || inSeconds > SpliceCues::kMaxLeadSeconds) {
    reply.error = "\"in\" must be seconds from 0 to 43200";
    return reply;
  }
  if (!std::isfinite(durationSeconds) || durationSeconds <= 0 || durationSeconds > kDay) {
    reply.error = "\"duration\" must be seconds above 0, at most 86400";
    return reply;
  }
  auto request = std::make_shared<Request>();
  request->inSeconds = inSeconds;
  request->durationSeconds = durationSeconds;
  std::future<SpliceReply> answer = request->reply.get_future();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.push_back(request);
  }
  if (answer.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready) return answer.get();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto at = std::find(m_waiting.begin(), m_waiting.end(), request);
    if (at != m_waiting.end()) {
      m_waiting.erase(at);
      reply.error = "the channel muxes no pictures now";
      return reply;
    }
  }
  return answer.get();  // taken meanwhile: its answer comes at once
}

void SpliceRequests::Serve(const std::function<SpliceReply(double, double)>& place) {
  std::deque<std::shared_ptr<Request>> taken;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waiting.empty()) return;
    taken.swap(m_waiting);
  }
  for (const std::shared_ptr<Request>& r : taken) r->reply.set_value(place(r->inSeconds, r->durationSeconds));
}

}  // namespace palvex_host
