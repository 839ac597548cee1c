// Picture order counts of real x264 output, checked against FFmpeg's reading of the same
// stream: trace_headers for every slice's pic_order_cnt_lsb, frame_num and nal_ref_idc, and
// ffprobe's decoded frames for presentation order.
#include "codec/h264_slice_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/h264_bit_writer.h"
#include "support/process.h"
#include "support/shell.h"

namespace palvex {
namespace {

namespace fs = std::filesystem;

using palvex_test::ReadFile;
using palvex_test::Succeeds;

// NAL units of an Annex B byte stream, 3- and 4-byte start codes, trailing zero bytes dropped.
std::vector<std::vector<uint8_t>> SplitAnnexB(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  std::vector<std::vector<uint8_t>> nals;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
    while (end > starts[k] && stream[end - 1] == 0) --end;
    nals.emplace_back(stream.begin() + long(starts[k]), stream.begin() + long(end));
  }
  return nals;
}

struct TracedNal {
  int type = -1;
  int refIdc = 0;
  std::map<std::string, int64_t> fields;  // the last value of each syntax element
};

// Lines of trace_headers: "[trace_headers @ 0x...] <bit position> <name> <bits> = <value>".
std::vector<TracedNal> ParseTrace(const fs::path& path) {
  std::vector<TracedNal> nals;
  std::ifstream in(path);
  std::string line;
  int lastRefIdc = 0;
  bool extradata = false;  // the SPS and PPS of the stream's extradata, read before the packets
  while (std::getline(in, line)) {
    const size_t at = line.find("[trace_headers");
    if (at == std::string::npos) continue;
    const std::string text = line.substr(line.find(']', at) + 1);
    if (text.find(" Extradata") == 0) extradata = true;
    if (text.find(" Packet:") == 0) extradata = false;
    if (extradata) continue;
    std::istringstream tokens(text);
    std::string position, name, bits, equals;
    int64_t value = 0;
    if (!(tokens >> position >> name >> bits >> equals >> value) || equals != "=") continue;
    if (name == "nal_ref_idc") {
      lastRefIdc = int(value);
    } else if (name == "nal_unit_type") {
      nals.push_back({int(value), lastRefIdc, {}});
    } else if (!nals.empty()) {
      nals.back().fields[name] = value;
    }
  }
  return nals;
}

// coded_picture_number of every decoded frame, in presentation order.
std::vector<int> ParsePresentationOrder(const fs::path& path) {
  std::vector<int> order;
  std::ifstream in(path);
  std::string line;
  const std::string key = "coded_picture_number=";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) order.push_back(std::stoi(line.substr(key.size())));
  }
  return order;
}

bool IsSlice(int type) { return type == 1 || type == 5; }

struct Clip {
  std::string name;
  std::string encoderOptions;
  int pocType;
  // x264 puts custom quantisation matrices in the PPS. With this set, every SPS of the clip
  // is written anew with seq_scaling_matrix_present_flag 1 and scaling lists (no VUI), and
  // FFmpeg's reading of the rewritten stream is the reference.
  bool scalingListsInSps = false;
};

// The clip's SPS, its fields taken from FFmpeg's reading, written again with scaling lists.
std::vector<uint8_t> SpsWithScalingLists(const TracedNal& sps) {
  palvex_test::SpsFields s;
  s.profileIdc = int(sps.fields.at("profile_idc"));
  s.levelIdc = int(sps.fields.at("level_idc"));
  s.chromaFormatIdc = sps.fields.count("chroma_format_idc") != 0 ? int(sps.fields.at("chroma_format_idc")) : 1;
  s.scalingMatrix = true;
  const std::vector<int> list16{1, 2, -1, 3, 0, 0, 5, -7, 1, 1, 1, 1, 2, 2, 2, 2};
  const std::vector<int> list64(64, 1);
  s.scalingLists = {list16, {}, {-8}, list16, {}, {4, -12}, list64, list64};
  if (s.chromaFormatIdc == 3) s.scalingLists.insert(s.scalingLists.end(), {list64, {}, {-8}, list64});
  s.log2MaxFrameNumMinus4 = int(sps.fields.at("log2_max_frame_num_minus4"));
  s.pocType = int(sps.fields.at("pic_order_cnt_type"));
  if (s.pocType == 0) s.log2MaxPocLsbMinus4 = int(sps.fields.at("log2_max_pic_order_cnt_lsb_minus4"));
  s.maxNumRefFrames = int(sps.fields.at("max_num_ref_frames"));
  s.widthMbsMinus1 = int(sps.fields.at("pic_width_in_mbs_minus1"));
  s.heightMapUnitsMinus1 = int(sps.fields.at("pic_height_in_map_units_minus1"));
  s.frameMbsOnly = sps.fields.at("frame_mbs_only_flag") != 0;
  return palvex_test::MakeSps(s);
}

