// The frame file that carries a clip from the Linux side to the Windows host program: the
// media description and every frame as handed to palvex, little-endian, packed.
//
//   "PVXF"  u32 version (1)  u32 stream count
//   per stream: i32 maintype, i32 codec, u8 stream id, f32 frame rate (IEEE 754 bits),
//               u32 extradata length E, E bytes
//   per frame, to the end of the file: u8 stream id, i64 time (us), u32 size S, S bytes
#ifndef PALVEX_TESTS_WINDOWS_FRAME_FILE_H_
#define PALVEX_TESTS_WINDOWS_FRAME_FILE_H_

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace palvex_frames {

struct Stream {
  int32_t mainType = 0;
  int32_t codec = 0;
  uint8_t streamId = 0;
  float frameRate = 0.0f;
  std::vector<uint8_t> extraData;
};

struct Frame {
  uint8_t streamId = 0;
  int64_t timeUs = -1;
  std::vector<uint8_t> data;
};

constexpr uint32_t kVersion = 1;
// Anything larger is not a frame of a test clip but a damaged file.
constexpr uint32_t kMaxBlock = 64u << 20;

class Writer {
 public:
  explicit Writer(std::FILE* out) : m_out(out) {}
  void Header(const std::vector<Stream>& streams) {
    Bytes("PVXF", 4);
    U32(kVersion);
    U32(static_cast<uint32_t>(streams.size()));
    for (const Stream& s : streams) {
      U32(static_cast<uint32_t>(s.mainType));
      U32(static_cast<uint32_t>(s.codec));
      Bytes(&s.streamId, 1);
      uint32_t rate;
      std::memcpy(&rate, &s.frameRate, 4);
      U32(rate);
      U32(static_cast<uint32_t>(s.extraData.size()));
      Bytes(s.extraData.data(), s.extraData.size());
    }
  }
  void Add(const Frame& f) {
    Bytes(&f.streamId, 1);
    U64(static_cast<uint64_t>(f.timeUs));
    U32(static_cast<uint32_t>(f.data.size()));
    Bytes(f.data.data(), f.data.size());
  }
  bool ok() const { return m_ok; }

 private:
  void Bytes(const void* p, size_t n) {
    if (n > 0 && std::fwrite(p, 1, n, m_out) != n) m_ok = false;
  }
  void U32(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    Bytes(b, 4);
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  std::FILE* m_out;
  bool m_ok = true;
};

// Reads the whole file; false with a message when it is not a complete frame file.
inline bool Read(const std::string& path, std::vector<Stream>* streams, std::vector<Frame>* frames,
                 std::string* error) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> file;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) file.insert(file.end(), chunk, chunk + n);
  std::fclose(in);

  size_t pos = 0;
  auto take = [&](size_t count, const uint8_t** p) {
    if (file.size() - pos < count) return false;
    *p = file.data() + pos;
    pos += count;
    return true;
  };
  auto u32 = [&](uint32_t* v) {
    const uint8_t* p;
    if (!take(4, &p)) return false;
    *v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return true;
  };
  const uint8_t* p;
  uint32_t version = 0, count = 0;
  if (!take(4, &p) || std::memcmp(p, "PVXF", 4) != 0 || !u32(&version) || version != kVersion ||
      !u32(&count) || count > 16) {
    *error = path + " is not a frame file";
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    Stream s;
    uint32_t mainType, codec, rate, extra;
    if (!u32(&mainType) || !u32(&codec) || !take(1, &p)) break;
    s.mainType = static_cast<int32_t>(mainType);
    s.codec = static_cast<int32_t>(codec);
    s.streamId = p[0];
    if (!u32(&rate) || !u32(&extra) || extra > kMaxBlock || !take(extra, &p)) break;
    std::memcpy(&s.frameRate, &rate, 4);
    s.extraData.assign(p, p + extra);
    streams->push_back(std::move(s));
  }
  if (streams->size() != count) {
    *error = path + ": stream descriptions cut short";
    return false;
  }
  while (pos < file.size()) {
    Frame f;
    uint32_t lo, hi, size;
    if (!take(1, &p)) break;
    f.streamId = p[0];
    if (!u32(&lo) || !u32(&hi) || !u32(&size) || size > kMaxBlock || !take(size, &p)) {
      *error = path + ": frame " + std::to_string(frames->size()) + " cut short";
      return false;
    }
    f.timeUs = static_cast<int64_t>(uint64_t(hi) << 32 | lo);
    f.data.assign(p, p + size);
    frames->push_back(std::move(f));
  }
  return true;
}

}  // namespace palvex_frames

#endif  // PALVEX_TESTS_WINDOWS_FRAME_FILE_H_
