// palvex beside libavformat's MPEG-TS muxer, the packetizing ceiling and plain memcpy, on
// the frames of real clips held in memory. Each case runs in one process on the same
// frames; the variants take turns within every repetition and the median time counts.
//
//   palvex     the exported interface: CreatePalvex, AddMediaFormat, Open, Start, then
//              ProcessFrame for every frame; output bytes counted.
//   libav      libavformat's "mpegts" muxer into a custom AVIO whose write callback only
//              counts bytes; av_write_frame with packets that point at the same frames.
//   ceiling    per 188-byte slot a 4-byte header and one copy of up to 184 bytes (a 19-byte
//              PES header in front of each frame), into a reused buffer of the packet
//              buffer's size (102272 bytes); see copy_ceiling.h.
//   memcpy     each frame copied once into a reused buffer.
//   palvex1000 the same frames dealt out in turn to 1000 muxers, each through its exported
//              interface: many channels on one core, where every call finds the muxer's
//              state and packet buffer out of cache. Each muxer's clock runs at the
//              channel's pace (see SpreadFrames).
//   ceiling1000 the ceiling dealt out the same way into 1000 output areas of the packet
//              buffer's size: what writing into 1000 areas costs without any muxer.
//
// Modes: cold (the whole clip, caches flushed before every run by writing a 96 MB buffer
// and by flushing the clip's own lines, so that the frames come from memory also where
// the last-level cache is larger) and hot (the first second looped, with times moving on,
// so that the frames stay in cache; each instance runs the first loop untimed, so that its
// own state and output area are in cache too, as a long-running host has them). The
// report names the processor it ran on. --cold-start times hot runs from a fresh instance
// as earlier rounds did.
//
// The clips are made with ffmpeg/libx264 on first use in --dir (default
// /tmp/palvex_mux_compare): 720p25 at 4 Mb/s and 1080p50 at 10 Mb/s, H.264 High with
// access unit delimiters and 48 kHz AAC, and an AAC-only clip. AAC frames are handed to
// both muxers with ADTS headers, built here from the AudioSpecificConfig, so that neither
// re-frames them (libavformat would run a nested ADTS muxer per frame, palvex would insert
// the header into the host's buffer).
//
// Usage: palvex_mux_compare [--dir DIR] [--seconds N] [--reps N] [--scatter] [--cold-start] [--case NAME]...
//        palvex_mux_compare --single VARIANT --case NAME [--mode hot|cold] [--runs N] [--dump FILE]
// --single runs one variant (once, or N times for a profiler; --dump keeps palvex's packets,
// to compare two builds of the library byte for byte), e.g. for callgrind
//   GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=4294967295:glibc.cpu.x86_rep_stosb_threshold=4294967295
//   valgrind --tool=callgrind --toggle-collect='Run*Once*' palvex_mux_compare --single palvex --case 720p25
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "clip_reader.h"
#include "copy_ceiling.h"
#include "palvex/palvex.h"

