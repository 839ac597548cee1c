#include "pacer.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kMaxPcrStep = kPCRHz;          // a longer step is a discontinuity
constexpr int64_t kLateRestartNs = 1000000000;   // this far behind, the clock is taken up anew
constexpr size_t kMaxBatch = 64;                 // writes at most in one batch

int64_t TicksToNs(int64_t ticks) { return ticks * 1000 / 27; }

}  // namespace

int64_t SteadyNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

Pacer::Pacer(Sink* sink, const PacerConfig& config, const volatile std::sig_atomic_t* stop)
    : m_sink(sink), m_config(config), m_stop(stop) {
  m_write.reserve(m_config.packetsPerWrite * kTSPacketSize);
}

bool Pacer::Push(const uint8_t* ts, size_t size) {
  if (!m_config.paced) return size == 0 || m_sink->Write(ts, size, nullptr);
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const int64_t pcr = PacketPCR(ts + off);
    if (pcr >= 0 && !OnPcr(pcr)) return false;
    m_pending.insert(m_pending.end(), ts + off, ts + off + kTSPacketSize);
  }
  return true;
}

bool Pacer::Send(const uint8_t* packets, const int64_t* departures, size_t count) {
  if (!m_config.paced) return count == 0 || m_sink->Write(packets, count * kTSPacketSize, nullptr);
  for (size_t i = 0; i < count; ++i)
    if (!Emit(packets + i * kTSPacketSize, departures[i])) return false;
  return true;
}

bool Pacer::EmitPending(int64_t line) {
  for (size_t off = 0; off < m_pending.size(); off += kTSPacketSize)
    if (!Emit(&m_pending[off], line)) return false;
  m_pending.clear();
  return true;
}

// A new PCR closes the interval since the last one: its packets are spread over it.
bool Pacer::OnPcr(int64_t pcr) {
  if (!m_clockKnown) {
    m_clockKnown = true;
    m_lastPcr = pcr;
    m_line = pcr;
    return EmitPending(m_line);  // PSI before the first PCR
  }
  const int64_t step = PCRStep(m_lastPcr, pcr);
  m_lastPcr = pcr;
  if (step <= 0 || step > kMaxPcrStep) {
    // The clock stepped: what is held leaves at once and the clock is taken up from here.
    ++m_stats.discontinuities;
    if (!EmitPending(m_line)) return false;
    m_anchorLine = m_line;
    m_anchorNs = std::max(SteadyNowNs(), m_anchorNs);
    return true;
  }
  const bool ok = Spread(step);
  m_line += step;
  m_pending.clear();
  return ok;
}

// The held packets evenly over interval ticks, the PCR packet first.
bool Pacer::Spread(int64_t interval) {
  const int64_t n = static_cast<int64_t>(m_pending.size() / kTSPacketSize);
  for (int64_t j = 0; j < n; ++j)
    if (!Emit(&m_pending[static_cast<size_t>(j) * kTSPacketSize], m_line + interval * j / n)) return false;
  return true;
}

bool Pacer::Emit(const uint8_t* packet, int64_t line) {
  if (!m_anchored) {
    m_anchored = true;
    m_anchorLine = line;
    m_anchorNs = SteadyNowNs() + m_config.startDelayNs;
  }
  m_lastLine = line;
  m_write.insert(m_write.end(), packet, packet + kTSPacketSize);
  if (m_write.size() < m_config.packetsPerWrite * kTSPacketSize) return true;
  return Complete(line);
}

// A full write is due when the clock reaches its last packet. Writes due within one batch
// window go out together, at the middle of their due times: one wake-up (and one system
// call) for several datagrams, none more than half the window off its time.
bool Pacer::Complete(int64_t line) {
  const int64_t due = m_anchorNs + TicksToNs(line - m_anchorLine);
  if (!m_batchClocks.empty() && (due - m_batchFirstNs > m_config.batchNs || m_batchClocks.size() >= kMaxBatch) &&
      !FlushBatch())
    return false;
  if (m_batchClocks.empty()) m_batchFirstNs = due;
  m_batchLastNs = due;
  m_batchClocks.push_back(static_cast<uint32_t>(static_cast<uint64_t>(line / 300)));  // the RTP time stamp
  m_batch.insert(m_batch.end(), m_write.begin(), m_write.end());
  m_write.clear();
  return true;
}

bool Pacer::FlushBatch() {
  if (m_batchClocks.empty()) return true;
  WaitUntil(m_batchFirstNs + (m_batchLastNs - m_batchFirstNs) / 2);
  const bool ok = m_sink->Write(m_batch.data(), m_batch.size(), m_batchClocks.data());
  m_batch.clear();
  m_batchClocks.clear();
  return ok;
}

// Sleeps until due; far behind, takes the clock up anew.
void Pacer::WaitUntil(int64_t due) {
  const int64_t now = SteadyNowNs();
  if (now - due > kLateRestartNs) {
    ++m_stats.lateRestarts;
    m_anchorNs += now - due;
    return;
  }
  if (now > due) {
    m_stats.maxLateNs = std::max(m_stats.maxLateNs, now - due);
    return;
  }
  const timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
  ++m_stats.sleeps;
  while ((*m_stop == 0 || m_tail) && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

bool Pacer::LineNow(int64_t* line) const {
  if (!m_anchored) return false;
  *line = m_anchorLine + (SteadyNowNs() - m_anchorNs) * 27 / 1000;
  return true;
}

bool Pacer::Finish() {
  if (!m_config.paced) return true;
  if (!EmitPending(m_line)) return false;
  if (!m_write.empty() && !Complete(m_lastLine)) return false;
  return FlushBatch();
}

}  // namespace palvex_host
