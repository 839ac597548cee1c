// A real H.264 (Main profile, B-frames) + AAC clip made by ffmpeg, packetized by the
// stream objects behind a PAT/PMT written here, and read back by ffprobe and ffmpeg: every
// frame's bytes come out unchanged, with the PTS and DTS the packetizer promises.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codec/start_code.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_stream.h"
#include "support/fake_frame.h"
#include "support/shell.h"
#include "support/ts_checker.h"
#include "ts_reader.h"
#include "ts/ts_packet_buffer.h"

namespace palvex {
namespace {

using Bytes = std::vector<uint8_t>;

using palvex_test::Succeeds;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Access units of an Annex B stream whose every access unit begins with an access unit
// delimiter (nal_unit_type 9).
std::vector<Bytes> SplitAccessUnits(const Bytes& stream) {
  std::vector<size_t> starts;
  const uint8_t* base = stream.data();
  const uint8_t* p = FindStartCode(base, stream.size());
  while (p != nullptr) {
    const uint8_t* nal = p + StartCodeLength(p);
    if (nal < base + stream.size() && (nal[0] & 0x1F) == 9) starts.push_back(size_t(p - base));
    p = FindStartCode(nal, stream.size() - size_t(nal - base));
  }
  std::vector<Bytes> units;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
    units.emplace_back(stream.begin() + long(starts[i]), stream.begin() + long(end));
  }
  return units;
}

std::vector<Bytes> SplitAdts(const Bytes& stream) {
  std::vector<Bytes> frames;
  size_t off = 0;
  while (off + 7 <= stream.size() && stream[off] == 0xFF && (stream[off + 1] & 0xF0) == 0xF0) {
    const size_t length = size_t(stream[off + 3] & 0x03) << 11 | size_t(stream[off + 4]) << 3 |
                          stream[off + 5] >> 5;  // aac_frame_length
    if (length < 7 || off + length > stream.size()) break;
    frames.emplace_back(stream.begin() + long(off), stream.begin() + long(off + length));
    off += length;
  }
  return frames;
}

// One PSI section in one packet: pointer_field, section, CRC_32, 0xFF to the end.
Bytes PsiPacket(uint16_t pid, const Bytes& sectionWithoutCrc) {
  Bytes p(188, 0xFF);
  p[0] = 0x47;
  p[1] = uint8_t(0x40 | pid >> 8);
  p[2] = uint8_t(pid);
  p[3] = 0x10;
  p[4] = 0x00;  // pointer_field
  std::copy(sectionWithoutCrc.begin(), sectionWithoutCrc.end(), p.begin() + 5);
  const uint32_t crc = palvex_host::SectionCRC(sectionWithoutCrc.data(), sectionWithoutCrc.size());
  size_t at = 5 + sectionWithoutCrc.size();
  for (int shift = 24; shift >= 0; shift -= 8) p[at++] = uint8_t(crc >> shift);
  return p;
}

Bytes Pat(uint16_t pmtPid) {
  return {0x00, 0xB0, 13, 0x00, 0x66, 0xC1, 0x00, 0x00, 0x00, 0x01,
          uint8_t(0xE0 | pmtPid >> 8), uint8_t(pmtPid)};
}

Bytes Pmt(uint16_t pcrPid, std::vector<TSStream*> streams) {
  Bytes s = {0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0x00, 0x00,
             uint8_t(0xE0 | pcrPid >> 8), uint8_t(pcrPid), 0xF0, 0x00};
  for (TSStream* stream : streams) {
    const size_t at = s.size();
    s.resize(at + size_t(stream->WritePSI(nullptr)));
    stream->WritePSI(s.data() + at);
  }
  s[2] = uint8_t(s.size() - 3 + 4);  // section_length, CRC included
  return s;
}

struct ProbedPacket {
  int64_t pts = -1;
  int64_t dts = -1;
  size_t size = 0;
};

// ffprobe's packets of one stream: pts, dts, size. nofillin: the time stamps as they stand
// in the PES headers (libavformat otherwise drops a DTS equal to the PTS on a stream with
// reordered pictures, as a key picture's is here, and guesses one).
std::vector<ProbedPacket> Probe(const std::string& file, const char* selector) {
  int status = 0;
  std::istringstream lines(palvex_test::Shell("ffprobe -v error -fflags +nofillin -select_streams " +
                                              std::string(selector) +
                                              " -show_entries packet=pts,dts,size -of csv=p=0 " + file,
                                              &status));
  std::vector<ProbedPacket> out;
  std::string line;
  while (std::getline(lines, line)) {
    // "pts,dts,size"; a missing value reads "N/A" and stays -1.
    ProbedPacket p;
    std::istringstream fields(line);
    std::string pts, dts, size;
    if (!std::getline(fields, pts, ',') || !std::getline(fields, dts, ',') || !std::getline(fields, size)) continue;
    if (pts != "N/A") p.pts = std::stoll(pts);
    if (dts != "N/A") p.dts = std::stoll(dts);
    p.size = size_t(std::stoull(size));
    out.push_back(p);
  }
  return out;
}

TEST(TsStreamRoundTripTest, H264AndAacClipDemuxUnchangedWithExpectedTimeStamps) {
  if (!Succeeds("ffmpeg -version > /dev/null 2>&1") || !Succeeds("ffprobe -version > /dev/null 2>&1"))
    GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const std::string dir = "/tmp/palvex_stream_roundtrip_" + std::to_string(getpid());
  ASSERT_TRUE(Succeeds("mkdir -p " + dir));
  // 2 s of 25 fps Main profile with two B-frames and an IDR every second, and 48 kHz AAC.
  ASSERT_TRUE(Succeeds("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                  "sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -profile:v main "
                  "-x264-params bframes=2:b-pyramid=0:keyint=25:min-keyint=25:scenecut=0 "
                  "-pix_fmt yuv420p -c:a aac -b:a 64k " + dir + "/src.mkv"));
  ASSERT_TRUE(Succeeds("ffmpeg -v error -y -i " + dir + "/src.mkv -map 0:v -c copy -bsf:v "
                  "h264_mp4toannexb,h264_metadata=aud=insert -f h264 " + dir + "/in.h264"));
  ASSERT_TRUE(Succeeds("ffmpeg -v error -y -i " + dir + "/src.mkv -map 0:a -c copy -f adts " + dir +
                  "/in.aac"));
  const auto video = SplitAccessUnits(ReadFile(dir + "/in.h264"));
  const auto audio = SplitAdts(ReadFile(dir + "/in.aac"));
  ASSERT_EQ(video.size(), 50u);
  ASSERT_GT(audio.size(), 80u);
  // Presentation order of the source, in milliseconds, per frame in decode order.
  const auto source = Probe(dir + "/src.mkv", "v");
  ASSERT_EQ(source.size(), video.size());

  TSPacketBuffer buffer;
  ASSERT_TRUE(buffer.Resize(2000 * 188));
  VideoStream videoDesc;
  AudioStream audioDesc;
  audioDesc.SetMainType(kMediaMainTypeAudio);
  VideoTSStream videoStream(0x1B, 0xE0, 0x100, true, &buffer, 188);
  AudioTSStream audioStream(0x0F, 0xC0, 0x101, false, &buffer, 188);

  Bytes ts = PsiPacket(0, Pat(0x1000));
  const Bytes pmt = PsiPacket(0x1000, Pmt(0x100, {&videoStream, &audioStream}));
  ts.insert(ts.end(), pmt.begin(), pmt.end());

  // Frames in time order; video times are the decode times, 40 ms apart from 1 s on.
  const int64_t start = 1000000;
  size_t v = 0;
  size_t a = 0;
  std::vector<int64_t> expectedVideoPts;
  while (v < video.size() || a < audio.size()) {
    const int64_t vt = start + int64_t(v) * 40000;
    const int64_t at = start + int64_t(a) * 1024 * 1000000 / 48000;
    const bool takeVideo = a >= audio.size() || (v < video.size() && vt <= at);
    const Bytes& bytes = takeVideo ? video[v] : audio[a];
    palvex_test::FakeFrame frame(bytes, takeVideo ? vt : at);
    uint32_t length = uint32_t(bytes.size());
    buffer.Clear();
    TSStream& stream = takeVideo ? static_cast<TSStream&>(videoStream) : audioStream;
    MediaStream& desc = takeVideo ? static_cast<MediaStream&>(videoDesc) : audioDesc;
    ASSERT_EQ(stream.EStoTS(&desc, &frame, frame.GetData(), &length), 0);
    EXPECT_EQ(length, 0u);
    uint8_t* data = nullptr;
    const int size = buffer.GetBytes(&data);
    ts.insert(ts.end(), data, data + size);
    if (takeVideo) {
      // Presented in the source's order and spacing, one frame (the SPS's
      // max_num_reorder_frames) after the first picture's decode time, from the first
      // picture on: the SPS's timing_info gives the frame duration.
      const int64_t t = start + 40000 + (source[v].pts - source[0].pts) * 1000;
      expectedVideoPts.push_back(t / 1000 * 90);
      ++v;
    } else {
      ++a;
    }
  }
  EXPECT_EQ(videoStream.frameDuration(), 40000);

  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  const std::string out = dir + "/out.ts";
  {
    std::ofstream file(out, std::ios::binary);
    file.write(reinterpret_cast<const char*>(ts.data()), long(ts.size()));
  }

  const auto vp = Probe(out, "v");
  ASSERT_EQ(vp.size(), video.size());
  for (size_t i = 0; i < vp.size(); ++i) {
    EXPECT_EQ(vp[i].size, video[i].size()) << "video " << i;
    EXPECT_EQ(vp[i].dts, (start + int64_t(i) * 40000) * 90 / 1000) << "video " << i;
    EXPECT_EQ(vp[i].pts, expectedVideoPts[i]) << "video " << i;
  }
  const auto ap = Probe(out, "a");
  ASSERT_EQ(ap.size(), audio.size());
  for (size_t i = 0; i < ap.size(); ++i) {
    const int64_t pts = (start + int64_t(i) * 1024 * 1000000 / 48000) * 90 / 1000;
    EXPECT_EQ(ap[i].size, audio[i].size()) << "audio " << i;
    EXPECT_EQ(ap[i].pts, pts) << "audio " << i;
    EXPECT_EQ(ap[i].dts, pts - 3600) << "audio " << i;
  }

  // The elementary streams copied out again are the bytes that went in.
  ASSERT_TRUE(Succeeds("ffmpeg -v error -y -i " + out + " -map 0:v -c copy -f data " + dir + "/out.h264"));
  ASSERT_TRUE(Succeeds("ffmpeg -v error -y -i " + out + " -map 0:a -c copy -f data " + dir + "/out.aac"));
  Bytes videoIn;
  for (const auto& unit : video) videoIn.insert(videoIn.end(), unit.begin(), unit.end());
  EXPECT_TRUE(ReadFile(dir + "/out.h264") == videoIn);
  EXPECT_TRUE(ReadFile(dir + "/out.aac") == ReadFile(dir + "/in.aac"));
  if (!HasFailure()) Succeeds("rm -rf " + dir);
}

}  // namespace
}  // namespace palvex