namespace {

std::FILE* g_report = stdout;  // the muxer reports buffer growth on stdout; ours goes here

constexpr size_t kPacketBufferBytes = 102272;  // the packet buffer's initial 544 slots
constexpr size_t kFlushBytes = 96u << 20;      // 3 x a 32 MB last-level cache

struct Frame {
  const uint8_t* data;
  int size;
  int streamIndex;  // index into Clip::streams
  int64_t timeUs;   // what palvex is given: decode time (video), presentation time (audio)
  int64_t pts90;    // libavformat: 90 kHz
  int64_t dts90;
  bool key;
};

struct Clip {
  std::string name;
  std::vector<palvex_host::ClipStream> streams;
  std::vector<std::vector<uint8_t>> storage;  // while loading
  std::vector<uint8_t> arena;                  // every frame, in file order
  std::vector<Frame> frames;
  size_t bytes = 0;
  size_t largest = 0;
};

// ---- clips -----------------------------------------------------------------------------------

bool Run(const std::string& command) {
  std::fprintf(g_report, "  $ %s\n", command.c_str());
  std::fflush(g_report);
  return std::system(command.c_str()) == 0;
}

bool MakeClip(const std::string& path, const std::string& name, int seconds) {
  if (access(path.c_str(), R_OK) == 0) return true;
  const std::string t = std::to_string(seconds);
  const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + t;
  std::string video;
  if (name == "720p25") {
    video = "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + t +
            " -vf noise=alls=10:allf=t -b:v 4M -maxrate 4M -bufsize 4M";
  } else if (name == "1080p50") {
    video = "-f lavfi -i testsrc2=size=1920x1080:rate=50:duration=" + t +
            " -vf noise=alls=10:allf=t -b:v 10M -maxrate 10M -bufsize 10M";
  }
  std::string command = "ffmpeg -v error -y ";
  if (!video.empty()) {
    command += video.substr(0, video.find(" -vf")) + " " + audio + video.substr(video.find(" -vf")) +
               " -c:v libx264 -preset superfast -profile:v high -pix_fmt yuv420p -x264-params aud=1";
  } else {
    command += audio;
  }
  command += " -c:a aac -b:a 128k '" + path + ".part.mp4' && mv '" + path + ".part.mp4' '" + path + "'";
  return Run(command);
}

// 7-byte ADTS header (no CRC) from an AudioSpecificConfig.
void PutAdtsHeader(uint8_t* h, const std::vector<uint8_t>& asc, size_t frameLength) {
  const int objectType = asc.size() >= 2 ? asc[0] >> 3 : 2;
  const int frequencyIndex = asc.size() >= 2 ? (asc[0] & 7) << 1 | asc[1] >> 7 : 3;
  const int channels = asc.size() >= 2 ? asc[1] >> 3 & 15 : 2;
  h[0] = 0xFF;
  h[1] = 0xF1;
  h[2] = uint8_t((objectType - 1) << 6 | frequencyIndex << 2 | channels >> 2);
  h[3] = uint8_t((channels & 3) << 6 | int(frameLength >> 11 & 3));
  h[4] = uint8_t(frameLength >> 3);
  h[5] = uint8_t((frameLength & 7) << 5 | 0x1F);
  h[6] = 0xFC;
}

bool g_scatter = false;  // --scatter: frames spread over the block in a shuffled order

bool LoadClip(const std::string& path, const std::string& name, Clip* clip) {
  palvex_host::ClipReader reader;
  std::string error;
  if (!reader.Open(path, &error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  clip->name = name;
  clip->streams = reader.streams();
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) {
    int index = -1;
    for (size_t i = 0; i < clip->streams.size(); ++i)
      if (clip->streams[i].streamId == f.streamId) index = int(i);
    if (index < 0 || f.timeUs < 0) continue;
    const palvex_host::ClipStream& s = clip->streams[size_t(index)];
    std::vector<uint8_t> bytes;
    if (s.mainType == 1 && s.codecName == "aac") {
      bytes.resize(7 + f.data.size());
      PutAdtsHeader(bytes.data(), s.extraData, bytes.size());
      std::memcpy(bytes.data() + 7, f.data.data(), f.data.size());
    } else {
      bytes = std::move(f.data);
    }
    clip->storage.push_back(std::move(bytes));
    const int64_t pts = f.ptsUs >= 0 ? f.ptsUs : f.timeUs;
    clip->frames.push_back(Frame{nullptr, 0, index, f.timeUs, pts * 9 / 100, f.timeUs * 9 / 100, f.key});
  }
  // One block, frames one after the other in file order, as in a host's ring buffer: where
  // the frames lie does not depend on what the process did before. With --scatter they are
  // placed in a shuffled order, each on its own cache lines, so that no frame follows the
  // one before in memory (a host with a buffer per frame).
  std::vector<size_t> order(clip->frames.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (g_scatter) {
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (size_t i = order.size(); i > 1; --i) {
      x = x * 6364136223846793005u + 1442695040888963407u;
      std::swap(order[i - 1], order[size_t(x >> 33) % i]);
    }
  }
  size_t total = 0;
  for (const std::vector<uint8_t>& bytes : clip->storage) {
    clip->bytes += bytes.size();
    total += g_scatter ? (bytes.size() + 63) / 64 * 64 : bytes.size();
  }
  clip->arena.resize(total + 64);
  uint8_t* base = clip->arena.data();
  if (g_scatter) base += (64 - reinterpret_cast<uintptr_t>(base) % 64) % 64;
  size_t offset = 0;
  for (size_t i : order) {
    const std::vector<uint8_t>& bytes = clip->storage[i];
    if (!bytes.empty()) std::memcpy(base + offset, bytes.data(), bytes.size());
    clip->frames[i].data = base + offset;
    clip->frames[i].size = int(bytes.size());
    clip->largest = std::max(clip->largest, bytes.size());
    offset += g_scatter ? (bytes.size() + 63) / 64 * 64 : bytes.size();
  }
  clip->storage.clear();
  clip->storage.shrink_to_fit();
  return !clip->frames.empty();
}

// The first second, repeated `loops` times with the times moved on by one second each time.
std::vector<Frame> HotFrames(const Clip& clip, int loops) {
  std::vector<Frame> first;
  for (const Frame& f : clip.frames)
    if (f.timeUs < clip.frames.front().timeUs + 1000000) first.push_back(f);
  std::vector<Frame> out;
  for (int loop = 0; loop < loops; ++loop) {
    for (Frame f : first) {
      f.timeUs += int64_t(loop) * 1000000;
      f.pts90 += int64_t(loop) * 90000;
      f.dts90 += int64_t(loop) * 90000;
      out.push_back(f);
    }
  }
  return out;
}

// ---- the variants ----------------------------------------------------------------------------

struct Result {
  size_t outputBytes = 0;
};

class BenchFrame final : public IMediaFrame {
 public:
  void Set(const Frame& f) {
    m_data = const_cast<uint8_t*>(f.data);
    m_size = f.size;
    m_time = f.timeUs;
  }
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_data; }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return m_time; }

 private:
  uint8_t* m_data = nullptr;
  int m_size = 0;
  int64_t m_time = 0;
};

struct PalvexMuxer {
  iptv::IVorlux* mux = nullptr;
  std::unique_ptr<MediaFormat> format;

