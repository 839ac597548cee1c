// Arbitrary text as a multiplex's plan file. A plan refused must say why in one line naming
// the file; a plan accepted must hold what the reader promises: at least one service, each
// with an input and a service_id of its own, PIDs that two services never share and that
// stay out of 0x0000-0x001F and 0x1FFF, and tables (PAT, SDT, NIT) that come out whole. The
// sanitizers watch the reads.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "network_tables.h"
#include "plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  palvex_host::Plan plan;
  std::string error;
  if (!palvex_host::ReadPlanText(text, "fuzz.toml", &plan, &error)) {
    if (error.rfind("fuzz.toml:", 0) != 0 || error.find('\n') != std::string::npos) std::abort();
    return 0;
  }
  if (plan.services.empty() || plan.muxRate < 10000) std::abort();
  std::vector<palvex_host::ServicePids> pids;
  if (!palvex_host::AssignPids(plan, {}, &pids, &error) || pids.size() != plan.services.size()) std::abort();
  std::array<int, 8192> owner;
  owner.fill(-1);
  palvex_host::Multiplex multiplex;
  for (size_t i = 0; i < pids.size(); ++i) {
    const palvex_host::ServicePids& p = pids[i];
    if (p.serviceId != plan.services[i].serviceId || plan.services[i].input.empty()) std::abort();
    if (p.firstPid > p.lastPid) std::abort();
    for (int pid = p.firstPid - 1; pid <= p.lastPid; ++pid) {
      const int at = pid < p.firstPid ? p.pmtPid : pid;  // the PMT's first, then the streams'
      if (at < 0x20 || at > 0x1FFE || owner[static_cast<size_t>(at)] >= 0) std::abort();
      owner[static_cast<size_t>(at)] = static_cast<int>(i);
    }
    multiplex.services.push_back({p.serviceId, p.pmtPid, plan.services[i].name, plan.services[i].provider,
                                  plan.services[i].serviceType.value_or(1), plan.services[i].lcn.value_or(-1)});
  }
  palvex_host::NetworkTables tables;
  tables.Set(multiplex);
  for (palvex_host::NetworkTable t :
       {palvex_host::NetworkTable::kPAT, palvex_host::NetworkTable::kSDT, palvex_host::NetworkTable::kNIT}) {
    const std::vector<uint8_t>& packets = tables.Packets(t);
    palvex_host::SectionGatherer gatherer;
    size_t sections = 0;
    for (size_t off = 0; off < packets.size(); off += palvex_host::kTSPacketSize)
      sections += gatherer.Push(&packets[off]) ? 1 : 0;
    if (packets.empty() || packets.size() % palvex_host::kTSPacketSize != 0 || sections == 0 || gatherer.open())
      std::abort();
  }
  return 0;
}