void PrintTo(const Clip& clip, std::ostream* os) { *os << clip.name; }

class H264EncoderStreamTest : public ::testing::TestWithParam<Clip> {};

TEST_P(H264EncoderStreamTest, CountsFollowTheEncoder) {
  const Clip& clip = GetParam();
  if (!Succeeds("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx264") ||
      !Succeeds("ffmpeg -hide_banner -bsfs 2>/dev/null | grep -q trace_headers") ||
      !Succeeds("ffprobe -version >/dev/null 2>&1")) {
    GTEST_SKIP() << "ffmpeg with libx264 and trace_headers, and ffprobe, are needed";
  }
  const fs::path dir = palvex_test::ProcessTempDir("palvex-h264");
  const std::string stream = palvex_test::SharedClip("x264.h264", "-f lavfi -i testsrc2=size=160x128:rate=25 -t 3.2 "
                                                     "-c:v libx264 -preset veryfast " + clip.encoderOptions).string();
  ASSERT_FALSE(stream.empty());
  const std::string trace = (dir / "trace.txt").string();
  const std::string frames = (dir / "frames.txt").string();
  ASSERT_TRUE(Succeeds("ffmpeg -nostdin -nostats -hide_banner -loglevel info -i " + stream +
                  " -c copy -bsf:v trace_headers -f null - 2>" + trace));
  ASSERT_TRUE(Succeeds("ffprobe -v error -select_streams v -show_entries frame=coded_picture_number -of default=nw=1 " +
                  stream + " >" + frames));

  std::vector<TracedNal> traced = ParseTrace(trace);
  const std::vector<int> presentation = ParsePresentationOrder(frames);
  if (presentation.empty()) GTEST_SKIP() << "this ffprobe does not report coded_picture_number";
  std::vector<std::vector<uint8_t>> nals = SplitAnnexB(ReadFile(stream));
  if (clip.scalingListsInSps) {
    ASSERT_EQ(nals.size(), traced.size());
    std::vector<uint8_t> rewritten;
    for (size_t i = 0; i < nals.size(); ++i) {
      if (traced[i].type == 7) nals[i] = SpsWithScalingLists(traced[i]);
      rewritten.insert(rewritten.end(), {0, 0, 0, 1});
      rewritten.insert(rewritten.end(), nals[i].begin(), nals[i].end());
    }
    const std::string rewrittenStream = (dir / "rewritten.h264").string();
    std::ofstream(rewrittenStream, std::ios::binary)
        .write(reinterpret_cast<const char*>(rewritten.data()), std::streamsize(rewritten.size()));
    ASSERT_TRUE(Succeeds("ffmpeg -nostdin -nostats -hide_banner -loglevel info -i " + rewrittenStream +
                           " -c copy -bsf:v trace_headers -f null - 2>" + trace));
    traced = ParseTrace(trace);
    int lists = 0;
    for (const TracedNal& t : traced) {
      if (t.type == 7 && t.fields.count("seq_scaling_matrix_present_flag") != 0) {
        lists += t.fields.at("seq_scaling_matrix_present_flag") != 0 ? 1 : 0;
      }
    }
    ASSERT_GT(lists, 0) << "FFmpeg reads the rewritten SPS with its scaling lists";
  }
  ASSERT_EQ(nals.size(), traced.size()) << "the same NAL units as FFmpeg's reader";

  // Feed every NAL unit; one picture per access unit (each starts with a delimiter).
  H264SliceParser parser;
  std::vector<int32_t> counts;   // per picture, in decode order
  std::vector<bool> idr;         // per picture
  std::vector<bool> reference;   // per picture
  int64_t maxPocLsb = 0;
  int pocType = -1;
  int slices = 0;
  for (size_t i = 0; i < nals.size(); ++i) {
    const TracedNal& t = traced[i];
    ASSERT_EQ(nals[i][0] & 0x1F, t.type) << "NAL unit " << i;
    if (t.type == 9) {
      counts.push_back(0);
      idr.push_back(false);
      reference.push_back(false);
    }
    if (t.type == 7) {
      pocType = int(t.fields.at("pic_order_cnt_type"));
      if (pocType == 0) maxPocLsb = int64_t{1} << (t.fields.at("log2_max_pic_order_cnt_lsb_minus4") + 4);
    }
    parser.FeedNal(nals[i].data(), int32_t(nals[i].size()));
    if (!IsSlice(t.type)) continue;
    ++slices;
    ASSERT_FALSE(counts.empty()) << "access unit delimiters are on";
    const int32_t count = parser.GetPictureOrderCount();
    counts.back() = count;
    idr.back() = t.type == 5;
    reference.back() = t.refIdc != 0;
    if (pocType == 0) {
      const int64_t lsb = ((int64_t{count} % maxPocLsb) + maxPocLsb) % maxPocLsb;
      EXPECT_EQ(lsb, t.fields.at("pic_order_cnt_lsb")) << "slice " << slices << ", NAL unit " << i;
    }
  }
  ASSERT_EQ(pocType, clip.pocType);
  ASSERT_EQ(presentation.size(), counts.size()) << "one decoded frame per access unit";
  ASSERT_GT(counts.size(), 60u);
  ASSERT_TRUE(idr[0]);

  std::vector<int> presentedAt(counts.size(), -1);
  for (size_t p = 0; p < presentation.size(); ++p) {
    ASSERT_GE(presentation[p], 0);
    ASSERT_LT(size_t(presentation[p]), counts.size());
    presentedAt[size_t(presentation[p])] = int(p);
  }

  int gops = 0;
  bool wrapped = false;
  for (size_t start = 0; start < counts.size();) {
    size_t end = start + 1;
    while (end < counts.size() && !idr[end]) ++end;
    ++gops;
    int references = 0;
    for (size_t k = start; k < end; ++k) {
      const int distance = presentedAt[k] - presentedAt[start];  // frames after the IDR
      ASSERT_GE(distance, 0) << "closed GOP: the IDR is presented first";
      if (clip.pocType == 2) {
        // Decode order is presentation order; two per reference frame.
        EXPECT_EQ(distance, int(k - start));
        EXPECT_EQ(counts[k], reference[k] ? 2 * references : 2 * references - 1) << "picture " << k;
      } else {
        // x264 counts two per frame from the IDR, whose own lsb stands (1 on interlaced streams).
        EXPECT_EQ(counts[k] - counts[start], 2 * distance) << "picture " << k << " of the GOP from " << start;
        if (counts[k] >= maxPocLsb) wrapped = true;
      }
      if (reference[k]) ++references;
    }
    start = end;
  }
  EXPECT_GE(gops, 2);
  if (clip.pocType == 0) {
    EXPECT_TRUE(wrapped) << "pic_order_cnt_lsb wraps within a GOP";
  }
}

