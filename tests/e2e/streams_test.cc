// Every stream the PMTs announce reaches a standard receiver: several audio tracks and two
// programs through one muxer, AC-3 and E-AC-3 alone, one channel over four runs with its
// description replaced, read back with ffprobe, ffmpeg, GStreamer and libdvbpsi. Clips are made with ffmpeg at test time and fed through the exported interface
// as exact-size frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "palvex/palvex.h"
#include "support/dvbpsi_tables.h"
#include "support/fake_frame.h"
#include "support/pes_reader.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::FakeFrame;
using palvex_test::HaveTool;
using palvex_test::Shell;

fs::path WorkDir() { return palvex_test::ProcessTempDir("palvex-streams"); }

struct Frame {
  uint8_t streamId;
  int64_t timeUs;
  std::vector<uint8_t> data;
};

// A clip made with ffmpeg and read as a host reads it; its streams take the ids given, in
// the clip reader's order (video first).
struct Clip {
  fs::path file;
  std::vector<palvex_host::ClipStream> streams;
  std::vector<Frame> frames;
};

Clip MakeClip(const std::string& file, const std::string& ffmpegArgs, std::vector<uint8_t> ids) {
  Clip clip;
  clip.file = palvex_test::SharedClip(file, ffmpegArgs);
  palvex_host::ClipReader reader;
  std::string error;
  EXPECT_TRUE(reader.Open(clip.file.string(), &error)) << error;
  clip.streams = reader.streams();
  EXPECT_EQ(clip.streams.size(), ids.size()) << file;
  std::map<uint8_t, uint8_t> idOf;
  for (size_t i = 0; i < clip.streams.size() && i < ids.size(); ++i) {
    idOf[clip.streams[i].streamId] = ids[i];
    clip.streams[i].streamId = ids[i];
  }
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) clip.frames.push_back({idOf[f.streamId], f.timeUs, f.data});
  EXPECT_TRUE(error.empty()) << error;
  return clip;
}

// The frames of all clips in time order through one muxer, one media format per program.
std::vector<uint8_t> Mux(const std::vector<std::vector<const palvex_host::ClipStream*>>& programs,
                         const std::vector<const Clip*>& clips) {
  iptv::IVorlux* mux = iptv::CreatePalvex();
  std::vector<std::unique_ptr<MediaFormat>> formats;
  for (const auto& program : programs) {
    std::vector<palvex_host::ClipStream> streams;
    for (const auto* s : program) streams.push_back(*s);
    formats.push_back(palvex_host::Describe(streams));
    EXPECT_EQ(mux->AddMediaFormat(formats.back().get()), formats.back().get());
  }
  EXPECT_EQ(mux->Open(), 0);
  EXPECT_EQ(mux->Start(), 0);
  std::vector<const Frame*> order;
  for (const Clip* clip : clips)
    for (const Frame& f : clip->frames) order.push_back(&f);
  std::stable_sort(order.begin(), order.end(),
                   [](const Frame* a, const Frame* b) { return a->timeUs < b->timeUs; });
  std::vector<uint8_t> ts;
  for (const Frame* f : order) {
    FakeFrame frame(f->data, f->timeUs, FakeFrame::Room::kExact);
    uint8_t* data = nullptr;
    int length = 0;
    EXPECT_EQ(mux->ProcessFrame(f->streamId, &frame, &data, &length), 0);
    ts.insert(ts.end(), data, data + length);
    EXPECT_EQ(frame.Bytes(), f->data);  // read, never written
  }
  testing::internal::CaptureStdout();
  mux->Stop();
  mux->Close();
  testing::internal::GetCapturedStdout();
  iptv::RemovePalvex(mux);
  return ts;
}

fs::path Write(const std::vector<uint8_t>& ts, const std::string& name) {
  const fs::path path = WorkDir() / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(ts.data()),
                                              static_cast<std::streamsize>(ts.size()));
  return path;
}

size_t CountOf(const std::vector<const Clip*>& clips, uint8_t id) {
  size_t n = 0;
  for (const Clip* clip : clips)
    for (const Frame& f : clip->frames) n += f.streamId == id ? 1 : 0;
  return n;
}

// ffprobe's packet count of every elementary PID.
std::map<int, int> PacketsPerPid(const fs::path& ts) {
  int status = 0;
  const std::string out = Shell("ffprobe -v error -count_packets -show_entries stream=id,nb_read_packets "
                                "-of csv=p=0 " + ts.string() + " 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  std::map<int, int> counts;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    counts[std::stoi(line.substr(0, comma), nullptr, 0)] = std::stoi(line.substr(comma + 1));
  }
  return counts;
}

