// End-to-end: clips made with ffmpeg at test time (B-frames, long and open GOPs,
// interlaced, intra refresh, H.264 Baseline to High, HEVC, MPEG-2 and MPEG-4 Visual) are
// muxed as a host does, and what comes out is held against the clip itself: the stream
// invariants, the PAT first, video DTS = the frame's decode time, video PTS = the clip's
// presentation time (no picture presented before it is decoded), audio PTS = the frame time
// and DTS 40 ms before it, audio and video shifted alike (lip sync), every frame's bytes
// unchanged (raw AAC behind the ADTS header palvex adds), PCRs rising at most 100 ms apart,
// the same pictures in the same order when decoded, and PAT/PMT at most 500 ms apart on the
// program clock — also when the audio clock runs 600 ms off the video clock. HEVC also
// through GStreamer (every picture, rising PTS), with random_access_indicator on exactly the
// IRAP pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/pes_reader.h"
#include "support/psi_cadence.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::FakeFrame;
using palvex_test::HaveTool;
using palvex_test::Shell;

constexpr int64_t kMask33 = (int64_t{1} << 33) - 1;
constexpr int64_t kTolerance = 90;     // 1 ms of the 90 kHz clock
constexpr int64_t kMaxPsiGap = 45000;  // 500 ms
constexpr double kMaxPsiPerSecond = 3.0;
constexpr int64_t kNone = INT64_MIN;  // no time known

enum class Feed {
  kInProcess,           // ClipReader's frames through the exported interface, as they come
  kFirstIdrSpsPpsOnly,  // the same, SPS/PPS removed from every frame after the first IDR
  kHostTool,            // palvex-mux muxes the clip into a file
  kHostToolAnnexB,      // palvex-mux muxes the clip's video as a raw .h264 or .hevc file (no times in it)
};

struct TimestampCase {
  const char* name;
  const char* file;
  const char* ffmpegArgs;  // inputs and encoders; the output file is appended
  Feed feed;
  int64_t audioShiftUs;  // nonzero: audio clock off the video clock, only PSI cadence checked
  bool hevc = false;
};

#define SINE " -f lavfi -i sine=frequency=440:sample_rate=48000 "
#define AAC " -c:a aac -b:a 64k"
#define X265 " -c:v libx265 -x265-params log-level=error:"

