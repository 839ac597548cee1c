// palvex-mux as users meet it: one table of command lines, each with its exit status, the
// lines of its standard error and what the output file holds afterwards (refusals that keep
// the input and an existing output intact, bad command lines refused before the input is
// opened, one message per failure and none of libavformat's own, a full disk that keeps
// the whole packets written, a reader that closes the pipe, the summary and its rate as
// measured between PCRs, a --muxrate hint that holds, HEVC from a transport stream and LATM
// inputs whose every frame ffprobe counts and ffmpeg decodes, loops without a seam); then
// --keep-pids against the library's own packets, every frame through a pipe into ffprobe,
// an interrupted looping run that still ends in whole packets, live TCP and SRT
// inputs, and the man page against --help.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clip_reader.h"
#include "palvex/palvex.h"
#include "support/fake_frame.h"
#include "support/pes_reader.h"
#include "support/process.h"
#include "support/shell.h"
#include "support/ts_checker.h"
#include "support/rate_reader.h"
#include "support/udp_receiver.h"
#include "ts_reader.h"

namespace {

namespace fs = std::filesystem;
using palvex_test::HaveTool;
using palvex_test::ReadFile;
using palvex_test::ReadText;
using palvex_test::Shell;

// What out.ts in the work directory holds after the run.
enum class Out {
  kAbsent,     // no file: none was there and the run made none
  kUnchanged,  // the file that was there, byte for byte
  kWritten,    // a new or replaced file of whole packets that read back clean
};

enum class Check {
  kNothing,
  kInputIntact,      // the clip still has its bytes
  kSilent,           // nothing at all on standard error
  kNoComplaint,      // no warning or error on standard error (the start line may be there)
  kEveryFrame,       // out.ts: ffprobe counts the clip's frames in every stream, ffmpeg decodes them cleanly
  kLibraryLineOnce,  // the library's "call stop" once on standard error
  kSeamlessLoop,     // out.ts: over three passes and more, each stream steps by one frame duration
  kSummaryRate,      // the summary's rate is out.ts's between its first and last PCR
  kHintedRateFits,   // run again at the --muxrate the summary names: exit 0, no unit late at the receiver
  kLibavLinesWhole,  // every line libavformat wrote in pieces ("Packet corrupt (...)" and ".") comes as one
  kLateLinePerSecond,  // the multiplex's "too little" warning: one line, at most one more per second of the run
  kCorruptPerService,  // the multiplex's summary: service 1 none corrupt, service 2 some
};

struct ToolCase {
  const char* name;
  // Run in {dir}, with {clip}, {cut}, {lossy}, {dir} and {port} (a free UDP port) replaced; stderr
  // goes to err.txt. A " | " pipes the tool's standard output into the command after it.
  const char* args;
  int exitCode;
  const char* stderrHas;  // lines apart by \n, each somewhere on standard error
  Out out;
  bool existing = false;  // out.ts holds other bytes before the run
  Check check = Check::kNothing;
  const char* clipArgs = nullptr;  // ffmpeg inputs and encoders of {clip}; null: the 2 s clip below
  const char* clipType = ".mkv";   // the file name extension of a clip of the case's own
  // In front of the tool: shell commands (behind ;) or a command it runs under; {clip} and
  // {lossy} replaced.
  const char* shell = "";
};

#define SMALL_AV "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 "
// A 100 KB file size limit (dash counts 512-byte blocks), beyond which a write fails with EFBIG.
#define FULL_DISK "trap '' XFSZ; ulimit -f 200; "
// A plan of three services of {clip} (the moov-behind clip, read by name) at MUXRATE.
#define PLAN(MUXRATE)                                                                                   \
  "printf 'muxrate = \"" MUXRATE "\"\\n[[service]]\\ninput = \"{clip}\"\\nservice_id = 1\\n"                 \
  "[[service]]\\ninput = \"{clip}\"\\nservice_id = 2\\n[[service]]\\ninput = \"{clip}\"\\nservice_id = 3\\n' " \
  ">plan.toml; "

const ToolCase kCases[] = {
    {"OutputIsTheInput", "-y {clip} {clip}", 1, "it is the input file", Out::kAbsent, false, Check::kInputIntact},
    {"OutputIsAHardLinkOfTheInput", "{clip} hard.mp4", 1, "it is the input file", Out::kAbsent, false,
     Check::kInputIntact},
    {"OutputIsASymlinkToTheInput", "{clip} sym.mp4", 1, "it is the input file", Out::kAbsent, false,
     Check::kInputIntact},
    {"StdoutAppendsToTheInput", "{clip} - >>{clip}", 1, "it is the input file", Out::kAbsent, false,
     Check::kInputIntact},
    {"MissingInput", "missing.mp4 out.ts", 1, "No such file or directory", Out::kAbsent},
    {"DirectoryInput", "{dir} out.ts", 1, "Is a directory", Out::kAbsent},
    {"MapMatchesNothing", "--map a:5 {clip} out.ts", 1, "matches no stream", Out::kAbsent},
    // A bad command line ends the run before the input is opened (missing.mp4 does not exist).
    {"UnknownOption", "--frobnicate {clip} out.ts", 2, "unknown option '--frobnicate'", Out::kAbsent},
    {"MalformedMap", "--map foo missing.mp4 out.ts", 2, "bad --map 'foo'", Out::kAbsent},
    {"MalformedMuxRate", "--muxrate=fast missing.mp4 out.ts", 2, "bad --muxrate 'fast'", Out::kAbsent},
    {"MalformedTtl", "--ttl 256 missing.mp4 udp://127.0.0.1:5000", 2, "bad --ttl '256'", Out::kAbsent},
    {"MalformedMulticastInterface", "--multicast-if nowhere0 missing.mp4 udp://127.0.0.1:5000", 2,
     "bad --multicast-if 'nowhere0'", Out::kAbsent},
    {"MalformedOutputUrl", "missing.mp4 udp://127.0.0.1", 2, "bad output URL", Out::kAbsent},
    {"LoopNeedsAFile", "--loop - out.ts <{clip}", 2, "--loop needs a file", Out::kAbsent},
    {"FlagWithAValue", "--loop=yes {clip} out.ts", 2, "--loop takes no value", Out::kAbsent},
    {"MalformedSpliceOut", "--splice-out 3 {clip} out.ts", 2, "bad --splice-out '3'", Out::kAbsent},
    {"SpliceOutNeedsAFile", "--splice-out 3:10 - out.ts <{clip}", 2, "--splice-out needs a file", Out::kAbsent},
    {"SpliceOutWithKeepPids", "--keep-pids --splice-out 3:10 {clip} out.ts", 2,
     "--keep-pids keeps the library's PMT, which cannot list a splice cue PID", Out::kAbsent},
    {"SpliceOutPastTheEnd", "--splice-out 3600:10 {clip} out.ts", 1, "has no picture 3600 s after its first",
     Out::kAbsent},
    {"ValueMissing", "{clip} out.ts --map", 2, "--map needs a value", Out::kAbsent},
    {"KeepPidsWithAServiceName", "--keep-pids --service-name X missing.mp4 out.ts", 2,
     "--keep-pids keeps the library's tables: --service-name cannot go with it", Out::kAbsent},
    {"PlanWithMuxRate", "--plan plan.toml --muxrate 5M out.ts", 2,
     "--muxrate cannot go with --plan: the plan file gives the services, their streams and the rate", Out::kAbsent},
    {"PlanWithInputAndOutput", "--plan plan.toml {clip} out.ts", 2, "with --plan give at most one OUTPUT",
     Out::kAbsent},
    {"PMTPidInTheSIRange", "--pmt-pid 0x0011 missing.mp4 out.ts", 2, "bad --pmt-pid '0x0011' (0x0020-0x1FFE)",
     Out::kAbsent},
    {"OptionValueAfterEquals", "--map=a {clip} out.ts", 0, "PID 0x0100  stream_type 0x0F AAC", Out::kWritten},
    {"DoubleDashEndsTheOptions", "-- -clip.mp4 out.ts", 0, "-clip.mp4 -> out.ts", Out::kWritten},
    // An existing file is replaced only with -y, and only by a run that ends well.
    {"ExistingOutputKept", "{clip} out.ts", 1, "refusing to overwrite 'out.ts' (-y replaces it)", Out::kUnchanged,
     true},
    {"NoOverwriteRefusesBeforeTheInputIsOpened", "-y -n missing.mp4 out.ts", 1, "refusing to overwrite 'out.ts'",
     Out::kUnchanged, true},
    {"OverwriteReplaces", "-y {clip} out.ts", 0, "-> out.ts: ", Out::kWritten, true},
    {"FailedRunKeepsTheOldFile", "-y - out.ts <{clip}", 1, "needs its index (moov) in front of the media data",
     Out::kUnchanged, true},
    {"FailedRunMakesNoFile", "- out.ts <{clip}", 1, "-movflags +faststart", Out::kAbsent},
    {"DeviceNeedsNoOverwrite", "{clip} /dev/null", 0, "-> /dev/null: ", Out::kAbsent},
    {"WriteErrorReportedOnce", "{clip} /dev/full", 1, "write error: No space left on device", Out::kAbsent},
    // A disk that fills up: the whole packets written are kept under the file's own name.
    {"FullDiskKeepsTheWholePacketsWritten", "--loop {clip} out.ts", 1,
     "--loop into a file without -re writes as fast as it can and never ends\nwrite error: File too large\n"
     "kept what was written before the failure: 'out.ts', ",
     Out::kWritten, false, Check::kNothing, nullptr, ".mkv", FULL_DISK},
    {"FullDiskReplacesAnExistingFileWithY", "-y --loop {clip} out.ts", 1, "kept what was written before the failure",
     Out::kWritten, true, Check::kNothing, nullptr, ".mkv", FULL_DISK},
    // The first write goes past 512 bytes: nothing whole was written, nothing is made.
    {"FullDiskBeforeTheFirstPacketMakesNoFile", "{clip} out.ts", 1, "write error: File too large", Out::kAbsent, false,
     Check::kNothing, nullptr, ".mkv", "trap '' XFSZ; ulimit -f 1; "},
    {"LeftoverOfAKilledRunIsNamed", "-y {clip} out.ts", 0,
     "'.out.ts.palvex-Ab12Cd' (0.0 KB) is what an earlier run over 'out.ts' wrote before it was killed",
     Out::kWritten, true, Check::kNothing, nullptr, ".mkv", ": >.out.ts.palvex-Ab12Cd; "},
    // A file size limit (ulimit -f, LimitFSIZE=) as the process meets it, SIGXFSZ not ignored
    // beforehand: the same message and kept file as a full disk.
    {"SizeLimitKeepsTheWholePacketsWritten", "--loop {clip} out.ts", 1,
     "write error: File too large\nkept what was written before the failure: 'out.ts', ", Out::kWritten, false,
     Check::kNothing, nullptr, ".mkv", "ulimit -f 200; "},
    {"MultiplexFullDiskKeepsTheWholePacketsWritten", "--plan plan.toml --loop out.ts", 1,
     "write error: File too large\nkept what was written before the failure: 'out.ts', ", Out::kWritten, false,
     Check::kNothing, nullptr, ".mkv", PLAN("3M") FULL_DISK},
    {"MultiplexSizeLimitKeepsTheWholePacketsWritten", "--plan plan.toml --loop out.ts", 1,
     "write error: File too large\nkept what was written before the failure: 'out.ts', ", Out::kWritten, false,
     Check::kNothing, nullptr, ".mkv", PLAN("3M") "ulimit -f 200; "},
    {"MultiplexReaderClosingThePipeEndsQuietly", "--plan plan.toml --loop - | head -c 1000 >/dev/null", 141, "",
     Out::kAbsent, false, Check::kNoComplaint, nullptr, ".mkv", PLAN("3M")},
    // SIGHUP a second into the run: the channel goes on to its end and puts its file in place.
    {"HangupLeavesASingleChannelRunning", "-re {clip} out.ts", 0,
     "SIGHUP ignored: a single channel has no plan to read again\n-> out.ts: ", Out::kWritten, false,
     Check::kNothing, nullptr, ".mkv", "timeout --foreground --preserve-status -s HUP 1 "},
    // Transport packets lost on the way (one in 37): told without -v, counted in the summary,
    // for a single channel and per service of a multiplex.
    {"LostPacketsTold", "{lossy} out.ts", 0,
     "the input is damaged: a frame of input stream 0 came corrupt\ninput damaged: ", Out::kWritten},
    {"LostPacketsToldPerService", "--plan plan.toml out.ts", 0,
     "service 2: the input is damaged: a frame of input stream 0 came corrupt", Out::kWritten, false,
     Check::kCorruptPerService, nullptr, ".mkv",
     "printf 'muxrate = \"3M\"\\n[[service]]\\ninput = \"{clip}\"\\nservice_id = 1\\n"
     "[[service]]\\ninput = \"{lossy}\"\\nservice_id = 2\\n' >plan.toml; "},
    {"LostPacketsVerboseLinesWhole", "-v {lossy} out.ts", 0, "libavformat: Packet corrupt (stream = 0, dts = ",
     Out::kWritten, false, Check::kLibavLinesWhole},
    {"MultiplexTooLittleRateOneLine", "--plan plan.toml out.ts", 3,
     "muxrate 0.300 Mbit/s is too little: \n of 3 services late so far; the most, service ",
     Out::kWritten, false, Check::kLateLinePerSecond, nullptr, ".mkv", PLAN("300k")},
    {"ReaderClosingThePipeEndsQuietly", "-re {clip} - | head -c 1000 >/dev/null", 141, "", Out::kAbsent, false,
     Check::kNoComplaint},
    {"StopBeforeAnyFrameIsClean", "udp://127.0.0.1:{port} out.ts", 0,
     "stopped before the input sent a frame: nothing was written", Out::kAbsent, false, Check::kNothing, nullptr,
     ".mkv", "timeout --foreground --preserve-status -s INT 1 "},
    // The same over a paced output (its input read on a thread of its own): nothing is sent.
    {"StopBeforeAnyFrameIsCleanOnAPacedOutput", "udp://127.0.0.1:{port} udp://127.0.0.1:9", 0,
     "stopped before the input sent a frame: nothing was written", Out::kAbsent, false, Check::kNothing, nullptr,
     ".mkv", "timeout --foreground --preserve-status -s INT 1 "},
    {"OutputPortOutOfRange", "missing.mp4 udp://127.0.0.1:99999", 2, "bad port in 'udp://127.0.0.1:99999' (1-65535)",
     Out::kAbsent},
    {"InputPortOutOfRange", "udp://127.0.0.1:99999 out.ts", 2, "bad port in 'udp://127.0.0.1:99999' (0-65535)",
     Out::kAbsent},
    {"FirstPidOnThePMT", "--first-pid 0x1000 missing.mp4 out.ts", 2, "--first-pid and --pmt-pid cannot both be 0x1000",
     Out::kAbsent},
    {"FirstPidPastTheTop", "--first-pid 0x1FFE {clip} out.ts", 1,
     "--first-pid 0x1FFE leaves no room for the input's", Out::kAbsent},
    {"LeadWithoutMuxRate", "--lead 1 --ttl 4 {clip} out.ts", 0,
     "--lead has no effect without --muxrate\n--ttl has no effect: OUTPUT is not udp:// or rtp://",
     Out::kWritten},
    {"CutFrameNotCounted", "{cut} out.ts", 0, "frames the library wrote nothing of (cut or empty): 1",
     Out::kWritten},
    {"DamagedInputToldOnce", "{cut} out.ts", 0,
     "the input is damaged: Invalid NAL unit size\ninput damaged: 3 errors from libavformat", Out::kWritten},
    {"QuietIsSilent", "-q {clip} out.ts", 0, "", Out::kWritten, false, Check::kSilent},
    {"QuietOnADamagedInput", "-q {cut} out.ts", 0, "", Out::kWritten, false, Check::kSilent},
    {"VerboseShowsTheLibraryLinesOnce", "-v {clip} out.ts", 0, "call stop", Out::kWritten, false,
     Check::kLibraryLineOnce},
    {"SummaryNamesPidAndStreamType", "{clip} out.ts", 0, "PID 0x0100  stream_type 0x1B H.264", Out::kWritten, false,
     Check::kSummaryRate},
    {"SummaryRateIsTheMuxRate", "--muxrate 1M {clip} out.ts", 0, " MB, 1.000 Mbit/s) in ", Out::kWritten, false,
     Check::kSummaryRate},
    // A slot longer than 20 ms would carry nothing but PCRs: refused before the input opens.
    {"MuxRateOnlyPCRsFit", "--muxrate 70k missing.mp4 out.ts", 2,
     "--muxrate 70k cannot carry a PCR every 40 ms and the PAT, PMT and SDT every 0.5 s with room for the content: it "
     "needs at least 76k", Out::kAbsent},
    {"PacingWindowTooLong", "--pacing-window 25 missing.mp4 out.ts", 2, "bad --pacing-window '25' (0-20 ms)",
     Out::kAbsent},
    {"MuxRateAtTheFloor", "--muxrate 10k missing.mp4 out.ts", 2, "--muxrate 10k cannot carry a PCR", Out::kAbsent},
    {"TooLittleMuxRate", "--muxrate 100k {clip} out.ts", 3, "--muxrate 0.100 Mbit/s is too little: ", Out::kWritten},
    // Key pictures of 60 KB among pictures of 1 KB: what the second around them needs is
    // not enough; the rate named is.
    {"MuxRateHintHolds", "--muxrate 300k {clip} out.ts", 3, "the content fits --muxrate ", Out::kWritten, false,
     Check::kHintedRateFits,
     SMALL_AV "-t 4 -vf scale=320x240,noise=alls=50:allf=u -c:v libx264 -g 50 -crf 30 -x264-params ipratio=6 -c:a aac"},
    {"AC3NamedInTheSummary", "{clip} out.ts", 0, "stream_type 0x06 AC-3", Out::kWritten, false, Check::kNothing,
     "-f lavfi -i sine=sample_rate=48000 -t 1 -c:a ac3"},
    {"OneFrameIsOneFrame", "{clip} out.ts", 0, "-> out.ts: 1 frame, media time", Out::kWritten, false, Check::kNothing,
     "-f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 1 -c:v libx264"},
    // --loop runs until the pipe closes: the first 10000 packets, many passes of the clip.
    {"LoopWithoutASeam", "--loop --map v --map a:0 {clip} - | head -c 1880000 >out.ts", 141, "", Out::kWritten, false,
     Check::kSeamlessLoop},
    {"ConstantRateLoopWithoutASeam", "--loop --muxrate 1M --map v --map a:0 {clip} - | head -c 1880000 >out.ts", 141,
     "", Out::kWritten, false, Check::kSeamlessLoop},
    {"Version", "--version >err.txt", 0, "palvex-mux 1.", Out::kAbsent},
    {"HevcFromTransportStream", "{clip} out.ts", 0, "PID 0x0100  stream_type 0x24 HEVC", Out::kWritten, false,
     Check::kEveryFrame, SMALL_AV "-t 1 -c:v libx265 -x265-params log-level=error -c:a aac", ".ts"},
    {"LatmAudioIsCarried", "{clip} out.ts", 0, "PID 0x0100  stream_type 0x11 AAC (LATM)", Out::kWritten, false,
     Check::kEveryFrame, "-f lavfi -i sine=sample_rate=48000 -t 2 -c:a aac -f latm", ".latm"},
    {"VideoThatCannotBeCarried", "{clip} out.ts", 1,
     "palvex carries H.264, HEVC, MPEG-2 and MPEG-4 Visual video only (--map a muxes the audio alone)", Out::kAbsent,
     false, Check::kNothing, SMALL_AV "-t 1 -c:v mjpeg -c:a aac"},
    {"NothingThatCanBeCarried", "{clip} out.ts", 1, "video only, and no audio stream of the input either",
     Out::kAbsent, false, Check::kNothing, SMALL_AV "-t 1 -c:v libvpx-vp9 -c:a libopus"},
    {"AudioMappedBesideVideoThatCannotBeCarried", "--map a {clip} out.ts", 0, "PID 0x0100  stream_type 0x0F AAC",
     Out::kWritten, false, Check::kNothing, SMALL_AV "-t 1 -c:v mjpeg -c:a aac"},
    {"SubtitlesSkippedWithAWarning", "{clip} out.ts", 0, "skipping stream 2 (subtitle, subrip): not carried",
     Out::kWritten, false, Check::kNothing,
     SMALL_AV "-i {dir}/subs.srt -map 0 -map 1 -map 2 -t 1 -c:v libx264 -c:a aac -c:s srt"},
};

#undef SMALL_AV
#undef FULL_DISK
#undef PLAN

fs::path WorkDir() { return palvex_test::ProcessTempDir("palvex-tool"); }

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

// A 2 s clip: H.264 + two AAC tracks, its index (moov) behind the media data; a copy of its
// own in the work directory (a run may write it), with a hard link and two symbolic links.
fs::path Clip() {
  const fs::path clip = WorkDir() / "clip.mp4";
  if (fs::exists(WorkDir() / "sym.mp4")) return clip;
  fs::copy_file(palvex_test::SharedClip("tool.mp4",
                                        "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 "
                                        "-f lavfi -i sine=frequency=600:sample_rate=44100 -map 0 -map 1 -map 2 -t 2 "
                                        "-c:v libx264 -profile:v main -c:a aac"),
                clip);
  fs::create_hard_link(clip, WorkDir() / "hard.mp4");
  fs::create_symlink(clip, WorkDir() / "-clip.mp4");
  fs::create_symlink(clip, WorkDir() / "sym.mp4");
  return clip;
}

// The clip with its index in front, cut in the middle of its 30th video frame: the demuxer
// hands that frame over cut short, and nothing after it.
fs::path CutClip() {
  const fs::path fast = WorkDir() / "fast.mp4", cut = WorkDir() / "cut.mp4";
  if (fs::exists(cut)) return cut;
  int status = 0;
  Shell("ffmpeg -hide_banner -loglevel error -y -i " + Clip().string() + " -map 0 -c copy -movflags +faststart " +
            fast.string(),
        &status);
  std::istringstream packets(
      Shell("ffprobe -v error -select_streams v -show_entries packet=size,pos -of csv=p=0 " + fast.string(), &status));
  std::string line;
  for (int i = 0; i < 30; ++i) std::getline(packets, line);
  const uintmax_t size = std::stoul(line), pos = std::stoul(line.substr(line.find(',') + 1));
  fs::copy_file(fast, cut);
  fs::resize_file(cut, pos + size / 2);
  return cut;
}

// A transport stream of H.264 and AAC with one packet in 37 (2.7 %) lost on the way, as a
// lossy link leaves it: continuity_counter gaps in both PIDs.
fs::path LossyClip() {
  const fs::path lossy = WorkDir() / "lossy.ts";
  if (fs::exists(lossy)) return lossy;
  const std::vector<uint8_t> ts = ReadFile(
      palvex_test::SharedClip("lossy-source.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                                 "sine=sample_rate=48000 -t 3 -c:v libx264 -g 25 -c:a aac")
          .string());
  std::vector<uint8_t> kept;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188)
    if (at / 188 % 37 != 20) kept.insert(kept.end(), ts.begin() + static_cast<long>(at), ts.begin() + static_cast<long>(at + 188));
  std::ofstream(lossy, std::ios::binary).write(reinterpret_cast<const char*>(kept.data()), static_cast<std::streamsize>(kept.size()));
  return lossy;
}

// The rate between the first and the last PCR, as a receiver measures it: bits between the
// two PCRs' packets over the time between them.
double RateBetweenPCRs(const std::vector<uint8_t>& ts) {
  int64_t first = -1, last = -1;
  size_t firstAt = 0, lastAt = 0;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const int64_t pcr = palvex_host::PacketPCR(ts.data() + at);
    if (pcr < 0) continue;
    if (first < 0) first = pcr, firstAt = at;
    last = pcr, lastAt = at;
  }
  return last > first ? static_cast<double>(lastAt - firstAt) * 8 * 27e6 / static_cast<double>(last - first) : 0;
}

