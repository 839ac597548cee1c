#include "plan.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <toml++/toml.h>

namespace palvex_host {

bool ParseRate(const std::string& text, int64_t* bitsPerSecond) {
  if (text.find('\0') != std::string::npos) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  double scale = 1;
  if (end != nullptr && (*end == 'k' || *end == 'K')) scale = 1e3, ++end;
  else if (end != nullptr && (*end == 'M' || *end == 'm')) scale = 1e6, ++end;
  if (end == text.c_str() || *end != '\0' || !(value > 0) || value * scale > 1e10) return false;
  *bitsPerSecond = static_cast<int64_t>(value * scale);
  return *bitsPerSecond >= 10000;
}

bool ParseLead(const std::string& text, int64_t* ticks) {
  if (text.find('\0') != std::string::npos) return false;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (end != nullptr && std::string(end) == "ms") seconds /= 1000, end += 2;
  else if (end != nullptr && *end == 's') ++end;
  if (end == text.c_str() || *end != '\0' || !(seconds >= 0.01 && seconds <= 10)) return false;
  *ticks = static_cast<int64_t>(seconds * static_cast<double>(kPCRHz) + 0.5);
  return true;
}

bool ParsePacingWindow(const std::string& text, int64_t* ns) {
  if (text.find('\0') != std::string::npos) return false;
  char* end = nullptr;
  const double ms = std::strtod(text.c_str(), &end);
  if (end != nullptr && std::string(end) == "ms") end += 2;
  if (end == text.c_str() || *end != '\0' || !(ms >= 0 && ms <= 20)) return false;
  *ns = static_cast<int64_t>(ms * 1e6 + 0.5);
  return true;
}

namespace {

// A duration given as a number or as text ("700ms"), read by parse.
bool Duration(const toml::node& node, bool (*parse)(const std::string&, int64_t*), int64_t* out) {
  if (node.is_string()) return parse(node.as_string()->get(), out);
  if (!node.is_number()) return false;
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", node.is_integer() ? static_cast<double>(node.as_integer()->get())
                                                              : node.as_floating_point()->get());
  return parse(text, out);
}

constexpr size_t kMaxPlanSize = 1 << 20;  // a plan of hundreds of services is a few tens of kB
constexpr int kLastPid = kNullPid - 1;
constexpr int kPidBlocks = (kLastPid + 1 - kFirstServicePidBlock) / kServicePidBlock;
constexpr int kLongestStreams = kServicePidBlock - 1;  // elementary PIDs of a fixed first_pid

// "-" as palvex-mux's INPUT, or libavformat's own name for file descriptor 0.
bool ReadsStandardInput(const std::string& input) { return input == "-" || input == "pipe:" || input == "pipe:0"; }

std::string Hex(int64_t value) {
  if (value < 0) return std::to_string(value);
  char text[24];
  std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(value));
  return text;
}

// Control characters (from a quoted key, or the character toml++ names in its message) as
// escapes: the error stays one line.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (uint8_t(c) >= 0x20 && c != 0x7F) {
      out.push_back(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, c == '\n' ? "\\n" : "\\x%02X", unsigned(uint8_t(c)));
      out += escape;
    }
  }
  return out;
}

// The reader of one plan: its first fault, as the line the user sees.
class Reader {
 public:
  Reader(const std::string& name, const PlanChecks& checks) : m_name(name), m_checks(checks) {}

  bool Read(const std::string& text, Plan* plan);
  const std::string& error() const { return m_error; }

 private:
  using Region = toml::source_region;

  bool Fail(const Region& where, const std::string& key, const std::string& message) {
    if (m_error.empty())
      m_error = OneLine(m_name + ":" + std::to_string(where.begin.line > 0 ? where.begin.line : 1) + ": " + key +
                        ": " + message);
    return false;
  }
  bool String(const toml::node& node, const std::string& key, std::string* out) {
    if (!node.is_string()) return Fail(node.source(), key, "must be a string");
    *out = node.as_string()->get();
    // A file name or URL would end at a NUL, and so would a name on the way to a receiver.
    return out->find('\0') == std::string::npos || Fail(node.source(), key, "must not hold a NUL character");
  }
  bool Integer(const toml::node& node, const std::string& key, int64_t low, int64_t high, bool hex, int* out) {
    if (!node.is_integer()) return Fail(node.source(), key, "must be an integer");
    const int64_t value = node.as_integer()->get();
    if (value < low || value > high)
      return Fail(node.source(), key,
                  (hex ? Hex(value) : std::to_string(value)) + " is out of range (" +
                      (hex ? Hex(low) + "-" + Hex(high) : std::to_string(low) + "-" + std::to_string(high)) + ")");
    *out = static_cast<int>(value);
    return true;
  }
  bool Top(const std::string& key, const toml::node& node, Plan* plan);
  bool Service(const toml::table& table, Plan* plan);
  bool ServiceKey(const std::string& key, const toml::node& node, ServicePlan* service);
  bool Across(const Plan& plan, std::vector<ServicePids>* pids);
  bool Rate(const Plan& plan, const std::vector<ServicePids>& pids);

