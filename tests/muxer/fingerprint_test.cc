// Whole-stream fingerprints: the size and MD5 of everything the muxer hands out for fixed
// frame sequences, built here. They pin the output byte for byte, so any change to what
// the muxer writes shows up here; update a fingerprint only when the output is meant to
// change (the failure message prints the new values, and PALVEX_FINGERPRINT_DIR=<dir>
// keeps the muxed streams for ffprobe or a diff).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/test_format.h"
#include "support/ts_checker.h"

namespace {

using palvex_test::FakeFrame;

// ---- MD5 (RFC 1321) ------------------------------------------------------------------------

class Md5 {
 public:
  void Update(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      m_block[m_bytes % 64] = data[i];
      ++m_bytes;
      if (m_bytes % 64 == 0) Transform();
    }
  }
  std::string HexDigest() {
    const uint64_t bits = m_bytes * 8;
    const uint8_t pad = 0x80;
    Update(&pad, 1);
    const uint8_t zero = 0;
    while (m_bytes % 64 != 56) Update(&zero, 1);
    for (int i = 0; i < 8; ++i) {
      const uint8_t b = uint8_t(bits >> (8 * i));
      Update(&b, 1);
    }
    std::string hex;
    char two[3];
    for (uint32_t word : m_state) {
      for (int i = 0; i < 4; ++i) {
        std::snprintf(two, sizeof two, "%02x", unsigned(word >> (8 * i) & 0xFF));
        hex += two;
      }
    }
    return hex;
  }

 private:
  static uint32_t Rotl(uint32_t x, int c) { return x << c | x >> (32 - c); }
  void Transform() {
    static constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                       5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                       4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                       6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    static constexpr uint32_t kSine[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
      m[i] = uint32_t(m_block[4 * i]) | uint32_t(m_block[4 * i + 1]) << 8 |
             uint32_t(m_block[4 * i + 2]) << 16 | uint32_t(m_block[4 * i + 3]) << 24;
    }
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const uint32_t next = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
      a = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
  }

  std::array<uint32_t, 4> m_state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  uint8_t m_block[64] = {};
  uint64_t m_bytes = 0;
};

std::string Md5Of(const std::string& text) {
  Md5 md5;
  md5.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return md5.HexDigest();
}

