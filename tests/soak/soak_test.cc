// Soak: one muxer fed 30 hours of media time at full speed — a 10-second H.264 + AAC clip
// made with ffmpeg, looped with its times rising continuously, so that the 90 kHz clock
// wraps past 2^33 (after 26.5 hours). Over the whole run every output is checked as it
// comes, in constant memory: continuity on every PID, PSI never more than 500 ms of frame
// time behind a frame, PCRs at most 100 ms apart and equal to the frame time less 400 ms
// modulo 2^33, every frame in exactly one PES packet, whole; and the process's resident
// memory after the first minute of media time and at the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "support/fake_frame.h"
#include "support/shell.h"
#include "support/test_format.h"
#include "support/ts_checker.h"
#include "palvex/palvex.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kMediaHours = 30;
constexpr uint64_t kMask33 = (uint64_t{1} << 33) - 1;
constexpr int64_t kPsiIntervalUs = 500000;
constexpr int64_t kMaxPcrGapTicks = 9000;  // 100 ms (ISO/IEC 13818-1 2.7.2)
constexpr int64_t kPCRDelayTicks = 36000;  // the PCR runs 400 ms behind the frame time
constexpr long kRssToleranceBytes = 1 << 20;

int64_t Ticks(int64_t us) { return us / 1000 * 90 + us % 1000 * 90 / 1000; }

// Resident set size from /proc/self/statm, in bytes.
long ResidentBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0;
  long resident = 0;
  const int n = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

// Checks every output as it comes, keeping only a few counters per PID: the packet-level
// invariants through TsChecker, and here what one frame's output must hold.
class StreamWatch {
 public:
  std::vector<std::string> errors;
  int64_t psiEmissions = 0;
  int64_t pcrs = 0;
  int64_t largestPcrGap = 0;
  int64_t largestPsiGapUs = 0;
  bool pcrWrapped = false;
  std::map<int, int64_t> pesStarts;  // per PID

  // The output of one frame of `expectedPayload` bytes (ADTS header included) at `time`.
  void Frame(const uint8_t* data, int length, int64_t time, size_t expectedPayload) {
    m_checker.Feed(data, size_t(length > 0 ? length : 0));
    if (!m_checker.errors().empty()) return Error(m_checker.errors().front());
    if (length <= 0) return Error("output of " + std::to_string(length) + " bytes");
    bool psi = false;
    int framePid = -1;
    int starts = 0;
    size_t payload = 0;
    for (int off = 0; off < length; off += 188) {
      const uint8_t* p = data + off;
      const int pid = palvex_host::PacketPid(p);
      if (pid == 0 || pid == m_pmtPid) {
        if (pid == 0) {
          psi = true;
          m_pmtPid = (p[15] & 0x1F) << 8 | p[16];  // the single program's PMT PID
        }
        continue;
      }
      if (framePid < 0) framePid = pid;
      if (pid != framePid) return Error("two PIDs in one frame's output");
      size_t n = 0;
      palvex_host::PacketPayload(p, &n);
      palvex_host::PESStart start;
      if (palvex_host::PacketUnitStart(p)) {
        ++starts;
        if (!palvex_host::ReadPESStart(p, &start)) return Error("PES start code");
        n -= start.headerSize;
      }
      payload += n;
      if (const int64_t pcr = palvex_host::PacketPCR(p); pcr >= 0) Pcr(pcr / 300, time);
    }
    if (framePid < 0 || starts != 1) return Error("frame at " + std::to_string(time) + " us not in one PES packet");
    if (payload != expectedPayload) return Error("frame at " + std::to_string(time) + " us cut");
    ++pesStarts[framePid];
    // PSI before the first frame and whenever 500 ms of frame time have passed.
    if (psi) {
      ++psiEmissions;
      m_lastPsiUs = time;
    } else {
      if (time < m_lastPsiUs) m_lastPsiUs = time;
      const int64_t gap = time - m_lastPsiUs;
      if (gap > largestPsiGapUs) largestPsiGapUs = gap;
      if (gap >= kPsiIntervalUs) return Error("no PSI for " + std::to_string(gap) + " us");
    }
  }

  int64_t packets() const { return int64_t(m_checker.packets()); }

