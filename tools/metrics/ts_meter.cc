#include "ts_meter.h"

#include "ts_reader.h"

namespace palvex_host {
namespace {

constexpr int kPATPid = 0x0000;
constexpr int kSDTPid = 0x0011;
constexpr int kSDTActualTableId = 0x42;

}  // namespace

void TSMeter::NoteTable(Table table, int64_t now) {
  int64_t& last = m_lastTable[static_cast<size_t>(table)];
  if (now < 0) return;
  if (last >= 0) m_service->NoteTableInterval(table, PCRStep(last, now));
  last = now;
}

void TSMeter::Count(const uint8_t* ts, size_t count, const int64_t* departures) {
  if (m_service == nullptr || count == 0) return;
  uint64_t nulls = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = ts + i * kTSPacketSize;
    const int pid = PacketPid(p);
    if (pid == kNullPid) {
      ++nulls;
      continue;
    }
    if ((m_pcrPid < 0 || pid == m_pcrPid) && PacketHasAdaptation(p)) {
      const int64_t pcr = PacketPCR(p);
      if (pcr >= 0) {
        m_pcrPid = pid;
        if (m_lastPCR >= 0) m_service->NotePCRInterval(PCRStep(m_lastPCR, pcr));
        m_lastPCR = pcr;
      }
    }
    if (!PacketUnitStart(p)) continue;
    const int64_t now = departures != nullptr ? departures[i] : m_lastPCR;
    if (pid == kPATPid) {
      NoteTable(Table::kPAT, now);
      size_t size = 0;
      const uint8_t* section = m_pmtPid < 0 ? PacketSection(p, &size) : nullptr;
      PAT pat;
      if (section != nullptr && ReadPAT(section, size, &pat))
        for (const PATProgram& program : pat.programs)
          if (program.number != 0 && m_pmtPid < 0) m_pmtPid = program.pid;
    } else if (pid == m_pmtPid) {
      NoteTable(Table::kPMT, now);
    } else if (pid == kSDTPid && PacketTableId(p) == kSDTActualTableId) {
      NoteTable(Table::kSDT, now);
    }
  }
  m_service->AddPackets(count - nulls);
  if (m_output != nullptr) m_output->AddPackets(count, nulls);
}

}  // namespace palvex_host
