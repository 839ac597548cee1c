// End-to-end: clips made with ffmpeg at test time are muxed through the shared library's
// exported interface, and the transport stream that comes out is read back by ffprobe,
// libdvbpsi and a PES reassembler, and compared with what went in.
#include <gtest/gtest.h>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
}

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/pes_reader.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::FakeFrame;
using palvex_test::HaveTool;
using palvex_test::Shell;

struct ClipCase {
  const char* name;
  const char* file;
  const char* ffmpegArgs;     // inputs and encoders; the output file is appended
  const char* videoCodec;     // ffprobe's codec_name, or "" for none
  const char* audioCodec;
};

const ClipCase kClips[] = {
    {"H264HighBFramesAac", "high_bframes.mp4",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 "
     "-c:v libx264 -profile:v high -bf 3 -g 50 -pix_fmt yuv420p -c:a aac -b:a 96k",
     "h264", "aac"},
    {"H264BaselineAac", "baseline.mp4",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=300:sample_rate=44100 -t 3 "
     "-c:v libx264 -profile:v baseline -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k",
     "h264", "aac"},
    {"H264NoBFramesPocType2Aac", "high_nobframes.mp4",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=500:sample_rate=48000 -t 3 "
     "-c:v libx264 -profile:v high -x264-params bframes=0 -g 50 -pix_fmt yuv420p -c:a aac -b:a 64k",
     "h264", "aac"},
    {"Mpeg2VideoMp2", "mpeg2.mkv",
     "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i sine=frequency=600:sample_rate=48000 "
     "-t 3 -c:v mpeg2video -bf 0 -b:v 1M -c:a mp2 -b:a 128k",
     "mpeg2video", "mp2"},
    {"Ac3Alone", "audio.ac3",
     "-f lavfi -i sine=frequency=700:sample_rate=48000 -t 3 -c:a ac3 -b:a 128k",
     "", "ac3"},
    {"Eac3Alone", "audio.eac3",
     "-f lavfi -i sine=frequency=900:sample_rate=48000 -t 3 -c:a eac3 -b:a 96k",
     "", "eac3"},
};

fs::path WorkDir() { return palvex_test::ProcessTempDir("palvex-e2e"); }

struct InputFrame {
  uint8_t streamId;
  int32_t mainType;
  int64_t timeUs;
  int64_t ptsUs;
  std::vector<uint8_t> data;
};


// Program tables as libdvbpsi decodes them.
struct Tables {
  int patPrograms = 0;
  int pmtPid = -1;
  int pcrPid = -1;
  std::map<int, int> streamTypeOfPid;
};

void OnPat(void* data, dvbpsi_pat_t* pat) {
  auto* t = static_cast<Tables*>(data);
  t->patPrograms = 0;
  for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next) {
    ++t->patPrograms;
    t->pmtPid = p->i_pid;
  }
  dvbpsi_pat_delete(pat);
}

void OnPmt(void* data, dvbpsi_pmt_t* pmt) {
  auto* t = static_cast<Tables*>(data);
  t->pcrPid = pmt->i_pcr_pid;
  for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next)
    t->streamTypeOfPid[es->i_pid] = es->i_type;
  dvbpsi_pmt_delete(pmt);
}

Tables DecodeTables(const std::vector<uint8_t>& ts) {
  Tables tables;
  dvbpsi_t* pat = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_pat_attach(pat, OnPat, &tables);
  std::vector<uint8_t> copy(ts);
  for (size_t off = 0; off + 188 <= copy.size(); off += 188)
    if (((copy[off + 1] & 0x1F) << 8 | copy[off + 2]) == 0) dvbpsi_packet_push(pat, &copy[off]);
  dvbpsi_pat_detach(pat);
  dvbpsi_delete(pat);
  if (tables.pmtPid < 0) return tables;
  dvbpsi_t* pmt = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  dvbpsi_pmt_attach(pmt, 1, OnPmt, &tables);
  for (size_t off = 0; off + 188 <= copy.size(); off += 188)
    if (((copy[off + 1] & 0x1F) << 8 | copy[off + 2]) == tables.pmtPid) dvbpsi_packet_push(pmt, &copy[off]);
  dvbpsi_pmt_detach(pmt);
  dvbpsi_delete(pmt);
  return tables;
}

