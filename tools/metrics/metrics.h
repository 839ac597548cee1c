// What an operator watches of a running head-end: the services of the output with their
// counters, read as Prometheus text and as a JSON status while the channel runs.
//
// Threads. The mux thread (one writer per service) updates a ServiceMetrics with plain
// atomic stores: no lock and no allocation per packet or frame. Readers (the HTTP threads,
// the bit-rate sampler) take the registry's own lock, which the mux thread takes only to
// add or remove a service; so no reader can hold up a packet.
//
// Labels. Every series of a service carries service="ID" (its service_id, the
// program_number of its PMT). What belongs to the output and not to one service carries
// no service label, in a single channel as in a multiplex: the null packets, and the PAT,
// SDT, NIT and TDT (table="..."). A service's PMT carries both. palvex_output_packets_total
// counts every packet of the output, nulls included.
//
// Where it is measured. Every count and step is taken on the packets as they leave the
// scheduler (TSMeter), with their departure times: what a receiver of the output sees.
// Steps are kept as histograms (every incident stays counted) and as the longest of the
// last 10 s (a gauge that falls again once an incident is over).
#ifndef PALVEX_TOOLS_METRICS_H_
#define PALVEX_TOOLS_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
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
  std::string inputUrl;  // shown without credentials (ShownURL)
};

// The PSI/SI tables whose repetition is watched. The PMT is a service's; the others the output's.
enum class Table { kPAT, kPMT, kSDT, kNIT, kTDT };
constexpr size_t kTableCount = 5;
const char* TableName(Table table);
// The longest a table may wait for its next copy: PAT and PMT 0.5 s, SDT 2 s, NIT 10 s, TDT 30 s.
int64_t TableLimitTicks(Table table);

int64_t SteadyClockNs();

// The largest of the values noted in the last 10 s (9 to 10 s: whole seconds of the steady
// clock). One writer, any reader; each second's largest is kept in one word with its
// second, so that a reader never pairs a second with another second's value.
class RecentMax {
 public:
  static constexpr int64_t kWindowNs = 10000000000;
  void Note(int64_t value, int64_t nowNs);  // values up to 2^40 - 1, larger ones cut to it
  int64_t Max(int64_t nowNs) const;         // 0 when none

 private:
  static constexpr size_t kSlots = 10;  // one per second of the window
  static constexpr int kSecondBits = 24, kValueBits = 40;
  std::array<std::atomic<uint64_t>, kSlots> m_slots{};
};

// Steps between two events (two PCRs of a PCR_PID, two copies of a table), 27 MHz: how many
// fell at or below each bound (a histogram), their sum, how many were longer than the
// limit, and the longest of the last 10 s. One writer (the mux thread), any reader; no
// lock, no allocation.
class IntervalStats {
 public:
  enum class Kind { kPCR, kTable };
  static constexpr size_t kMaxBounds = 12;

  IntervalStats(Kind kind, int64_t limitTicks);
  // One step, noted at nowNs (steady clock). A step back (a discontinuity) is no spacing.
  void Note(int64_t ticks, int64_t nowNs);

  // The bounds in 27 MHz ticks, ascending; count(i) the steps up to bound i (cumulative),
  // total() all of them (the +Inf bucket).
  size_t bounds() const { return m_boundCount; }
  int64_t bound(size_t i) const { return m_bounds[i]; }
  uint64_t count(size_t i) const;
  uint64_t total() const;
  int64_t sumTicks() const { return m_sum.load(std::memory_order_relaxed); }
  uint64_t late() const { return m_late.load(std::memory_order_relaxed); }
  int64_t limitTicks() const { return m_limit; }
  // The longest step noted in the 10 s before nowNs; 0 when none.
  int64_t RecentMaxTicks(int64_t nowNs) const { return m_recent.Max(nowNs); }

 private:

  const int64_t* m_bounds;
  size_t m_boundCount;
  int64_t m_limit;
  std::array<std::atomic<uint64_t>, kMaxBounds + 1> m_buckets{};  // the last: above every bound
  std::atomic<int64_t> m_sum{0};
  std::atomic<uint64_t> m_late{0};
  RecentMax m_recent;
};

