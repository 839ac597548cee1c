// Host frame times on the 90 kHz clock of PTS, DTS and PCR, and the distance the PCR runs
// behind the frame times.
#ifndef PALVEX_PACKETIZER_FRAME_TIME_H_
#define PALVEX_PACKETIZER_FRAME_TIME_H_

#include <cstdint>

namespace palvex {

constexpr int64_t kPCRDelayTicks = 36000;  // the PCR runs 400 ms behind the frame time

// Microseconds to 90 kHz ticks, t * 90 / 1000 truncated toward zero, without overflow for
// any 64-bit t: t = 1000a + b with a and b of the same sign gives 90a + 90b / 1000.
constexpr int64_t MicrosecondsToTicks(int64_t t) { return t / 1000 * 90 + t % 1000 * 90 / 1000; }

// 100-ns units to 90 kHz ticks, v * 9 / 1000 truncated toward zero, without overflow.
constexpr int64_t HundredNanosecondsToTicks(int64_t v) { return v / 1000 * 9 + v % 1000 * 9 / 1000; }

static_assert(MicrosecondsToTicks(1000000) == 90000, "one second");
static_assert(MicrosecondsToTicks(1000999) == 90089, "truncated toward zero");
static_assert(MicrosecondsToTicks(-1000) == -90, "negative times");
static_assert(MicrosecondsToTicks(-11) == 0, "-0.99 ticks truncates to 0");
static_assert(HundredNanosecondsToTicks(10000000) == 90000, "one second");

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_FRAME_TIME_H_