  explicit PalvexMuxer(const Clip& clip) {
    format = palvex_host::Describe(clip.streams);
    mux = iptv::CreatePalvex();
    if (mux == nullptr || mux->AddMediaFormat(format.get()) == nullptr || mux->Open() != 0 ||
        mux->Start() != 0) {
      std::fprintf(stderr, "palvex refused the clip's format\n");
      std::exit(1);
    }
  }
  ~PalvexMuxer() {
    mux->Stop();
    mux->Close();
    iptv::RemovePalvex(mux);
  }
};

std::FILE* g_dump = nullptr;  // --dump: palvex's packets, to compare builds byte for byte

__attribute__((noinline)) Result RunPalvexOnce(iptv::IVorlux* mux, const Clip& clip,
                                              const std::vector<Frame>& frames) {
  Result r;
  BenchFrame frame;
  for (const Frame& f : frames) {
    frame.Set(f);
    uint8_t* data = nullptr;
    int length = 0;
    mux->ProcessFrame(clip.streams[size_t(f.streamIndex)].streamId, &frame, &data, &length);
    if (length > 0) r.outputBytes += size_t(length);
    if (g_dump != nullptr && length > 0) std::fwrite(data, 1, size_t(length), g_dump);
  }
  return r;
}

struct LibavMuxer {
  AVFormatContext* context = nullptr;
  uint8_t* ioBuffer = nullptr;
  size_t written = 0;

  static int Count(void* opaque, uint8_t*, int size) {
    static_cast<LibavMuxer*>(opaque)->written += size_t(size);
    return size;
  }