// The number behind "after" in text (a rate in Mbit/s, "6.000" or "6.00M").
double NumberAfter(const std::string& text, const std::string& after) {
  const size_t at = text.find(after);
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + after.size());
}

void ExpectEveryFrame(const fs::path& clip, const fs::path& out) {
  EXPECT_EQ(palvex_test::ProbeStreams(out.string()), palvex_test::ProbeStreams(clip.string()));
  int status = 0;
  EXPECT_EQ(Shell("ffmpeg -v error -i " + out.string() + " -map 0 -f null - 2>&1", &status), "");
  EXPECT_EQ(status, 0);
}

// --loop of the 2 s clip (50 pictures, AAC that lasts a little longer than the video): at
// every seam the video and the audio step by one frame duration (within a 90 kHz tick) as
// they do inside the clip, the PCRs stay at most 40 ms apart, and the audio keeps to the
// video (lip sync within one audio frame after all the passes).
void CheckSeamlessLoop(const std::vector<uint8_t>& ts) {
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  for (const auto& pcrs : checker.pcrBases())
    for (size_t k = 1; k < pcrs.second.size(); ++k)
      ASSERT_LE(pcrs.second[k] - pcrs.second[k - 1], 3600) << "PCR " << k << " on PID " << pcrs.first;
  palvex_test::PesReader reader;
  reader.Read(ts.data(), ts.size());
  std::vector<palvex_test::PesPacket> video, audio;  // by stream_id, whatever the PID plan
  for (const palvex_test::PesPacket& p : reader.pes()) {
    if ((p.streamId & 0xF0) == 0xE0) video.push_back(p);
    if ((p.streamId & 0xE0) == 0xC0) audio.push_back(p);
  }
  ASSERT_GE(video.size(), 175u) << "three passes and a half of 50 pictures";
  ASSERT_FALSE(audio.empty());
  for (const std::vector<palvex_test::PesPacket>* pes : {&video, &audio}) {
    std::vector<int64_t> steps;
    for (size_t i = 1; i < pes->size(); ++i) steps.push_back((*pes)[i].dts - (*pes)[i - 1].dts);
    std::vector<int64_t> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    const int64_t frame = sorted[sorted.size() / 2];
    for (size_t i = 0; i < steps.size(); ++i)
      ASSERT_LE(std::llabs(steps[i] - frame), 1) << "PID " << pes->front().pid << ": DTS step " << steps[i]
                                                  << " after PES packet " << i << ", a frame lasts " << frame;
  }
  // Lip sync: the audio PTS against the video's in the first pass and near the end.
  auto lead = [&](size_t v) {
    const palvex_test::PesPacket* a = &audio.front();
    for (const palvex_test::PesPacket& p : audio)
      if (p.pts <= video[v].pts) a = &p;
    return video[v].pts - a->pts;
  };
  EXPECT_LE(std::llabs(lead(video.size() - 60) - lead(10)), 1920 + 1) << "lip sync drifted";
}

