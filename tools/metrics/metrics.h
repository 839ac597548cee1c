// What an operator watches of a running head-end: the services of the output with their
// counters, read as Prometheus text and as a JSON status while the channel runs.
//
// Threads. The mux thread (one writer per service) updates a ServiceMetrics with plain
// atomic stores: no lock and no allocation per packet or frame. Readers (the HTTP threads,
// the bit-rate sampler) take the registry's own lock, which the mux thread takes only to
// add or remove a service; so no reader can hold up a packet.
//
// Labels. Every series of a service carries service="ID" (its service_id, the
// program_number of its PMT). Null packets belong to the output, not to a service: a
// single channel's output is its one service, and its nulls carry that service's label; a
// multiplex's nulls carry none (Scope::kMultiplex). palvex_output_packets_total counts
// every packet of the output, nulls included.
#ifndef PALVEX_TOOLS_METRICS_H_
#define PALVEX_TOOLS_METRICS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <condition_variable>
#include <vector>

namespace palvex_host {

// What names a service: what the SDT and PMT give it and where its input comes from.
struct ServiceInfo {
  int serviceId = 1;  // service_id = program_number
  std::string name;
  std::string provider;
  std::string inputUrl;
};

// The PSI/SI tables whose repetition is watched.
enum class Table { kPAT, kPMT, kSDT };
constexpr size_t kTableCount = 3;

// Counters of one service. The mux thread writes (Add..., Set..., Note...), any thread reads.
class ServiceMetrics {
 public:
  explicit ServiceMetrics(const ServiceInfo& info);
  const ServiceInfo& info() const { return m_info; }

  // Packets of the service sent (its PIDs, its tables; nulls are the output's).
  void AddPackets(uint64_t count) { Bump(m_packets, count); }
  // Totals the runner keeps anyway: access units late for want of rate, clock jumps of the input.
  void SetLateFrames(uint64_t total) { m_lateFrames.store(total, std::memory_order_relaxed); }
  void SetClockJumps(uint64_t total) { m_clockJumps.store(total, std::memory_order_relaxed); }
  // The input's state; a change from up to down counts a loss. Times on the system clock
  // (ns since 1970) tell since when.
  void SetInputUp(bool up, int64_t wallNs);
  // An SCTE-35 splice_info_section sent; any thread.
  void AddCue() { m_cues.fetch_add(1, std::memory_order_relaxed); }
  // The step between two PCRs of the service's PCR_PID, 27 MHz.
  void NotePCRInterval(int64_t ticks);
  // The step between two copies of a table, 27 MHz.
  void NoteTableInterval(Table table, int64_t ticks);

  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t lateFrames() const { return m_lateFrames.load(std::memory_order_relaxed); }
  uint64_t clockJumps() const { return m_clockJumps.load(std::memory_order_relaxed); }
  uint64_t inputLosses() const { return m_inputLosses.load(std::memory_order_relaxed); }
  bool inputUp() const { return m_inputUp.load(std::memory_order_relaxed); }
  int64_t inputSinceNs() const { return m_inputSinceNs.load(std::memory_order_relaxed); }
  uint64_t cues() const { return m_cues.load(std::memory_order_relaxed); }
  int64_t pcrIntervalMaxTicks() const { return m_pcrMax.load(std::memory_order_relaxed); }
  uint64_t pcrLate() const { return m_pcrLate.load(std::memory_order_relaxed); }
  int64_t tableIntervalMaxTicks(Table t) const { return m_tableMax[Index(t)].load(std::memory_order_relaxed); }
  uint64_t tableLate(Table t) const { return m_tableLate[Index(t)].load(std::memory_order_relaxed); }
  // Content bit rate over the last second (the sampler's).
  int64_t bitrate() const { return m_bitrate.load(std::memory_order_relaxed); }

  // The longest a table may wait for its next copy: PAT and PMT 0.5 s, SDT 2 s.
  static int64_t TableLimitTicks(Table table);

 private:
  friend class Registry;
  static size_t Index(Table t) { return static_cast<size_t>(t); }
  // One writer: a load and a store, no locked instruction.
  static void Bump(std::atomic<uint64_t>& a, uint64_t n) {
    a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  static void Raise(std::atomic<int64_t>& a, int64_t v) {
    if (v > a.load(std::memory_order_relaxed)) a.store(v, std::memory_order_relaxed);
  }

  const ServiceInfo m_info;
  std::atomic<uint64_t> m_packets{0}, m_lateFrames{0}, m_clockJumps{0}, m_inputLosses{0}, m_cues{0};
  std::atomic<bool> m_inputUp{false};
  std::atomic<int64_t> m_inputSinceNs{0};
  std::atomic<int64_t> m_pcrMax{0};
  std::atomic<uint64_t> m_pcrLate{0};
  std::array<std::atomic<int64_t>, kTableCount> m_tableMax{};
  std::array<std::atomic<uint64_t>, kTableCount> m_tableLate{};
  std::atomic<int64_t> m_bitrate{0};
  // The sampler's (under the registry's lock): packet counts of the last second.
  static constexpr size_t kSamples = 16;
  std::array<std::pair<int64_t, uint64_t>, kSamples> m_samples{};
  size_t m_sampleCount = 0;
};

// Counters of the whole output; one writer.
class OutputMetrics {
 public:
  void AddPackets(uint64_t total, uint64_t nulls) {
    m_packets.store(m_packets.load(std::memory_order_relaxed) + total, std::memory_order_relaxed);
    m_nulls.store(m_nulls.load(std::memory_order_relaxed) + nulls, std::memory_order_relaxed);
  }
  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t nulls() const { return m_nulls.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> m_packets{0}, m_nulls{0};
};

class Registry {
 public:
  enum class Scope { kChannel, kMultiplex };
  explicit Registry(Scope scope = Scope::kChannel);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // A service of the output; the pointer stays valid until RemoveService. Null when a
  // service with that service_id is already there.
  ServiceMetrics* AddService(const ServiceInfo& info);
  // The runner stops writing to the service before it removes it. False when unknown.
  bool RemoveService(int serviceId);
  bool HasService(int serviceId) const;
  OutputMetrics& output() { return m_output; }

  // Prometheus text exposition (version 0.0.4) of every series.
  std::string Prometheus() const;
  // {"muxrate_bps": ..., "output": {...}, "services": [{"service_id": ..., "name": ...,
  // "provider": ..., "input": {"url": ..., "up": ..., "since": ...}, "bitrate_bps": ...,
  // "late_frames": ..., ...}]}; muxrate_bps is null for a run without a constant rate.
  std::string StatusJSON(int64_t muxRateBps) const;

  // Takes a sample of every service's packet count at nowNs (steady clock) and sets its
  // bit rate over the last second; a thread started by StartSampler calls it every 100 ms.
  void Sample(int64_t nowNs);
  void StartSampler();

 private:
  void SamplerLoop();

  const Scope m_scope;
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<ServiceMetrics>> m_services;
  OutputMetrics m_output;
  std::thread m_sampler;
  std::condition_variable m_wake;
  bool m_quit = false;
};

// An input's URL as it is shown: without the user and password in front of the host and
// without the query (which may hold a passphrase); a path as it is.
std::string ShownURL(const std::string& url);

// "2026-12-07T22:40:00Z": a time on the system clock (ns since 1970), UTC.
std::string ISOTime(int64_t wallNs, bool milliseconds = false);
int64_t WallNowNs();

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_METRICS_H_