  explicit LibavMuxer(const Clip& clip) {
    if (avformat_alloc_output_context2(&context, nullptr, "mpegts", nullptr) < 0) std::exit(1);
    ioBuffer = static_cast<uint8_t*>(av_malloc(kPacketBufferBytes));
    context->pb = avio_alloc_context(ioBuffer, int(kPacketBufferBytes), 1, this, nullptr, &Count, nullptr);
    context->flush_packets = 0;
    for (const palvex_host::ClipStream& s : clip.streams) {
      AVStream* st = avformat_new_stream(context, nullptr);
      const AVCodecDescriptor* d = avcodec_descriptor_get_by_name(s.codecName.c_str());
      st->codecpar->codec_type = s.mainType == 0 ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
      st->codecpar->codec_id = d != nullptr ? d->id : AV_CODEC_ID_NONE;
      st->time_base = AVRational{1, 90000};
      if (s.mainType == 1) {
        st->codecpar->sample_rate = 48000;
        av_channel_layout_default(&st->codecpar->ch_layout, 2);
        if (!s.extraData.empty()) {
          st->codecpar->extradata =
              static_cast<uint8_t*>(av_mallocz(s.extraData.size() + AV_INPUT_BUFFER_PADDING_SIZE));
          std::memcpy(st->codecpar->extradata, s.extraData.data(), s.extraData.size());
          st->codecpar->extradata_size = int(s.extraData.size());
        }
      }
    }
    if (avformat_write_header(context, nullptr) < 0) {
      std::fprintf(stderr, "libavformat refused the streams\n");
      std::exit(1);
    }
  }
  ~LibavMuxer() {
    av_freep(&context->pb->buffer);
    avio_context_free(&context->pb);
    avformat_free_context(context);
  }
};

// finish: write the trailer (not after an untimed warm-up, which the timed run continues).
__attribute__((noinline)) Result RunLibavOnce(LibavMuxer* m, const std::vector<Frame>& frames,
                                             bool finish = true) {
  AVPacket* packet = av_packet_alloc();
  const size_t before = m->written;
  for (const Frame& f : frames) {
    packet->data = const_cast<uint8_t*>(f.data);  // not reference-counted: not copied
    packet->size = f.size;
    packet->stream_index = f.streamIndex;
    packet->pts = f.pts90;
    packet->dts = f.dts90;
    packet->flags = f.key ? AV_PKT_FLAG_KEY : 0;
    av_write_frame(m->context, packet);
  }
  if (finish) av_write_trailer(m->context);
  avio_flush(m->context->pb);
  av_packet_free(&packet);
  return Result{m->written - before};
}

__attribute__((noinline)) Result RunCeilingOnce(uint8_t* slots, const std::vector<Frame>& frames) {
  Result r;
  constexpr size_t kSlots = kPacketBufferBytes / 188 - 1;
  size_t slot = 0;
  for (const Frame& f : frames) {
    r.outputBytes += 188 * palvex_bench::CeilingFrame(slots, kSlots, &slot, f.data, size_t(f.size));
    asm volatile("" : : "r"(slots) : "memory");
  }
  return r;
}

// Many muxers on one core: the frames dealt out in turn, frame i to muxer i % count.
constexpr int kManyMuxers = 1000;

struct SpreadFrame {
  int muxer;
  Frame frame;
};

// The frames dealt out in turn to `muxers` muxers, each muxer's frames timed as those of a
// channel of its own: the j-th frame of a stream that a muxer gets carries the times of
// the stream's (j + 1)-th frame in `frames`, so that every muxer's clock runs at the
// channel's pace (tables, PCRs and the duration measurement as on one muxer) while each
// call goes to another muxer than the one before. The stream's first frame (times of its
// 0th) is what Prime gives every muxer before the run.
std::vector<SpreadFrame> SpreadFrames(const Clip& clip, const std::vector<Frame>& frames, int muxers,
                                      size_t warm, size_t* warmSpread) {
  std::vector<std::vector<const Frame*>> ofStream(clip.streams.size());
  for (const Frame& f : frames) ofStream[size_t(f.streamIndex)].push_back(&f);
  std::vector<std::vector<size_t>> next(size_t(muxers), std::vector<size_t>(clip.streams.size(), 1));
  std::vector<SpreadFrame> out;
  out.reserve(frames.size());
  *warmSpread = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i == warm) *warmSpread = out.size();
    const int m = int(i % size_t(muxers));
    const size_t s = size_t(frames[i].streamIndex);
    size_t& j = next[size_t(m)][s];
    if (j >= ofStream[s].size()) continue;
    Frame f = frames[i];
    f.timeUs = ofStream[s][j]->timeUs;
    f.pts90 = ofStream[s][j]->pts90;
    f.dts90 = ofStream[s][j]->dts90;
    ++j;
    out.push_back(SpreadFrame{m, f});
  }
  return out;
}

// Every muxer's first frame of each stream (the clip's first of that stream: tables and
// the H.264 sequence parameter set), before the timed run.
void Prime(std::vector<std::unique_ptr<PalvexMuxer>>& muxers, const Clip& clip,
           const std::vector<Frame>& frames) {
  for (size_t s = 0; s < clip.streams.size(); ++s) {
    const Frame* first = nullptr;
    for (const Frame& f : frames) {
      if (size_t(f.streamIndex) == s) {
        first = &f;
        break;
      }
    }
    if (first == nullptr) continue;
    BenchFrame frame;
    frame.Set(*first);
    for (std::unique_ptr<PalvexMuxer>& m : muxers) {
      uint8_t* data = nullptr;
      int length = 0;
      m->mux->ProcessFrame(clip.streams[s].streamId, &frame, &data, &length);
    }
  }
}