class HostToolRunTest : public testing::TestWithParam<ToolCase> {
 protected:
  void SetUp() override {
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  }
};

// A clip of the case's own.
fs::path OwnClip(const ToolCase& c) {
  std::ofstream(WorkDir() / "subs.srt") << "1\n00:00:00,000 --> 00:00:00,900\nsubtitle\n\n";
  return palvex_test::SharedClip(std::string(c.name) + c.clipType, Replace(c.clipArgs, "{dir}", WorkDir().string()));
}

TEST_P(HostToolRunTest, ExitStatusMessageAndFiles) {
  const ToolCase& c = GetParam();
  const fs::path clip = c.clipArgs == nullptr ? Clip() : OwnClip(c);
  const std::vector<uint8_t> before = ReadFile(clip.string());
  const fs::path out = WorkDir() / "out.ts", err = WorkDir() / "err.txt";
  const std::string old = "the bytes that were there\n";
  fs::remove(out);
  if (c.existing) std::ofstream(out) << old;
  std::string args = Replace(Replace(c.args, "{clip}", clip.string()), "{dir}", WorkDir().string());
  if (args.find("{cut}") != std::string::npos) args = Replace(args, "{cut}", CutClip().string());
  std::string shell = Replace(c.shell, "{clip}", clip.string());
  for (std::string* text : {&args, &shell})
    if (text->find("{lossy}") != std::string::npos) *text = Replace(*text, "{lossy}", LossyClip().string());
  const size_t pipe = args.find(" | ");
  args = Replace(args, "{port}", std::to_string(palvex_test::FreeUdpPort()));
  const std::string command = "cd " + WorkDir().string() + " && { " + shell + PALVEX_MUX_PATH + " " +
                              args.substr(0, pipe) +
                              " 2>err.txt; echo $? >rc.txt; }" +
                              (pipe == std::string::npos ? "" : args.substr(pipe));
  int status = 0;
  Shell(command, &status);
  const std::string text = ReadText(err.string());
  EXPECT_EQ(std::atoi(ReadText((WorkDir() / "rc.txt").string()).c_str()), c.exitCode) << command << "\n" << text;
  std::istringstream wanted(c.stderrHas);
  for (std::string line; std::getline(wanted, line);) EXPECT_NE(text.find(line), std::string::npos) << text;
  if (c.exitCode == 1 || c.exitCode == 2) {  // one error per failure, and nothing but palvex-mux's lines
    size_t errors = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      // Standard error is no terminal here, so each line starts with its UTC time and level.
      const size_t level = line.size() > 20 && line[4] == '-' && line[10] == 'T' ? line.find("Z ") : std::string::npos;
      const size_t own = level == std::string::npos ? level : line.find(' ', level + 2);
      errors += own != std::string::npos && line.compare(level + 2, own - level - 2, "error") == 0 ? 1 : 0;
      if (own != std::string::npos) line.erase(0, own + 1);
      EXPECT_EQ(line.rfind("palvex-mux: ", 0), 0u) << text;
    }
    EXPECT_EQ(errors, 1u) << text;
  }
  for (const auto& entry : fs::directory_iterator(WorkDir())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".palvex-") != std::string::npos && std::string(c.shell).find(name) != std::string::npos)
      fs::remove(entry.path());  // the case's own
    else EXPECT_EQ(name.find(".palvex-"), std::string::npos) << "left behind: " << entry.path();
  }
  const std::vector<uint8_t> ts = ReadFile(out.string());
  switch (c.out) {
    case Out::kAbsent:
      EXPECT_FALSE(fs::exists(out));
      break;
    case Out::kUnchanged:
      EXPECT_EQ(std::string(ts.begin(), ts.end()), old);
      break;
    case Out::kWritten: {
      ASSERT_FALSE(ts.empty());
      EXPECT_EQ(ts.size() % 188, 0u);
      palvex_test::TsChecker checker;
      checker.Feed(ts.data(), ts.size());
      EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
      break;
    }
  }
  if (c.check == Check::kInputIntact) {
    EXPECT_TRUE(ReadFile(clip.string()) == before) << "the input changed";
  }
  if (c.check == Check::kSilent) {
    EXPECT_EQ(text, "");
  }
  if (c.check == Check::kNoComplaint) {
    EXPECT_EQ(text.find("Z warning "), std::string::npos) << text;
    EXPECT_EQ(text.find("Z error "), std::string::npos) << text;
  }
  if (c.check == Check::kLibraryLineOnce) {
    EXPECT_EQ(text.find("call stop"), text.rfind("call stop")) << text;
  }
  if (c.check == Check::kEveryFrame) {
    ExpectEveryFrame(clip, out);
  }
  if (c.check == Check::kSeamlessLoop) CheckSeamlessLoop(ts);
  if (c.check == Check::kSummaryRate) {
    EXPECT_NEAR(NumberAfter(text, " MB, "), RateBetweenPCRs(ts) / 1e6, 0.0006) << text;
  }
  if (c.check == Check::kLibavLinesWhole) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("libavformat: ") == std::string::npos) continue;
      const bool corrupt = line.find("Packet corrupt (") != std::string::npos;
      EXPECT_TRUE(corrupt ? line.back() == '.' : line.find("libavformat: .") == std::string::npos) << line;
    }
  }
  if (c.check == Check::kCorruptPerService) {
    const auto corrupt = [&text](const std::string& service) {
      // The service's summary line (its "on air" line comes first).
      size_t line = text.find("palvex-mux: " + service + " \"");
      while (line != std::string::npos && text.find(" on air from ", line) < text.find('\n', line))
        line = text.find("palvex-mux: " + service + " \"", line + 1);
      const size_t end = text.find('\n', line);
      const size_t at = text.rfind(", ", text.find(" frames corrupt in the input", line));
      return line == std::string::npos || at == std::string::npos || at < line || at > end
                 ? -1
                 : std::atoi(text.c_str() + at + 2);
    };
    EXPECT_EQ(corrupt("service 1"), 0) << text;
    EXPECT_GT(corrupt("service 2"), 0) << text;
  }
  if (c.check == Check::kLateLinePerSecond) {
    size_t lines = 0;
    for (size_t at = text.find("is too little"); at != std::string::npos; at = text.find("is too little", at + 1)) ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(static_cast<double>(lines), 1 + NumberAfter(text, "access units late, in ")) << text;
  }
  if (c.check == Check::kHintedRateFits) {
    const double hint = NumberAfter(text, "the content fits --muxrate ");
    ASSERT_GT(hint, 0) << text;
    const std::string rate = std::to_string(static_cast<int64_t>(hint * 1e6 + 0.5));
    Shell("cd " + WorkDir().string() + " && " + PALVEX_MUX_PATH + " -y --muxrate " + rate + " " + clip.string() +
              " out.ts 2>err.txt",
          &status);
    EXPECT_EQ(status, 0) << ReadText(err.string());
    const std::vector<uint8_t> again = ReadFile(out.string());
    const palvex_test::RateReport report = palvex_test::ReadConstantRate(again.data(), again.size(), std::stoll(rate));
    EXPECT_EQ(report.lateUnits, 0u) << "at --muxrate " << rate << ": " << report.errors.front();
  }
}

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Runs, HostToolRunTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ToolCase>& param) { return param.param.name; });

