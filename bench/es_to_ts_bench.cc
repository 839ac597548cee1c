// EStoTS on the frames of a real clip, in MB/s of frame bytes, beside the packetizing
// ceiling: the same bytes copied in 184-byte pieces behind a 4-byte header into a reused
// buffer of 188-byte slots. The clip (5 s of 720p25 H.264 High at 4 Mb/s and 48 kHz AAC)
// is made with ffmpeg into /tmp on first use, or taken from PALVEX_BENCH_H264 (Annex B)
// and PALVEX_BENCH_AAC (ADTS). H.264 access units are re-framed with four-byte start codes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/start_code.h"
#include "copy_ceiling.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "support/fake_frame.h"
#include "ts/ts_packet_buffer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Clip {
  std::vector<Bytes> video;  // access units, four-byte start codes
  std::vector<Bytes> audio;  // ADTS frames
  size_t videoBytes = 0;
  size_t audioBytes = 0;
  size_t largest = 0;
};

// Splits at access unit delimiters and writes every NAL unit behind 00 00 00 01.
std::vector<Bytes> AccessUnits(const Bytes& stream) {
  std::vector<Bytes> units;
  const uint8_t* base = stream.data();
  const uint8_t* end = base + stream.size();
  const uint8_t* p = palvex::FindStartCode(base, stream.size());
  while (p != nullptr) {
    const uint8_t* nal = p + palvex::StartCodeLength(p);
    const uint8_t* next = palvex::FindStartCode(nal, size_t(end - nal));
    const uint8_t* stop = next != nullptr ? next : end;
    if (nal < stop && (nal[0] & 0x1F) == 9) units.emplace_back();
    if (!units.empty()) {
      units.back().insert(units.back().end(), {0, 0, 0, 1});
      units.back().insert(units.back().end(), nal, stop);
    }
    p = next;
  }
  return units;
}

std::vector<Bytes> AdtsFrames(const Bytes& stream) {
  std::vector<Bytes> frames;
  size_t off = 0;
  while (off + 7 <= stream.size() && stream[off] == 0xFF && (stream[off + 1] & 0xF0) == 0xF0) {
    const size_t length = size_t(stream[off + 3] & 0x03) << 11 | size_t(stream[off + 4]) << 3 |
                          stream[off + 5] >> 5;
    if (length < 7 || off + length > stream.size()) break;
    frames.emplace_back(stream.begin() + long(off), stream.begin() + long(off + length));
    off += length;
  }
  return frames;
}

const Clip& GetClip() {
  static const Clip clip = [] {
    Clip c;
    const char* h264 = std::getenv("PALVEX_BENCH_H264");
    const char* aac = std::getenv("PALVEX_BENCH_AAC");
    std::string videoPath = h264 != nullptr ? h264 : "/tmp/palvex_es_bench/clip.h264";
    std::string audioPath = aac != nullptr ? aac : "/tmp/palvex_es_bench/clip.aac";
    if (h264 == nullptr || aac == nullptr) {
      const std::string make =
          "mkdir -p /tmp/palvex_es_bench && cd /tmp/palvex_es_bench && "
          "{ test -s clip.h264 && test -s clip.aac || "
          "{ ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
          "sine=frequency=440:sample_rate=48000 -t 5 -c:v libx264 -preset veryfast -b:v 4M "
          "-profile:v high -pix_fmt yuv420p -c:a aac -b:a 128k clip.mkv && "
          "ffmpeg -v error -y -i clip.mkv -map 0:v -c copy -bsf:v "
          "h264_mp4toannexb,h264_metadata=aud=insert -f h264 clip.h264 && "
          "ffmpeg -v error -y -i clip.mkv -map 0:a -c copy -f adts clip.aac; }; }";
      if (std::system(make.c_str()) != 0) std::fprintf(stderr, "could not make the clip\n");
    }
    c.video = AccessUnits(ReadFile(videoPath));
    c.audio = AdtsFrames(ReadFile(audioPath));
    for (const auto& f : c.video) {
      c.videoBytes += f.size();
      c.largest = std::max(c.largest, f.size());
    }
    for (const auto& f : c.audio) c.audioBytes += f.size();
    return c;
  }();
  return clip;
}

