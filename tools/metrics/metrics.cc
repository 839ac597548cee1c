#include "metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int64_t kSampleNs = 100000000;  // the sampler's period
constexpr int64_t kWindowNs = 1000000000;  // the bit rate's window

// Text from the input (a service name may be in any character set) as valid UTF-8: bytes
// that are not replaced by U+FFFD, as the JSON writer does.
std::string ValidUTF8(const std::string& text) {
  const nlohmann::json quoted = text;
  return nlohmann::json::parse(quoted.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)).get<std::string>();
}

// A label value: UTF-8, with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : ValidUTF8(text)) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / static_cast<double>(kPCRHz); }

const char* const kTableNames[kTableCount] = {"pat", "pmt", "sdt", "nit", "tdt"};

// Histogram bounds in 27 MHz ticks. PCRs: around the 40 ms a receiver allows. Tables:
// around each table's limit (0.5 s PAT and PMT, 2 s SDT, 10 s NIT, 30 s TDT).
constexpr int64_t kMs = kPCRHz / 1000;
constexpr int64_t kPCRBounds[] = {10 * kMs, 20 * kMs, 30 * kMs, 35 * kMs, 40 * kMs, 50 * kMs, 100 * kMs, 500 * kMs};
constexpr int64_t kTableBounds[] = {100 * kMs,   250 * kMs,    400 * kMs,    500 * kMs,   1000 * kMs, 2000 * kMs,
                                    5000 * kMs,  10000 * kMs,  25000 * kMs,  30000 * kMs, 60000 * kMs};
static_assert(sizeof kTableBounds / sizeof kTableBounds[0] <= IntervalStats::kMaxBounds, "too many bounds");
static_assert(sizeof kPCRBounds / sizeof kPCRBounds[0] <= IntervalStats::kMaxBounds, "too many bounds");

// One metric family: its HELP and TYPE lines, then a sample per service.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    m_name = name;
    m_text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.15g", value);
    m_text += m_name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
  }
  void Sample(const std::string& labels, uint64_t value) {
    m_text += m_name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
  }
  std::string& text() { return m_text; }

 private:
  std::string m_name;
  std::string m_text;
};

std::string ServiceLabel(const ServiceMetrics& s) { return "service=\"" + std::to_string(s.info().serviceId) + "\""; }

std::string Joined(const std::string& a, const std::string& b) { return a.empty() ? b : b.empty() ? a : a + "," + b; }

// A histogram's _bucket, _sum and _count samples (the family is named before).
void HistogramSamples(Exposition& e, const std::string& name, const std::string& labels, const IntervalStats& stats) {
  std::string& text = e.text();
  char number[32];
  for (size_t i = 0; i < stats.bounds(); ++i) {
    std::snprintf(number, sizeof number, "%.15g", Seconds(stats.bound(i)));
    text += name + "_bucket{" + Joined(labels, std::string("le=\"") + number + "\"") + "} " +
            std::to_string(stats.count(i)) + "\n";
  }
  const uint64_t total = stats.total();
  const std::string braces = labels.empty() ? "" : "{" + labels + "}";
  text += name + "_bucket{" + Joined(labels, "le=\"+Inf\"") + "} " + std::to_string(total) + "\n";
  std::snprintf(number, sizeof number, "%.15g", Seconds(stats.sumTicks()));
  text += name + "_sum" + braces + " " + number + "\n";
  text += name + "_count" + braces + " " + std::to_string(total) + "\n";
}