TEST(FingerprintTest, Md5KnownAnswers) {
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// ---- frame material --------------------------------------------------------------------------

// Deterministic bytes (64-bit LCG, high bits).
class Noise {
 public:
  explicit Noise(uint64_t seed) : m_state(seed) {}
  uint32_t Next() {
    m_state = m_state * 6364136223846793005u + 1442695040888963407u;
    return uint32_t(m_state >> 33);
  }
  uint8_t Byte() { return uint8_t(Next() >> 7); }

 private:
  uint64_t m_state;
};

// MSB-first bit writer for the few header fields the packetizer's H.264 reader uses.
class Bits {
 public:
  void U(int n, uint32_t v) {
    for (int i = n - 1; i >= 0; --i) Bit(int(v >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t code = uint64_t(v) + 1;
    int n = 0;
    while ((code >> n) > 1) ++n;
    U(n, 0);
    for (int i = n; i >= 0; --i) Bit(int(code >> i) & 1);
  }
  // rbsp_trailing_bits, then the bytes.
  void AppendTo(std::vector<uint8_t>* out) {
    Bit(1);
    while (m_count % 8 != 0) Bit(0);
    out->insert(out->end(), m_bytes, m_bytes + m_count / 8);
  }

 private:
  void Bit(int b) {
    if (m_count % 8 == 0) m_bytes[m_count / 8] = 0;
    if (b) m_bytes[m_count / 8] = uint8_t(m_bytes[m_count / 8] | 0x80 >> (m_count % 8));
    ++m_count;
  }
  uint8_t m_bytes[64] = {};
  int m_count = 0;
};

void StartCode(std::vector<uint8_t>* f, int length) {
  if (length == 4) f->push_back(0x00);  // zero_byte
  f->insert(f->end(), {0x00, 0x00, 0x01});
}

// SPS, High profile (profile_idc 100), pic_order_cnt_type 0 with 6-bit lsb.
void AppendSps(std::vector<uint8_t>* f) {
  f->insert(f->end(), {0x67, 100, 0x00, 31});  // nal_unit_type 7, profile_idc, constraint flags, level_idc
  Bits w;
  w.Ue(0);      // seq_parameter_set_id
  w.Ue(1);      // chroma_format_idc
  w.Ue(0);      // bit_depth_luma_minus8
  w.Ue(0);      // bit_depth_chroma_minus8
  w.U(1, 0);    // qpprime_y_zero_transform_bypass_flag
  w.U(1, 0);    // seq_scaling_matrix_present_flag
  w.Ue(0);      // log2_max_frame_num_minus4
  w.Ue(0);      // pic_order_cnt_type
  w.Ue(2);      // log2_max_pic_order_cnt_lsb_minus4
  w.Ue(2);      // max_num_ref_frames
  w.U(1, 0);    // gaps_in_frame_num_value_allowed_flag
  w.Ue(79);     // pic_width_in_mbs_minus1
  w.Ue(44);     // pic_height_in_map_units_minus1
  w.U(1, 1);    // frame_mbs_only_flag
  w.U(1, 1);    // direct_8x8_inference_flag
  w.U(1, 0);    // frame_cropping_flag
  w.U(1, 0);    // vui_parameters_present_flag
  w.AppendTo(f);
}

void AppendPps(std::vector<uint8_t>* f) { f->insert(f->end(), {0x68, 0xCE, 0x3C, 0x80}); }

// Slice header (IDR or non-IDR) with its picture order count, then `data` bytes standing
// for slice data: noise with the patterns a start-code scan must tell apart — 0x01 bytes,
// 00 00 02, 00 00 03 (emulation prevention) and zero runs.
void AppendSlice(std::vector<uint8_t>* f, bool idr, uint32_t frameNum, uint32_t pocLsb, size_t data,
                 Noise* noise) {
  f->push_back(idr ? 0x65 : 0x21);  // nal_ref_idc, nal_unit_type 5 or 1
  Bits w;
  w.Ue(0);                 // first_mb_in_slice
  w.Ue(idr ? 7 : 5);       // slice_type
  w.Ue(0);                 // pic_parameter_set_id
  w.U(4, frameNum & 15);   // frame_num
  if (idr) w.Ue(0);        // idr_pic_id
  w.U(6, pocLsb & 63);     // pic_order_cnt_lsb
  w.AppendTo(f);
  const size_t end = f->size() + data;
  while (f->size() < end) {
    const uint32_t r = noise->Next();
    switch (r % 64) {
      case 0: f->insert(f->end(), {0x00, 0x00, 0x03, 0x01}); break;
      case 1: f->insert(f->end(), {0x00, 0x00, 0x02}); break;
      case 2: f->insert(f->end(), {0x00, 0x00, 0x00, 0x03}); break;
      case 3: f->push_back(0x01); break;
      default: f->push_back(uint8_t(r >> 8 | 0x02)); break;  // no 0x00 or 0x01
    }
  }
  f->resize(end);
}

// Slice sizes meant to hit the packet boundaries: with the 19-byte PES header the first
// packet holds 165 bytes of frame (157 beside a PCR), every further one 184.
size_t SliceBytes(int i, Noise* noise) {
  static constexpr size_t kEdges[] = {120, 140, 150, 158, 163, 164, 165, 166, 349, 350, 351,
                                      2000, 2944, 4000, 9000, 33000, 60000, 120000};
  if (i % 3 == 0) return kEdges[size_t(i / 3) % (sizeof kEdges / sizeof kEdges[0])];
  return 500 + noise->Next() % 40000;
}

struct Event {
  int streamId;
  std::unique_ptr<FakeFrame> frame;
};

constexpr int kVideoId = 1;
constexpr int kAudioId = 2;

std::unique_ptr<MediaFormat> Format(int videoCodec, int audioCodec, std::vector<uint8_t> extra) {
  auto format = std::make_unique<MediaFormat>();
  palvex_test::AddVideo(format.get(), videoCodec, kVideoId, 25.0f);
  palvex_test::AddAudio(format.get(), audioCodec, kAudioId, std::move(extra));
  return format;
}

struct Fingerprint {
  size_t bytes = 0;
  std::string md5;
  size_t packets = 0;
  std::vector<std::string> invariantErrors;
};

Fingerprint Mux(MediaFormat* format, std::vector<Event>* events, const char* name) {
  struct Deleter {
    void operator()(iptv::IVorlux* m) const { iptv::RemovePalvex(m); }
  };
  std::unique_ptr<iptv::IVorlux, Deleter> mux(iptv::CreatePalvex());
  Fingerprint result;
  if (mux == nullptr || mux->AddMediaFormat(format) == nullptr || mux->Open() != 0 ||
      mux->Start() != 0) {
    ADD_FAILURE() << "muxer refused the format";
    return result;
  }
  std::FILE* keep = nullptr;
  if (const char* dir = std::getenv("PALVEX_FINGERPRINT_DIR")) {
    keep = std::fopen((std::string(dir) + "/" + name + ".ts").c_str(), "wb");
  }
  Md5 md5;
  palvex_test::TsChecker checker;
  testing::internal::CaptureStdout();  // buffer growth is reported on standard output
  for (Event& e : *events) {
    uint8_t* data = nullptr;
    int length = 0;
    EXPECT_EQ(mux->ProcessFrame(e.streamId, e.frame.get(), &data, &length), 0);
    if (length <= 0) continue;
    md5.Update(data, size_t(length));
    checker.Feed(data, size_t(length));
    if (keep != nullptr) std::fwrite(data, 1, size_t(length), keep);
    result.bytes += size_t(length);
  }
  testing::internal::GetCapturedStdout();
  if (keep != nullptr) std::fclose(keep);
  result.md5 = md5.HexDigest();
  result.packets = checker.packets();
  result.invariantErrors = checker.errors();
  return result;
}

// H.264 High (GOPs of 12 in decode order I P B B P B B ..., SPS/PPS/IDR behind four-byte
// start codes, the other slices behind three-byte ones) and raw AAC that gets ADTS headers,
// 25 fps and 48 kHz, with the awkward cases on the way: frames on packet boundaries, frames
// that grow the packet buffer, a frame without time stamp, an H.264 frame without start
// code, and a clock that jumps back.
std::vector<Event> H264AndAacSequence() {
  Noise noise(0x5eed);
  std::vector<Event> events;
  int64_t videoTime = 0;
  int64_t audioTime = 0;
  for (int i = 0; i < 160; ++i) {
    const int gop = i % 12;
    std::vector<uint8_t> f;
    bool idr = gop == 0;
    uint32_t poc = 0;
    if (gop > 0) {
      // decode order P(3) B(1) B(2) P(6) B(4) B(5) ...: display index times 2
      const int group = (gop - 1) / 3;
      const int inGroup = (gop - 1) % 3;
      poc = uint32_t(2 * (3 * group + (inGroup == 0 ? 3 : inGroup)));
    }
    if (idr) {
      StartCode(&f, 4);
      AppendSps(&f);
      StartCode(&f, 4);
      AppendPps(&f);
      StartCode(&f, 4);
    } else {
      StartCode(&f, 3);
    }
    AppendSlice(&f, idr, uint32_t(gop), poc, SliceBytes(i, &noise), &noise);
    if (i % 5 == 1) {  // a second slice of the same picture, four-byte start code
      StartCode(&f, 4);
      AppendSlice(&f, idr, uint32_t(gop), poc, 200 + noise.Next() % 3000, &noise);
    }
    int64_t time = videoTime;
    if (i == 70) time = -1;                 // no time stamp: 9-byte PES header
    if (i == 100) videoTime -= 2000000;     // the clock jumps back two seconds
    if (i == 77) f.assign(64, 0x5A);        // no start code at all: nothing written
    events.push_back({kVideoId, std::make_unique<FakeFrame>(f, time)});
    videoTime += 40000;
    while (audioTime < videoTime) {
      std::vector<uint8_t> a(size_t(180 + noise.Next() % 500));
      for (auto& b : a) b = noise.Byte();
      a[0] = 0x21;  // raw_data_block, never a syncword
      events.push_back({kAudioId, std::make_unique<FakeFrame>(a, audioTime)});
      audioTime += 21333;
    }
    if (i == 100) audioTime = videoTime;
  }
  return events;
}

// MPEG-2 video and MPEG-1 audio: bounded audio PES packets split beyond 65522 bytes, the
// video path without the H.264 walk.
std::vector<Event> Mpeg2AndSplitAudioSequence() {
  Noise noise(0xa0d10);
  std::vector<Event> events;
  for (int i = 0; i < 24; ++i) {
    std::vector<uint8_t> v(size_t(SliceBytes(i, &noise)));
    for (auto& b : v) b = noise.Byte();
    events.push_back({kVideoId, std::make_unique<FakeFrame>(v, int64_t(i) * 40000)});
    static constexpr size_t kAudioSizes[] = {65521, 65522, 65523, 131044, 131045, 200000, 417};
    std::vector<uint8_t> a(kAudioSizes[size_t(i) % 7]);
    for (auto& b : a) b = noise.Byte();
    events.push_back({kAudioId, std::make_unique<FakeFrame>(a, i == 5 ? -1 : int64_t(i) * 40000)});
  }
  return events;
}

// H.264 and LATM audio, in PES packets like other audio.
std::vector<Event> H264AndLatmSequence() {
  Noise noise(0x1a7);
  std::vector<Event> events;
  for (int i = 0; i < 30; ++i) {
    std::vector<uint8_t> f;
    StartCode(&f, 4);
    if (i % 10 == 0) {
      AppendSps(&f);
      StartCode(&f, 4);
      AppendPps(&f);
      StartCode(&f, 4);
    }
    AppendSlice(&f, i % 10 == 0, uint32_t(i % 10), uint32_t(2 * (i % 10)), SliceBytes(i + 1, &noise),
                &noise);
    events.push_back({kVideoId, std::make_unique<FakeFrame>(f, int64_t(i) * 40000)});
    static constexpr size_t kLatmSizes[] = {0, 1, 182, 183, 184, 185, 367, 368, 369, 700};
    std::vector<uint8_t> a(kLatmSizes[size_t(i) % 10]);
    for (auto& b : a) b = noise.Byte();
    events.push_back({kAudioId, std::make_unique<FakeFrame>(a, int64_t(i) * 40000 + 5000)});
  }
  return events;
}

void ExpectFingerprint(const Fingerprint& got, size_t bytes, const char* md5) {
  EXPECT_TRUE(got.invariantErrors.empty()) << got.invariantErrors.front();
  EXPECT_EQ(got.bytes % 188, 0u);
  EXPECT_EQ(got.bytes, bytes);
  EXPECT_EQ(got.md5, md5) << "size " << got.bytes << ", md5 " << got.md5;
}

TEST(FingerprintTest, H264HighWithRawAac) {
  auto format = Format(kMediaCodecH264, kMediaCodecAAC, {0x11, 0x90});  // AAC LC, 48 kHz, stereo
  std::vector<Event> events = H264AndAacSequence();
  const Fingerprint got = Mux(format.get(), &events, "h264_aac");
  // The 14 key pictures' first packets carry random_access_indicator in their PCR
  // adaptation fields.
  ExpectFingerprint(got, 3308048, "c16f0856e4e8fee242df88450eec49d9");
}

TEST(FingerprintTest, Mpeg2VideoWithSplitAudioPackets) {
  auto format = Format(kMediaCodecMPEG2Video, kMediaCodecMPEG1Audio, {});
  std::vector<Event> events = Mpeg2AndSplitAudioSequence();
  const Fingerprint got = Mux(format.get(), &events, "mpeg2_mp2");
  ExpectFingerprint(got, 2650612, "22330851456428fad33f3cce5d9942d3");
}

// LATM frames travel in PES packets; key pictures carry random_access_indicator.
TEST(FingerprintTest, H264WithLatmInPesPackets) {
  auto format = Format(kMediaCodecH264, kMediaCodecLATMOwnId, {});
  std::vector<Event> events = H264AndLatmSequence();
  const Fingerprint got = Mux(format.get(), &events, "h264_latm");
  ExpectFingerprint(got, 485792, "77b405df1ac2b6622f4b760dfa231bec");
}

}  // namespace
