// palvex-mux's channel as DVB receivers read it, one row per input: clips made here with
// ffmpeg (H.264 + AAC in French + AC-3 in English in MKV; MP2 alone with a title; H.264
// with nine AC-3 tracks, whose PMT takes two packets), muxed with and without --muxrate.
// Only SI on 0x0010-0x001F; an SDT at most 0.5 s apart in PCR time naming the service of
// each program of the PAT, decoded by libdvbpsi with the PMT's language, registration and
// AC-3 descriptors; ffprobe's service_name, service_provider and languages; every frame of
// the input; continuity on every PID; and, where VLC is installed, VLC reading the stream
// without a PID or SDT complaint.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "clip_reader.h"
#include "support/dvbpsi_tables.h"
#include "support/process.h"
#include "support/psi_cadence.h"
#include "support/rate_reader.h"
#include "support/shell.h"
#include "support/ts_checker.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadFile;
using palvex_test::ReadText;
using palvex_test::Shell;

struct DVBCase {
  const char* name;
  const char* encode;     // ffmpeg inputs, encoders and metadata
  const char* container;
  const char* args;       // palvex-mux options
  int64_t muxRate;        // 0: none
  const char* provider;   // what the SDT names
  const char* service;
  int serviceType;
  int programNumber;
  int transportStreamId;
  int originalNetworkId;
  int pmtPid;
};

#define VIDEO_AND_TWO_AUDIO                                                                                        \
  "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -f lavfi -i "                      \
  "sine=frequency=600:sample_rate=48000 -map 0 -map 1 -map 2 -t 3 -c:v libx264 -c:a:0 aac -c:a:1 ac3 "              \
  "-metadata:s:a:0 language=fre -metadata:s:a:1 language=eng"
#define AC3_TRACK(n, language) "-map 1 -c:a:" #n " ac3 -metadata:s:a:" #n " language=" language " "

const DVBCase kCases[] = {
    {"H264FrenchAACEnglishAC3", VIDEO_AND_TWO_AUDIO, "mkv", "--service-provider 'Palvex TV' --service-name 'Canal Un'",
     0, "Palvex TV", "Canal Un", 0x16, 1, 0x0066, 0xFF01, 0x1000},
    {"SameAtAConstantRateWithItsOwnIds", VIDEO_AND_TWO_AUDIO, "mkv",
     "--program-number 5 --transport-stream-id 7 --original-network-id 0x2000 --pmt-pid 0x0200 --first-pid 0x0300 "
     "--service-name 'Canal Un'",
     2000000, "palvex", "Canal Un", 0x16, 5, 7, 0x2000, 0x0200},
    {"MP2AloneNamedByItsTitle",
     "-f lavfi -i sine=sample_rate=48000 -t 3 -c:a mp2 -metadata title='Radio Eins' -metadata:s:a:0 language=ger", "mka",
     "", 0, "palvex", "Radio Eins", 0x02, 1, 0x0066, 0xFF01, 0x1000},
    {"NineAC3TracksTwoPacketPMTAtAConstantRate",
     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 3 -map 0 -c:v libx264 "
     AC3_TRACK(0, "eng") AC3_TRACK(1, "fre") AC3_TRACK(2, "ger") AC3_TRACK(3, "ita") AC3_TRACK(4, "spa")
     AC3_TRACK(5, "por") AC3_TRACK(6, "pol") AC3_TRACK(7, "dut") AC3_TRACK(8, "swe"),
     "mkv", "", 4000000, "palvex", "NineAC3TracksTwoPacketPMTAtAConstantRate", 0x16, 1, 0x0066, 0xFF01, 0x1000},
};

#undef AC3_TRACK
#undef VIDEO_AND_TWO_AUDIO

// VLC's log of the file (cvlc refuses root: as root, run as the existing user vlcuser);
// empty when VLC cannot be run here.
std::string VLCLog(const fs::path& ts) {
  if (!HaveTool("cvlc")) return "";
  std::string run = "timeout 20 cvlc";
  if (getuid() == 0) {
    if (!palvex_test::Succeeds("id vlcuser >/dev/null 2>&1")) return "";
    run = "timeout 20 runuser -u vlcuser -- cvlc";
  }
  int status = 0;
  return Shell(run + " -vv --play-and-exit --run-time=1 --vout=vdummy --aout=adummy --no-video-title-show " +
                   ts.string() + " 2>&1",
               &status);
}

class DVBTest : public testing::TestWithParam<DVBCase> {};

