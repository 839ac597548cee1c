// The scheduler's cost per packet on an 8 Mbit/s constant-rate channel carrying a 5.3 Mbit/s
// program (25 fps video, a 300-packet I frame each second and 130-packet frames between,
// AAC, PAT/PMT/SDT twice a second): the time per packet slot (nulls included) and the heap
// allocations inside Push once the first second has set the queue's size (counted by
// replacing the global allocation functions in this program).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>

#include "scheduler.h"
#include "support/program_maker.h"

namespace {

bool g_counting = false;
uint64_t g_allocations = 0;

// Out of line, so that the compiler pairs each operator new with its operator delete and
// not with the malloc and free behind them.
__attribute__((noinline)) void* Allocate(size_t size) {
  if (g_counting) ++g_allocations;
  return std::malloc(size != 0 ? size : 1);
}

__attribute__((noinline)) void Release(void* p) { std::free(p); }

}  // namespace

void* operator new(size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }

namespace {

using palvex_test::kAudioPid;
using palvex_test::kVideoPid;

class Discard final : public palvex_host::PacketOutput {
 public:
  bool Send(const uint8_t* packets, const int64_t*, size_t count) override {
    benchmark::DoNotOptimize(packets);
    sent += count;
    return true;
  }
  uint64_t sent = 0;
};

// One second of the program, the frames in the order a muxer gives them.
std::vector<std::vector<uint8_t>> Second(palvex_test::ProgramMaker* maker, int64_t* dts, int64_t* audio) {
  std::vector<std::vector<uint8_t>> frames;
  for (int frame = 0; frame < 25; ++frame, *dts += 3600) {
    for (; *audio < *dts + 3600; *audio += 1920) {
      maker->Unit(kAudioPid, *audio - 3600, *audio, 2, false);
      frames.push_back(maker->Take());
    }
    if (frame % 12 == 0) maker->Tables(true);
    maker->Unit(kVideoPid, *dts, *dts + 7200, frame == 0 ? 300 : 130, true);
    frames.push_back(maker->Take());
  }
  return frames;
}

void BM_ScheduleConstantRate(benchmark::State& state) {
  Discard out;
  palvex_host::SchedulerConfig config;
  config.muxRate = 8000000;
  palvex_host::Scheduler scheduler(config, &out);
  palvex_test::ProgramMaker maker(kVideoPid);
  int64_t dts = 162000, audio = 162000;
  for (const std::vector<uint8_t>& f : Second(&maker, &dts, &audio)) scheduler.Push(f.data(), f.size());
  const uint64_t first = out.sent;
  g_allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::vector<std::vector<uint8_t>> second = Second(&maker, &dts, &audio);
    state.ResumeTiming();
    g_counting = true;
    for (const std::vector<uint8_t>& f : second) scheduler.Push(f.data(), f.size());
    g_counting = false;
  }
  const double slots = static_cast<double>(out.sent - first);
  state.SetItemsProcessed(static_cast<int64_t>(slots));
  state.counters["allocations_per_packet"] = static_cast<double>(g_allocations) / slots;
  state.counters["null_share"] = static_cast<double>(scheduler.stats().nullPackets) / static_cast<double>(out.sent);
}
BENCHMARK(BM_ScheduleConstantRate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