// With --keep-pids the host tool writes, byte for byte, what the interface gives in-process
// for the clip's frames on the tool's clock (1.8 s at the earliest frame), and says once
// that no SDT goes with it.
TEST(HostToolTest, KeepPidsWritesTheLibrarysPacketsByteForByte) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = Clip(), ts = WorkDir() / "keep.ts";
  int status = 0;
  const std::string out =
      Shell(std::string(PALVEX_MUX_PATH) + " --keep-pids " + clip.string() + " " + ts.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("PID 0x0011  stream_type 0x1B H.264"), std::string::npos) << out;
  EXPECT_EQ(out.find("no SDT"), out.rfind("no SDT")) << out;
  EXPECT_NE(out.find("--keep-pids: no SDT is sent"), std::string::npos) << out;

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
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) {
    if (f.timeUs < 0) continue;
    palvex_test::FakeFrame frame(f.data, std::max<int64_t>(0, f.timeUs + 1800000 - reader.earliestUs()));
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
  const std::vector<uint8_t> bytes = ReadFile(ts.string());
  ASSERT_FALSE(library.empty());
  EXPECT_TRUE(bytes == library) << bytes.size() << " bytes from the tool, " << library.size() << " from the library";
}

// Through a pipe into ffprobe: every frame the clip reader finds in the clip, per stream.
// By default the second audio track comes too, or the tool says why it cannot.
TEST(HostToolTest, StandardOutputIntoFfprobeCarriesEveryFrame) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const fs::path clip = Clip();
  palvex_host::ClipReader reader;
  palvex_host::Selection every;
  every.everyAudio = true;
  std::string error;
  ASSERT_TRUE(reader.Open(clip.string(), every, &error)) << error;
  std::map<int, int> frames;  // by stream id
  palvex_host::ClipFrame f;
  while (reader.Next(&f, &error)) ++frames[f.streamId];
  const fs::path err = WorkDir() / "pipe-err.txt", rc = WorkDir() / "pipe-rc.txt";
  int status = 0;
  const std::string out = Shell("(" + std::string(PALVEX_MUX_PATH) + " " + clip.string() + " - 2>" + err.string() +
                                    "; echo $? >" + rc.string() + ") | ffprobe -v error -count_frames "
                                    "-show_entries stream=codec_name,nb_read_frames -of csv=p=0 -",
                                &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(ReadText(rc.string()), "0\n") << ReadText(err.string());
  const std::string text = ReadText(err.string());
  const bool secondAudio = text.find("PID 0x0102") != std::string::npos;
  if (!secondAudio) {
    EXPECT_NE(text.find("carries one audio stream per program"), std::string::npos) << text;
  }
  std::ostringstream expected;
  expected << "h264," << frames[1] << "\naac," << frames[2] << "\n";
  if (secondAudio) expected << "aac," << frames[3] << "\n";
  // ffprobe lists the program's streams first, then the streams again.
  EXPECT_EQ(out.substr(out.rfind("\n\n") == std::string::npos ? 0 : out.rfind("\n\n") + 2), expected.str())
      << out << text;
}