__attribute__((noinline)) Result RunManyOnce(const std::vector<std::unique_ptr<PalvexMuxer>>& muxers,
                                             const Clip& clip, const std::vector<SpreadFrame>& frames) {
  Result r;
  BenchFrame frame;
  for (const SpreadFrame& s : frames) {
    frame.Set(s.frame);
    uint8_t* data = nullptr;
    int length = 0;
    muxers[size_t(s.muxer)]->mux->ProcessFrame(clip.streams[size_t(s.frame.streamIndex)].streamId, &frame,
                                               &data, &length);
    if (length > 0) r.outputBytes += size_t(length);
  }
  return r;
}

// The ceiling dealt out as to palvex1000: each frame into the output area of its muxer,
// from the area's start, as into a packet buffer emptied after every call. What 1000 output
// areas cost the caches and memory alone, with no muxer state at all.
__attribute__((noinline)) Result RunCeilingManyOnce(uint8_t* areas, const std::vector<SpreadFrame>& frames) {
  Result r;
  constexpr size_t kSlots = kPacketBufferBytes / 188 - 1;
  for (const SpreadFrame& s : frames) {
    uint8_t* slots = areas + size_t(s.muxer) * kPacketBufferBytes;
    size_t slot = 0;
    r.outputBytes += 188 * palvex_bench::CeilingFrame(slots, kSlots, &slot, s.frame.data, size_t(s.frame.size));
    asm volatile("" : : "r"(slots) : "memory");
  }
  return r;
}

__attribute__((noinline)) Result RunMemcpyOnce(uint8_t* buffer, const std::vector<Frame>& frames) {
  Result r;
  for (const Frame& f : frames) {
    std::memcpy(buffer, f.data, size_t(f.size));
    r.outputBytes += size_t(f.size);
    asm volatile("" : : "r"(buffer) : "memory");
  }
  return r;
}

// ---- measurement -----------------------------------------------------------------------------

void FlushCaches(const Clip& clip) {
  static std::vector<uint8_t> junk(kFlushBytes);
  static uint8_t value = 0;
  std::memset(junk.data(), ++value, junk.size());
  uint64_t sum = 0;
  for (size_t i = 0; i < junk.size(); i += 64) sum += junk[i];
  asm volatile("" : : "r"(sum) : "memory");
#if defined(__x86_64__) || defined(__i386__)
  // A last-level cache larger than the junk (virtual machines report hundreds of MB) would
  // still hold the frames.
  const uint8_t* base = clip.arena.data();
  for (size_t i = 0; i < clip.arena.size(); i += 64) _mm_clflush(base + i);
  _mm_mfence();
#else
  (void)clip;
#endif
}

// CPU time of this thread: on a machine shared with other jobs, the time slices they take
// do not count against whichever variant happened to be running.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

const char* const kVariants[] = {"palvex", "libav", "ceiling", "memcpy", "palvex1000", "ceiling1000"};
constexpr int kVariantCount = 6;
constexpr int kMany = 4;
constexpr int kManyCeiling = 5;

struct Timed {
  double seconds;
  Result result;
  size_t frames;  // frames handed over in the timed run
  size_t bytes;   // and their bytes
};

size_t SpreadBytes(const std::vector<SpreadFrame>& spread, const std::vector<Frame>& frames) {
  size_t bytes = 0;
  if (spread.empty()) {
    for (const Frame& f : frames) bytes += size_t(f.size);
  } else {
    for (const SpreadFrame& s : spread) bytes += size_t(s.frame.size);
  }
  return bytes;
}

