#include "ts_meter.h"

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int kPATPid = 0x0000;
constexpr int kNITPid = 0x0010;
constexpr int kSDTPid = 0x0011;
constexpr int kTDTPid = 0x0014;
constexpr int kNITActualTableId = 0x40;
constexpr int kSDTActualTableId = 0x42;
constexpr int kTDTTableId = 0x70;

}  // namespace

TSMeter::TSMeter(OutputMetrics* output) : m_output(output) {
  m_routeOf.fill(-1);
  m_lastTable.fill(-1);
}

TSMeter::TSMeter(ServiceMetrics* service, OutputMetrics* output) : TSMeter(output) {
  m_single = true;
  m_routes.push_back(Route());
  m_routes.back().metrics = service;
}

void TSMeter::AddService(ServiceMetrics* service, int pmtPid, int firstPid, int lastPid) {
  if (service == nullptr) return;
  RemoveService(service);
  size_t slot = 0;
  while (slot < m_routes.size() && m_routes[slot].metrics != nullptr) ++slot;
  if (slot == m_routes.size()) m_routes.push_back(Route());
  m_routes[slot] = Route();
  m_routes[slot].metrics = service;
  m_routes[slot].pmtPid = pmtPid;
  const auto own = [&](int pid) {
    if (pid > kTDTPid && pid < kNullPid) m_routeOf[static_cast<size_t>(pid)] = static_cast<int16_t>(slot);
  };
  own(pmtPid);
  for (int pid = firstPid; pid >= 0 && pid <= lastPid; ++pid) own(pid);
}

void TSMeter::RemoveService(const ServiceMetrics* service) {
  for (size_t slot = 0; slot < m_routes.size(); ++slot) {
    if (m_routes[slot].metrics != service) continue;
    m_routes[slot].metrics = nullptr;
    for (int16_t& r : m_routeOf)
      if (r == static_cast<int16_t>(slot)) r = -1;
  }
}

void TSMeter::NoteOutputTable(Table table, int64_t now, int64_t nowNs) {
  int64_t& last = m_lastTable[static_cast<size_t>(table)];
  if (now < 0) return;
  if (last >= 0) m_output->table(table).Note(PCRStep(last, now), nowNs);
  last = now;
}

void TSMeter::Count(const uint8_t* ts, size_t count, const int64_t* departures, int64_t nowNs) {
  if (count == 0) return;
  uint64_t nulls = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const int pid = PacketPid(p);
    if (pid == kNullPid) {
      ++nulls;
      continue;
    }
    const int64_t now = departures != nullptr ? departures[i] : m_lastPCR;
    if (pid == kPATPid || pid == kNITPid || pid == kSDTPid || pid == kTDTPid) {
      const Table table = pid == kPATPid ? Table::kPAT : pid == kNITPid ? Table::kNIT
                          : pid == kSDTPid ? Table::kSDT : Table::kTDT;
      if (m_output != nullptr) m_output->AddTablePackets(table, 1);
      if (!PacketUnitStart(p) || m_output == nullptr) continue;
      const int tableId = PacketTableId(p);
      if (pid == kPATPid) {
        NoteOutputTable(Table::kPAT, now, nowNs);
        // A single channel's PMT: the first program of the PAT.
        size_t size = 0;
        const uint8_t* section =
            m_single && !m_routes.empty() && m_routes[0].pmtPid < 0 ? PacketSection(p, &size) : nullptr;
        PAT pat;
        if (section != nullptr && ReadPAT(section, size, &pat))
          for (const PATProgram& program : pat.programs)
            if (program.number != 0 && m_routes[0].pmtPid < 0) m_routes[0].pmtPid = program.pid;
      } else if (tableId == (pid == kNITPid ? kNITActualTableId : pid == kSDTPid ? kSDTActualTableId : kTDTTableId)) {
        NoteOutputTable(table, now, nowNs);
      }
      continue;
    }
    const int slot = m_single ? 0 : m_routeOf[static_cast<size_t>(pid)];
    if (slot < 0 || static_cast<size_t>(slot) >= m_routes.size() || m_routes[static_cast<size_t>(slot)].metrics == nullptr)
      continue;
    Route& r = m_routes[static_cast<size_t>(slot)];
    ++r.packets;
    if ((r.pcrPid < 0 || pid == r.pcrPid) && PacketHasAdaptation(p)) {
      const int64_t pcr = PacketPCR(p);
      if (pcr >= 0) {
        r.pcrPid = pid;
        if (r.lastPCR >= 0) r.metrics->pcr().Note(PCRStep(r.lastPCR, pcr), nowNs);
        r.lastPCR = pcr;
        m_lastPCR = pcr;
      }
    }
    if (pid == r.pmtPid && PacketUnitStart(p)) {
      const int64_t at = departures != nullptr ? departures[i] : r.lastPCR;
      if (at >= 0 && r.lastPMT >= 0) r.metrics->pmt().Note(PCRStep(r.lastPMT, at), nowNs);
      if (at >= 0) r.lastPMT = at;
    }
  }
  for (Route& r : m_routes) {
    if (r.metrics != nullptr && r.packets > 0) r.metrics->AddPackets(r.packets);
    r.packets = 0;
  }
  if (m_output != nullptr) m_output->AddPackets(count, nulls);
}

}  // namespace palvex_host
