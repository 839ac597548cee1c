// FeedNal over the NAL units of a real H.264 clip, in nanoseconds per NAL unit.
//
// The clip is the Annex B file named by PALVEX_H264_CLIP; without it, one is made with
// ffmpeg/libx264 into the temporary directory (High profile with B-frames, and the same
// without B-frames for pic_order_cnt_type 2).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/bit_reader.h"
#include "codec/h264_slice_parser.h"
#include "support/h264_bit_writer.h"

namespace {

namespace fs = std::filesystem;

struct Clip {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, int32_t>> nals;  // offset of the NAL header byte, length
};

Clip LoadClip(const std::string& path) {
  Clip clip;
  std::ifstream in(path, std::ios::binary);
  clip.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const std::vector<uint8_t>& b = clip.bytes;
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= b.size(); ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : b.size();
    while (end > starts[k] && b[end - 1] == 0) --end;
    if (end > starts[k]) clip.nals.emplace_back(starts[k], int32_t(end - starts[k]));
  }
  return clip;
}

std::string ClipPath(const char* name, const char* x264Options) {
  if (const char* given = std::getenv("PALVEX_H264_CLIP")) return given;
  const fs::path path = fs::temp_directory_path() / (std::string("palvex_h264_bench_") + name + ".h264");
  if (!fs::exists(path)) {
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 -t 10 "
        "-c:v libx264 -preset veryfast " + std::string(x264Options) + " -f h264 " + path.string();
    if (std::system(command.c_str()) != 0) return {};
  }
  return path.string();
}

void FeedClip(benchmark::State& state, const char* name, const char* x264Options) {
  const Clip clip = LoadClip(ClipPath(name, x264Options));
  if (clip.nals.empty()) {
    state.SkipWithError("no clip: set PALVEX_H264_CLIP or install ffmpeg with libx264");
    return;
  }
  int32_t sum = 0;
  for (auto _ : state) {
    palvex::H264SliceParser parser;
    for (const auto& [offset, length] : clip.nals) {
      parser.FeedNal(clip.bytes.data() + offset, length);
      sum += parser.GetPictureOrderCount();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["nals"] = double(clip.nals.size());
  state.counters["time_per_nal"] = benchmark::Counter(
      double(clip.nals.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FeedNalHighWithBFrames(benchmark::State& state) { FeedClip(state, "high_b", "-profile:v high -bf 3"); }
BENCHMARK(BM_FeedNalHighWithBFrames);

void BM_FeedNalHighWithoutBFrames(benchmark::State& state) {
  FeedClip(state, "high_p", "-profile:v high -x264-params bframes=0");
}
BENCHMARK(BM_FeedNalHighWithoutBFrames);

// ue(v) decoding alone, over a run of short and long codes (escaped as in a NAL unit).
void BM_ReadUe(benchmark::State& state) {
  palvex_test::H264BitWriter writer;
  int codes = 0;
  for (uint32_t v = 0; writer.Bytes().size() < 4000; v = (v * 7 + 3) % 5000, ++codes) writer.Ue(v);
  const std::vector<uint8_t> escaped = palvex_test::Escape(writer.Bytes());
  for (auto _ : state) {
    palvex::BitReader reader(escaped.data(), int32_t(escaped.size()));
    uint32_t sum = 0;
    for (int i = 0; i < codes - 1; ++i) sum += reader.ReadUe();
    benchmark::DoNotOptimize(sum);
  }
  state.counters["time_per_code"] = benchmark::Counter(
      double(codes - 1), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadUe);

}  // namespace

BENCHMARK_MAIN();