const TimestampCase kCases[] = {
    {"H264BaselineAac44100", "baseline.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=300:sample_rate=44100 -t 3 "
     "-c:v libx264 -profile:v baseline -g 25 -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264HighBPyramid25p", "bpyramid25.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -bf 3 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264MainBFrames2997p", "main2997.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=30000/1001" SINE "-t 3 -c:v libx264 -profile:v main -bf 3 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264MainLongGop5994p", "longgop5994.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=60000/1001" SINE "-t 4 -c:v libx264 -profile:v main -bf 3 "
     "-g 300 -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264HighBFrames50p", "high50.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=50" SINE "-t 3 -c:v libx264 -profile:v high -bf 3 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264Interlaced25i", "interlaced25.mp4",
     "-f lavfi -i testsrc2=size=320x240:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -bf 2 "
     "-flags +ildct+ilme -x264-params interlaced=1 -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264HighNoBFrames", "nobframes.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -bf 0 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264OpenGop", "opengop.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -bf 3 -g 25 "
     "-x264-params open-gop=1 -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264IntraRefresh", "intrarefresh.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -g 25 "
     "-x264-params intra-refresh=1 -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264SpsPpsAtFirstIdrOnly", "bpyramid25.mp4", nullptr, Feed::kFirstIdrSpsPpsOnly, 0},
    {"H264FourSlicesScalingLists", "slices.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 2 -c:v libx264 -profile:v high -bf 3 "
     "-x264-params slices=4:cqm=jvt -pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0},
    {"H264AnnexBThroughHostTool", "bpyramid25.mp4", nullptr, Feed::kHostToolAnnexB, 0},
    {"H264MkvThroughHostTool", "bframes.mkv",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v libx264 -profile:v high -bf 3 "
     "-pix_fmt yuv420p" AAC,
     Feed::kHostTool, 0},
    {"Mpeg2VideoBFramesMp2", "mpeg2b.mkv",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v mpeg2video -bf 2 -b:v 1M "
     "-c:a mp2 -b:a 128k",
     Feed::kInProcess, 0},
    {"Mpeg2VideoNoBFramesMp2", "mpeg2.mkv",
     "-f lavfi -i testsrc2=size=160x120:rate=30000/1001" SINE "-t 3 -c:v mpeg2video -bf 0 -b:v 1M "
     "-c:a mp2 -b:a 128k",
     Feed::kInProcess, 0},
    {"Mpeg4VisualBFramesAac", "mpeg4b.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v mpeg4 -bf 2" AAC, Feed::kInProcess, 0},
    {"Mpeg4VisualNoBFramesAac", "mpeg4.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3 -c:v mpeg4 -bf 0" AAC, Feed::kInProcess, 0},
    {"HevcMainBPyramidClosedGop25p", "hevc_closed25.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3" X265 "keyint=25:open-gop=0:bframes=4:b-pyramid=1 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0, true},
    {"HevcOpenGopMkvThroughHostTool", "hevc_open.mkv",
     "-f lavfi -i testsrc2=size=160x120:rate=25" SINE "-t 3" X265 "keyint=20:open-gop=1 -pix_fmt yuv420p" AAC,
     Feed::kHostTool, 0, true},
    {"HevcMain10At50p", "hevc_main10_50.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=50" SINE "-t 2" X265 "keyint=50 -profile:v main10 "
     "-pix_fmt yuv420p10le" AAC,
     Feed::kInProcess, 0, true},
    {"HevcLongGop5994p", "hevc_longgop5994.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=60000/1001" SINE "-t 5.5" X265 "keyint=300:min-keyint=300:scenecut=0 "
     "-pix_fmt yuv420p" AAC,
     Feed::kInProcess, 0, true},
    {"HevcAnnexBThroughHostTool", "hevc_closed25.mp4", nullptr, Feed::kHostToolAnnexB, 0, true},
    {"AudioClock600msAhead", "bpyramid25.mp4", nullptr, Feed::kInProcess, 600000},
    {"AudioClock600msBehind", "bpyramid25.mp4", nullptr, Feed::kInProcess, -600000},
};

#undef SINE
#undef AAC
#undef X265

fs::path WorkDir() { return palvex_test::ProcessTempDir("palvex-timestamps"); }

const char* ArgsOf(const char* file) {
  for (const TimestampCase& c : kCases)
    if (c.ffmpegArgs != nullptr && std::string(c.file) == file) return c.ffmpegArgs;
  return nullptr;
}

std::string Ms(int64_t ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ticks) / 90.0);
  return text;
}

int64_t Median(std::vector<int64_t> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Difference a - b of two 33-bit time stamps, taken as the shorter way round.
int64_t Diff33(int64_t a, int64_t b) {
  int64_t d = (a - b) & kMask33;
  return d > kMask33 / 2 ? d - kMask33 - 1 : d;
}

// An Annex B access unit (four-byte start codes, as ClipReader writes them) without its
// SPS and PPS NAL units.
std::vector<uint8_t> WithoutParameterSets(const std::vector<uint8_t>& au) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 4 <= au.size(); ++i)
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 0 && au[i + 3] == 1) starts.push_back(i);
  starts.push_back(au.size());
  std::vector<uint8_t> out;
  for (size_t k = 0; k + 1 < starts.size(); ++k) {
    const size_t begin = starts[k], end = starts[k + 1];
    const int type = begin + 4 < end ? au[begin + 4] & 0x1F : 0;
    if (type != 7 && type != 8)
      out.insert(out.end(), au.begin() + static_cast<long>(begin), au.begin() + static_cast<long>(end));
  }
  return out;
}

bool HasIdr(const std::vector<uint8_t>& au) {
  for (size_t i = 0; i + 4 < au.size(); ++i)
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5) return true;
  return false;
}

// ffprobe's packet times of one stream in file order, in 90 kHz ticks; kNone where N/A.
std::vector<std::pair<int64_t, int64_t>> ProbePacketTimes(const fs::path& file, const char* stream) {
  int status = 0;
  const std::string out = Shell(std::string("ffprobe -v error -select_streams ") + stream +
                                    " -show_entries packet=pts_time,dts_time -of csv=p=0 " + file.string(),
                                &status);
  std::vector<std::pair<int64_t, int64_t>> times;  // (pts, dts)
  std::istringstream lines(out);
  std::string line;
  auto ticks = [](const std::string& s) {
    return s.empty() || s == "N/A" ? kNone : static_cast<int64_t>(std::llround(std::stod(s) * 90000.0));
  };
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const size_t comma = line.find(',');
    std::string second = comma == std::string::npos ? "" : line.substr(comma + 1);
    second = second.substr(0, second.find_first_of(",\r"));
    times.emplace_back(ticks(line.substr(0, comma)), ticks(second));
  }
  return times;
}

// What the muxer was given for one frame, on the 90 kHz clock.
struct Expected {
  int64_t dts = kNone;  // kNone: not in the clip (the host tool derives it)
  int64_t pts = kNone;  // the clip's presentation time (before the host tool's shift)
  std::vector<uint8_t> data;  // the bytes handed to the muxer (in-process only)
};

class TimestampTest : public testing::TestWithParam<TimestampCase> {
 protected:
  void SetUp() override {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    m_clip = palvex_test::SharedClip(GetParam().file, ArgsOf(GetParam().file));
    ASSERT_FALSE(m_clip.empty());
    m_output = WorkDir() / (std::string(GetParam().name) + ".ts");
    if (GetParam().feed != Feed::kInProcess && GetParam().feed != Feed::kFirstIdrSpsPpsOnly)
      RunHostTool();
    else
      MuxInProcess();
  }

  // ClipReader's frames through the exported interface, with the frame times it gives.
  void MuxInProcess() {
    palvex_host::ClipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(m_clip.string(), &error)) << error;
    palvex_host::ClipFrame f;
    bool idrSeen = false;
    std::vector<palvex_host::ClipFrame> frames;
    while (reader.Next(&f, &error)) {
      if (f.mainType == 1 && GetParam().audioShiftUs != 0) {
        f.timeUs += GetParam().audioShiftUs;
        f.ptsUs += GetParam().audioShiftUs;
        // Behind by 600 ms: the audio that would stand before time 0 is left out, as if
        // the audio clock started later.
        if (f.timeUs < 0) continue;
      }
      if (f.mainType == 0 && GetParam().feed == Feed::kFirstIdrSpsPpsOnly) {
        if (idrSeen) f.data = WithoutParameterSets(f.data);
        idrSeen = idrSeen || HasIdr(f.data);
      }
      frames.push_back(f);
    }
    ASSERT_TRUE(error.empty()) << error;
    const std::vector<palvex_host::ClipStream>& streams = reader.streams();
    ASSERT_EQ(streams.size(), 2u);
    ASSERT_EQ(streams[0].mainType, 0) << "video first";
    m_adts = streams[1].codec == kMediaCodecAAC && !streams[1].extraData.empty();

    std::unique_ptr<MediaFormat> format = palvex_host::Describe(streams);
    iptv::IVorlux* mux = iptv::CreatePalvex();
    ASSERT_NE(mux, nullptr);
    ASSERT_EQ(mux->AddMediaFormat(format.get()), format.get());
    ASSERT_EQ(mux->Open(), 0);
    ASSERT_EQ(mux->Start(), 0);
    for (const palvex_host::ClipFrame& in : frames) {
      FakeFrame frame(in.data, in.timeUs);
      uint8_t* data = nullptr;
      int length = 0;
      ASSERT_EQ(mux->ProcessFrame(in.streamId, &frame, &data, &length), 0);
      m_ts.insert(m_ts.end(), data, data + length);
      const int64_t pts = in.ptsUs < 0 ? kNone : in.ptsUs * 90 / 1000;
      (in.mainType == 0 ? m_video : m_audio).push_back({(in.timeUs * 90 / 1000) & kMask33, pts, in.data});
    }
    testing::internal::CaptureStdout();
    mux->Stop();
    mux->Close();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(iptv::RemovePalvex(mux), iptv::RESULT_SUCCESS);
    std::ofstream(m_output, std::ios::binary)
        .write(reinterpret_cast<const char*>(m_ts.data()), static_cast<std::streamsize>(m_ts.size()));
  }

  // palvex-mux muxes the clip; the clip's own times come from ffprobe, before the tool's
  // shift (which the checks find from the audio).
  void RunHostTool() {
    int status = 0;
    fs::path input = m_clip;
    if (GetParam().feed == Feed::kHostToolAnnexB) {
      const std::string format = GetParam().hevc ? "hevc" : "h264";
      input = palvex_test::SharedClip(std::string(GetParam().name) + "." + format,
                                      "-i " + m_clip.string() + " -map 0:v -c copy -bsf:v " + format + "_mp4toannexb");
      ASSERT_FALSE(input.empty());
    }
    const std::string out =
        Shell(std::string(PALVEX_MUX_PATH) + " -q " + input.string() + " " + m_output.string() + " 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
    std::ifstream in(m_output, std::ios::binary);
    m_ts.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    for (const auto& t : ProbePacketTimes(m_clip, "v:0")) m_video.push_back({t.second, t.first, {}});
    if (GetParam().feed == Feed::kHostTool)
      for (const auto& t : ProbePacketTimes(m_clip, "a:0")) m_audio.push_back({t.first, t.first, {}});
    m_shiftUnknown = true;
    m_firstPid = 0x0100;  // palvex-mux's plan for DVB receivers
  }

  fs::path m_clip;
  fs::path m_output;
  std::vector<uint8_t> m_ts;
  std::vector<Expected> m_video;  // decode order
  std::vector<Expected> m_audio;
  bool m_shiftUnknown = false;
  bool m_adts = false;    // raw AAC: palvex puts an ADTS header in front of every frame
  int m_firstPid = 0x11;  // the library's first elementary PID
};

