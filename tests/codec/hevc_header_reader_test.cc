// Picture order counts, IRAP pictures and sequence timing of real x265 output, held against
// the presentation times FFmpeg gives the same pictures in MP4 and against FFmpeg's own
// reading of the SPS (trace_headers). Every NAL unit is fed as an exact-size copy, and the
// parameter sets and first slice segments of the first pictures are also fed cut at every
// length up to 256 bytes, so that a sanitizer sees any read past a unit.
#include "codec/hevc_header_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/presentation_time.h"
#include "support/process.h"
#include "support/shell.h"

namespace palvex {
namespace {

using palvex_test::Shell;

enum class Cut {
  kNone,
  kStartAtCra,              // the stream starts at its first CRA, an IRAP with NoRaslOutputFlag 1 then
  kEndOfSequenceBeforeCra,  // an end of sequence NAL unit closes the access unit before every CRA
};

struct Clip {
  const char* name;
  const char* args;  // ffmpeg input and encoder arguments
  int rateNum;
  int rateDen;
  Cut cut;
  bool intraOnly = false;  // x265 signals Main Intra (general_intra_constraint_flag)
};

#define X265(rate, params) \
  "-f lavfi -i testsrc2=size=96x64:rate=" rate " -t 3 -c:v libx265 -x265-params log-level=error:aud=1:" params

const Clip kClips[] = {
    {"ClosedGop4BFramesPyramid", X265("25", "keyint=25:open-gop=0:bframes=4:b-pyramid=1"), 25, 1, Cut::kNone},
    {"OpenGopCraWithRasl", X265("25", "keyint=20:open-gop=1"), 25, 1, Cut::kNone},
    {"OpenGopFromItsFirstCra", X265("25", "keyint=20:open-gop=1"), 25, 1, Cut::kStartAtCra},
    {"EndOfSequenceBeforeEveryCra", X265("25", "keyint=20:open-gop=1"), 25, 1, Cut::kEndOfSequenceBeforeCra},
    {"Main10SubLayersPocLsbWrap",
     X265("50", "keyint=300:bframes=7:temporal-layers=1:log2-max-poc-lsb=4") " -pix_fmt yuv420p10le", 50, 1,
     Cut::kNone},
    {"HrdSlicesScalingLists5994",
     X265("60000/1001", "hrd=1:vbv-bufsize=400:vbv-maxrate=400:slices=3:scaling-list=default"), 60000, 1001,
     Cut::kNone},
    {"IntraOnly", X265("25", "keyint=1"), 25, 1, Cut::kNone, true},
    {"RadlBeforeEveryIdr", X265("25", "keyint=10:min-keyint=10:scenecut=0:open-gop=0:bframes=3:radl=2"), 25, 1,
     Cut::kNone},
};

#undef X265

using Nal = std::vector<uint8_t>;
using AccessUnit = std::vector<Nal>;

// Access units of an Annex B stream whose every unit begins with an access unit delimiter.
std::vector<AccessUnit> SplitAccessUnits(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  std::vector<AccessUnit> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
    while (end > starts[k] && stream[end - 1] == 0) --end;
    Nal nal(stream.begin() + long(starts[k]), stream.begin() + long(end));
    if (nal.size() >= 2 && (units.empty() || HEVCNalUnitType(nal.data()) == 35)) units.emplace_back();
    if (!units.empty()) units.back().push_back(std::move(nal));
  }
  return units;
}

int PictureType(const AccessUnit& unit) {
  for (const Nal& nal : unit)
    if (HEVCNalUnitType(nal.data()) < 32) return HEVCNalUnitType(nal.data());
  return -1;
}

// Every cut up to this length is fed: the parameter sets and slice segment headers of these
// clips end well before it, and a longer cut of a slice reads as the whole one does.
constexpr size_t kLongestCut = 256;

void FeedExact(HEVCHeaderReader& reader, const Nal& nal, size_t length) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[length == 0 ? 1 : length]);
  for (size_t i = 0; i < length; ++i) copy[i] = nal[i];
  reader.FeedNal(copy.get(), int32_t(length));
}

class HEVCHeaderReaderTest : public testing::TestWithParam<Clip> {};