// One timed run of a variant on a fresh instance (muxer, slots, buffer). The first `warm`
// frames run untimed on the same instance: in hot mode every variant is timed in its
// steady state, with its own state and output area in cache as a long-running host has
// them, not on the cache misses of an instance just made after another variant ran.
Timed RunVariant(int variant, const Clip& clip, const std::vector<Frame>& all, bool cold, size_t warm = 0) {
  static std::vector<uint8_t> slots(kPacketBufferBytes);
  static std::vector<uint8_t> copyBuffer;
  if (copyBuffer.size() < std::max(clip.largest, kPacketBufferBytes))
    copyBuffer.resize(std::max(clip.largest, kPacketBufferBytes));
  warm = std::min(warm, all.size());
  const std::vector<Frame> head(all.begin(), all.begin() + long(warm));
  const std::vector<Frame> frames(all.begin() + long(warm), all.end());
  std::unique_ptr<PalvexMuxer> palvex;
  std::unique_ptr<LibavMuxer> libav;
  std::vector<std::unique_ptr<PalvexMuxer>> many;
  std::vector<SpreadFrame> spread;
  if (variant == 0) palvex = std::make_unique<PalvexMuxer>(clip);
  if (variant == 1) libav = std::make_unique<LibavMuxer>(clip);
  static std::vector<uint8_t> areas;  // ceiling1000's output areas, touched once
  if (variant == kManyCeiling && areas.empty()) areas.assign(kManyMuxers * kPacketBufferBytes, 0);
  if (variant == kMany || variant == kManyCeiling) {
    if (variant == kMany) {
      for (int i = 0; i < kManyMuxers; ++i) many.push_back(std::make_unique<PalvexMuxer>(clip));
      Prime(many, clip, all);
    }
    size_t warmSpread = 0;
    spread = SpreadFrames(clip, all, kManyMuxers, warm, &warmSpread);
    // Warm, every muxer (output area) gets at least one frame before the timed run, as in
    // a host that has run its channels for a while: the first second alone reaches only
    // a few dozen of them.
    if (warm > 0) warmSpread = std::max(warmSpread, std::min(spread.size() / 2, size_t(kManyMuxers)));
    if (warm > 0) {
      const std::vector<SpreadFrame> first(spread.begin(), spread.begin() + long(warmSpread));
      if (variant == kMany) RunManyOnce(many, clip, first);
      else RunCeilingManyOnce(areas.data(), first);
      spread.erase(spread.begin(), spread.begin() + long(warmSpread));
    }
  }
  if (warm > 0) {
    switch (variant) {
      case 0: RunPalvexOnce(palvex->mux, clip, head); break;
      case 1: RunLibavOnce(libav.get(), head, false); break;
      case 2: RunCeilingOnce(slots.data(), head); break;
      case 3: RunMemcpyOnce(copyBuffer.data(), head); break;
      default: break;
    }
  }
  if (cold) FlushCaches(clip);
  const double start = ThreadSeconds();
  Result r;
  switch (variant) {
    case 0: r = RunPalvexOnce(palvex->mux, clip, frames); break;
    case 1: r = RunLibavOnce(libav.get(), frames); break;
    case 2: r = RunCeilingOnce(slots.data(), frames); break;
    case 3: r = RunMemcpyOnce(copyBuffer.data(), frames); break;
    case kMany: r = RunManyOnce(many, clip, spread); break;
    default: r = RunCeilingManyOnce(areas.data(), spread); break;
  }
  const double seconds = ThreadSeconds() - start;
  return Timed{seconds, r, spread.empty() ? frames.size() : spread.size(), SpreadBytes(spread, frames)};
}

