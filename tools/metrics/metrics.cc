#include "metrics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

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

const char* const kTableNames[kTableCount] = {"pat", "pmt", "sdt"};

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

ServiceMetrics::ServiceMetrics(const ServiceInfo& info) : m_info(info) { m_info.inputUrl = ShownURL(info.inputUrl); }

void ServiceMetrics::SetInputUp(bool up, int64_t wallNs) {
  const bool was = m_inputUp.load(std::memory_order_relaxed);
  if (was == up && m_inputSinceNs.load(std::memory_order_relaxed) != 0) return;
  if (was && !up) Bump(m_inputLosses, 1);
  m_inputSinceNs.store(wallNs, std::memory_order_relaxed);
  m_inputUp.store(up, std::memory_order_relaxed);
}

void ServiceMetrics::NotePCRInterval(int64_t ticks) {
  if (ticks < 0) return;  // a step back: a discontinuity, not a spacing
  Raise(m_pcrMax, ticks);
  if (ticks > kPCRRepeatTicks) Bump(m_pcrLate, 1);
}

int64_t ServiceMetrics::TableLimitTicks(Table table) { return table == Table::kSDT ? kPCRHz * 2 : kPCRHz / 2; }

void ServiceMetrics::NoteTableInterval(Table table, int64_t ticks) {
  if (ticks < 0) return;
  Raise(m_tableMax[Index(table)], ticks);
  if (ticks > TableLimitTicks(table)) Bump(m_tableLate[Index(table)], 1);
}

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

std::string Registry::Prometheus() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  Exposition e;
  e.Family("palvex_service_info", "gauge", "The service's name and provider as the SDT gives them, and its input.");
  for (const auto& s : m_services)
    e.Sample(ServiceLabel(*s) + ",name=\"" + LabelValue(s->info().name) + "\",provider=\"" +
                 LabelValue(s->info().provider) + "\",input=\"" + LabelValue(s->info().inputUrl) + "\"",
             uint64_t{1});
  e.Family("palvex_output_packets_total", "counter", "Packets of the output, null packets included.");
  e.Sample("", m_output.packets());
  e.Family("palvex_null_packets_total", "counter",
           "Null packets of the output (PID 0x1FFF): a single channel's carry its service's label, a multiplex's none.");
  if (m_scope == Scope::kChannel && m_services.size() == 1) e.Sample(ServiceLabel(*m_services.front()), m_output.nulls());
  else e.Sample("", m_output.nulls());
  const auto each = [&](const char* name, const char* type, const char* help, auto value) {
    e.Family(name, type, help);
    for (const auto& s : m_services) e.Sample(ServiceLabel(*s), value(*s));
  };
  each("palvex_packets_total", "counter", "Packets of the service sent: its PIDs and its tables.",
       [](const ServiceMetrics& s) { return s.packets(); });
  each("palvex_bitrate_bps", "gauge", "Bit rate of the service's packets over the last second.",
       [](const ServiceMetrics& s) { return static_cast<double>(s.bitrate()); });
  each("palvex_late_frames_total", "counter", "Access units whose last packet left after their decode time.",
       [](const ServiceMetrics& s) { return s.lateFrames(); });
  each("palvex_input_up", "gauge", "1 while the input delivers frames, 0 while it is lost or not yet open.",
       [](const ServiceMetrics& s) { return s.inputUp() ? uint64_t{1} : uint64_t{0}; });
  each("palvex_input_since_seconds", "gauge", "Time (Unix seconds) the input's state last changed.",
       [](const ServiceMetrics& s) { return static_cast<double>(s.inputSinceNs() / 1000000) / 1e3; });
  each("palvex_input_losses_total", "counter", "Times the input fell silent for a second or more.",
       [](const ServiceMetrics& s) { return s.inputLosses(); });
  each("palvex_clock_jumps_total", "counter", "Times the input's clock stepped back or jumped (the output's goes on).",
       [](const ServiceMetrics& s) { return s.clockJumps(); });
  each("palvex_pcr_interval_max_seconds", "gauge", "Largest step between two PCRs of the PCR_PID so far.",
       [](const ServiceMetrics& s) { return Seconds(s.pcrIntervalMaxTicks()); });
  each("palvex_pcr_late_total", "counter", "Steps between two PCRs longer than 40 ms.",
       [](const ServiceMetrics& s) { return s.pcrLate(); });
  e.Family("palvex_table_interval_max_seconds", "gauge", "Largest step between two copies of a table so far.");
  for (const auto& s : m_services)
    for (size_t t = 0; t < kTableCount; ++t)
      e.Sample(ServiceLabel(*s) + ",table=\"" + kTableNames[t] + "\"",
               Seconds(s->tableIntervalMaxTicks(static_cast<Table>(t))));
  e.Family("palvex_table_late_total", "counter",
           "Steps between two copies of a table longer than its limit (PAT, PMT 0.5 s; SDT 2 s).");
  for (const auto& s : m_services)
    for (size_t t = 0; t < kTableCount; ++t)
      e.Sample(ServiceLabel(*s) + ",table=\"" + kTableNames[t] + "\"", s->tableLate(static_cast<Table>(t)));
  each("palvex_cues_sent_total", "counter", "SCTE-35 splice_info_sections sent.",
       [](const ServiceMetrics& s) { return s.cues(); });
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
                        {"pcr_interval_max_ms", Seconds(s->pcrIntervalMaxTicks()) * 1e3},
                        {"cues_sent", s->cues()}});
  }
  status["services"] = services;
  // Names come from the input's metadata: bytes that are not UTF-8 are replaced, not thrown on.
  return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace palvex_host
