// A live input read on a thread of its own, so that a silent input (a network source or a
// pipe whose sender stopped) never holds the output up: the channel waits for the next frame
// with a timeout and keeps itself on air meanwhile. Frames wait in a bounded queue; a full
// queue holds the reader back (libavformat's network inputs buffer behind it).
#ifndef PALVEX_TOOLS_INPUT_THREAD_H_
#define PALVEX_TOOLS_INPUT_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "clip_reader.h"

namespace palvex_host {

class InputThread {
 public:
  enum class Got { kFrame, kEnd, kTimeout };

  // reader is opened, and read by nothing else while the thread runs.
  explicit InputThread(ClipReader* reader, size_t capacity = 256);
  ~InputThread();
  InputThread(const InputThread&) = delete;
  InputThread& operator=(const InputThread&) = delete;

  // behindOutput: the thread leaves the real-time scheduling it inherits (LeaveRealTime),
  // so that many readers never hold a paced output's thread off the processors.
  void Start(bool behindOutput = false);
  // The calling thread back to ordinary scheduling (SCHED_OTHER) when it runs real-time.
  static void LeaveRealTime();
  // The next frame, waiting at most timeoutNs. kEnd once the input has ended: error then
  // holds the reason of a read error, or is empty at the input's normal end.
  Got Next(ClipFrame* frame, int64_t timeoutNs, std::string* error);
  // Ends the thread; the reader's interrupt callback must return nonzero once stopping()
  // is true, so that a blocked read returns.
  void Stop();
  // The same without waiting for it (a network read notices within its poll interval):
  // Stop or the destructor joins it later.
  void RequestStop();
  bool stopping() const { return m_stopping.load(); }
  // The thread has ended (Stop joins it at once).
  bool finished() const { return m_finished.load(); }

 private:
  void Run();

  ClipReader* m_reader;
  size_t m_capacity;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<ClipFrame> m_frames;
  bool m_ended = false;
  std::string m_error;
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_finished{false};
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_INPUT_THREAD_H_
