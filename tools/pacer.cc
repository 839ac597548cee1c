#include "pacer.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kMaxPcrStep = kPCRHz;          // a longer step is a discontinuity
constexpr int64_t kLateRestartNs = 1000000000;   // this far behind, the clock is taken up anew
constexpr size_t kMaxBatch = 64;                 // writes at most in one batch

const uint8_t kNullPacket[kTSPacketSize] = {0x47, 0x1F, 0xFF, 0x10};

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
  if (!m_config.paced && m_config.muxRate == 0) return size == 0 || m_sink->Write(ts, size, nullptr);
  for (size_t off = 0; off + kTSPacketSize <= size; off += kTSPacketSize) {
    const int64_t pcr = PacketPCR(ts + off);
    if (pcr >= 0 && !OnPcr(pcr)) return false;
    m_pending.insert(m_pending.end(), ts + off, ts + off + kTSPacketSize);
  }
  return true;
}

// A new PCR closes the interval since the last one: its packets are spread over it.
bool Pacer::OnPcr(int64_t pcr) {
  if (!m_clockKnown) {
    m_clockKnown = true;
    m_lastPcr = pcr;
    m_firstPcr = pcr;
    m_anchorTick = m_tick;
    m_anchorNs = SteadyNowNs() + (m_config.paced ? m_config.startDelayNs : 0);
    for (size_t off = 0; off < m_pending.size(); off += kTSPacketSize)  // PSI before the first PCR
      if (!Emit(&m_pending[off], m_tick)) return false;
    m_pending.clear();
    return true;
  }
  int64_t step = (pcr - m_lastPcr + kPCRWrap) % kPCRWrap;
  if (step > kPCRWrap / 2) step -= kPCRWrap;
  m_lastPcr = pcr;
  if (step <= 0 || step > kMaxPcrStep) {
    // The clock stepped: what is held leaves at once and the clock is taken up from here.
    ++m_stats.discontinuities;
    for (size_t off = 0; off < m_pending.size(); off += kTSPacketSize)
      if (!Emit(&m_pending[off], m_tick)) return false;
    m_pending.clear();
    m_anchorTick = m_tick;
    m_anchorNs = m_config.paced ? std::max(SteadyNowNs(), m_anchorNs) : 0;
    return true;
  }
  const bool ok = Spread(step);
  m_tick += step;
  m_pending.clear();
  return ok;
}

// The held packets over interval ticks: evenly, or among mux-rate slots with null packets
// in the free ones (slot j carries a packet when j * n mod m < n, the PCR packet first).
bool Pacer::Spread(int64_t interval) {
  const int64_t n = static_cast<int64_t>(m_pending.size() / kTSPacketSize);
  int64_t m = n;
  if (m_config.muxRate > 0) {
    const double slots = m_slotCarry + static_cast<double>(interval) / kPCRHz * static_cast<double>(m_config.muxRate) /
                                           (kTSPacketSize * 8.0);
    m = static_cast<int64_t>(slots);
    m_slotCarry = slots - static_cast<double>(m);
    if (m < n) {
      ++m_stats.overruns;
      m = n;
      m_slotCarry = 0;
    }
  }
  int64_t next = 0;
  for (int64_t j = 0; j < m; ++j) {
    const int64_t tick = m_tick + interval * j / m;
    const bool real = j * n % m < n;
    if (!real) ++m_stats.nullPackets;
    if (!Emit(real ? &m_pending[static_cast<size_t>(next++) * kTSPacketSize] : kNullPacket, tick)) return false;
  }
  return true;
}

bool Pacer::Emit(const uint8_t* packet, int64_t tick) {
  m_write.insert(m_write.end(), packet, packet + kTSPacketSize);
  if (m_write.size() < m_config.packetsPerWrite * kTSPacketSize) return true;
  return Complete(tick);
}

// A full write is due when the clock reaches its last packet. Writes due within one batch
// window go out together, at the middle of their due times: one wake-up (and one system
// call) for several datagrams, none more than half the window off its time.
bool Pacer::Complete(int64_t tick) {
  const int64_t due = m_anchorNs + TicksToNs(tick - m_anchorTick);
  if (!m_batchClocks.empty() && (due - m_batchFirstNs > m_config.batchNs || m_batchClocks.size() >= kMaxBatch) &&
      !FlushBatch())
    return false;
  if (m_batchClocks.empty()) m_batchFirstNs = due;
  m_batchLastNs = due;
  m_batchClocks.push_back(static_cast<uint32_t>((m_firstPcr + tick) / 300));
  m_batch.insert(m_batch.end(), m_write.begin(), m_write.end());
  m_write.clear();
  return true;
}

bool Pacer::FlushBatch() {
  if (m_batchClocks.empty()) return true;
  if (m_config.paced) WaitUntil(m_batchFirstNs + (m_batchLastNs - m_batchFirstNs) / 2);
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
  while (*m_stop == 0 && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

bool Pacer::Finish() {
  if (!m_config.paced && m_config.muxRate == 0) return true;
  for (size_t off = 0; off < m_pending.size(); off += kTSPacketSize)
    if (!Emit(&m_pending[off], m_tick)) return false;
  m_pending.clear();
  if (!m_write.empty() && !Complete(m_tick)) return false;
  return FlushBatch();
}

}  // namespace palvex_host