// nal_unit_type of the first VCL NAL unit of an HEVC access unit, or -1.
int HevcPictureType(const std::vector<uint8_t>& au) {
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] != 0 || au[i + 1] != 0 || au[i + 2] != 1) continue;
    const int type = au[i + 3] >> 1 & 0x3F;
    if (type < 32) return type;
    i += 2;
  }
  return -1;
}

// random_access_indicator in the first packet of exactly the IRAP pictures (nal_unit_type
// 16 to 23).
void CheckIrapRandomAccess(const std::vector<uint8_t>& ts, const std::vector<palvex_test::PesPacket>& video) {
  size_t iraps = 0, wrong = 0;
  std::string first;
  for (size_t i = 0; i < video.size(); ++i) {
    const int type = HevcPictureType(video[i].payload);
    const bool irap = type >= 16 && type <= 23;
    const uint8_t* packet = &ts[video[i].firstPacket * 188];
    const bool randomAccess = (packet[3] & 0x20) != 0 && packet[4] > 0 && (packet[5] & 0x40) != 0;
    iraps += irap ? 1 : 0;
    if (randomAccess != irap && wrong++ == 0)
      first = "frame " + std::to_string(i) + " (nal_unit_type " + std::to_string(type) + ")" +
              (irap ? " lacks random_access_indicator" : " has random_access_indicator");
  }
  EXPECT_GT(iraps, 0u) << "no IRAP picture";
  EXPECT_EQ(wrong, 0u) << wrong << " of " << video.size() << " frames; first: " << first;
}

// GStreamer decodes every picture the clip has, with rising PTS.
void CheckGStreamerDecodes(const fs::path& ts, size_t pictures) {
  if (!HaveTool("gst-launch-1.0")) return;
  std::vector<int64_t> times;
  ASSERT_TRUE(palvex_test::GstSinkTimes(
      "filesrc location=" + ts.string() + " ! tsdemux ! h265parse ! avdec_h265", &times))
      << "GStreamer failed on " << ts.filename();
  EXPECT_EQ(times.size(), pictures) << "pictures GStreamer decoded";
  for (size_t i = 1; i < times.size(); ++i) {
    if (times[i] <= times[i - 1]) {
      ADD_FAILURE() << "GStreamer picture " << i << ": PTS " << times[i] << " ns after " << times[i - 1] << " ns";
      break;
    }
  }
}

void CheckPsiCadence(const std::vector<uint8_t>& ts) {
  const palvex_test::PsiCadence c = palvex_test::MeasurePsiCadence(ts.data(), ts.size());
  ASSERT_GE(c.pcrCount, 2u) << "fewer than two PCRs on PID " << c.pcrPid;
  const double seconds = static_cast<double>(c.lastPcr - c.firstPcr) / 90000.0;
  const struct {
    const char* table;
    const std::vector<int64_t>& times;
  } tables[] = {{"PAT", c.patTimes}, {"PMT", c.pmtTimes}};
  for (const auto& t : tables) {
    const palvex_test::PsiCadence::Gap gap = palvex_test::PsiCadence::LongestGap(t.times, c.firstPcr, c.lastPcr);
    if (gap.length > kMaxPsiGap)
      ADD_FAILURE() << t.table << ": " << Ms(gap.length) << " of PCR time without one (at most 500 ms), from "
                    << Ms(gap.from - c.firstPcr) << " after the first PCR";
    if (static_cast<double>(t.times.size()) > kMaxPsiPerSecond * seconds + 1.0)
      ADD_FAILURE() << t.table << ": " << t.times.size() << " in " << seconds
                    << " s of PCR time (at most about 3 per second)";
  }
}