TEST_P(DVBTest, ReceiversFindTheServiceAndEveryStream) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const DVBCase& c = GetParam();
  const fs::path dir = palvex_test::ProcessTempDir("palvex-dvb");
  fs::permissions(dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);  // for VLC's user
  // The clip under the row's name: a service without a name of its own is named after its file.
  const fs::path shared = palvex_test::SharedClip(std::string("dvb.") + c.container, c.encode);
  ASSERT_FALSE(shared.empty());
  const fs::path clip = dir / (std::string(c.name) + "." + c.container), out = dir / "out.ts";
  fs::create_symlink(shared, clip);
  int status = 0;
  const std::string rate = c.muxRate > 0 ? " --muxrate " + std::to_string(c.muxRate) : "";
  const std::string err = Shell(std::string(PALVEX_MUX_PATH) + rate + " " + c.args + " " + clip.string() + " " +
                                    out.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << err;
  const std::vector<uint8_t> ts = ReadFile(out.string());

  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  // 0x0010-0x001F: nothing but the SDT's sections on 0x0011.
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    const uint8_t* p = &ts[off];
    const int pid = (p[1] & 0x1F) << 8 | p[2];
    if (pid < 0x10 || pid > 0x1F) continue;
    ASSERT_EQ(pid, 0x11) << "packet " << off / 188;
    ASSERT_TRUE((p[1] & 0x40) == 0 || (p[4] == 0 && p[5] == 0x42)) << "packet " << off / 188 << " is no SDT";
  }
  const palvex_test::PsiCadence cadence = palvex_test::MeasurePsiCadence(ts.data(), ts.size());
  const auto gap = palvex_test::PsiCadence::LongestGap(cadence.sdtTimes, cadence.firstPcr, cadence.lastPcr);
  EXPECT_LE(gap.length, 45000) << "SDT: " << gap.length / 90 << " ms of PCR time without one";
  if (c.muxRate > 0) {
    const palvex_test::RateReport r = palvex_test::ReadConstantRate(ts.data(), ts.size(), c.muxRate);
    EXPECT_LE(r.maxPCRIntervalNs, 40000000);
    EXPECT_LE(r.maxPMTIntervalNs, 500000000);
    EXPECT_EQ(r.lateUnits, 0u);
  }

  // libdvbpsi: the PAT's program, its PMT and the SDT naming its service.
  palvex_host::ClipReader reader;
  palvex_host::Selection every;
  every.everyAudio = true;
  std::string error;
  ASSERT_TRUE(reader.Open(clip.string(), every, &error)) << error;
  const std::vector<palvex_test::DvbpsiPAT> pats = palvex_test::DecodePATs(ts.data(), ts.size());
  ASSERT_FALSE(pats.empty());
  ASSERT_EQ(pats.back().programs, (std::vector<std::pair<int, int>>{{c.programNumber, c.pmtPid}}));
  const std::vector<palvex_test::DvbpsiPMT> pmts =
      palvex_test::DecodePMTs(ts.data(), ts.size(), c.pmtPid, c.programNumber);
  ASSERT_FALSE(pmts.empty());
  const std::vector<palvex_test::DvbpsiES>& es = pmts.back().streams;
  ASSERT_EQ(es.size(), reader.streams().size());
  for (const palvex_test::DvbpsiES& e : es) {
    EXPECT_GE(e.pid, 0x20) << "elementary_PID in the SI range";
    const bool ac3 = e.registration == 0x41432D33;  // 'AC-3'
    if (e.type == 0x06) {
      EXPECT_TRUE(ac3 || e.registration == 0x45414333) << "PID " << e.pid;  // 'EAC3'
      EXPECT_EQ(e.ac3Descriptor, ac3 ? 0x6A : 0x7A) << "PID " << e.pid;
    }
    EXPECT_NE(e.type, 0x81);
  }
  const std::vector<palvex_test::DvbpsiSDT> sdts = palvex_test::DecodeSDTs(ts.data(), ts.size());
  ASSERT_FALSE(sdts.empty());
  EXPECT_EQ(sdts.back().tsId, c.transportStreamId);
  EXPECT_EQ(sdts.back().networkId, c.originalNetworkId);
  ASSERT_EQ(sdts.back().services.size(), 1u);
  const palvex_test::DvbpsiService& service = sdts.back().services.front();
  EXPECT_EQ(service.id, c.programNumber);
  EXPECT_EQ(service.type, c.serviceType);
  EXPECT_EQ(service.provider, c.provider);
  EXPECT_EQ(service.name, c.service);
  EXPECT_EQ(service.running, 4);
  EXPECT_FALSE(service.freeCA);
  EXPECT_FALSE(service.eit);

  // ffprobe: the names, and per stream (in the PMT's order, which is the input's) its frames
  // and language, as the clip reader finds them in the input.
  std::map<int, int> frames;
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) ++frames[f.streamId];
  std::string expected;
  size_t audio = 0;
  for (const palvex_host::ClipStream& s : reader.streams()) {
    expected += s.codecName + "," + std::to_string(frames[s.streamId]) + (s.language.empty() ? "" : "," + s.language) + "\n";
    if (s.mainType != kMediaMainTypeAudio) continue;
    EXPECT_EQ(es[size_t(&s - reader.streams().data())].language, s.language) << "audio stream " << audio++;
  }
  EXPECT_EQ(palvex_test::ProbeStreams(out.string(), "stream=codec_name,nb_read_frames:stream_tags=language"), expected);
  const std::string names = Shell("ffprobe -v error -show_entries program_tags=service_name,service_provider "
                                  "-of default=nw=1 " + out.string(), &status);
  EXPECT_NE(names.find("TAG:service_name=" + std::string(c.service) + "\n"), std::string::npos) << names;
  EXPECT_NE(names.find("TAG:service_provider=" + std::string(c.provider) + "\n"), std::string::npos) << names;

  const std::string vlc = VLCLog(out);
  if (vlc.empty()) return;
  EXPECT_EQ(vlc.find("Tried to redeclare pid"), std::string::npos) << vlc;
  EXPECT_EQ(vlc.find("can't attach SI"), std::string::npos) << vlc;
  EXPECT_NE(vlc.find("provider=" + std::string(c.provider) + " name=" + c.service), std::string::npos) << vlc;
}

void PrintTo(const DVBCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Inputs, DVBTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DVBCase>& param) { return param.param.name; });

}  // namespace