// SIGINT during a paced, looping run: the frame in hand is finished, the file holds whole
// packets that read back clean (continuity, PCRs rising across the loops), the summary is
// printed and the exit status is 0.
TEST(HostToolTest, InterruptedLoopEndsWithWholePacketsAndASummary) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  const fs::path clip = Clip();
  const fs::path out = WorkDir() / "loop.ts", err = WorkDir() / "loop-err.txt";
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, "-re", "--loop", "--map", "v", "--map", "a:0",
                                        clip.string(), out.string()}, "", err.string());
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2700));
  kill(pid, SIGINT);
  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(10)), 0);
  const std::string text = ReadText(err.string());
  EXPECT_NE(text.find("(interrupted)"), std::string::npos) << text;
  EXPECT_NE(text.find("loops completed: 1"), std::string::npos) << text;
  EXPECT_NE(text.find("PID 0x0101  stream_type 0x0F AAC (ADTS)"), std::string::npos) << text;
  const std::vector<uint8_t> ts = ReadFile(out.string());
  ASSERT_GT(ts.size(), 0u);
  EXPECT_EQ(ts.size() % 188, 0u);
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  ASSERT_EQ(checker.pcrBases().size(), 1u);
  const std::vector<int64_t>& pcrs = checker.pcrBases().begin()->second;
  ASSERT_GE(pcrs.size(), 2u);
  EXPECT_EQ(pcrs.front(), 126000) << "the first PCR at 1.4 s";
  // About 2.6 s of stream in 2.7 s of running: the clock went on across the loop.
  EXPECT_NEAR(static_cast<double>(pcrs.back() - pcrs.front()) / 90000.0, 2.6, 0.3);
}