// Every PCR after the one before on its PID, by at most 100 ms (modulo 2^33).
void CheckPcrSteps(const palvex_test::TsChecker& checker) {
  ASSERT_FALSE(checker.pcrBases().empty()) << "no PCR";
  for (const auto& [pid, bases] : checker.pcrBases()) {
    for (size_t i = 1; i < bases.size(); ++i) {
      const int64_t step = (bases[i] - bases[i - 1]) & kMask33;
      ASSERT_TRUE(step > 0 && step <= 9000) << "PCR " << i << " on PID " << pid << ": " << Ms(step) << " on";
    }
  }
}

// In-process: every frame's bytes come back unchanged (raw AAC behind its ADTS header), and
// every audio frame has PTS = its time, DTS 40 ms before it.
void CheckPayloads(const std::vector<palvex_test::PesPacket>& pes, const std::vector<Expected>& in, bool adts,
                   const char* what) {
  for (size_t i = 0; i < pes.size(); ++i) {
    std::vector<uint8_t> payload = pes[i].payload;
    if (adts) {
      ASSERT_GE(payload.size(), 7u);
      const size_t frameLength = size_t(payload[3] & 3) << 11 | size_t(payload[4]) << 3 | payload[5] >> 5;
      EXPECT_EQ(frameLength, in[i].data.size() + 7) << "ADTS frame_length, " << what << " frame " << i;
      payload.erase(payload.begin(), payload.begin() + 7);
    }
    ASSERT_EQ(payload, in[i].data) << what << " frame " << i;
    if (std::string(what) != "audio") continue;
    ASSERT_EQ(pes[i].pts, in[i].dts) << "audio frame " << i;  // an audio frame's time is its presentation time
    ASSERT_EQ(pes[i].dts, (in[i].dts - 3600) & kMask33) << "audio frame " << i;
  }
}