// The process's own series, from /proc/self: CPU time, resident memory, open descriptors,
// start time (Unix seconds).
void ProcessSamples(Exposition& e) {
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // The fields after the command (which may hold spaces and parentheses): state is field 3.
  const size_t close = stat.rfind(')');
  std::vector<std::string> fields;
  if (close != std::string::npos) {
    std::istringstream rest(stat.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
  }
  // fields[0] is field 3 (state): utime 14, stime 15, starttime 22, vsize 23, rss 24.
  const auto field = [&](size_t n) { return n - 3 < fields.size() ? std::strtod(fields[n - 3].c_str(), nullptr) : -1.0; };
  if (fields.size() >= 22 && tick > 0) {
    e.Family("process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds.");
    e.Sample("", (field(14) + field(15)) / tick);
    e.Family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    e.Sample("", field(23));
    e.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    e.Sample("", field(24) * page);
    // Boot time from /proc/stat (btime), plus the start in clock ticks after boot.
    std::ifstream procStat("/proc/stat");
    for (std::string line; std::getline(procStat, line);)
      if (line.rfind("btime ", 0) == 0) {
        e.Family("process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch, in seconds.");
        e.Sample("", std::strtod(line.c_str() + 6, nullptr) + field(22) / tick);
        break;
      }
  }
  if (DIR* dir = opendir("/proc/self/fd")) {
    uint64_t fds = 0;
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++fds;
    closedir(dir);
    e.Family("process_open_fds", "gauge", "Number of open file descriptors.");
    e.Sample("", fds - 1);  // less the one reading the folder
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    e.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    e.Sample("", static_cast<double>(limit.rlim_cur));
  }
}

}  // namespace

int64_t WallNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ISOTime(int64_t wallNs, bool milliseconds) {
  const std::time_t seconds = static_cast<std::time_t>(wallNs / 1000000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  if (milliseconds)
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(wallNs / 1000000 % 1000));
  else
    std::snprintf(text + n, sizeof text - n, "Z");
  return text;
}

std::string ShownURL(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  std::string shown = url.substr(0, url.find('?'));
  const size_t hostEnd = shown.find('/', scheme + 3);
  const size_t at = shown.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
  // "udp://@:5000" (listen on every address) has no credentials before its "@": kept as written.
  if (at != std::string::npos && at > scheme + 3) shown.erase(scheme + 3, at + 1 - (scheme + 3));
  return shown;
}

ServiceMetrics::ServiceMetrics(const ServiceInfo& info)
    : m_info(info),
      m_pcr(IntervalStats::Kind::kPCR, kPCRRepeatTicks),
      m_pmt(IntervalStats::Kind::kTable, TableLimitTicks(Table::kPMT)) {
  m_info.inputUrl = ShownURL(info.inputUrl);
}

void ServiceMetrics::SetInputUp(bool up, int64_t wallNs) {
  const bool was = m_inputUp.load(std::memory_order_relaxed);
  if (was == up && m_inputSinceNs.load(std::memory_order_relaxed) != 0) return;
  if (was && !up) Bump(m_inputLosses, 1);
  m_inputSinceNs.store(wallNs, std::memory_order_relaxed);
  m_inputUp.store(up, std::memory_order_relaxed);
}

const char* TableName(Table table) { return kTableNames[static_cast<size_t>(table)]; }

int64_t TableLimitTicks(Table table) {
  switch (table) {
    case Table::kSDT: return kPCRHz * 2;
    case Table::kNIT: return kPCRHz * 10;
    case Table::kTDT: return kPCRHz * 30;
    default: return kPCRHz / 2;
  }
}

int64_t SteadyClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

IntervalStats::IntervalStats(Kind kind, int64_t limitTicks)
    : m_bounds(kind == Kind::kPCR ? kPCRBounds : kTableBounds),
      m_boundCount(kind == Kind::kPCR ? sizeof kPCRBounds / sizeof kPCRBounds[0]
                                      : sizeof kTableBounds / sizeof kTableBounds[0]),
      m_limit(limitTicks) {}

void IntervalStats::Note(int64_t ticks, int64_t nowNs) {
  if (ticks < 0) return;
  const auto bump = [](std::atomic<uint64_t>& a) { a.store(a.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); };
  size_t b = 0;
  while (b < m_boundCount && ticks > m_bounds[b]) ++b;
  bump(m_buckets[b]);
  m_sum.store(m_sum.load(std::memory_order_relaxed) + ticks, std::memory_order_relaxed);
  if (ticks > m_limit) bump(m_late);
  m_recent.Note(ticks, nowNs);
}