  std::string m_name;
  const PlanChecks& m_checks;
  std::string m_error;
  Region m_muxRateAt{};
  bool m_muxRateGiven = false;
  std::vector<Region> m_serviceAt;
  std::vector<std::array<Region, 5>> m_keyAt;  // per service: service_id, lcn, pmt_pid, first_pid, input
};

enum KeyAt { kAtServiceId, kAtLcn, kAtPmtPid, kAtFirstPid, kAtInput };

bool Reader::Top(const std::string& key, const toml::node& node, Plan* plan) {
  if (key == "muxrate") {
    m_muxRateAt = node.source();
    m_muxRateGiven = true;
    const bool ok = node.is_string() ? ParseRate(node.as_string()->get(), &plan->muxRate)
                    : node.is_integer() ? ParseRate(std::to_string(node.as_integer()->get()), &plan->muxRate)
                                        : false;
    return ok || Fail(node.source(), key, "must be a rate in bit/s of at least 10k, such as \"15M\" or \"5000k\"");
  }
  if (key == "lead")
    return Duration(node, ParseLead, &plan->leadTicks) ||
           Fail(node.source(), key, "must be seconds from 0.01 to 10, such as 0.8 or \"700ms\"");
  if (key == "pacing_window")
    return Duration(node, ParsePacingWindow, &plan->pacingWindowNs) ||
           Fail(node.source(), key, "must be milliseconds from 0 to 20, such as 1 or \"0.5ms\"");
  if (key == "output") {
    if (!String(node, key, &plan->output)) return false;
    std::string message;
    if (m_checks.output && !m_checks.output(plan->output, &message)) return Fail(node.source(), key, message);
    return true;
  }
  if (key == "transport_stream_id") return Integer(node, key, 0, 0xFFFF, true, &plan->transportStreamId);
  if (key == "original_network_id") return Integer(node, key, 0, 0xFFFF, true, &plan->originalNetworkId);
  if (key == "network_id") return Integer(node, key, 0, 0xFFFF, true, &plan->networkId);
  if (key == "network_name") return String(node, key, &plan->networkName);
  if (key == "provider") return String(node, key, &plan->provider);
  if (key == "http") {
    if (!String(node, key, &plan->http)) return false;
    const size_t colon = plan->http.rfind(':');
    char* end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(plan->http.c_str() + colon + 1, &end, 10);
    if (colon == 0 || colon == std::string::npos || colon + 1 == plan->http.size() || *end != '\0' || port < 1 ||
        port > 65535)
      return Fail(node.source(), key, "must be \"ADDRESS:PORT\", such as \"127.0.0.1:8080\"");
    return true;
  }
  if (key == "service") {
    const toml::array* services = node.as_array();
    if (services == nullptr || !services->is_array_of_tables())
      return Fail(node.source(), key, "must be [[service]] tables");
    for (const toml::node& service : *services)
      if (!Service(*service.as_table(), plan)) return false;
    return true;
  }
  return Fail(node.source(), key, "unknown key");
}

bool Reader::Service(const toml::table& table, Plan* plan) {
  ServicePlan service;
  service.line = static_cast<int>(table.source().begin.line);
  m_serviceAt.push_back(table.source());
  m_keyAt.emplace_back();
  bool hasInput = false, hasId = false;
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    if (!ServiceKey(name, node, &service)) return false;
    hasInput = hasInput || name == "input";
    hasId = hasId || name == "service_id";
  }
  if (!hasInput) return Fail(table.source(), "input", "missing in [[service]] (a file or URL, as palvex-mux's INPUT)");
  if (!hasId) return Fail(table.source(), "service_id", "missing in [[service]] (its program_number, 1-65535)");
  if (service.provider.empty()) service.provider = plan->provider;  // resolved once the top level is read
  plan->services.push_back(std::move(service));
  return true;
}