// Counters of one service. The mux thread writes (Add..., Set..., Note...), any thread reads.
class ServiceMetrics {
 public:
  explicit ServiceMetrics(const ServiceInfo& info);
  const ServiceInfo& info() const { return m_info; }

  // Packets of the service sent: its PMT and elementary PIDs (nulls, PAT, SDT, NIT and TDT
  // are the output's).
  void AddPackets(uint64_t count) { Bump(m_packets, count); }
  // The input's bytes read and its packets the demuxer found damaged (a continuity
  // counter that skipped, a cut PES packet), totals of the input reader.
  void SetInput(uint64_t bytes, uint64_t corrupt) {
    m_inputBytes.store(bytes, std::memory_order_relaxed);
    m_inputCorrupt.store(corrupt, std::memory_order_relaxed);
  }
  // A splice request that was refused or failed; any thread.
  void AddFailedSplice() { m_failedSplices.fetch_add(1, std::memory_order_relaxed); }
  // Totals the runner keeps anyway: access units late for want of rate, clock jumps of the input.
  void SetLateFrames(uint64_t total) { m_lateFrames.store(total, std::memory_order_relaxed); }
  void SetClockJumps(uint64_t total) { m_clockJumps.store(total, std::memory_order_relaxed); }
  // The input's state; a change from up to down counts a loss. Times on the system clock
  // (ns since 1970) tell since when.
  void SetInputUp(bool up, int64_t wallNs);
  // An SCTE-35 splice_info_section sent; any thread.
  void AddCue() { m_cues.fetch_add(1, std::memory_order_relaxed); }
  // The steps between two PCRs of the service's PCR_PID and between two copies of its PMT.
  IntervalStats& pcr() { return m_pcr; }
  IntervalStats& pmt() { return m_pmt; }
  const IntervalStats& pcr() const { return m_pcr; }
  const IntervalStats& pmt() const { return m_pmt; }

  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t lateFrames() const { return m_lateFrames.load(std::memory_order_relaxed); }
  uint64_t clockJumps() const { return m_clockJumps.load(std::memory_order_relaxed); }
  uint64_t inputLosses() const { return m_inputLosses.load(std::memory_order_relaxed); }
  bool inputUp() const { return m_inputUp.load(std::memory_order_relaxed); }
  int64_t inputSinceNs() const { return m_inputSinceNs.load(std::memory_order_relaxed); }
  uint64_t cues() const { return m_cues.load(std::memory_order_relaxed); }
  uint64_t inputBytes() const { return m_inputBytes.load(std::memory_order_relaxed); }
  uint64_t inputCorrupt() const { return m_inputCorrupt.load(std::memory_order_relaxed); }
  uint64_t failedSplices() const { return m_failedSplices.load(std::memory_order_relaxed); }
  // Content bit rate over the last second (the sampler's).
  int64_t bitrate() const { return m_bitrate.load(std::memory_order_relaxed); }