void RecentMax::Note(int64_t value, int64_t nowNs) {
  if (value <= 0) return;
  const uint64_t second = static_cast<uint64_t>(nowNs / 1000000000) & ((uint64_t{1} << kSecondBits) - 1);
  const uint64_t v = std::min<uint64_t>(static_cast<uint64_t>(value), (uint64_t{1} << kValueBits) - 1);
  std::atomic<uint64_t>& slot = m_slots[static_cast<size_t>(static_cast<uint64_t>(nowNs / 1000000000) % kSlots)];
  const uint64_t was = slot.load(std::memory_order_relaxed);
  if (was >> kValueBits != second || (was & ((uint64_t{1} << kValueBits) - 1)) < v)
    slot.store(second << kValueBits | v, std::memory_order_relaxed);
}

int64_t RecentMax::Max(int64_t nowNs) const {
  const uint64_t mask = (uint64_t{1} << kSecondBits) - 1;
  const uint64_t now = static_cast<uint64_t>(nowNs / 1000000000) & mask;
  uint64_t best = 0;
  for (const std::atomic<uint64_t>& slot : m_slots) {
    const uint64_t v = slot.load(std::memory_order_relaxed);
    if (v == 0 || ((now - (v >> kValueBits)) & mask) >= kSlots) continue;  // empty, or more than 10 s old
    best = std::max(best, v & ((uint64_t{1} << kValueBits) - 1));
  }
  return static_cast<int64_t>(best);
}

uint64_t IntervalStats::count(size_t i) const {
  uint64_t n = 0;
  for (size_t k = 0; k <= i && k < m_boundCount; ++k) n += m_buckets[k].load(std::memory_order_relaxed);
  return n;
}

uint64_t IntervalStats::total() const {
  uint64_t n = 0;
  for (size_t k = 0; k <= m_boundCount; ++k) n += m_buckets[k].load(std::memory_order_relaxed);
  return n;
}

OutputMetrics::OutputMetrics()
    : m_tables{{IntervalStats(IntervalStats::Kind::kTable, TableLimitTicks(Table::kPAT)),
                IntervalStats(IntervalStats::Kind::kTable, TableLimitTicks(Table::kPMT)),
                IntervalStats(IntervalStats::Kind::kTable, TableLimitTicks(Table::kSDT)),
                IntervalStats(IntervalStats::Kind::kTable, TableLimitTicks(Table::kNIT)),
                IntervalStats(IntervalStats::Kind::kTable, TableLimitTicks(Table::kTDT))}} {}

Registry::Registry(Scope scope) : m_scope(scope) {}

Registry::~Registry() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
  }
  m_wake.notify_all();
  if (m_sampler.joinable()) m_sampler.join();
}

ServiceMetrics* Registry::AddService(const ServiceInfo& info) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& s : m_services)
    if (s->info().serviceId == info.serviceId) return nullptr;
  m_services.push_back(std::make_unique<ServiceMetrics>(info));
  return m_services.back().get();
}

bool Registry::RemoveService(int serviceId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = std::find_if(m_services.begin(), m_services.end(),
                               [&](const auto& s) { return s->info().serviceId == serviceId; });
  if (it == m_services.end()) return false;
  m_services.erase(it);
  return true;
}

bool Registry::HasService(int serviceId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::any_of(m_services.begin(), m_services.end(),
                     [&](const auto& s) { return s->info().serviceId == serviceId; });
}

bool Registry::UpdateService(const ServiceInfo& info) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& s : m_services)
    if (s->info().serviceId == info.serviceId) {
      s->m_info = info;
      s->m_info.inputUrl = ShownURL(info.inputUrl);
      return true;
    }
  return false;
}

void Registry::AddFailedSplice(int serviceId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& s : m_services)
    if (s->info().serviceId == serviceId) s->AddFailedSplice();
}

