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

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/dr_05.h>
#include <dvbpsi/dr_0a.h>
#include <dvbpsi/dr_48.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
}

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "clip_reader.h"
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

// The tables as libdvbpsi decodes them.
struct ES {
  int type = -1;
  std::string language;    // ISO_639_language_descriptor
  uint32_t registration = 0;
  int ac3Descriptor = -1;  // tag of DVB's AC-3 or enhanced AC-3 descriptor
};
struct Tables {
  std::map<int, int> pmtPidOf;  // program_number -> program_map_PID
  std::map<int, ES> es;         // elementary_PID -> stream
  int pcrPid = -1;
  int sdtCount = 0, tsid = -1, onid = -1;
  struct Service {
    int type = -1, running = -1;
    bool freeCA = true, eit = true;
    std::string provider, name;
  };
  std::map<int, Service> services;
};

void OnSDT(void* data, dvbpsi_sdt_t* sdt) {
  auto* t = static_cast<Tables*>(data);
  ++t->sdtCount;
  t->tsid = sdt->i_extension;
  t->onid = sdt->i_network_id;
  for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s != nullptr; s = s->p_next) {
    Tables::Service& service = t->services[s->i_service_id];
    service.running = s->i_running_status;
    service.freeCA = s->b_free_ca;
    service.eit = s->b_eit_schedule || s->b_eit_present;
    for (dvbpsi_descriptor_t* d = s->p_first_descriptor; d != nullptr; d = d->p_next) {
      const dvbpsi_service_dr_t* dr = d->i_tag == 0x48 ? dvbpsi_DecodeServiceDr(d) : nullptr;
      if (dr == nullptr) continue;
      service.type = dr->i_service_type;
      service.provider.assign(reinterpret_cast<const char*>(dr->i_service_provider_name),
                              dr->i_service_provider_name_length);
      service.name.assign(reinterpret_cast<const char*>(dr->i_service_name), dr->i_service_name_length);
    }
  }
  dvbpsi_sdt_delete(sdt);
}

void OnNewTable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data) {
  if (tableId == 0x42) dvbpsi_sdt_attach(handle, tableId, extension, OnSDT, data);
}

void OnPAT(void* data, dvbpsi_pat_t* pat) {
  for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next)
    static_cast<Tables*>(data)->pmtPidOf[p->i_number] = p->i_pid;
  dvbpsi_pat_delete(pat);
}

void OnPMT(void* data, dvbpsi_pmt_t* pmt) {
  auto* t = static_cast<Tables*>(data);
  t->pcrPid = pmt->i_pcr_pid;
  for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next) {
    ES& e = t->es[es->i_pid];
    e.type = es->i_type;
    for (dvbpsi_descriptor_t* d = es->p_first_descriptor; d != nullptr; d = d->p_next) {
      if (d->i_tag == 0x0A) {
        const dvbpsi_iso639_dr_t* dr = dvbpsi_DecodeISO639Dr(d);
        if (dr != nullptr && dr->i_code_count > 0)
          e.language.assign(reinterpret_cast<const char*>(dr->code[0].iso_639_code), 3);
      } else if (d->i_tag == 0x05) {
        const dvbpsi_registration_dr_t* dr = dvbpsi_DecodeRegistrationDr(d);
        if (dr != nullptr) e.registration = dr->i_format_identifier;
      } else if ((d->i_tag == 0x6A || d->i_tag == 0x7A) && d->i_length >= 1) {
        e.ac3Descriptor = d->i_tag;  // no decoder in libdvbpsi 1.3: its flags byte read here
        if (d->p_data[0] != 0) e.ac3Descriptor = -2;
      }
    }
  }
  dvbpsi_pmt_delete(pmt);
}

// Pushes every packet of pid through a fresh decoder that attach sets up.
template <typename Attach, typename Detach>
void Decode(std::vector<uint8_t> ts, int pid, Attach attach, Detach detach) {
  dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  ASSERT_TRUE(handle != nullptr && attach(handle));
  for (size_t off = 0; off + 188 <= ts.size(); off += 188)
    if (((ts[off + 1] & 0x1F) << 8 | ts[off + 2]) == pid) dvbpsi_packet_push(handle, &ts[off]);
  detach(handle);
  dvbpsi_delete(handle);
}

Tables DecodeTables(const std::vector<uint8_t>& ts, int programNumber) {
  Tables t;
  Decode(ts, 0, [&](dvbpsi_t* h) { return dvbpsi_pat_attach(h, OnPAT, &t); }, [](dvbpsi_t* h) { dvbpsi_pat_detach(h); });
  if (t.pmtPidOf.count(programNumber) == 0) return t;
  Decode(ts, t.pmtPidOf[programNumber],
         [&](dvbpsi_t* h) { return dvbpsi_pmt_attach(h, static_cast<uint16_t>(programNumber), OnPMT, &t); },
         [](dvbpsi_t* h) { dvbpsi_pmt_detach(h); });
  Decode(ts, 0x11, [&](dvbpsi_t* h) { return dvbpsi_AttachDemux(h, OnNewTable, &t); },
         [&](dvbpsi_t* h) {
           if (t.tsid >= 0) dvbpsi_sdt_detach(h, 0x42, static_cast<uint16_t>(t.tsid));
           dvbpsi_DetachDemux(h);
         });
  return t;
}

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
  const Tables t = DecodeTables(ts, c.programNumber);
  ASSERT_EQ(t.pmtPidOf.size(), 1u);
  EXPECT_EQ(t.pmtPidOf.begin()->first, c.programNumber);
  EXPECT_EQ(t.pmtPidOf.begin()->second, c.pmtPid);
  ASSERT_EQ(t.es.size(), reader.streams().size());
  for (const auto& [pid, es] : t.es) {
    EXPECT_GE(pid, 0x20) << "elementary_PID in the SI range";
    const bool ac3 = es.registration == 0x41432D33;  // 'AC-3'
    if (es.type == 0x06) {
      EXPECT_TRUE(ac3 || es.registration == 0x45414333) << "PID " << pid;  // 'EAC3'
      EXPECT_EQ(es.ac3Descriptor, ac3 ? 0x6A : 0x7A) << "PID " << pid;
    }
    EXPECT_NE(es.type, 0x81);
  }
  ASSERT_GE(t.sdtCount, 1);
  EXPECT_EQ(t.tsid, c.transportStreamId);
  EXPECT_EQ(t.onid, c.originalNetworkId);
  ASSERT_EQ(t.services.size(), 1u);
  const Tables::Service& service = t.services.begin()->second;
  EXPECT_EQ(t.services.begin()->first, c.programNumber);
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
    const auto es = std::next(t.es.begin(), static_cast<long>(&s - reader.streams().data()));
    EXPECT_EQ(es->second.language, s.language) << "audio stream " << audio++;
  }
  const std::string probed = Shell("ffprobe -v error -count_frames -show_entries "
                                   "stream=codec_name,nb_read_frames:stream_tags=language -of csv=p=0 " + out.string(),
                                   &status);
  EXPECT_EQ(probed.substr(probed.rfind("\n\n") == std::string::npos ? 0 : probed.rfind("\n\n") + 2), expected) << probed;
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