class EndToEndTest : public testing::TestWithParam<ClipCase> {
 protected:
  void SetUp() override {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    const ClipCase& c = GetParam();
    m_clip = WorkDir() / c.file;
    if (!fs::exists(m_clip)) {
      int status = 0;
      const std::string out = Shell(std::string("ffmpeg -hide_banner -loglevel error -y ") + c.ffmpegArgs + " " +
                                      m_clip.string() + " 2>&1",
                                  &status);
      ASSERT_EQ(status, 0) << out;
    }
    palvex_host::ClipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(m_clip.string(), &error)) << error;
    m_streams = reader.streams();
    palvex_host::ClipFrame f;
    while (reader.Next(&f, &error)) m_frames.push_back({f.streamId, f.mainType, f.timeUs, f.ptsUs, f.data});
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(m_frames.empty());
    Mux();
  }

  void TearDown() override {}

  // Muxes every frame through the exported interface, as a host does.
  void Mux() {
    std::unique_ptr<MediaFormat> format = palvex_host::Describe(m_streams);
    iptv::IVorlux* mux = iptv::CreatePalvex();
    ASSERT_NE(mux, nullptr);
    ASSERT_EQ(mux->AddMediaFormat(format.get()), format.get());
    ASSERT_EQ(mux->Open(), 0);
    ASSERT_EQ(mux->Start(), 0);
    for (const InputFrame& in : m_frames) {
      FakeFrame frame(in.data, in.timeUs);
      uint8_t* data = nullptr;
      int length = 0;
      ASSERT_EQ(mux->ProcessFrame(in.streamId, &frame, &data, &length), 0);
      m_frameFirstPacket.push_back(m_ts.size() / 188);
      m_ts.insert(m_ts.end(), data, data + length);
      m_frameLastPacket.push_back(m_ts.size() / 188);
    }
    testing::internal::CaptureStdout();
    mux->Stop();
    mux->Close();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(iptv::RemovePalvex(mux), iptv::RESULT_SUCCESS);
    m_output = WorkDir() / (std::string(GetParam().name) + ".ts");
    std::ofstream(m_output, std::ios::binary).write(reinterpret_cast<const char*>(m_ts.data()),
                                                    static_cast<std::streamsize>(m_ts.size()));
  }

  const palvex_host::ClipStream* Stream(int mainType) const {
    for (const auto& s : m_streams)
      if (s.mainType == mainType) return &s;
    return nullptr;
  }
  std::vector<const InputFrame*> FramesOf(uint8_t streamId) const {
    std::vector<const InputFrame*> out;
    for (const InputFrame& f : m_frames)
      if (f.streamId == streamId) out.push_back(&f);
    return out;
  }

  fs::path m_clip;
  fs::path m_output;
  std::vector<palvex_host::ClipStream> m_streams;
  std::vector<InputFrame> m_frames;
  std::vector<uint8_t> m_ts;
  std::vector<size_t> m_frameFirstPacket;
  std::vector<size_t> m_frameLastPacket;
};

