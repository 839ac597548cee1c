// Tune-in points: which frames open with a picture a decoder can start from.
#include <gtest/gtest.h>

#include <vector>

#include "codec/key_picture.h"
#include "support/h264_bit_writer.h"

namespace palvex {
namespace {

using palvex_test::AnnexB;
using palvex_test::MakePps;
using palvex_test::MakeSlice;
using palvex_test::MakeSps;

TEST(KeyPictureTest, H264HEVCMPEG2AndMpeg4Visual) {
  constexpr VideoSyntax H264 = VideoSyntax::kH264;
  constexpr VideoSyntax HEVC = VideoSyntax::kHEVC;
  constexpr VideoSyntax MPEG2 = VideoSyntax::kMPEG2Video;
  constexpr VideoSyntax MPEG4 = VideoSyntax::kMPEG4Visual;
  // Non-IDR slice header: first_mb_in_slice 0, slice_type 7 (I) or 5 (P).
  const std::vector<uint8_t> iSlice = {0x21, 0x88, 0x84, 0x40};
  const std::vector<uint8_t> pSlice = {0x21, 0xA8, 0x84, 0x40};
  const std::vector<uint8_t> aud = {0x09, 0xF0};
  const std::vector<uint8_t> sei = {0x06, 0x05, 0x01, 0x00, 0x80};
  const std::vector<uint8_t> mpeg2Sequence = {0, 0, 1, 0xB3, 0x14, 0x00, 0xF0, 0x13};
  const std::vector<uint8_t> mpeg2Gop = {0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x00};
  const std::vector<uint8_t> mpeg2I = {0, 0, 1, 0x00, 0x00, 0x08, 0xFF, 0xF8};
  const std::vector<uint8_t> mpeg2P = {0, 0, 1, 0x00, 0x00, 0x10, 0xFF, 0xF8};
  const std::vector<uint8_t> vol = {0, 0, 1, 0x20, 0x00, 0x84, 0x5D, 0x4C};
  const std::vector<uint8_t> vopI = {0, 0, 1, 0xB6, 0x10, 0x60, 0x00, 0x00};
  const std::vector<uint8_t> vopP = {0, 0, 1, 0xB6, 0x50, 0x60, 0x00, 0x00};
  // HEVC NAL unit headers (nal_unit_type << 1, nuh_temporal_id_plus1 1) and a byte or two.
  const std::vector<uint8_t> hevcAud = {0x46, 0x01, 0x50};
  const std::vector<uint8_t> vps = {0x40, 0x01, 0x0C}, sps = {0x42, 0x01, 0x01}, pps = {0x44, 0x01, 0xC1};
  const std::vector<uint8_t> idr = {0x26, 0x01, 0xAF}, cra = {0x2A, 0x01, 0xAF}, bla = {0x20, 0x01, 0xAF};
  const std::vector<uint8_t> trail = {0x02, 0x01, 0xD0}, rasl = {0x10, 0x01, 0xD0}, prefixSei = {0x4E, 0x01, 0x05};
  auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* name;
    VideoSyntax syntax;
    std::vector<uint8_t> bytes;
    bool key;
  } cases[] = {
      {"IDR with parameter sets", H264, AnnexB({MakeSps(100), MakePps(), MakeSlice(5, 3, 0)}), true},
      {"IDR alone", H264, AnnexB({MakeSlice(5, 3, 0)}), true},
      {"AUD, SEI, IDR", H264, AnnexB({aud, sei, MakeSlice(5, 3, 0)}, 3), true},
      {"recovery point: SPS, PPS, non-IDR I slice", H264, AnnexB({aud, MakeSps(100), MakePps(), iSlice}), true},
      {"I slice without SPS", H264, AnnexB({aud, iSlice}), false},
      {"P slice behind an SPS", H264, AnnexB({MakeSps(100), MakePps(), pSlice}), false},
      {"P picture", H264, AnnexB({MakeSlice(1, 2, 2)}), false},
      {"parameter sets only", H264, AnnexB({MakeSps(100), MakePps()}), false},
      {"MPEG-2 I behind a sequence header", MPEG2, cat({mpeg2Sequence, mpeg2Gop, mpeg2I}), true},
      {"MPEG-2 I without sequence header", MPEG2, cat({mpeg2Gop, mpeg2I}), false},
      {"MPEG-2 P behind a sequence header", MPEG2, cat({mpeg2Sequence, mpeg2P}), false},
      {"MPEG-4 I-VOP behind a VOL", MPEG4, cat({vol, vopI}), true},
      {"MPEG-4 I-VOP alone", MPEG4, vopI, false},
      {"MPEG-4 P-VOP behind a VOL", MPEG4, cat({vol, vopP}), false},
      {"HEVC IDR behind its parameter sets", HEVC, AnnexB({hevcAud, vps, sps, pps, prefixSei, idr}), true},
      {"HEVC CRA alone", HEVC, AnnexB({cra}, 3), true},
      {"HEVC BLA", HEVC, AnnexB({hevcAud, bla}), true},
      {"HEVC trailing picture", HEVC, AnnexB({hevcAud, trail}), false},
      {"HEVC RASL picture behind parameter sets", HEVC, AnnexB({vps, sps, pps, rasl}), false},
      {"HEVC parameter sets only", HEVC, AnnexB({vps, sps, pps}), false},
      {"HEVC header cut after its first byte", HEVC, {0, 0, 1, 0x26}, true},
      {"not video", VideoSyntax::kOther, AnnexB({MakeSlice(5, 3, 0)}), false},
      {"cut inside the start code", H264, {0, 0, 0, 1}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsKeyPicture(c.syntax, c.bytes.data(), c.bytes.size()), c.key) << c.name;
  }
  EXPECT_FALSE(IsKeyPicture(VideoSyntax::kH264, nullptr, 10));
}

}  // namespace
}  // namespace palvex