void PacketizeClip(benchmark::State& state, bool video, uint8_t streamType) {
  const Clip& clip = GetClip();
  const auto& frames = video ? clip.video : clip.audio;
  if (frames.empty()) {
    state.SkipWithError("no frames");
    return;
  }
  std::vector<palvex_test::FakeFrame> copies;  // the host's own buffers
  copies.reserve(frames.size());
  for (const Bytes& f : frames) copies.emplace_back(f, 0);
  palvex::TSPacketBuffer buffer;
  buffer.Resize(uint32_t(clip.largest * 12 / 10 + 4 * 188));
  VideoStream videoDesc;
  AudioStream audioDesc;
  audioDesc.SetMainType(kMediaMainTypeAudio);
  MediaStream* desc = video ? static_cast<MediaStream*>(&videoDesc) : &audioDesc;
  palvex::TSStream stream(streamType, video ? 0xE0 : 0xC0, 0x100, true, &buffer, 188);
  const int64_t step = video ? 40000 : 21333;
  int64_t time = 0;
  size_t packets = 0;
  for (auto _ : state) {
    for (palvex_test::FakeFrame& frame : copies) {
      frame.SetTime(time);
      time += step;
      uint32_t length = uint32_t(frame.GetSize());
      buffer.Clear();
      stream.EStoTS(desc, &frame, frame.GetData(), &length);
      uint8_t* out = nullptr;
      packets += size_t(buffer.GetBytes(&out)) / 188;
      benchmark::DoNotOptimize(out);
    }
  }
  const size_t bytes = video ? clip.videoBytes : clip.audioBytes;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()) * double(frames.size()),
                                                  benchmark::Counter::kIsRate);
  state.counters["packets/frame"] = double(packets) / double(state.iterations() * frames.size());
}

// The ceiling: per 188-byte slot a 4-byte header and one copy of up to 184 bytes, the PES
// header in front of each frame (copy_ceiling.h).
void CopyCeiling(benchmark::State& state, bool video) {
  const Clip& clip = GetClip();
  const auto& frames = video ? clip.video : clip.audio;
  std::vector<uint8_t> slots(clip.largest * 12 / 10 + 4 * 188);
  const size_t slotCount = slots.size() / 188;
  for (auto _ : state) {
    for (const auto& f : frames) {
      size_t slot = 0;
      palvex_bench::CeilingFrame(slots.data(), slotCount, &slot, f.data(), f.size());
      benchmark::DoNotOptimize(slots.data());
      benchmark::ClobberMemory();
    }
  }
  const size_t bytes = video ? clip.videoBytes : clip.audioBytes;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// The start-code scan alone over every H.264 byte.
void ScanStartCodes(benchmark::State& state) {
  const Clip& clip = GetClip();
  size_t found = 0;
  for (auto _ : state) {
    for (const auto& f : clip.video) {
      const uint8_t* end = f.data() + f.size();
      const uint8_t* p = palvex::FindStartCode(f.data(), f.size());
      while (p != nullptr) {
        ++found;
        const uint8_t* nal = p + palvex::StartCodeLength(p);
        p = palvex::FindStartCode(nal, size_t(end - nal));
      }
    }
  }
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(clip.videoBytes));
}

void BM_EStoTS_H264(benchmark::State& state) { PacketizeClip(state, true, 0x1B); }
void BM_EStoTS_AAC(benchmark::State& state) { PacketizeClip(state, false, 0x0F); }
// The same H.264 bytes on an MPEG-2 video stream: no single-pass copy with the H.264 scan,
// but a plain copy after the MPEG video header scan (which finds no picture in them).
void BM_EStoTS_H264BytesWithoutScan(benchmark::State& state) { PacketizeClip(state, true, 0x02); }
void BM_CopyCeiling_H264(benchmark::State& state) { CopyCeiling(state, true); }
void BM_CopyCeiling_AAC(benchmark::State& state) { CopyCeiling(state, false); }
void BM_FindStartCode_H264(benchmark::State& state) { ScanStartCodes(state); }

BENCHMARK(BM_EStoTS_H264);
BENCHMARK(BM_EStoTS_H264BytesWithoutScan);
BENCHMARK(BM_CopyCeiling_H264);
BENCHMARK(BM_FindStartCode_H264);
BENCHMARK(BM_EStoTS_AAC);
BENCHMARK(BM_CopyCeiling_AAC);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("cpu", palvex_bench::CpuModel());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