TEST_P(EndToEndTest, StreamInvariantsHold) {
  palvex_test::TsChecker checker;
  checker.Feed(m_ts.data(), m_ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  ASSERT_GE(m_ts.size(), 188u);
  EXPECT_EQ((m_ts[1] & 0x1F) << 8 | m_ts[2], 0) << "the first packet is a PAT";
}

TEST_P(EndToEndTest, TablesDecodeWithLibdvbpsi) {
  const Tables tables = DecodeTables(m_ts);
  EXPECT_EQ(tables.patPrograms, 1);
  EXPECT_EQ(tables.pmtPid, 0x10);
  std::map<int, int> expected;
  int pid = 0x11;
  for (const auto& s : m_streams) {
    int type = 0;
    switch (s.codec) {
      case 0: type = s.mainType == 0 ? 0x1B : 0; break;
      case 1: type = 0x10; break;
      case 2: type = 0x02; break;
      case 8: type = 0x0F; break;
      case 10: type = 0x04; break;
      case 11: type = 0x03; break;
      default: type = s.codec; break;
    }
    expected[pid++] = type;
  }
  EXPECT_EQ(tables.streamTypeOfPid, expected);
  EXPECT_EQ(tables.pcrPid, 0x11);
}

TEST_P(EndToEndTest, EveryFramePayloadComesBackUnchanged) {
  palvex_test::PesReader reader;
  int pid = 0x11;
  std::map<uint8_t, int> pidOf;
  for (const auto& s : m_streams) {
    pidOf[s.streamId] = pid;
    ++pid;
  }
  reader.Read(m_ts.data(), m_ts.size());
  EXPECT_TRUE(reader.errors().empty()) << reader.errors().front();
  for (const auto& s : m_streams) {
    const std::vector<const InputFrame*> in = FramesOf(s.streamId);
    const std::vector<palvex_test::PesPacket> out = reader.OfPid(pidOf[s.streamId]);
    ASSERT_EQ(out.size(), in.size()) << "stream " << int(s.streamId);
    const bool adts = s.codec == 8 && !s.extraData.empty();
    for (size_t i = 0; i < in.size(); ++i) {
      std::vector<uint8_t> payload = out[i].payload;
      if (adts) {
        ASSERT_GE(payload.size(), 7u);
        const size_t frameLength = size_t(payload[3] & 3) << 11 | size_t(payload[4]) << 3 | payload[5] >> 5;
        EXPECT_EQ(frameLength, in[i]->data.size() + 7) << "ADTS frame_length, frame " << i;
        payload.erase(payload.begin(), payload.begin() + 7);
      }
      ASSERT_EQ(payload, in[i]->data) << "stream " << int(s.streamId) << " frame " << i;
    }
  }
}

TEST_P(EndToEndTest, TimeStampsFollowTheFrameTimes) {
  palvex_test::PesReader reader;
  reader.Read(m_ts.data(), m_ts.size());
  int pid = 0x11;
  for (const auto& s : m_streams) {
    const std::vector<const InputFrame*> in = FramesOf(s.streamId);
    const std::vector<palvex_test::PesPacket> out = reader.OfPid(pid++);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
      const int64_t t = in[i]->timeUs * 90 / 1000;
      if (s.mainType == 1) {
        EXPECT_EQ(out[i].pts, t) << "audio frame " << i;
        EXPECT_EQ(out[i].dts, (t - 3600) & ((int64_t{1} << 33) - 1)) << "audio frame " << i;
        continue;
      }
      EXPECT_EQ(out[i].dts, t) << "video frame " << i;
      // Presented as in the clip, to the millisecond, from the first picture on.
      EXPECT_LE(std::llabs(out[i].pts - in[i]->ptsUs * 90 / 1000), 90) << "video frame " << i;
    }
  }
}

TEST_P(EndToEndTest, PcrAndPsiAreFrequentEnough) {
  palvex_test::PesReader reader;
  reader.Read(m_ts.data(), m_ts.size());
  ASSERT_FALSE(reader.pcrs().empty());
  for (size_t i = 1; i < reader.pcrs().size(); ++i) {
    const int64_t step = (reader.pcrs()[i].base - reader.pcrs()[i - 1].base) & ((int64_t{1} << 33) - 1);
    EXPECT_GT(step, 0) << "PCR " << i << " not after the one before";
    EXPECT_LE(step, 9000) << "PCR " << i << " more than 100 ms after the one before";
  }
  // No frame more than 500 ms of frame time after the last PAT/PMT without new ones.
  const std::vector<size_t>& pats = reader.patPackets();
  size_t next = 0;
  int64_t lastPsiTime = -1;
  for (size_t i = 0; i < m_frames.size(); ++i) {
    bool psi = false;
    while (next < pats.size() && pats[next] < m_frameLastPacket[i]) {
      psi = pats[next] >= m_frameFirstPacket[i];
      ++next;
    }
    if (psi) lastPsiTime = m_frames[i].timeUs;
    ASSERT_GE(lastPsiTime, 0) << "frame " << i << " before any PAT";
    if (m_frames[i].timeUs >= lastPsiTime + 500000) ADD_FAILURE() << "frame " << i << " without PSI";
  }
}