TEST_P(TimestampTest, MatchTheClip) {
  palvex_test::TsChecker checker;
  checker.Feed(m_ts.data(), m_ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  ASSERT_GE(m_ts.size(), 188u);
  EXPECT_EQ(palvex_host::PacketPid(m_ts.data()), 0) << "the first packet is a PAT";
  CheckPcrSteps(checker);
  CheckPsiCadence(m_ts);
  if (GetParam().audioShiftUs != 0) return;  // the audio clock rows check PSI cadence only

  palvex_test::PesReader reader;
  reader.Read(m_ts.data(), m_ts.size());
  ASSERT_TRUE(reader.errors().empty()) << reader.errors().front();
  const std::vector<palvex_test::PesPacket> video = reader.OfPid(m_firstPid);
  const std::vector<palvex_test::PesPacket> audio = reader.OfPid(m_firstPid + 1);
  if (video.size() != m_video.size() || audio.size() != m_audio.size())
    FAIL() << "PES packets: video " << video.size() << " for " << m_video.size() << " frames, audio " << audio.size()
           << " for " << m_audio.size();
  if (!m_shiftUnknown) {
    CheckPayloads(video, m_video, false, "video");
    CheckPayloads(audio, m_audio, m_adts, "audio");
  }

  // Audio: its offset from the clip's time (0 in-process; the host tool's shift otherwise).
  // Video alone through the host tool: the shift is the video PTS offset, and each frame's
  // PTS and DTS must keep it.
  std::vector<int64_t> audioOffsets;
  for (size_t i = 0; i < audio.size(); ++i)
    if (audio[i].pts >= 0 && m_audio[i].pts != kNone) audioOffsets.push_back(Diff33(audio[i].pts, m_audio[i].pts));
  for (size_t i = 0; m_audio.empty() && i < video.size(); ++i)
    if (video[i].pts >= 0 && m_video[i].pts != kNone) audioOffsets.push_back(Diff33(video[i].pts, m_video[i].pts));
  ASSERT_FALSE(audioOffsets.empty()) << "no audio PTS";
  const int64_t audioOffset = Median(audioOffsets);
  const int64_t shift = m_shiftUnknown ? audioOffset : 0;

  size_t missing = 0, dtsWrong = 0, ptsWrong = 0, early = 0;
  std::string firstMissing, firstDts, firstPts, firstEarly;
  std::vector<int64_t> videoOffsets;
  int64_t lastDts = -1;
  for (size_t i = 0; i < video.size(); ++i) {
    const palvex_test::PesPacket& p = video[i];
    const std::string at = "frame " + std::to_string(i) + " (decode order)";
    if (p.pts < 0 || p.dts < 0) {
      if (missing++ == 0) firstMissing = at + (p.pts < 0 ? " has no PTS" : " has no DTS");
      if (p.pts < 0) continue;
    }
    const int64_t dts = p.dts < 0 ? p.pts : p.dts;
    // DTS: the frame's decode time (through the host tool: the clip's DTS moved by the
    // tool's shift, where the clip has one), and rising from frame to frame.
    const int64_t decodeTime = m_video[i].dts == kNone ? kNone : (m_video[i].dts + shift) & kMask33;
    const bool rising = lastDts < 0 || Diff33(dts, lastDts) > 0;
    const bool onTime =
        decodeTime == kNone || (m_shiftUnknown ? std::llabs(Diff33(dts, decodeTime)) <= kTolerance : dts == decodeTime);
    if (!(rising && onTime) && dtsWrong++ == 0)
      firstDts = at + ": DTS " + std::to_string(dts) +
                 (onTime ? ", not after the previous " + std::to_string(lastDts)
                         : ", decode time " + std::to_string(decodeTime));
    lastDts = dts;
    if (m_video[i].pts != kNone) {
      const int64_t offset = Diff33(p.pts, m_video[i].pts);
      videoOffsets.push_back(offset);
      if (std::llabs(offset - shift) > kTolerance && ptsWrong++ == 0)
        firstPts = at + ": PTS " + std::to_string(p.pts) + ", clip PTS " +
                   std::to_string((m_video[i].pts + shift) & kMask33) + " (" + Ms(offset - shift) + ")";
    }
    if (Diff33(p.pts, dts) < 0 && early++ == 0)
      firstEarly =
          at + ": PTS " + std::to_string(p.pts) + " < DTS " + std::to_string(dts) + " by " + Ms(Diff33(dts, p.pts));
  }
  const std::string of = " of " + std::to_string(video.size()) + " video frames ";
  if (missing != 0) ADD_FAILURE() << missing << of << "lack PTS or DTS; first: " << firstMissing;
  if (dtsWrong != 0)
    ADD_FAILURE() << dtsWrong << of << "with DTS not the decode time or not rising; first: " << firstDts;
  if (ptsWrong != 0) ADD_FAILURE() << ptsWrong << of << "with PTS more than 1 ms off the clip's; first: " << firstPts;
  if (early != 0) ADD_FAILURE() << early << of << "with PTS < DTS; first: " << firstEarly;

  // Lip sync: the video PTS (median over the frames) moved as far from the clip's as the audio.
  const int64_t videoOffset = Median(videoOffsets);
  if (std::llabs(videoOffset - audioOffset) > kTolerance)
    ADD_FAILURE() << "lip sync: video PTS " << Ms(videoOffset) << " from the clip's, audio PTS " << Ms(audioOffset);

  const std::vector<std::string> in = palvex_test::PictureHashes(m_clip.string());
  const std::vector<std::string> out = palvex_test::PictureHashes(m_output.string());
  ASSERT_FALSE(in.empty()) << "ffmpeg -f framemd5 failed on the clip";
  size_t firstDiff = 0;
  while (firstDiff < in.size() && firstDiff < out.size() && in[firstDiff] == out[firstDiff]) ++firstDiff;
  if (in != out)
    ADD_FAILURE() << "decoded pictures (framemd5) differ: clip " << in.size() << ", muxed " << out.size()
                  << ", the first " << firstDiff << " the same";
  if (GetParam().hevc) {
    CheckIrapRandomAccess(m_ts, video);
    CheckGStreamerDecodes(m_output, in.size());
  }
}

void PrintTo(const TimestampCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Clips, TimestampTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TimestampCase>& param) { return param.param.name; });

}  // namespace