TEST_P(HEVCHeaderReaderTest, FollowsX265) {
  if (!palvex_test::HaveTool("ffmpeg") || !palvex_test::HaveTool("ffprobe")) GTEST_SKIP() << "no ffmpeg/ffprobe";
  const Clip& c = GetParam();
  const std::string mp4 = palvex_test::SharedClip("x265.mp4", c.args).string();
  const std::string hevc = palvex_test::SharedClip("x265.hevc", "-i " + mp4 + " -c copy -bsf:v hevc_mp4toannexb").string();
  ASSERT_FALSE(HasFailure());
  int status = 0;
  // Presentation times in frames, in decode order; FFmpeg's reading of the reorder depth.
  std::istringstream times(
      Shell("ffprobe -v error -show_entries packet=pts_time -of csv=p=0 " + mp4, &status));
  std::vector<int64_t> frames;
  for (double t = 0; times >> t;) frames.push_back(std::llround(t * c.rateNum / c.rateDen));
  const int reorder = std::stoi(Shell("ffmpeg -v verbose -i " + hevc + " -c copy -bsf:v trace_headers -f null - "
                                      "2>&1 | grep -o 'sps_max_num_reorder_pics.*= [0-9]*' | tail -n 1 | sed 's/.*= //'",
                                      &status));
  std::vector<AccessUnit> units = SplitAccessUnits(palvex_test::ReadFile(hevc));
  ASSERT_EQ(units.size(), frames.size());

  size_t first = 0;
  if (c.cut == Cut::kStartAtCra) {
    while (first < units.size() && PictureType(units[first]) != kHEVCNalCra) ++first;
    ASSERT_LT(first, units.size()) << "no CRA";
  }
  HEVCHeaderReader reader;
  int64_t anchorPoc = 0, anchorFrame = 0;
  bool irapStartsAnew = false;  // NoRaslOutputFlag of the last IRAP picture
  // The presentation clock on the pictures in decode order, one tick apart: every picture
  // behind the leading pictures of its anchor is presented where the clip has it (one offset
  // for the clip; a picture held at its decode time would break it), each anchor one frame
  // earlier for every leading picture it has, and no two pictures at the same time.
  PictureOrderClock clock(1);
  int64_t clipOffset = INT64_MIN, anchorOffset = INT64_MIN, leading = 0;
  std::set<int64_t> presented;
  for (size_t i = first; i < units.size(); ++i) {
    const int type = PictureType(units[i]);
    const std::string at = "access unit " + std::to_string(i) + " (type " + std::to_string(type) + ")";
    const bool endOfSequence = c.cut == Cut::kEndOfSequenceBeforeCra && i + 1 < units.size() &&
                               PictureType(units[i + 1]) == kHEVCNalCra;
    if (endOfSequence) units[i].push_back({0x48, 0x01});
    reader.BeginAccessUnit();
    for (const Nal& nal : units[i]) {
      if (i < first + 4) {  // shorter cuts: parameter sets to the reader, slices to a copy of it
        for (size_t length = 0; length < std::min<size_t>(nal.size(), kLongestCut); ++length) {
          HEVCHeaderReader scratch = reader;
          FeedExact(HEVCNalUnitType(nal.data()) >= 32 ? reader : scratch, nal, length);
        }
      }
      FeedExact(reader, nal, nal.size());
    }
    const HEVCPicture& picture = reader.picture();
    ASSERT_TRUE(picture.present) << at;
    EXPECT_EQ(picture.irap, type >= 16 && type <= 23) << at;
    const bool cra = type == kHEVCNalCra;
    const bool craStartsAnew = i == first || (c.cut == Cut::kEndOfSequenceBeforeCra && cra);
    EXPECT_EQ(picture.noRaslOutput, picture.irap && (!cra || craStartsAnew)) << at;
    if (picture.irap) irapStartsAnew = picture.noRaslOutput;
    if (picture.noRaslOutput) {
      anchorPoc = picture.poc;
      anchorFrame = frames[i];
    }
    EXPECT_EQ(picture.poc - anchorPoc, frames[i] - anchorFrame) << at << ": POC " << picture.poc;
    const HEVCSequenceTiming& timing = reader.sequenceTiming();
    EXPECT_EQ(uint64_t(timing.numUnitsInTick) * uint64_t(c.rateNum), uint64_t(timing.timeScale) * uint64_t(c.rateDen))
        << at;
    EXPECT_EQ(timing.maxNumReorderPics, reorder) << at;
    EXPECT_EQ(timing.intraOnly, c.intraOnly) << at;
    EXPECT_FALSE(timing.fieldSeq) << at;

    const int64_t tick = PictureDurationFromTiming(timing.numUnitsInTick, timing.timeScale);
    const int64_t dts = int64_t(i - first) * tick / 1000;
    const int64_t pts = clock.PresentationTime(dts, picture.poc, picture.noRaslOutput, tick, reorder, reorder);
    EXPECT_TRUE(presented.insert(pts).second) << at << ": PTS " << pts << " twice";
    if (type >= 6 && type <= 9 && irapStartsAnew) {  // RADL, RASL: a leading picture of the anchor
      ++leading;
      continue;
    }
    const int64_t offset = pts - frames[i] * tick / 1000;
    if (picture.noRaslOutput) {
      anchorOffset = offset;
      leading = 0;
      continue;
    }
    if (clipOffset == INT64_MIN) clipOffset = offset;
    EXPECT_NEAR(offset, clipOffset, 2) << at << ": PTS " << pts << ", clip frame " << frames[i];
    if (anchorOffset != INT64_MIN) {
      EXPECT_NEAR(anchorOffset + leading * tick / 1000, offset, 2) << at << ": its anchor, " << leading
                                                                   << " leading pictures before it";
      anchorOffset = INT64_MIN;
    }
  }
}

void PrintTo(const Clip& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(X265, HEVCHeaderReaderTest, testing::ValuesIn(kClips),
                         [](const testing::TestParamInfo<Clip>& param) { return param.param.name; });

}  // namespace
}  // namespace palvex