bool Reader::ServiceKey(const std::string& key, const toml::node& node, ServicePlan* service) {
  std::array<Region, 5>& at = m_keyAt.back();
  int value = 0;
  if (key == "input") {
    at[kAtInput] = node.source();
    if (!String(node, key, &service->input)) return false;
    return !service->input.empty() || Fail(node.source(), key, "must not be empty");
  }
  if (key == "service_id") {
    at[kAtServiceId] = node.source();
    return Integer(node, key, 1, 0xFFFF, false, &service->serviceId);
  }
  if (key == "name") return String(node, key, &service->name);
  if (key == "provider") {
    if (!String(node, key, &service->provider)) return false;
    return !service->provider.empty() || Fail(node.source(), key, "must not be empty");
  }
  if (key == "lcn") {
    at[kAtLcn] = node.source();
    if (!Integer(node, key, 0, 1023, false, &value)) return false;
    service->lcn = value;
    return true;
  }
  if (key == "pmt_pid" || key == "first_pid") {
    at[key == "pmt_pid" ? kAtPmtPid : kAtFirstPid] = node.source();
    if (!Integer(node, key, kLowestFreePid, kLastPid, true, &value)) return false;
    (key == "pmt_pid" ? service->pmtPid : service->firstPid) = value;
    return true;
  }
  if (key == "service_type") {
    if (!Integer(node, key, 0x01, 0xFE, true, &value)) return false;
    service->serviceType = value;
    return true;
  }
  if (key == "map") {
    const toml::array* maps = node.as_array();
    if (maps == nullptr) return Fail(node.source(), key, "must be an array of strings, such as [\"v\", \"a:0\"]");
    for (const toml::node& map : *maps) {
      std::string text, message;
      if (!String(map, key, &text)) return false;
      if (m_checks.map && !m_checks.map(text, &message)) return Fail(map.source(), key, message);
      service->maps.push_back(text);
    }
    return true;
  }
  return Fail(node.source(), key, "unknown key in [[service]]");
}

// What no single key shows: service_ids, lcns and fixed PIDs given twice, a service's PIDs.
bool Reader::Across(const Plan& plan, std::vector<ServicePids>* pids) {
  const std::vector<ServicePlan>& services = plan.services;
  if (services.empty()) return Fail(Region{}, "service", "the plan has no [[service]]");
  for (size_t i = 0; i < services.size(); ++i) {
    const ServicePlan& a = services[i];
    if (a.pmtPid && a.firstPid && *a.pmtPid == *a.firstPid)
      return Fail(m_keyAt[i][kAtFirstPid], "first_pid", Hex(*a.firstPid) + " is the service's pmt_pid");
    for (size_t j = 0; j < i; ++j) {
      const ServicePlan& b = services[j];
      const std::string also = " (also line " + std::to_string(b.line) + ")";
      if (a.serviceId == b.serviceId)
        return Fail(m_keyAt[i][kAtServiceId], "service_id", std::to_string(a.serviceId) + " is given to two services" + also);
      // One standard input: a second service would read every other chunk of it.
      if (ReadsStandardInput(a.input) && ReadsStandardInput(b.input))
        return Fail(m_keyAt[i][kAtInput], "input",
                    "\"" + a.input + "\" (standard input) is given to two services" + also);
      if (a.lcn && b.lcn && *a.lcn == *b.lcn)
        return Fail(m_keyAt[i][kAtLcn], "lcn", std::to_string(*a.lcn) + " is given to two services" + also);
      const std::optional<int>* const pidsA[] = {&a.pmtPid, &a.firstPid};
      const std::optional<int>* const pidsB[] = {&b.pmtPid, &b.firstPid};
      for (int x = 0; x < 2; ++x)
        for (const std::optional<int>* pid : pidsB)
          if (*pidsA[x] && *pid && **pidsA[x] == **pid)
            return Fail(m_keyAt[i][x == 0 ? kAtPmtPid : kAtFirstPid], x == 0 ? "pmt_pid" : "first_pid",
                        Hex(**pidsA[x]) + " is given to two services" + also);
    }
  }
  std::string message;
  return AssignPids(plan, {}, pids, &message) || Fail(m_serviceAt[pids->size()], "service", message);
}

