#include "input_thread.h"

#include <chrono>
#include <utility>

namespace palvex_host {

InputThread::InputThread(ClipReader* reader, size_t capacity)
    : m_reader(reader), m_capacity(capacity < 1 ? 1 : capacity) {}

InputThread::~InputThread() { Stop(); }

void InputThread::Start() { m_thread = std::thread([this] { Run(); }); }

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

void InputThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_changed.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
}

}  // namespace palvex_host