void Registry::SetVersion(const std::string& version) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_version = version;
}

void Registry::NoteReload(bool ok, int64_t wallNs, const std::string& error) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_reloads[ok ? 1 : 0];
    m_lastReloadOk = ok;
    m_lastReloadNs = wallNs;
    m_lastReloadError = error;
  }
  m_reloaded.notify_all();
}

uint64_t Registry::Reloads() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_reloads[0] + m_reloads[1];
}

bool Registry::WaitReload(uint64_t after, std::chrono::milliseconds timeout, bool* ok, std::string* error) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_reloaded.wait_for(lock, timeout, [&] { return m_reloads[0] + m_reloads[1] > after; })) return false;
  *ok = m_lastReloadOk;
  *error = m_lastReloadError;
  return true;
}

void Registry::Sample(int64_t nowNs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& s : m_services) {
    const uint64_t packets = s->packets();
    // Against the newest sample at least a second old; while there is none, the oldest.
    std::pair<int64_t, uint64_t> from{nowNs, packets};
    bool fromOld = false;
    for (size_t k = 0; k < s->m_sampleCount; ++k) {
      const auto& old = s->m_samples[k];
      const bool isOld = nowNs - old.first >= kWindowNs;
      if (isOld ? !fromOld || old.first > from.first : !fromOld && old.first < from.first) from = old;
      fromOld = fromOld || isOld;
    }
    const int64_t span = nowNs - from.first;
    if (span > 0)
      s->m_bitrate.store(static_cast<int64_t>(static_cast<double>(packets - from.second) * kTSPacketSize * 8 * 1e9 /
                                              static_cast<double>(span)),
                         std::memory_order_relaxed);
    // Keep the samples of the last second and a little: the slot of the oldest goes.
    size_t slot = s->m_sampleCount;
    if (slot == ServiceMetrics::kSamples) {
      slot = 0;
      for (size_t k = 1; k < ServiceMetrics::kSamples; ++k)
        if (s->m_samples[k].first < s->m_samples[slot].first) slot = k;
    } else {
      ++s->m_sampleCount;
    }
    s->m_samples[slot] = {nowNs, packets};
  }
}

void Registry::StartSampler() {
  if (m_sampler.joinable()) return;
  m_sampler = std::thread([this] { SamplerLoop(); });
}

void Registry::SamplerLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_wake.wait_for(lock, std::chrono::nanoseconds(kSampleNs), [this] { return m_quit; })) return;
    }
    Sample(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count());
  }
}

std::string Registry::Prometheus() const { return Prometheus(SteadyClockNs(), true); }

