#include "input_thread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <utility>

namespace palvex_host {

InputThread::InputThread(ClipReader* reader, size_t capacity)
    : m_reader(reader), m_capacity(capacity < 1 ? 1 : capacity) {}

InputThread::~InputThread() { Stop(); }

void InputThread::Start(bool behindOutput) {
  m_thread = std::thread([this, behindOutput] {
    if (behindOutput) LeaveRealTime();
    Run();
    m_finished = true;
  });
}

void InputThread::LeaveRealTime() {
  int policy = SCHED_OTHER;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0 || policy == SCHED_OTHER) return;
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

void InputThread::Run() {
  ClipFrame frame;
  std::string error;
  for (;;) {
    const bool got = m_reader->Next(&frame, &error);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!got || m_stopping.load()) {
      m_ended = true;
      m_error = got ? "" : error;
      m_changed.notify_all();
      return;
    }
    m_changed.wait(lock, [this] { return m_frames.size() < m_capacity || m_stopping.load(); });
    if (m_stopping.load()) return;
    m_frames.push_back(std::move(frame));
    frame = ClipFrame();
    m_changed.notify_all();
  }
}

InputThread::Got InputThread::Next(ClipFrame* frame, int64_t timeoutNs, std::string* error) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [this] { return !m_frames.empty() || m_ended; });
  if (!m_frames.empty()) {
    *frame = std::move(m_frames.front());
    m_frames.pop_front();
    m_changed.notify_all();
    return Got::kFrame;
  }
  if (!m_ended) return Got::kTimeout;
  *error = m_error;
  return Got::kEnd;
}

void InputThread::RequestStop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopping = true;
  m_changed.notify_all();
}

void InputThread::Stop() {
  RequestStop();
  if (m_thread.joinable()) m_thread.join();
}

}  // namespace palvex_host