 private:
  friend class Registry;
  // One writer: a load and a store, no locked instruction.
  static void Bump(std::atomic<uint64_t>& a, uint64_t n) {
    a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  ServiceInfo m_info;  // the input's URL as ShownURL shows it; changed under the registry's lock
  std::atomic<uint64_t> m_packets{0}, m_lateFrames{0}, m_clockJumps{0}, m_inputLosses{0}, m_cues{0};
  std::atomic<uint64_t> m_inputBytes{0}, m_inputCorrupt{0}, m_failedSplices{0};
  std::atomic<bool> m_inputUp{false};
  std::atomic<int64_t> m_inputSinceNs{0};
  IntervalStats m_pcr, m_pmt;
  std::atomic<int64_t> m_bitrate{0};
  // The sampler's (under the registry's lock): packet counts of the last second.
  static constexpr size_t kSamples = 16;
  std::array<std::pair<int64_t, uint64_t>, kSamples> m_samples{};
  size_t m_sampleCount = 0;
};

// Counters of the whole output; one writer (the mux thread).
class OutputMetrics {
 public:
  OutputMetrics();
  void AddPackets(uint64_t total, uint64_t nulls) {
    Bump(m_packets, total);
    Bump(m_nulls, nulls);
  }
  // Packets of the output's own tables (PAT, SDT, NIT, TDT: by their PIDs).
  void AddTablePackets(Table table, uint64_t count) { Bump(m_tablePackets[static_cast<size_t>(table)], count); }
  // The steps between two copies of the output's own tables (PAT, SDT, NIT, TDT).
  IntervalStats& table(Table t) { return m_tables[static_cast<size_t>(t)]; }
  const IntervalStats& table(Table t) const { return m_tables[static_cast<size_t>(t)]; }
  // Totals of the output's line: datagrams the network stack did not take (a full send
  // queue), writes the pacer released more than a millisecond after their time, times the
  // pacer fell more than a second behind and took up its clock anew.
  void SetDelivery(uint64_t sendErrors, uint64_t lateWrites, uint64_t restarts) {
    m_sendErrors.store(sendErrors, std::memory_order_relaxed);
    m_lateWrites.store(lateWrites, std::memory_order_relaxed);
    m_restarts.store(restarts, std::memory_order_relaxed);
  }
  // A write released lateNs after its time, at nowNs (steady clock).
  void NoteLateWrite(int64_t lateNs, int64_t nowNs) { m_recentLate.Note(lateNs, nowNs); }
  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t nulls() const { return m_nulls.load(std::memory_order_relaxed); }
  uint64_t tablePackets(Table t) const { return m_tablePackets[static_cast<size_t>(t)].load(std::memory_order_relaxed); }
  uint64_t sendErrors() const { return m_sendErrors.load(std::memory_order_relaxed); }
  uint64_t lateWrites() const { return m_lateWrites.load(std::memory_order_relaxed); }
  // The latest write of the last 10 s.
  int64_t recentLateNs(int64_t nowNs) const { return m_recentLate.Max(nowNs); }
  uint64_t restarts() const { return m_restarts.load(std::memory_order_relaxed); }

 private:
  static void Bump(std::atomic<uint64_t>& a, uint64_t n) {
    a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> m_packets{0}, m_nulls{0};
  std::array<std::atomic<uint64_t>, kTableCount> m_tablePackets{};
  std::array<IntervalStats, kTableCount> m_tables;  // [kPMT] unused: a PMT is a service's
  std::atomic<uint64_t> m_sendErrors{0}, m_lateWrites{0}, m_restarts{0};
  RecentMax m_recentLate;
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
  // A service's name, provider or input changed (a reloaded plan); false when unknown.
  bool UpdateService(const ServiceInfo& info);
  // A splice request for the service refused or failed (any thread); unknown ids are ignored.
  void AddFailedSplice(int serviceId);
  OutputMetrics& output() { return m_output; }
  // The run's constant rate in bit/s (0: none), its program's version, a reload of its plan.
  void SetMuxRate(int64_t bitsPerSecond) { m_muxRate.store(bitsPerSecond, std::memory_order_relaxed); }
  void SetVersion(const std::string& version);
  // error: why the plan was refused ("FILE:LINE: key: message"), empty when it was taken.
  void NoteReload(bool ok, int64_t wallNs, const std::string& error = std::string());
  // Reloads so far; WaitReload waits (up to timeout) for the one after `after` and tells
  // whether the plan was taken, with its error when not. False when none came in time.
  uint64_t Reloads() const;
  bool WaitReload(uint64_t after, std::chrono::milliseconds timeout, bool* ok, std::string* error) const;

  // Prometheus text exposition (version 0.0.4) of every series; the recent maxima as of
  // nowNs on the steady clock (now when left out), with the process's own series.
  std::string Prometheus() const;
  std::string Prometheus(int64_t nowNs, bool process) const;
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
  std::atomic<int64_t> m_muxRate{0};
  std::string m_version;  // under m_mutex
  uint64_t m_reloads[2] = {0, 0};  // failed, succeeded; under m_mutex
  bool m_lastReloadOk = false;
  int64_t m_lastReloadNs = 0;
  std::string m_lastReloadError;
  mutable std::condition_variable m_reloaded;
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