// size and MD5 of every packet of one stream, as `ffmpeg -f framemd5` lists them.
std::vector<std::string> FrameMd5(const std::string& input, const std::string& map,
                                  const std::string& extra = "") {
  int status = 0;
  const std::string out = Shell("ffmpeg -v error -i " + input + " -map " + map + " -c copy " + extra +
                                " -f framemd5 - 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<std::string> rows;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    // stream, dts, pts, duration, size, hash, then side data: the times differ between
    // the files, and only the transport stream's packets carry side data.
    std::vector<std::string> fields;
    std::istringstream columns(line);
    std::string field;
    while (std::getline(columns, field, ',')) fields.push_back(field.substr(field.find_first_not_of(' ')));
    if (fields.size() >= 6) rows.push_back(fields[4] + " " + fields[5]);
  }
  return rows;
}

bool HaveTools() { return HaveTool("ffmpeg") && HaveTool("ffprobe"); }

// One program of H.264 + raw AAC + AAC that already carries ADTS + AC-3, a second of
// MPEG-2 video + MP2: every stream's frames come out whole and in order.
TEST(StreamsTest, TwoProgramsWithFourAudioTracks) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const Clip av = MakeClip("av.mp4",
                           "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                           "-t 3 -c:v libx264 -profile:v main -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k",
                           {1, 2});
  const Clip adts = MakeClip("second.aac", "-f lavfi -i sine=frequency=660:sample_rate=48000 -t 3 -c:a aac -b:a 64k", {3});
  const Clip ac3 = MakeClip("third.ac3", "-f lavfi -i sine=frequency=880:sample_rate=48000 -t 3 -c:a ac3 -b:a 128k", {4});
  const Clip mpeg2 = MakeClip("mpeg2.mkv",
                              "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=550:sample_rate=48000 "
                              "-t 3 -c:v mpeg2video -g 12 -bf 2 -b:v 1M -c:a mp2 -b:a 128k",
                              {5, 6});
  ASSERT_FALSE(HasFailure());
  const std::vector<const Clip*> clips = {&av, &adts, &ac3, &mpeg2};
  const std::vector<uint8_t> ts =
      Mux({{&av.streams[0], &av.streams[1], &adts.streams[0], &ac3.streams[0]},
           {&mpeg2.streams[0], &mpeg2.streams[1]}},
          clips);
  const fs::path out = Write(ts, "two_programs.ts");
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();

  // PIDs: PMT 0x10, streams 0x11-0x14; PMT 0x15, streams 0x16-0x17.
  const std::map<uint8_t, int> pidOf = {{1, 0x11}, {2, 0x12}, {3, 0x13}, {4, 0x14}, {5, 0x16}, {6, 0x17}};
  palvex_test::PesReader reader;
  reader.Read(ts.data(), ts.size());
  EXPECT_TRUE(reader.errors().empty()) << reader.errors().front();
  for (const auto& [id, pid] : pidOf) {
    const std::vector<palvex_test::PesPacket> pes = reader.OfPid(pid);
    std::vector<const Frame*> in;
    for (const Clip* clip : clips)
      for (const Frame& f : clip->frames)
        if (f.streamId == id) in.push_back(&f);
    ASSERT_EQ(pes.size(), in.size()) << "stream " << int(id);
    for (size_t i = 0; i < in.size(); ++i) {
      std::vector<uint8_t> payload = pes[i].payload;
      if (id == 2) payload.erase(payload.begin(), payload.begin() + 7);  // the ADTS header palvex added
      ASSERT_EQ(payload, in[i]->data) << "stream " << int(id) << " frame " << i;
    }
  }

  const std::map<int, int> counts = PacketsPerPid(out);
  for (const auto& [id, pid] : pidOf) {
    EXPECT_EQ(counts.count(pid) ? counts.at(pid) : -1, int(CountOf(clips, id))) << "PID " << pid;
  }
  // Each audio track, packet by packet, as in its source.
  EXPECT_EQ(FrameMd5(out.string(), "0:i:0x12", "-bsf:a aac_adtstoasc"), FrameMd5(av.file.string(), "0:a:0"));
  EXPECT_EQ(FrameMd5(out.string(), "0:i:0x13"), FrameMd5(adts.file.string(), "0:a:0"));
  EXPECT_EQ(FrameMd5(out.string(), "0:i:0x14"), FrameMd5(ac3.file.string(), "0:a:0"));
  EXPECT_EQ(FrameMd5(out.string(), "0:i:0x17"), FrameMd5(mpeg2.file.string(), "0:a:0"));
  int status = 0;
  const std::string errors = Shell("ffmpeg -v error -i " + out.string() + " -map 0 -f null - 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(errors, "");
}