TEST_P(EndToEndTest, FfprobeReadsEveryStreamAndFrame) {
  int status = 0;
  const std::string out =
      Shell("ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of flat " +
                m_output.string() + " 2>&1",
            &status);
  ASSERT_EQ(status, 0) << out;
  // Lines such as streams.stream.0.codec_name="h264" (the program's copies are skipped).
  std::map<std::string, std::string> found;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t eol = out.find('\n', pos);
    const std::string line = out.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    pos = eol == std::string::npos ? out.size() : eol + 1;
    if (line.rfind("streams.stream.", 0) != 0) continue;
    const size_t eq = line.find('=');
    std::string value = line.substr(eq + 1);
    if (!value.empty() && value.front() == '"') value = value.substr(1, value.size() - 2);
    found[line.substr(15, eq - 15)] = value;
  }
  std::map<std::string, std::string> expected;
  int index = 0;
  for (const auto& s : m_streams) {
    const std::string key = std::to_string(index++) + ".";
    expected[key + "codec_name"] = s.mainType == 0 ? GetParam().videoCodec : GetParam().audioCodec;
    expected[key + "nb_read_packets"] = std::to_string(FramesOf(s.streamId).size());
  }
  EXPECT_EQ(found, expected) << out;
}

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Clips, EndToEndTest, testing::ValuesIn(kClips),
                         [](const testing::TestParamInfo<ClipCase>& param) { return param.param.name; });

// With --keep-pids the host tool writes, byte for byte, what the interface gives in-process
// for the clip's frames on the tool's clock (1.8 s at the earliest frame), and says once
// that no SDT goes with it.
TEST(HostToolTest, KeepPidsWritesTheLibrarysPacketsByteForByte) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = WorkDir() / "tool.mp4";
  int status = 0;
  std::string out = Shell("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x120:rate=25 "
                        "-f lavfi -i sine=sample_rate=48000 -t 2 -c:v libx264 -profile:v main -c:a aac " +
                            clip.string() + " 2>&1",
                        &status);
  ASSERT_EQ(status, 0) << out;
  const fs::path ts = WorkDir() / "tool.ts";
  out = Shell(std::string(PALVEX_MUX_PATH) + " --keep-pids " + clip.string() + " " + ts.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("PID 0x0011  stream_type 0x1B H.264"), std::string::npos) << out;
  EXPECT_EQ(out.find("no SDT"), out.rfind("no SDT")) << out;
  EXPECT_NE(out.find("--keep-pids: no SDT is sent"), std::string::npos) << out;
  std::ifstream in(ts, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  palvex_host::ClipReader reader;
  palvex_host::Selection every;
  every.everyAudio = true;
  std::string error;
  ASSERT_TRUE(reader.Open(clip.string(), every, &error)) << error;
  std::unique_ptr<MediaFormat> format = palvex_host::Describe(reader.streams());
  iptv::IVorlux* mux = iptv::CreatePalvex();
  ASSERT_NE(mux, nullptr);
  ASSERT_EQ(mux->AddMediaFormat(format.get()), format.get());
  ASSERT_EQ(mux->Open(), 0);
  ASSERT_EQ(mux->Start(), 0);
  std::vector<uint8_t> library;
  int64_t offset = -1;
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) {
    if (f.timeUs < 0) continue;
    if (offset < 0) offset = 1800000 - reader.earliestUs();
    FakeFrame frame(f.data, std::max<int64_t>(0, f.timeUs + offset));
    uint8_t* data = nullptr;
    int length = 0;
    ASSERT_EQ(mux->ProcessFrame(f.streamId, &frame, &data, &length), 0);
    library.insert(library.end(), data, data + length);
  }
  testing::internal::CaptureStdout();
  mux->Stop();
  mux->Close();
  testing::internal::GetCapturedStdout();
  iptv::RemovePalvex(mux);
  ASSERT_FALSE(library.empty());
  EXPECT_TRUE(bytes == library) << bytes.size() << " bytes from the tool, " << library.size() << " from the library";

  out = Shell(std::string(PALVEX_MUX_PATH) + " -y /nonexistent.mp4 " + ts.string() + " 2>&1", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("cannot open"), std::string::npos) << out;
  out = Shell(std::string(PALVEX_MUX_PATH) + " --help", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("usage: palvex-mux"), std::string::npos);
}

}  // namespace
