// palvex-mux: muxes the video and audio of any file libavformat reads into an MPEG-2
// transport stream, through palvex's exported interface, as a head-end host does.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "palvex/palvex.h"

namespace {

const char kUsage[] =
    "usage: palvex-mux [-q] INPUT OUTPUT.ts\n"
    "\n"
    "Muxes the first H.264 / MPEG-2 / MPEG-4 Visual video stream and the first\n"
    "AAC / MP2 / MP3 / AC-3 audio stream of INPUT (any file FFmpeg's libavformat reads:\n"
    "MP4, MKV, FLV, MPEG-TS, raw .h264/.aac/.mp2 ...) into an MPEG-2 transport stream.\n"
    "\n"
    "  -q          no progress line\n"
    "  -h, --help  this text\n";

// The host's frame: the bytes palvex reads, with room for the 7-byte ADTS header that
// palvex may put in front of raw AAC frames.
class HostFrame final : public IMediaFrame {
 public:
  void Assign(const std::vector<uint8_t>& bytes, int64_t timeUs) {
    if (m_storage.size() < bytes.size() + kHeadroom) m_storage.resize(bytes.size() + kHeadroom);
    if (!bytes.empty()) std::memcpy(m_storage.data(), bytes.data(), bytes.size());
    m_size = static_cast<int>(bytes.size());
    m_time = timeUs;
  }
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_storage.data(); }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return m_time; }

 private:
  static constexpr size_t kHeadroom = 16;
  std::vector<uint8_t> m_storage;
  int m_size = 0;
  int64_t m_time = -1;
};

std::string Clock(int64_t us) {
  if (us < 0) us = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(us / 3600000000),
                static_cast<int>(us / 60000000 % 60), static_cast<int>(us / 1000000 % 60),
                static_cast<int>(us / 1000 % 1000));
  return text;
}

struct Muxer {
  iptv::IVorlux* mux = iptv::CreatePalvex();
  ~Muxer() {
    if (mux != nullptr) {
      mux->Stop();
      mux->Close();
      iptv::RemovePalvex(mux);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-q") {
      quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "palvex-mux: unknown option '%s' (see --help)\n", arg.c_str());
      return 2;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  palvex_host::ClipReader reader;
  std::string error;
  if (!reader.Open(paths[0], &error)) {
    for (const std::string& w : reader.warnings()) std::fprintf(stderr, "palvex-mux: warning: %s\n", w.c_str());
    std::fprintf(stderr, "palvex-mux: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& w : reader.warnings()) std::fprintf(stderr, "palvex-mux: warning: %s\n", w.c_str());

  std::FILE* out = std::fopen(paths[1].c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "palvex-mux: cannot write '%s': %s\n", paths[1].c_str(), std::strerror(errno));
    return 1;
  }

  Muxer m;
  if (m.mux == nullptr) {
    std::fprintf(stderr, "palvex-mux: cannot create a muxer\n");
    std::fclose(out);
    return 1;
  }
  std::unique_ptr<MediaFormat> format = palvex_host::Describe(reader.streams());
  if (m.mux->AddMediaFormat(format.get()) == nullptr || m.mux->Open() != 0 || m.mux->Start() != 0) {
    std::fprintf(stderr, "palvex-mux: the muxer refused the media description\n");
    std::fclose(out);
    return 1;
  }

  const bool progress = !quiet && isatty(STDERR_FILENO);
  const auto begin = std::chrono::steady_clock::now();
  auto lastShown = begin;
  palvex_host::ClipFrame clip;
  HostFrame frame;
  uint64_t frames = 0, videoFrames = 0, audioFrames = 0, inBytes = 0, outBytes = 0;
  int64_t mediaTime = 0;
  bool ok = true;
  while (reader.Next(&clip, &error)) {
    frame.Assign(clip.data, clip.timeUs);
    uint8_t* ts = nullptr;
    int length = 0;
    if (m.mux->ProcessFrame(clip.streamId, &frame, &ts, &length) != 0) {
      std::fprintf(stderr, "palvex-mux: the muxer refused frame %llu\n",
                   static_cast<unsigned long long>(frames));
      ok = false;
      break;
    }
    if (length > 0 && std::fwrite(ts, 1, static_cast<size_t>(length), out) != static_cast<size_t>(length)) {
      std::fprintf(stderr, "palvex-mux: write error on '%s': %s\n", paths[1].c_str(), std::strerror(errno));
      ok = false;
      break;
    }
    ++frames;
    (clip.mainType == kMediaMainTypeVideo ? videoFrames : audioFrames) += 1;
    inBytes += clip.data.size();
    outBytes += static_cast<uint64_t>(length);
    if (clip.timeUs > mediaTime) mediaTime = clip.timeUs;
    if (progress) {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastShown > std::chrono::milliseconds(200)) {
        lastShown = now;
        const double s = std::chrono::duration<double>(now - begin).count();
        std::fprintf(stderr, "\rframes %llu  media time %s  %.1f MB/s   ",
                     static_cast<unsigned long long>(frames), Clock(mediaTime).c_str(),
                     s > 0 ? static_cast<double>(inBytes) / 1e6 / s : 0.0);
      }
    }
  }
  if (!error.empty()) {
    std::fprintf(stderr, "%spalvex-mux: %s\n", progress ? "\n" : "", error.c_str());
    ok = false;
  }
  if (std::fclose(out) != 0) ok = false;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (progress) std::fputc('\n', stderr);
  std::printf("frames in: %llu (video %llu, audio %llu), packets out: %llu, bytes: %llu, media time: %s, "
              "time: %.3f s (%.1f MB/s)\n",
              static_cast<unsigned long long>(frames), static_cast<unsigned long long>(videoFrames),
              static_cast<unsigned long long>(audioFrames), static_cast<unsigned long long>(outBytes / 188),
              static_cast<unsigned long long>(outBytes), Clock(mediaTime).c_str(), seconds,
              seconds > 0 ? static_cast<double>(inBytes) / 1e6 / seconds : 0.0);
  return ok ? 0 : 1;
}