// Frames GStreamer decodes from the AC-3 or E-AC-3 stream of a file, or -1.
int GstDecodedFrames(const fs::path& ts, const char* decoder) {
  std::vector<int64_t> times;
  if (!palvex_test::GstSinkTimes("filesrc location=" + ts.string() + " ! tsdemux ! ac3parse ! " + decoder, &times))
    return -1;
  return int(times.size());
}

// AC-3 and E-AC-3 alone: every frame decoded by ffmpeg and by GStreamer, PCRs on the
// audio PID, which the PMT names as PCR_PID, at most 100 ms apart.
TEST(StreamsTest, Ac3AndEac3AloneDecodeEverywhere) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const bool gst = HaveTool("gst-launch-1.0");
  struct Case {
    const char* codec;
    const char* gstDecoder;
  } cases[] = {{"ac3", "avdec_ac3"}, {"eac3", "avdec_eac3"}};
  for (const Case& c : cases) {
    const Clip clip = MakeClip(std::string("alone.") + c.codec,
                               std::string("-f lavfi -i sine=frequency=700:sample_rate=48000 -t 3 -c:a ") + c.codec,
                               {7});
    ASSERT_FALSE(HasFailure());
    const std::vector<uint8_t> ts = Mux({{&clip.streams[0]}}, {&clip});
    const fs::path out = Write(ts, std::string("alone_") + c.codec + ".ts");
    const int frames = int(clip.frames.size());
    EXPECT_EQ(palvex_test::ProbeStreams(out.string()), std::string(c.codec) + "," + std::to_string(frames) + "\n");
    if (gst) {
      EXPECT_EQ(GstDecodedFrames(out, c.gstDecoder), frames) << c.codec;
    }

    palvex_test::PesReader reader;
    reader.Read(ts.data(), ts.size());
    ASSERT_GE(reader.pcrs().size(), 2u);
    int64_t largest = 0;
    for (size_t i = 1; i < reader.pcrs().size(); ++i) {
      EXPECT_EQ(reader.pcrs()[i].pid, 0x11);
      largest = std::max(largest, reader.pcrs()[i].base - reader.pcrs()[i - 1].base);
    }
    EXPECT_LE(largest, 9000) << c.codec;
    std::printf("%s: %d frames, %zu PCRs, largest PCR gap %.1f ms\n", c.codec, frames, reader.pcrs().size(),
                double(largest) / 90.0);
  }
  if (!gst) GTEST_SKIP() << "gst-launch-1.0 not installed: GStreamer not checked";
}

// The 7-byte ADTS header of a raw AAC frame, from its AudioSpecificConfig.
std::vector<uint8_t> WithAdtsHeader(const std::vector<uint8_t>& config, const std::vector<uint8_t>& raw) {
  const size_t length = raw.size() + 7;
  const int frequency = (config[0] & 0x07) << 1 | config[1] >> 7;
  const int channels = config[1] >> 3 & 0x0F;
  std::vector<uint8_t> frame(length);
  frame[0] = 0xFF;
  frame[1] = 0xF1;
  frame[2] = uint8_t(0x40 | frequency << 2 | (channels >> 2 & 1));
  frame[3] = uint8_t((channels & 3) << 6 | (length >> 11 & 3));
  frame[4] = uint8_t(length >> 3);
  frame[5] = uint8_t((length & 7) << 5 | 0x1F);
  frame[6] = 0xFC;
  std::copy(raw.begin(), raw.end(), frame.begin() + 7);
  return frame;
}