INSTANTIATE_TEST_SUITE_P(
    X264, H264EncoderStreamTest,
    ::testing::Values(
        Clip{"HighWithBFrames", "-profile:v high -bf 3 -x264-params aud=1:keyint=50:scenecut=0", 0},
        Clip{"HighWithoutBFrames", "-profile:v high -x264-params aud=1:bframes=0:keyint=50:scenecut=0", 2},
        Clip{"MainWithoutBFramesManySlices",
             "-profile:v main -x264-params aud=1:bframes=0:keyint=40:scenecut=0:slices=4", 2},
        // x264 writes these matrices into the PPS; the SPS is that of any High stream.
        Clip{"ScalingMatrices", "-profile:v high -bf 2 -x264-params aud=1:cqm=jvt:keyint=50:scenecut=0", 0},
        Clip{"Interlaced", "-profile:v high -bf 3 -x264-params aud=1:interlaced=1:keyint=50:scenecut=0", 0},
        Clip{"InterlacedWithoutBFrames", "-profile:v high -x264-params aud=1:interlaced=1:bframes=0:keyint=50:scenecut=0", 0},
        Clip{"High444ScalingMatrices",
             "-profile:v high444 -pix_fmt yuv444p -bf 3 -x264-params aud=1:cqm=jvt:keyint=50:scenecut=0", 0},
        Clip{"ScalingListsInSps", "-profile:v high -bf 3 -x264-params aud=1:keyint=50:scenecut=0", 0, true},
        Clip{"ScalingListsInSpsInterlaced",
             "-profile:v high -bf 3 -x264-params aud=1:interlaced=1:keyint=50:scenecut=0", 0, true},
        Clip{"ScalingListsInSps444",
             "-profile:v high444 -pix_fmt yuv444p -bf 3 -x264-params aud=1:keyint=50:scenecut=0", 0, true},
        Clip{"ScalingListsInSpsType2", "-profile:v high -x264-params aud=1:bframes=0:keyint=50:scenecut=0", 2, true}),
    [](const ::testing::TestParamInfo<Clip>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex
