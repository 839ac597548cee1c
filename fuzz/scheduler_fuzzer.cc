// Arbitrary packets through the constant-rate scheduler and the keep-alive, and through the
// TS reader and the table memory beneath them: the first bytes choose the rate, the lead
// and the chunking, the rest is cut into 188-byte packets (the sync byte forced, everything
// else as it comes: PES headers, adaptation fields, sections, PCRs), with silences driven
// by AdvanceTo. Every slot must leave exactly on the line of the rate, every packet with
// the sync byte; the sanitizers watch for reads past a packet or the queue.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keep_alive.h"
#include "scheduler.h"

namespace {

class Check final : public palvex_host::PacketOutput {
 public:
  explicit Check(int64_t rate) : m_rate(rate) {}
  bool Send(const uint8_t* packets, const int64_t* departures, size_t count) override {
    for (size_t i = 0; i < count; ++i, ++m_slots) {
      if (packets[i * palvex_host::kTSPacketSize] != 0x47) std::abort();
      if (m_slots == 0) m_first = departures[i];
      if (departures[i] - m_first != static_cast<int64_t>(m_slots) * 1504 * palvex_host::kPCRHz / m_rate) std::abort();
    }
    return true;
  }

 private:
  int64_t m_rate;
  int64_t m_first = 0;
  uint64_t m_slots = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  palvex_host::SchedulerConfig config;
  config.muxRate = 100000 + int64_t{data[0]} * 40000;            // 0.1 to 10.3 Mbit/s
  config.leadTicks = palvex_host::kPCRHz / 100 * (1 + data[1] % 150);  // 10 ms to 1.5 s
  const size_t chunk = 1 + data[2] % 16;                          // packets per Push
  const unsigned silenceEvery = data[3];
  Check check(config.muxRate);
  palvex_host::Scheduler scheduler(config, &check);
  palvex_host::KeepAlive keepAlive(7);
  std::vector<uint8_t> kept;
  std::vector<uint8_t> packets;
  unsigned pushes = 0;
  for (size_t off = 4; off < size; off += palvex_host::kTSPacketSize) {
    uint8_t p[palvex_host::kTSPacketSize];
    std::memset(p, 0xFF, sizeof p);
    std::memcpy(p, data + off, std::min(size - off, sizeof p));
    p[0] = 0x47;
    packets.insert(packets.end(), p, p + sizeof p);
    if (packets.size() < chunk * palvex_host::kTSPacketSize) continue;
    scheduler.Push(packets.data(), packets.size());
    keepAlive.Pass(packets.data(), packets.size(), &kept);
    packets.clear();
    // Slots as far as 2 s ahead of the clock: a silent input kept on air.
    if (silenceEvery != 0 && ++pushes % silenceEvery == 0 && scheduler.started())
      scheduler.AdvanceTo(scheduler.now() + palvex_host::kPCRHz * (pushes % 3));
    if (silenceEvery != 0 && pushes % silenceEvery == 0 && keepAlive.lastPCR() >= 0)
      keepAlive.AdvanceTo(keepAlive.lastPCR() + palvex_host::kPCRHz * (pushes % 3), &kept);
    // The keep-alive passes whole packets and adds whole packets of its own.
    if (kept.size() % palvex_host::kTSPacketSize != 0) std::abort();
    for (size_t k = 0; k < kept.size(); k += palvex_host::kTSPacketSize)
      if (kept[k] != 0x47) std::abort();
    kept.clear();
  }
  scheduler.Push(packets.data(), packets.size());
  scheduler.Finish();
  return 0;
}