void Measure(const Clip& clip, const std::vector<Frame>& frames, const char* mode, bool cold, int reps,
             size_t warm = 0) {
  size_t bytes = 0;
  for (size_t i = warm; i < frames.size(); ++i) bytes += size_t(frames[i].size);
  std::vector<double> times[kVariantCount];
  Timed last[kVariantCount];
  for (int v = 0; v < kVariantCount; ++v) RunVariant(v, clip, frames, cold, warm);  // warm-up
  for (int rep = 0; rep < reps; ++rep) {
    for (int k = 0; k < kVariantCount; ++k) {
      const int v = (rep + k) % kVariantCount;  // every variant takes every place in turn
      last[v] = RunVariant(v, clip, frames, cold, warm);
      times[v].push_back(last[v].seconds);
    }
  }
  double median[kVariantCount];
  double framesPerSecond[kVariantCount];
  for (int v = 0; v < kVariantCount; ++v) {
    median[v] = Median(times[v]);
    framesPerSecond[v] = double(last[v].frames) / median[v];
  }
  std::fprintf(g_report, "\n%s %s%s: %zu frames, %.1f MB in, %d repetitions (median)\n", clip.name.c_str(),
               mode, g_scatter ? " scattered" : "", frames.size() - warm, double(bytes) / 1e6, reps);
  std::fprintf(g_report, "  %-10s %10s %10s %12s %12s\n", "", "ms", "MB/s", "frames/s", "out MB");
  for (int v = 0; v < kVariantCount; ++v) {
    std::fprintf(g_report, "  %-10s %10.3f %10.0f %12.0f %12.1f\n", kVariants[v], median[v] * 1e3,
                 double(last[v].bytes) / 1e6 / median[v], framesPerSecond[v],
                 double(last[v].result.outputBytes) / 1e6);
  }
  std::fprintf(g_report,
               "  palvex / libav %.2fx   palvex / ceiling %.0f %%   palvex / memcpy %.0f %%\n"
               "  %d muxers / one %.0f %%   %d output areas / one (ceiling1000 / ceiling) %.0f %%\n",
               median[1] / median[0], 100 * median[2] / median[0], 100 * median[3] / median[0],
               kManyMuxers, 100 * framesPerSecond[kMany] / framesPerSecond[0], kManyMuxers,
               100 * framesPerSecond[kManyCeiling] / framesPerSecond[2]);
  std::fflush(g_report);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/tmp/palvex_mux_compare";
  int seconds = 60;
  int reps = 11;
  std::vector<std::string> cases;
  std::string single;
  std::string mode = "hot";
  int runs = 1;
  std::string dump;
  bool coldStart = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--dir" && more) dir = argv[++i];
    else if (arg == "--seconds" && more) seconds = std::atoi(argv[++i]);
    else if (arg == "--reps" && more) reps = std::atoi(argv[++i]);
    else if (arg == "--case" && more) cases.push_back(argv[++i]);
    else if (arg == "--single" && more) single = argv[++i];
    else if (arg == "--mode" && more) mode = argv[++i];
    else if (arg == "--runs" && more) runs = std::atoi(argv[++i]);
    else if (arg == "--scatter") g_scatter = true;
    else if (arg == "--cold-start") coldStart = true;
    else if (arg == "--dump" && more) dump = argv[++i];
    else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--seconds N] [--reps N] [--scatter] [--cold-start] [--case 720p25|1080p50|aac]...\n"
                           "       %s --single palvex|libav|ceiling|memcpy|palvex1000|ceiling1000 --case NAME [--mode hot|cold] [--runs N] [--dump FILE]\n",
                   argv[0], argv[0]);
      return 2;
    }
  }
  if (cases.empty()) cases = {"720p25", "1080p50", "aac"};

  // The muxer reports buffer growth and stops on stdout: keep the report apart from it.
  const int reportFd = dup(STDOUT_FILENO);
  g_report = fdopen(reportFd, "w");
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  av_log_set_level(AV_LOG_ERROR);
  std::fprintf(g_report, "on %s\n", palvex_bench::CpuModel().c_str());

  if (std::system(("mkdir -p '" + dir + "'").c_str()) != 0) return 1;
  for (const std::string& name : cases) {
    const std::string path = dir + "/" + name + "_" + std::to_string(seconds) + "s.mp4";
    if (!MakeClip(path, name, seconds)) {
      std::fprintf(stderr, "could not make %s\n", path.c_str());
      return 1;
    }
    Clip clip;
    if (!LoadClip(path, name, &clip)) return 1;
    const int loops = seconds;
    const std::vector<Frame> hot = HotFrames(clip, loops);
    const size_t warm = coldStart ? 0 : hot.size() / size_t(loops);  // hot: the first second untimed
    if (!single.empty()) {
      int v = 0;
      while (v < kVariantCount && single != kVariants[v]) ++v;
      if (v == kVariantCount) return 2;
      const std::vector<Frame>& frames = mode == "cold" ? clip.frames : hot;
      Timed t{};
      if (!dump.empty() && (g_dump = std::fopen(dump.c_str(), "wb")) == nullptr) return 1;
      for (int run = 0; run < runs; ++run) t = RunVariant(v, clip, frames, mode == "cold", mode == "cold" ? 0 : warm);
      std::fprintf(g_report, "%s %s %s: %zu frames, %zu bytes in, %zu bytes out (%zu packets), %.3f ms\n",
                   single.c_str(), name.c_str(), mode.c_str(), t.frames, t.bytes, t.result.outputBytes,
                   t.result.outputBytes / 188, t.seconds * 1e3);
      if (g_dump != nullptr && std::fclose(g_dump) != 0) return 1;
      g_dump = nullptr;
      continue;
    }
    Measure(clip, clip.frames, "cold", true, reps);
    Measure(clip, hot, "hot", false, reps * 2 + 1, warm);
  }
  return 0;
}
