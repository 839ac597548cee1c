// SCTE-35 splice cues through palvex-mux, one row per way through it: an H.264 clip made
// with ffmpeg (25 fps, B-frames, a key picture a second) whose transport stream the test
// writes its own cue PID into (a PMT entry of stream_type 0x86 under a 'CUEI'
// registration; a splice_insert and a time_signal with a segmentation_descriptor, each
// naming a picture), muxed plain, with --muxrate, across a clock jump of the input and
// across --loop seams: each cue names the same picture (its place in presentation order)
// as in the input, leaves no later among the pictures, and its CRC_32 holds; the PMT
// lists the cue PID in the service's range with the registration; ffprobe lists the data
// stream; GStreamer's tsdemux reads the same splice times. --splice-out rows: each
// break's splice_time is the PTS of the picture shown AT seconds in, first sent at least
// 4 s ahead when the clip allows, then once a second until the point, and told on
// standard error. A row of damaged sections: none passes, and palvex-mux tells it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channel.h"
#include "splice_cues.h"
#include "splice_info.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/shell.h"
#include "support/splice_sections.h"
#include "support/ts_checker.h"
#include "ts_reader.h"

namespace {

constexpr uint32_t kFirstInserted = palvex_host::SpliceCues::kFirstInsertedEventId;

namespace fs = std::filesystem;
using namespace palvex_host;
using palvex_test::HaveTool;
using palvex_test::ReadFile;
using palvex_test::Shell;
using palvex_test::InputCue;
using palvex_test::SpliceInsertAt;
using palvex_test::TimeSignalAt;
using palvex_test::WithCues;

constexpr int64_t kPictures = 200;  // 8 s at 25 fps

// What a stream holds, packet by packet: its video pictures (PES starts, decode order)
// and its cue sections, each with the number of pictures before it.
struct Scan {
  std::vector<int64_t> pts;       // of the pictures, decode order
  std::vector<int64_t> dts;
  struct Cue {
    std::vector<uint8_t> section;
    size_t picturesBefore;
    int64_t pcrBefore;  // the last PCR base before it: the stream time it left at
    SpliceInfo info;
  };
  std::vector<Cue> cues;
  PMT pmt;
  int cuePid = -1;
  std::vector<int64_t> Sorted() const {
    std::vector<int64_t> s = pts;
    std::sort(s.begin(), s.end());
    return s;
  }
};

Scan ScanStream(const std::vector<uint8_t>& ts) {
  Scan scan;
  int pmtPid = -1, videoPid = -1;
  SectionGatherer pmtSections, cueSections;
  int64_t pcr = -1;
  for (size_t off = 0; off + kTSPacketSize <= ts.size(); off += kTSPacketSize) {
    const uint8_t* p = &ts[off];
    const int pid = PacketPid(p);
    if (PacketPCR(p) >= 0) pcr = PacketPCR(p) / 300;
    size_t size = 0;
    PAT pat;
    if (pid == 0 && PacketSection(p, &size) != nullptr && ReadPAT(PacketSection(p, &size), size, &pat))
      for (const PATProgram& program : pat.programs)
        if (program.number != 0) pmtPid = program.pid;
    if (pid == pmtPid && pmtSections.Push(p) && ReadPMT(pmtSections.section().data(), pmtSections.section().size(), &scan.pmt)) {
      for (const PMTStream& s : scan.pmt.streams) {
        if (s.streamType == 0x1B) videoPid = s.pid;
        if (s.streamType == kStreamTypeSCTE35) scan.cuePid = s.pid;
      }
    }
    PESStart pes;
    if (pid == videoPid && ReadPESStart(p, &pes)) {
      scan.pts.push_back(pes.pts);
      scan.dts.push_back(pes.dts);
    }
    if (pid == scan.cuePid && cueSections.Push(p)) {
      Scan::Cue cue{cueSections.section(), scan.pts.size(), pcr, {}};
      std::string why;
      EXPECT_TRUE(ReadSpliceInfo(cue.section.data(), cue.section.size(), &cue.info, &why)) << why;
      scan.cues.push_back(cue);
    }
  }
  return scan;
}

// The time a cue names on its stream's clock, and the picture (presentation index) at or after it.
int64_t CueTime(const SpliceInfo& info) { return (SpliceTimes(info).at(0) + info.ptsAdjustment) % kPTSModulus; }
size_t PictureAt(const std::vector<int64_t>& sorted, int64_t time) {
  return static_cast<size_t>(std::lower_bound(sorted.begin(), sorted.end(), time) - sorted.begin());
}

struct CueCase {
  const char* name;
  const char* args;      // palvex-mux options
  bool jump;             // the input: the clip, then the clip again 50 s further on its clock
  bool loop;             // --loop, the output cut after some passes
  bool damaged;          // twelve sections with a wrong CRC_32 in front
  std::vector<std::pair<double, double>> spliceOuts;
};

const CueCase kCases[] = {
    {"Plain", "", false, false, false, {}},
    {"ConstantRate", "--muxrate 1M", false, false, false, {}},
    {"ClockJump", "", true, false, false, {}},
    {"LoopSeams", "--loop", false, true, false, {}},
    {"SpliceOut", "--splice-out 6.02:10 --splice-out 2:5", false, false, false, {{6.02, 10}, {2, 5}}},
    {"SpliceOutAtAConstantRate", "--muxrate 1M --splice-out 5:30", false, false, false, {{5, 30}}},
    {"DamagedSectionsDropped", "", false, false, true, {}},
};

class SpliceCueTest : public testing::TestWithParam<CueCase> {};

TEST_P(SpliceCueTest, EachCueNamesTheSamePicture) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const CueCase& c = GetParam();
  const fs::path dir = palvex_test::ProcessTempDir("palvex-scte35");
  const fs::path clip = palvex_test::SharedClip(
      "cues.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 8 -c:v libx264 -bf 2 -g 25 -sc_threshold 0");
  ASSERT_FALSE(clip.empty());
  std::vector<uint8_t> plain = ReadFile(clip.string());
  const std::vector<int64_t> clipPictures = ScanStream(plain).Sorted();
  ASSERT_EQ(clipPictures.size(), size_t(kPictures));
  if (c.jump) {
    const fs::path later = dir / (std::string(c.name) + "-later.ts");
    ASSERT_TRUE(palvex_test::Succeeds("ffmpeg -v error -y -i " + clip.string() + " -c copy -output_ts_offset 50 " +
                                      later.string()));
    const std::vector<uint8_t> second = ReadFile(later.string());
    plain.insert(plain.end(), second.begin(), second.end());
  }
  const std::vector<int64_t> sortedIn = ScanStream(plain).Sorted();
  // A splice_insert naming picture 75 (with a pts_adjustment), a time_signal naming 120;
  // after a jump, one more naming picture 260 on the later clock.
  std::vector<InputCue> cues;
  if (c.damaged)
    for (size_t k = 0; k < 12; ++k) {
      std::vector<uint8_t> bad = SpliceInsertAt(sortedIn[40 + k], 0, 0x100 + uint32_t(k));
      bad[bad.size() - 1] ^= 0x5A;
      cues.push_back({5 + k, bad});
    }
  cues.push_back({20, SpliceInsertAt(sortedIn[75], 0x1FFFF0000LL, 0x4A0)});
  cues.push_back({100, TimeSignalAt(sortedIn[120])});
  if (c.jump) cues.push_back({230, SpliceInsertAt(sortedIn[260], 12345, 0x4A1)});
  const fs::path in = dir / (std::string(c.name) + ".ts"), out = dir / (std::string(c.name) + "-out.ts");
  {
    const std::vector<uint8_t> bytes = WithCues(plain, cues);
    FILE* f = std::fopen(in.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  int status = 0;
  const std::string run = std::string(PALVEX_MUX_PATH) + " -y " + c.args + " " + in.string();
  const std::string err = Shell(c.loop ? run + " - 2>" + (dir / "err.txt").string() + " | head -c 3008000 >" + out.string()
                                       : run + " " + out.string() + " 2>&1",
                                &status);
  if (!c.loop) {
    ASSERT_EQ(status, 0) << err;
  }
  const std::string log = c.loop ? palvex_test::ReadText((dir / "err.txt").string()) : err;
  const std::vector<uint8_t> ts = ReadFile(out.string());
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();

  const Scan input = ScanStream(WithCues(plain, cues));
  const Scan output = ScanStream(ts);
  // The PMT: the cue PID behind the video's, in the service's range, under 'CUEI'.
  ASSERT_GE(output.cuePid, 0x0100);
  EXPECT_GT(output.cuePid, output.pmt.streams.at(0).pid);
  EXPECT_EQ(output.pmt.descriptors, (std::vector<uint8_t>{0x05, 0x04, 'C', 'U', 'E', 'I'}));
  EXPECT_NE(palvex_test::ProbeStreams(out.string(), "stream=codec_name").find("scte_35"), std::string::npos);

  // Carried cues (inserted ones are the breaks, event ids from kFirstInsertedEventId): each names the picture
  // it named in the input, in every pass, and leaves no later among the pictures.
  const std::vector<int64_t> sortedOut = output.Sorted();
  const size_t carried = input.cues.size();  // the damaged ones are not read as cues
  EXPECT_EQ(carried, c.jump ? 3u : 2u);
  std::vector<const Scan::Cue*> outCues;
  for (const Scan::Cue& cue : output.cues)
    if (!(cue.info.commandType == kSpliceInsert && cue.info.insert.eventId >= kFirstInserted))
      outCues.push_back(&cue);
  ASSERT_GE(outCues.size(), carried);
  if (!c.loop) {
    EXPECT_EQ(outCues.size(), carried);
  }
  for (size_t j = 0; j < outCues.size(); ++j) {
    const Scan::Cue& was = input.cues[j % carried];
    const Scan::Cue& is = *outCues[j];
    const size_t pass = j / carried;
    SCOPED_TRACE("cue " + std::to_string(j));
    EXPECT_EQ(is.info.commandType, was.info.commandType);
    const size_t named = PictureAt(sortedIn, CueTime(was.info)) + pass * size_t(kPictures);
    if (named >= sortedOut.size()) continue;  // its pass cut short
    EXPECT_EQ(CueTime(is.info), sortedOut[named]) << "named picture " << named;
    EXPECT_LE(is.picturesBefore, was.picturesBefore + pass * size_t(kPictures));
    EXPECT_EQ(std::vector<uint8_t>(is.section.begin() + 9, is.section.end() - 4),
              std::vector<uint8_t>(was.section.begin() + 9, was.section.end() - 4));
  }

  // GStreamer's tsdemux reads the input's splice_inserts at the same running times.
  if (!c.jump && !c.loop && !c.damaged && HaveTool("gst-launch-1.0")) {
    const auto spliceTimes = [](const fs::path& file, std::string* text) {
      int gstStatus = 0;
      *text = Shell("timeout 60 gst-launch-1.0 -v filesrc location=" + file.string() +
                        " ! tsdemux send-scte35-events=true ! video/x-h264 ! fakesink silent=false 2>&1",
                    &gstStatus);
      std::multiset<std::string> times;
      const std::regex pattern(R"((event-[0-9]+-)?splice-time\\=\\\(guint64\\\)([0-9]+))");
      // A cue that leaves before the first PCR (a constant-rate start sends it at once) has
      // no running time yet in tsdemux: GST_CLOCK_TIME_NONE.
      for (std::sregex_iterator m(text->begin(), text->end(), pattern), end; m != end; ++m)
        if ((*m)[2].str() != "18446744073709551615") times.insert((*m)[1].str() + "@" + (*m)[2].str());
      return times;
    };
    std::string inText, outText;
    const std::multiset<std::string> gstIn = spliceTimes(in, &inText), gstOut = spliceTimes(out, &outText);
    size_t matched = 0;  // the breaks inserted are not in the input
    for (const std::string& t : gstOut) {
      if (t.rfind("event-" + std::to_string(kFirstInserted) + "-@", 0) == 0 ||
          t.rfind("event-" + std::to_string(kFirstInserted + 1) + "-@", 0) == 0)
        continue;
      EXPECT_EQ(gstIn.count(t), 1u) << t << "\n" << outText;
      ++matched;
    }
    EXPECT_GE(matched, 1u) << outText;
  }

  // Breaks: splice_time on the picture shown AT seconds in; first copy at least 4 s of
  // stream time ahead when the clip allows, then one a second until the point.
  for (size_t b = 0; b < c.spliceOuts.size(); ++b) {
    const uint32_t event = kFirstInserted + uint32_t(b);
    SCOPED_TRACE("break " + std::to_string(event));
    const double at = c.spliceOuts[b].first;
    const size_t picture = PictureAt(sortedIn, sortedIn[0] + int64_t(at * 90000 + 0.5));
    std::vector<int64_t> copies;  // the stream time each copy left at
    for (const Scan::Cue& cue : output.cues)
      if (cue.info.commandType == kSpliceInsert && cue.info.insert.eventId == event) {
        EXPECT_EQ(CueTime(cue.info), sortedOut[picture]);
        EXPECT_TRUE(cue.info.insert.outOfNetwork && cue.info.insert.autoReturn);
        EXPECT_EQ(cue.info.insert.duration, int64_t(c.spliceOuts[b].second * 90000));
        copies.push_back(cue.pcrBefore >= 0 ? cue.pcrBefore : output.dts.front() - 9 * 9000);
      }
    ASSERT_FALSE(copies.empty());
    const int64_t point = sortedOut[picture];
    if (at >= 4.5) {
      EXPECT_GE(point - copies.front(), 4 * 90000);
      EXPECT_GE(copies.size(), 5u);
    }
    // Once a second: a constant-rate start sends the first copy at once, ahead of its picture
    // (a copy leaves within a few slots of its picture: 1 ms either way).
    for (size_t k = 1; k < copies.size(); ++k) {
      EXPECT_GE(copies[k] - copies[k - 1], 90000 - 3600 - 90);
      EXPECT_LE(copies[k] - copies[k - 1], 2 * 90000);
    }
    EXPECT_LT(copies.back(), point);
    const bool key = (picture % 25) == 0;  // a key picture a second
    EXPECT_NE(log.find("splice_insert event " + std::to_string(event) + ": out at PTS " + std::to_string(point) +
                       " for " + std::to_string(int(c.spliceOuts[b].second)) + ".000 s"),
              std::string::npos) << log;
    EXPECT_NE(log.find(key ? "; a key picture" : "; not a key picture"), std::string::npos) << log;
  }
}

// A break asked for while the channel runs (what the control endpoint's
// POST /services/ID/splice calls): answered with the event id and the PTS of a picture the
// output holds, and sent as a splice_insert naming it.
TEST(SpliceCueLive, BreakAskedAtRunTime) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = palvex_test::SharedClip(
      "cues.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 8 -c:v libx264 -bf 2 -g 25 -sc_threshold 0");
  ASSERT_FALSE(clip.empty());
  const fs::path out = palvex_test::ProcessTempDir("palvex-scte35") / "live-out.ts";
  Options options;
  options.input = clip.string();
  options.output = out.string();
  options.realtime = true;  // paced: the run lasts as long as the clip plays
  options.spliceCues = true;
  options.overwrite = true;
  options.verbosity = Verbosity::kQuiet;
  volatile std::sig_atomic_t stop = 0;
  Channel channel(options, &stop, 1);
  int status = -1;
  std::thread run([&] { status = channel.Run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const SpliceReply reply = channel.RequestSplice(2.0, 20.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  stop = 1;
  run.join();
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.eventId, palvex_host::SpliceCues::kFirstInsertedEventId);
  const Scan output = ScanStream(ReadFile(out.string()));
  const std::vector<int64_t> pictures = output.Sorted();
  EXPECT_TRUE(std::binary_search(pictures.begin(), pictures.end(), reply.splicePts)) << reply.splicePts;
  size_t copies = 0;
  for (const Scan::Cue& cue : output.cues) {
    ASSERT_EQ(cue.info.commandType, kSpliceInsert);
    EXPECT_EQ(cue.info.insert.eventId, reply.eventId);
    EXPECT_EQ(CueTime(cue.info), reply.splicePts);
    EXPECT_EQ(cue.info.insert.duration, 20 * 90000);
    ++copies;
  }
  EXPECT_GE(copies, 2u);  // at once (less than 4 s ahead), then a second later
}

// The same through the control endpoint of a paced palvex-mux on 127.0.0.1: POST
// /services/1/splice answers the event id, the splice PTS and the key picture, and the
// output carries that splice_insert naming a picture it holds.
TEST(SpliceCueLive, BreakAskedOverHttp) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = palvex_test::SharedClip(
      "cues.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 8 -c:v libx264 -bf 2 -g 25 -sc_threshold 0");
  ASSERT_FALSE(clip.empty());
  const fs::path dir = palvex_test::ProcessTempDir("palvex-scte35-http");
  const int port = palvex_test::FreeTcpPort();
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, "-re", "-y", "--splice-cues", "--http",
                                        "127.0.0.1:" + std::to_string(port), clip.string(), (dir / "out.ts").string()},
                                       "", (dir / "err.txt").string());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(palvex_test::WaitForHttp(port, "/status", std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the first pictures muxed
  httplib::Client client("127.0.0.1", port);
  const httplib::Result got = client.Post("/services/1/splice", R"({"in": 2, "duration": 20})", "application/json");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200) << got->body;
  const nlohmann::json reply = nlohmann::json::parse(got->body, nullptr, false);
  ASSERT_TRUE(reply.is_object() && reply["event_id"].is_number() && reply["splice_pts"].is_number()) << got->body;
  EXPECT_TRUE(reply["key_picture"].is_boolean() || reply["key_picture"].is_null()) << got->body;
  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(30)), 0) << palvex_test::ReadText((dir / "err.txt").string());
  const Scan output = ScanStream(ReadFile((dir / "out.ts").string()));
  const std::vector<int64_t> pictures = output.Sorted();
  const int64_t pts = reply["splice_pts"].get<int64_t>();
  EXPECT_TRUE(std::binary_search(pictures.begin(), pictures.end(), pts)) << pts;
  const auto named = std::count_if(output.cues.begin(), output.cues.end(), [&](const Scan::Cue& cue) {
    return cue.info.commandType == kSpliceInsert && cue.info.insert.eventId == reply["event_id"].get<uint32_t>() &&
           CueTime(cue.info) == pts;
  });
  EXPECT_GE(named, 1) << got->body;
}