// The rate must carry the multiplex's tables and PCRs with room for the content.
bool Reader::Rate(const Plan& plan, const std::vector<ServicePids>& pids) {
  NetworkTables tables;
  tables.Set(PlanMultiplex(plan, pids));
  const int services = static_cast<int>(plan.services.size());
  const int64_t needed = LeastMuxRate(MultiplexLoad(tables, services));
  if (plan.muxRate >= needed) return true;
  return Fail(m_muxRateAt, "muxrate",
              std::to_string(plan.muxRate) + " bit/s cannot carry the tables and PCRs of " + std::to_string(services) +
                  " service" + (services == 1 ? "" : "s") + " with room for their content (it needs at least " +
                  std::to_string(needed) + " bit/s)");
}

bool Reader::Read(const std::string& text, Plan* plan) {
  *plan = Plan{};
  if (text.size() > kMaxPlanSize) return Fail(Region{}, "plan", "larger than 1 MiB");
  toml::table root;
  try {
    root = toml::parse(text, m_name);
  } catch (const toml::parse_error& e) {
    return Fail(e.source(), "TOML", std::string(e.description()));
  }
  bool networkIdGiven = false;
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    if (name == "network_id") networkIdGiven = true;
    if (name != "service" && !Top(name, node, plan)) return false;
  }
  if (!networkIdGiven) plan->networkId = plan->originalNetworkId;
  // The services once the top-level provider is known, whatever the order of the file.
  if (const toml::node* services = root.get("service"); services != nullptr && !Top("service", *services, plan))
    return false;
  if (!m_muxRateGiven) return Fail(Region{}, "muxrate", "missing (the multiplex's constant rate, such as \"15M\")");
  std::vector<ServicePids> pids;
  return Across(*plan, &pids) && Rate(*plan, pids);
}

}  // namespace

bool ReadPlanText(const std::string& text, const std::string& name, Plan* plan, std::string* error,
                  const PlanChecks& checks) {
  Reader reader(name, checks);
  if (reader.Read(text, plan)) return true;
  *error = reader.error();
  return false;
}

