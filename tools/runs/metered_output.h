// The output's packets metered as they go from the scheduler to the pacer (TSMeter, with
// their departure times), and what the line delivered: datagrams lost, late writes.
#ifndef PALVEX_TOOLS_METERED_OUTPUT_H_
#define PALVEX_TOOLS_METERED_OUTPUT_H_

#include "metrics.h"
#include "output.h"
#include "pacer.h"
#include "scheduler.h"
#include "ts_meter.h"

namespace palvex_host {

class MeteredOutput final : public PacketOutput {
 public:
  MeteredOutput(TSMeter* meter, OutputMetrics* metrics, Pacer* pacer, const Sink* sink)
      : m_meter(meter), m_metrics(metrics), m_pacer(pacer), m_sink(sink) {}
  bool Send(const uint8_t* packets, const int64_t* departures, size_t count) override {
    m_meter->Count(packets, count, departures);
    const bool ok = m_pacer->Send(packets, departures, count);
    Delivered();
    return ok;
  }
  // Packets timed by their own PCRs, straight to the pacer.
  bool Push(const uint8_t* ts, size_t size) {
    m_meter->Count(ts, size / kTSPacketSize, nullptr);
    const bool ok = m_pacer->Push(ts, size);
    Delivered();
    return ok;
  }

 private:
  void Delivered() {
    const PacerStats& p = m_pacer->stats();
    m_metrics->SetDelivery(m_sink->lostDatagrams(), p.lateWrites, p.lateRestarts);
    if (p.recentLateNs > 0) {
      m_metrics->NoteLateWrite(p.recentLateNs, SteadyClockNs());
      m_pacer->ClearRecentLate();
    }
  }

  TSMeter* m_meter;
  OutputMetrics* m_metrics;
  Pacer* m_pacer;
  const Sink* m_sink;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_METERED_OUTPUT_H_