// A service of a multiplex (--plan) carries its input's cues on a PID of its block, each
// still naming the picture it named in the input, on the multiplex's clock for the service.
TEST(SpliceCueMultiplex, ServiceCarriesItsInputsCues) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = palvex_test::SharedClip(
      "cues.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 8 -c:v libx264 -bf 2 -g 25 -sc_threshold 0");
  ASSERT_FALSE(clip.empty());
  const fs::path dir = palvex_test::ProcessTempDir("palvex-scte35-plan");
  int status = 0;
  std::string log = Shell(std::string(PALVEX_MUX_PATH) + " -y -q --splice-out 3:10 " + clip.string() + " " +
                              (dir / "cued.ts").string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  std::ofstream(dir / "plan.toml") << "muxrate = \"2M\"\n[[service]]\ninput = \"" << (dir / "cued.ts").string()
                                   << "\"\nservice_id = 5\n";
  log = Shell(std::string(PALVEX_MUX_PATH) + " -y --plan " + (dir / "plan.toml").string() + " " +
                  (dir / "out.ts").string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  const Scan in = ScanStream(ReadFile((dir / "cued.ts").string()));
  const Scan out = ScanStream(ReadFile((dir / "out.ts").string()));
  ASSERT_FALSE(in.cues.empty());
  ASSERT_EQ(out.cues.size(), in.cues.size()) << log;
  EXPECT_EQ(out.cuePid & ~0x1F, out.pmt.streams.front().pid & ~0x1F) << "cue PID in the service's block";
  const std::vector<int64_t> sortedIn = in.Sorted(), sortedOut = out.Sorted();
  for (size_t i = 0; i < in.cues.size(); ++i) {
    const size_t picture = PictureAt(sortedIn, CueTime(in.cues[i].info));
    ASSERT_LT(picture, sortedOut.size());
    EXPECT_EQ(out.cues[i].info.insert.eventId, in.cues[i].info.insert.eventId);
    EXPECT_EQ(CueTime(out.cues[i].info), sortedOut[picture]) << "cue " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, SpliceCueTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<CueCase>& row) { return std::string(row.param.name); });

}  // namespace