 private:
  void Error(const std::string& what) {
    if (errors.size() < 20) errors.push_back(what);
  }

  void Pcr(int64_t base, int64_t time) {
    ++pcrs;
    const int64_t expected = int64_t(uint64_t(Ticks(time) - kPCRDelayTicks) & kMask33);
    if (base != expected) Error("PCR " + std::to_string(base) + " for a frame at " + std::to_string(time) + " us");
    if (m_lastPcr >= 0) {
      // Forward distance on the 33-bit clock.
      const int64_t gap = int64_t((uint64_t(base) - uint64_t(m_lastPcr)) & kMask33);
      if (base < m_lastPcr) pcrWrapped = true;
      if (gap > largestPcrGap) largestPcrGap = gap;
      if (gap == 0 || gap > kMaxPcrGapTicks) Error("PCR gap of " + std::to_string(gap) + " ticks");
    }
    m_lastPcr = base;
  }

  palvex_test::TsChecker m_checker{palvex_test::TsChecker::Pcrs::kDropped};
  int m_pmtPid = -1;
  int64_t m_lastPsiUs = 0;
  int64_t m_lastPcr = -1;
};

using palvex_test::Shell;

TEST(SoakTest, ThirtyHoursOfMediaThroughOneMuxer) {
  int status = 0;
  Shell("command -v ffmpeg >/dev/null 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path dir = fs::temp_directory_path() / ("palvex-soak-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path clip = dir / "clip.mp4";
  const std::string out = Shell(
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
      "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 10 -c:v libx264 -profile:v main -bf 2 "
      "-g 50 -pix_fmt yuv420p -c:a aac -b:a 96k " + clip.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;

  // The clip's frames, read once.
  palvex_host::ClipReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(clip.string(), &error)) << error;
  std::vector<palvex_host::ClipFrame> frames;
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) frames.push_back(f);
  ASSERT_TRUE(error.empty()) << error;
  fs::remove_all(dir);
  ASSERT_EQ(reader.streams().size(), 2u);
  auto format = std::make_unique<MediaFormat>();
  for (const palvex_host::ClipStream& s : reader.streams()) {
    if (s.mainType == 0) {
      palvex_test::AddVideo(format.get(), s.codec, s.streamId, s.frameRate);
    } else {
      palvex_test::AddAudio(format.get(), s.codec, s.streamId, s.extraData);
    }
  }
  // One loop lasts as long as the clip's video, so that the video, which carries the PCR,
  // runs on at 25 frames per second across loops; audio frames that would overlap the
  // next loop's first audio frame are left out, so that audio times rise too.
  int64_t period = 0;
  int64_t firstAudioUs = -1;
  for (const palvex_host::ClipFrame& frame : frames) {
    ASSERT_GE(frame.timeUs, 0);
    if (frame.mainType == 0) period = std::max(period, frame.timeUs + 40000);
    if (frame.mainType == 1 && firstAudioUs < 0) firstAudioUs = frame.timeUs;
  }
  constexpr int64_t kAudioFrameUs = 1024 * 1000000 / 48000;
  std::vector<palvex_host::ClipFrame> loopFrames;
  for (palvex_host::ClipFrame& frame : frames) {
    if (frame.mainType == 1 && frame.timeUs + kAudioFrameUs > period + firstAudioUs) continue;
    loopFrames.push_back(std::move(frame));
  }
  frames.swap(loopFrames);
  int64_t videoFrames = 0;
  int64_t audioFrames = 0;
  for (const palvex_host::ClipFrame& frame : frames) {
    ++(frame.mainType == 0 ? videoFrames : audioFrames);
  }
  // PALVEX_SOAK_HOURS shortens (or lengthens) the run, e.g. for a quick try.
  const char* hours = std::getenv("PALVEX_SOAK_HOURS");
  const int64_t mediaHours = hours != nullptr ? std::max(1, std::atoi(hours)) : kMediaHours;
  const int64_t loops = (mediaHours * 3600 * 1000000 + period - 1) / period;

  iptv::IVorlux* mux = iptv::CreatePalvex();
  ASSERT_NE(mux, nullptr);
  ASSERT_NE(mux->AddMediaFormat(format.get()), nullptr);
  ASSERT_EQ(mux->Open(), 0);
  ASSERT_EQ(mux->Start(), 0);
  // The library's diagnostics go to standard output; a soak prints none, and gtest's own
  // report is written after the run.
  std::fflush(stdout);

  // The host's frames, with room behind each for the ADTS header, reused on every loop.
  std::vector<palvex_test::FakeFrame> hostFrames;
  for (const palvex_host::ClipFrame& source : frames) hostFrames.emplace_back(source.data, source.timeUs);
  StreamWatch watch;
  int64_t bytesOut = 0;
  int64_t framesIn = 0;
  long rssAfterFirstMinute = -1;
  const auto begin = std::chrono::steady_clock::now();
  for (int64_t loop = 0; loop < loops && watch.errors.empty(); ++loop) {
    const int64_t offset = loop * period;
    for (size_t i = 0; i < frames.size(); ++i) {
      const palvex_host::ClipFrame& source = frames[i];
      palvex_test::FakeFrame& frame = hostFrames[i];
      const int64_t time = offset + source.timeUs;
      frame.SetTime(time);
      uint8_t* data = nullptr;
      int length = 0;
      const int result = mux->ProcessFrame(source.streamId, &frame, &data, &length);
      if (result != 0) {
        ADD_FAILURE() << "ProcessFrame gave " << result << " at " << time << " us";
        break;
      }
      // Raw AAC: the muxer puts a 7-byte ADTS header in front of every frame.
      watch.Frame(data, length, time, source.data.size() + (source.mainType == 1 ? 7 : 0));
      bytesOut += length;
      ++framesIn;
    }
    if (rssAfterFirstMinute < 0 && offset + period >= 60 * 1000000) rssAfterFirstMinute = ResidentBytes();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const long rssAtEnd = ResidentBytes();
  EXPECT_EQ(mux->Stop(), 0);
  EXPECT_EQ(mux->Close(), 0);
  EXPECT_EQ(iptv::RemovePalvex(mux), iptv::RESULT_SUCCESS);

  for (const std::string& e : watch.errors) ADD_FAILURE() << e;
  const int64_t mediaUs = loops * period;
  std::printf("soak: %.2f h of media in %lld loops of %lld us, %lld frames (%lld video, %lld audio)\n",
              double(mediaUs) / 3.6e9, (long long)loops, (long long)period, (long long)framesIn,
              (long long)(videoFrames * loops), (long long)(audioFrames * loops));
  std::printf("soak: %lld bytes, %lld packets, %lld PSI emissions, %lld PCRs; largest PCR gap %lld ticks, "
              "largest frame distance from PSI %lld us\n",
              (long long)bytesOut, (long long)watch.packets(), (long long)watch.psiEmissions,
              (long long)watch.pcrs, (long long)watch.largestPcrGap, (long long)watch.largestPsiGapUs);
  std::printf("soak: %.1f s wall time (%.0f x real time, %.1f MB/s); RSS %ld bytes after the first minute, "
              "%ld at the end\n",
              seconds, double(mediaUs) / 1e6 / seconds, double(bytesOut) / 1e6 / seconds,
              rssAfterFirstMinute, rssAtEnd);

  EXPECT_EQ(framesIn, int64_t(frames.size()) * loops);
  // 2^33 ticks of 90 kHz: 26.5 hours.
  if (Ticks(mediaUs) - kPCRDelayTicks > int64_t(kMask33)) {
    EXPECT_TRUE(watch.pcrWrapped) << "the 90 kHz clock never wrapped";
  }
  // Every frame exactly once: one PES packet per frame on its stream's PID.
  int64_t pesTotal = 0;
  for (const auto& entry : watch.pesStarts) pesTotal += entry.second;
  EXPECT_EQ(watch.pesStarts.size(), 2u);
  EXPECT_EQ(pesTotal, framesIn);
  for (const auto& entry : watch.pesStarts) {
    EXPECT_TRUE(entry.second == videoFrames * loops || entry.second == audioFrames * loops) << entry.first;
  }
  ASSERT_GT(rssAfterFirstMinute, 0);
  EXPECT_LE(rssAtEnd - rssAfterFirstMinute, kRssToleranceBytes);
}

}  // namespace