bool ReadPlan(const std::string& path, Plan* plan, std::string* error, const PlanChecks& checks) {
  // stdio rather than a stream: a directory or a read error is an error, not an empty plan.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::string text;
  bool failed = file == nullptr;
  int code = errno;
  if (file != nullptr) {
    char chunk[16384];
    size_t n = 0;
    while (text.size() <= kMaxPlanSize && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    failed = std::ferror(file) != 0;
    code = errno;
    std::fclose(file);
  }
  if (failed) {
    *error = path + ": cannot be read (" + std::strerror(code) + ")";
    return false;
  }
  if (!ReadPlanText(text, path, plan, error, checks)) return false;
  // A relative file path is the plan's neighbour, wherever palvex-mux was started (a service
  // manager starts it in /).
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return true;
  for (ServicePlan& service : plan->services) {
    const std::string& input = service.input;
    if (input != "-" && input[0] != '/' && input.find("://") == std::string::npos && input.rfind("pipe:", 0) != 0)
      service.input = path.substr(0, slash + 1) + input;
  }
  return true;
}

FixedLoad MultiplexLoad(NetworkTables tables, int services) {
  const auto packets = [&](NetworkTable table) { return static_cast<int>(tables.Packets(table).size() / kTSPacketSize); };
  FixedLoad load;
  load.pcrPrograms = services;
  load.psiPackets = packets(NetworkTable::kPAT) + services;
  load.siPackets = packets(NetworkTable::kSDT) + packets(NetworkTable::kNIT);
  load.otherPerSecond = 1 / 5.0;  // the TDT
  return load;
}

DVBConfig ServiceDVBConfig(const Plan& plan, const ServicePlan& service, const ServicePids& pids) {
  DVBConfig config;
  config.inMultiplex = true;
  config.pmtPid = pids.pmtPid;
  config.firstPid = pids.firstPid;
  config.lastPid = pids.lastPid;
  config.programNumber = service.serviceId;
  config.transportStreamId = plan.transportStreamId;
  config.originalNetworkId = plan.originalNetworkId;
  config.provider = service.provider;
  config.name = service.name;
  return config;
}

Multiplex PlanMultiplex(const Plan& plan, const std::vector<ServicePids>& pids) {
  Multiplex multiplex;
  multiplex.transportStreamId = plan.transportStreamId;
  multiplex.originalNetworkId = plan.originalNetworkId;
  multiplex.networkId = plan.networkId;
  multiplex.networkName = plan.networkName;
  for (size_t i = 0; i < plan.services.size() && i < pids.size(); ++i) {
    const ServicePlan& service = plan.services[i];
    multiplex.services.push_back({service.serviceId, pids[i].pmtPid, service.name, service.provider,
                                  service.serviceType.value_or(0x01), service.lcn.value_or(-1)});
  }
  return multiplex;
}

bool AssignPids(const Plan& plan, const std::vector<ServicePids>& kept, std::vector<ServicePids>* pids,
                std::string* error) {
  pids->clear();
  std::array<int16_t, 8192> owner;  // the service (index in the plan) a PID is given to, -1 none
  owner.fill(-1);
  const size_t count = plan.services.size();
  std::vector<ServicePids> out(count);
  const auto fail = [&](size_t i, const std::string& message) {
    *error = message;
    pids->assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(i));
    return false;
  };
  const auto claim = [&](size_t i, int pid, const char* what) {
    int16_t& o = owner[static_cast<size_t>(pid)];
    if (o >= 0 && o != static_cast<int16_t>(i))
      return fail(i, std::string(what) + " " + Hex(pid) + " of service " + std::to_string(plan.services[i].serviceId) +
                         " is service " + std::to_string(plan.services[static_cast<size_t>(o)].serviceId) + "'s");
    o = static_cast<int16_t>(i);
    return true;
  };
  // Services that go on keep theirs; then the PIDs the plan fixes. The PIDs of services
  // that leave are avoided where another block is free.
  std::vector<bool> done(count, false);
  std::array<bool, 8192> leaving{};
  for (const ServicePids& k : kept) {
    for (int pid : {k.pmtPid, k.firstPid, k.lastPid})
      if (pid < kLowestFreePid || pid > kLastPid || k.firstPid > k.lastPid)
        return fail(0, "the PIDs of running service " + std::to_string(k.serviceId) + " are not a service's");
    size_t i = 0;
    while (i < count && plan.services[i].serviceId != k.serviceId) ++i;
    if (i == count) {
      leaving[static_cast<size_t>(k.pmtPid)] = true;
      for (int pid = k.firstPid; pid <= k.lastPid; ++pid) leaving[static_cast<size_t>(pid)] = true;
      continue;
    }
    out[i] = k;
    done[i] = true;
    if (!claim(i, k.pmtPid, "PMT PID")) return false;
    for (int pid = k.firstPid; pid <= k.lastPid; ++pid)
      if (!claim(i, pid, "PID")) return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const ServicePlan& s = plan.services[i];
    out[i].serviceId = s.serviceId;
    if (done[i]) continue;
    if (s.pmtPid && !claim(i, *s.pmtPid, "pmt_pid")) return false;
    if (s.firstPid && !claim(i, *s.firstPid, "first_pid")) return false;
    if (s.pmtPid) out[i].pmtPid = *s.pmtPid;
    if (s.firstPid) out[i].firstPid = *s.firstPid;
  }
  // A fixed first_pid's streams: up to 31 PIDs, short of any other service's.
  for (size_t i = 0; i < count; ++i) {
    if (done[i] || out[i].firstPid < 0) continue;
    int last = out[i].firstPid;
    while (last < kLastPid && last - out[i].firstPid < kLongestStreams - 1 && owner[static_cast<size_t>(last + 1)] < 0)
      owner[static_cast<size_t>(++last)] = static_cast<int16_t>(i);
    out[i].lastPid = last;
  }
  // The rest from the lowest blocks no service touches (first no leaving service either).
  const auto freeBlock = [&](bool avoidLeaving) {
    for (int block = 0; block < kPidBlocks; ++block) {
      const int base = kFirstServicePidBlock + block * kServicePidBlock;
      bool free = true;
      for (int pid = base; pid < base + kServicePidBlock && free; ++pid)
        free = owner[static_cast<size_t>(pid)] < 0 && !(avoidLeaving && leaving[static_cast<size_t>(pid)]);
      if (free) return base;
    }
    return -1;
  };
  for (size_t i = 0; i < count; ++i) {
    if (done[i] || (out[i].pmtPid >= 0 && out[i].firstPid >= 0)) continue;
    int base = freeBlock(true);
    if (base < 0) base = freeBlock(false);
    if (base < 0) return fail(i, "no block of PIDs left for service " + std::to_string(plan.services[i].serviceId));
    for (int pid = base; pid < base + kServicePidBlock; ++pid) owner[static_cast<size_t>(pid)] = static_cast<int16_t>(i);
    if (out[i].pmtPid < 0) out[i].pmtPid = base;
    if (out[i].firstPid < 0) {
      out[i].firstPid = base + 1;
      out[i].lastPid = base + kServicePidBlock - 1;
    }
  }
  *pids = std::move(out);
  return true;
}

}  // namespace palvex_host