// A live input: the tool listens on 127.0.0.1 while ffmpeg sends the clip as MPEG-TS in
// real time. A TCP or SRT sender's close is the input's end: the run ends by itself with
// status 0, what came whole and clean, every picture sent (over SRT, ffmpeg's own sender
// may lose its last PES packet at the close). A UDP input, which SIGINT ends, is
// InputLossTest's.
struct LiveCase {
  const char* name;
  const char* listen;  // {port} replaced
  const char* send;
  int pictures;        // at least, of the 50 sent
};

const LiveCase kLiveCases[] = {
    {"TcpEndsTheRun", "tcp://127.0.0.1:{port}?listen=1", "tcp://127.0.0.1:{port}", 50},
    {"SrtEndsTheRun", "srt://127.0.0.1:{port}?mode=listener", "srt://127.0.0.1:{port}?mode=caller&pkt_size=1316", 49},
};

class LiveInputTest : public testing::TestWithParam<LiveCase> {};

TEST_P(LiveInputTest, WholeAndCleanToItsEnd) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const LiveCase& c = GetParam();
  const fs::path clip = Clip(), out = WorkDir() / (std::string(c.name) + ".ts"),
                 err = WorkDir() / (std::string(c.name) + "-err.txt");
  const std::string port = std::to_string(palvex_test::FreeUdpPort());
  const pid_t pid = palvex_test::Spawn({PALVEX_MUX_PATH, Replace(c.listen, "{port}", port), out.string()}, "",
                                       err.string());
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int status = 0;
  Shell("ffmpeg -hide_banner -loglevel error -re -i " + clip.string() + " -map 0 -c copy -f mpegts '" +
            Replace(c.send, "{port}", port) + "'",
        &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(palvex_test::WaitFor(pid, std::chrono::seconds(10)), 0) << ReadText(err.string());
  const std::vector<uint8_t> ts = ReadFile(out.string());
  EXPECT_EQ(ts.size() % 188, 0u);
  palvex_test::TsChecker checker;
  checker.Feed(ts.data(), ts.size());
  EXPECT_TRUE(checker.errors().empty()) << checker.errors().front();
  const std::string frames = Shell("ffprobe -v error -select_streams v -count_frames -show_entries "
                                   "stream=nb_read_frames -of csv=p=0 " + out.string(), &status);
  EXPECT_GE(std::atoi(frames.c_str()), c.pictures) << "of 50 pictures sent; " << ReadText(err.string());
}

void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Inputs, LiveInputTest, testing::ValuesIn(kLiveCases),
                         [](const testing::TestParamInfo<LiveCase>& param) { return param.param.name; });

// Every option --help lists has its entry in the man page (a .B, .BI or .BR line).
TEST(HostToolTest, ManPageListsEveryOptionOfHelp) {
  std::set<std::string> entries;
  std::istringstream man(Replace(ReadText(PALVEX_MAN_PAGE), "\\-", "-"));
  for (std::string line; std::getline(man, line);) {
    if (line.rfind(".B", 0) != 0) continue;
    std::istringstream words(Replace(line, "\"", " "));
    for (std::string word; words >> word;) entries.insert(word);
  }
  int status = 0;
  std::istringstream help(Shell(std::string(PALVEX_MUX_PATH) + " --help", &status));
  size_t options = 0;
  for (std::string line; std::getline(help, line);) {
    std::istringstream words(line);
    for (std::string word; line.rfind("  -", 0) == 0 && words >> word && word[0] == '-';) {
      if (word.back() == ',') word.pop_back();
      ++options;
      EXPECT_EQ(entries.count(word), 1u) << word << " is not in the man page";
    }
  }
  EXPECT_GE(options, 15u);
}

}  // namespace