// One channel, four runs of one muxer written to one stream, as a head-end keeps a channel
// going while its source changes: H.264 + AAC whose frames carry ADTS headers, the same
// again, the description replaced by H.264 + MPEG-1 Layer II, then by H.264 + raw AAC.
// The stream stays one stream: continuity on every PID, a new PMT version exactly where the
// PMT changed, exactly one ADTS header on every AAC frame, none on MP2.
TEST(StreamsTest, FourRunsOfOneChannelStayOneStream) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const Clip av = MakeClip("av.mp4",
                           "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                           "-t 3 -c:v libx264 -profile:v main -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k",
                           {1, 2});
  const Clip mp2 = MakeClip("mp2.mkv",
                            "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=550:sample_rate=48000 "
                            "-t 3 -c:v mpeg2video -c:a mp2 -b:a 128k",
                            {9, 2});
  ASSERT_FALSE(HasFailure());
  const std::vector<uint8_t>& config = av.streams[1].extraData;
  ASSERT_GE(config.size(), 2u);
  std::vector<Frame> video;
  std::vector<Frame> rawAac;
  std::vector<Frame> framedAac;
  std::vector<Frame> mp2Audio;
  for (const Frame& f : av.frames) (f.streamId == 1 ? video : rawAac).push_back(f);
  for (const Frame& f : rawAac) framedAac.push_back({2, f.timeUs, WithAdtsHeader(config, f.data)});
  for (const Frame& f : mp2.frames)
    if (f.streamId == 2) mp2Audio.push_back(f);
  const std::vector<palvex_host::ClipStream> aacStreams = {av.streams[0], av.streams[1]};
  const std::vector<palvex_host::ClipStream> mp2Streams = {av.streams[0], mp2.streams[1]};
  struct Run {
    const std::vector<palvex_host::ClipStream>* streams;
    const std::vector<Frame>* audio;
  } runs[] = {{&aacStreams, &framedAac}, {&aacStreams, &framedAac}, {&mp2Streams, &mp2Audio}, {&aacStreams, &rawAac}};

  iptv::IVorlux* mux = iptv::CreatePalvex();
  ASSERT_EQ(mux->Open(), 0);
  std::vector<uint8_t> ts;
  std::vector<std::vector<uint8_t>> expectedAudio;  // each audio PES payload, in order
  int64_t offset = 0;
  testing::internal::CaptureStdout();
  for (const Run& run : runs) {
    for (MediaFormat* listed : mux->GetMediaFormats()) EXPECT_EQ(mux->RemoveMediaFormat(listed), 0);
    std::unique_ptr<MediaFormat> format = palvex_host::Describe(*run.streams);
    EXPECT_EQ(mux->AddMediaFormat(format.get()), format.get());
    EXPECT_EQ(mux->Start(), 0);
    std::vector<const Frame*> order;
    for (const Frame& f : video) order.push_back(&f);
    for (const Frame& f : *run.audio) order.push_back(&f);
    std::stable_sort(order.begin(), order.end(),
                     [](const Frame* a, const Frame* b) { return a->timeUs < b->timeUs; });
    for (const Frame* f : order) {
      FakeFrame frame(f->data, f->timeUs + offset, FakeFrame::Room::kExact);
      uint8_t* data = nullptr;
      int length = 0;
      EXPECT_EQ(mux->ProcessFrame(f->streamId, &frame, &data, &length), 0);
      ts.insert(ts.end(), data, data + length);
      if (f->streamId != 2) continue;
      expectedAudio.push_back(run.audio == &rawAac ? WithAdtsHeader(config, f->data) : f->data);
    }
    EXPECT_EQ(mux->Stop(), 0);
    offset += 3200000;
  }
  mux->Close();
  testing::internal::GetCapturedStdout();
  iptv::RemovePalvex(mux);
  const fs::path out = Write(ts, "four_runs.ts");

  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  // libdvbpsi reports a table when it first sees it and whenever its version changes.
  const std::vector<palvex_test::DvbpsiPAT> pats = palvex_test::DecodePATs(ts.data(), ts.size());
  ASSERT_EQ(pats.size(), 1u);
  EXPECT_EQ(pats[0].version, 0);
  std::vector<std::pair<int, std::vector<int>>> pmts;  // version, stream types
  for (const palvex_test::DvbpsiPMT& pmt : palvex_test::DecodePMTs(ts.data(), ts.size(), 0x10, 1)) {
    pmts.emplace_back(pmt.version, std::vector<int>());
    for (const palvex_test::DvbpsiES& es : pmt.streams) pmts.back().second.push_back(es.type);
  }
  EXPECT_EQ(pmts, (std::vector<std::pair<int, std::vector<int>>>{{0, {0x1B, 0x0F}}, {1, {0x1B, 0x03}}, {2, {0x1B, 0x0F}}}));
  palvex_test::PesReader reader;
  reader.Read(ts.data(), ts.size());
  const std::vector<palvex_test::PesPacket> audio = reader.OfPid(0x12);
  ASSERT_EQ(audio.size(), expectedAudio.size());
  for (size_t i = 0; i < audio.size(); ++i) ASSERT_EQ(audio[i].payload, expectedAudio[i]) << "audio frame " << i;
  int status = 0;
  const std::string errors = Shell("ffprobe -v error -count_packets -show_streams " + out.string() + " 2>&1 >/dev/null", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(errors, "");
}

}  // namespace