std::string Registry::Prometheus(int64_t nowNs, bool process) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  Exposition e;
  e.Family("palvex_build_info", "gauge", "1, with the version of palvex-mux.");
  e.Sample("version=\"" + LabelValue(m_version) + "\"", uint64_t{1});
  if (process) ProcessSamples(e);
  e.Family("palvex_muxrate_bytes_per_second", "gauge",
           "The output's constant rate (the muxrate in bit/s over 8); 0 for an output without one.");
  e.Sample("", static_cast<double>(m_muxRate.load(std::memory_order_relaxed)) / 8);
  e.Family("palvex_service_info", "gauge", "The service's name and provider as the SDT gives them, and its input.");
  for (const auto& s : m_services)
    e.Sample(ServiceLabel(*s) + ",name=\"" + LabelValue(s->info().name) + "\",provider=\"" +
                 LabelValue(s->info().provider) + "\",input=\"" + LabelValue(s->info().inputUrl) + "\"",
             uint64_t{1});
  e.Family("palvex_output_packets_total", "counter", "Packets of the output, null packets included.");
  e.Sample("", m_output.packets());
  e.Family("palvex_output_bytes_total", "counter", "Bytes of the output (188 per packet), null packets included.");
  e.Sample("", m_output.packets() * kTSPacketSize);
  e.Family("palvex_null_packets_total", "counter", "Null packets of the output (PID 0x1FFF).");
  e.Sample("", m_output.nulls());
  e.Family("palvex_output_send_errors_total", "counter",
           "Datagrams the network stack did not take (a full send queue): lost.");
  e.Sample("", m_output.sendErrors());
  e.Family("palvex_output_late_writes_total", "counter",
           "Writes of the output released more than 1 ms after their time on the output's clock.");
  e.Sample("", m_output.lateWrites());
  e.Family("palvex_output_late_max_seconds", "gauge", "The latest any write of the output was released in the last 10 s.");
  e.Sample("", static_cast<double>(m_output.recentLateNs(nowNs)) / 1e9);
  e.Family("palvex_output_clock_restarts_total", "counter",
           "Times the output fell more than a second behind its clock and took it up anew.");
  e.Sample("", m_output.restarts());
  const auto each = [&](const char* name, const char* type, const char* help, auto value) {
    e.Family(name, type, help);
    for (const auto& s : m_services) e.Sample(ServiceLabel(*s), value(*s));
  };
  each("palvex_packets_total", "counter", "Packets of the service sent: its PMT and elementary PIDs.",
       [](const ServiceMetrics& s) { return s.packets(); });
  each("palvex_bytes_total", "counter", "Bytes of the service sent (188 per packet): rate() gives its rate.",
       [](const ServiceMetrics& s) { return s.packets() * kTSPacketSize; });
  each("palvex_late_frames_total", "counter", "Access units whose last packet left after their decode time.",
       [](const ServiceMetrics& s) { return s.lateFrames(); });
  each("palvex_input_up", "gauge", "1 while the input delivers frames, 0 while it is lost or not yet open.",
       [](const ServiceMetrics& s) { return s.inputUp() ? uint64_t{1} : uint64_t{0}; });
  each("palvex_input_since_timestamp_seconds", "gauge", "Time (Unix seconds) the input's state last changed.",
       [](const ServiceMetrics& s) { return static_cast<double>(s.inputSinceNs() / 1000000) / 1e3; });
  each("palvex_input_losses_total", "counter", "Times the input fell silent for a second or more.",
       [](const ServiceMetrics& s) { return s.inputLosses(); });
  each("palvex_input_bytes_total", "counter", "Bytes read from the input.",
       [](const ServiceMetrics& s) { return s.inputBytes(); });
  each("palvex_input_corrupt_packets_total", "counter",
       "Packets of the input the demuxer marked damaged (a skipped continuity counter, a cut PES packet).",
       [](const ServiceMetrics& s) { return s.inputCorrupt(); });
  each("palvex_clock_jumps_total", "counter", "Times the input's clock stepped back or jumped (the output's goes on).",
       [](const ServiceMetrics& s) { return s.clockJumps(); });
  e.Family("palvex_pcr_interval_seconds", "histogram", "Steps between two PCRs of the service's PCR_PID, as sent.");
  for (const auto& s : m_services) HistogramSamples(e, "palvex_pcr_interval_seconds", ServiceLabel(*s), s->pcr());
  each("palvex_pcr_interval_max_seconds", "gauge", "Longest step between two PCRs of the PCR_PID in the last 10 s.",
       [nowNs](const ServiceMetrics& s) { return Seconds(s.pcr().RecentMaxTicks(nowNs)); });
  each("palvex_pcr_late_total", "counter", "Steps between two PCRs longer than 40 ms.",
       [](const ServiceMetrics& s) { return s.pcr().late(); });
  // The tables: each service's PMT, and the output's PAT, SDT, NIT and TDT.
  const Table outputTables[] = {Table::kPAT, Table::kSDT, Table::kNIT, Table::kTDT};
  const auto tableLabel = [](Table t) { return std::string("table=\"") + TableName(t) + "\""; };
  const auto pmtLabel = [&](const ServiceMetrics& s) { return ServiceLabel(s) + "," + tableLabel(Table::kPMT); };
  e.Family("palvex_table_interval_seconds", "histogram",
           "Steps between two copies of a table as sent: a service's PMT, the output's PAT, SDT, NIT and TDT.");
  for (Table t : outputTables) HistogramSamples(e, "palvex_table_interval_seconds", tableLabel(t), m_output.table(t));
  for (const auto& s : m_services) HistogramSamples(e, "palvex_table_interval_seconds", pmtLabel(*s), s->pmt());
  e.Family("palvex_table_interval_max_seconds", "gauge", "Longest step between two copies of a table in the last 10 s.");
  for (Table t : outputTables) e.Sample(tableLabel(t), Seconds(m_output.table(t).RecentMaxTicks(nowNs)));
  for (const auto& s : m_services) e.Sample(pmtLabel(*s), Seconds(s->pmt().RecentMaxTicks(nowNs)));
  e.Family("palvex_table_late_total", "counter",
           "Steps between two copies of a table longer than its limit (PAT, PMT 0.5 s; SDT 2 s; NIT 10 s; TDT 30 s).");
  for (Table t : outputTables) e.Sample(tableLabel(t), m_output.table(t).late());
  for (const auto& s : m_services) e.Sample(pmtLabel(*s), s->pmt().late());
  e.Family("palvex_table_packets_total", "counter", "Packets of the output's own tables, by PID (TDT: also the TOT).");
  for (Table t : outputTables) e.Sample(tableLabel(t), m_output.tablePackets(t));
  each("palvex_cues_sent_total", "counter", "SCTE-35 splice_info_sections sent.",
       [](const ServiceMetrics& s) { return s.cues(); });
  each("palvex_splices_failed_total", "counter", "Splice requests refused or failed.",
       [](const ServiceMetrics& s) { return s.failedSplices(); });
  if (m_scope == Scope::kMultiplex) {
    e.Family("palvex_reloads_total", "counter", "Reloads of the plan, by result.");
    e.Sample("result=\"failed\"", m_reloads[0]);
    e.Sample("result=\"ok\"", m_reloads[1]);
    e.Family("palvex_reload_success", "gauge", "1 when the last reload of the plan succeeded (and before any), else 0.");
    e.Sample("", uint64_t{m_reloads[0] + m_reloads[1] == 0 || m_lastReloadOk ? 1u : 0u});
    e.Family("palvex_reload_timestamp_seconds", "gauge", "Time (Unix seconds) of the last reload of the plan; 0 before any.");
    e.Sample("", static_cast<double>(m_lastReloadNs / 1000000) / 1e3);
  }
  return std::move(e.text());
}

std::string Registry::StatusJSON(int64_t muxRateBps) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  nlohmann::json status;
  status["muxrate_bps"] = muxRateBps > 0 ? nlohmann::json(muxRateBps) : nlohmann::json(nullptr);
  status["output"] = {{"packets", m_output.packets()}, {"null_packets", m_output.nulls()}};
  nlohmann::json services = nlohmann::json::array();
  for (const auto& s : m_services) {
    const ServiceInfo& info = s->info();
    nlohmann::json input = {{"url", info.inputUrl}, {"up", s->inputUp()}};
    input["since"] = s->inputSinceNs() != 0 ? nlohmann::json(ISOTime(s->inputSinceNs())) : nlohmann::json(nullptr);
    input["losses"] = s->inputLosses();
    services.push_back({{"service_id", info.serviceId},
                        {"name", info.name},
                        {"provider", info.provider},
                        {"input", input},
                        {"bitrate_bps", s->bitrate()},
                        {"packets", s->packets()},
                        {"late_frames", s->lateFrames()},
                        {"clock_jumps", s->clockJumps()},
                        {"pcr_interval_max_ms", Seconds(s->pcr().RecentMaxTicks(SteadyClockNs())) * 1e3},
                        {"pcr_late", s->pcr().late()},
                        {"cues_sent", s->cues()}});
  }
  status["services"] = services;
  // Names come from the input's metadata: bytes that are not UTF-8 are replaced, not thrown on.
  return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace palvex_host
