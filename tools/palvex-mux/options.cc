#include "options.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "control_server.h"
#include "plan.h"
#include "output.h"
#include "stream_select.h"

namespace palvex_host {

const char kUsage[] =
    "usage: palvex-mux [options] INPUT OUTPUT\n"
    "       palvex-mux [options] --plan FILE [OUTPUT]\n"
    "\n"
    "Muxes the first H.264 / HEVC / MPEG-2 / MPEG-4 Visual video stream and the AAC / LATM /\n"
    "MP2 / MP3 / AC-3 / E-AC-3 audio of INPUT into an MPEG-2 transport stream.\n"
    "\n"
    "INPUT   a file, - (standard input) or a URL libavformat opens (udp://, rtp://, tcp://,\n"
    "        http://, srt://)\n"
    "OUTPUT  a file, - (standard output), udp://HOST:PORT or rtp://HOST:PORT (paced in real\n"
    "        time, seven packets per datagram; ?ttl=N&localaddr=ADDR as in FFmpeg)\n"
    "\n"
    "  --plan FILE         a multiplex: the services, rate and network of a TOML plan\n"
    "                      (see the man page); OUTPUT here wins over the plan's\n"
    "  --map STREAM        mux this stream: N (input index), v, a, v:N, a:N; repeatable.\n"
    "                      Default: the first video stream and the audio\n"
    "  --loop              replay the file for ever as one channel (time goes on)\n"
    "  -re                 leave at the pace of the stream's clock (always on for udp/rtp)\n"
    "  --muxrate RATE      constant rate in bit/s (k, M): fixed packet slots, null packets\n"
    "                      where nothing is due, exact PCRs; exit status 3 if it is too little\n"
    "  --lead SECONDS      with --muxrate: how long before its decode time a frame may\n"
    "                      arrive (the receiver's buffer; default 0.8, or e.g. 700ms)\n"
    "  --ttl N             time to live of the datagrams (multicast included)\n"
    "  --multicast-if IF   interface multicast leaves from: its name, or a local IPv4 address\n"
    "  --rt-priority N     pace under real-time scheduling (SCHED_FIFO, 1-99) when allowed\n"
    "  --pacing-window MS  datagrams due within MS milliseconds leave together (0-20;\n"
    "                      default 2): fewer wake-ups, bursts of that length\n"
    "  --splice-out AT:DURATION  an ad break (SCTE-35 splice_insert) at the first picture shown\n"
    "                      AT seconds after the file's first picture, for DURATION seconds;\n"
    "                      repeatable. The input's own SCTE-35 cues are always carried\n"
    "  --splice-cues       an SCTE-35 PID in the service even without cues or --splice-out\n"
    "                      (for breaks asked at run time)\n"
    "  -y                  replace an existing OUTPUT file (by default it is kept)\n"
    "  -n                  never replace an existing OUTPUT file (the default)\n"
    "  -q                  silent but for errors\n"
    "  -v                  more: the library's own lines and pacing notes\n"
    "  --http ADDR:PORT    serve /metrics (Prometheus), /status (JSON), a status page at /\n"
    "                      and POST /reload, /services/ID/splice (off by default)\n"
    "  --http-token FILE   POST requests need \"Authorization: Bearer\" and the file's token;\n"
    "                      required for an ADDR other than loopback\n"
    "  --version           version of palvex-mux and of libavformat\n"
    "  -h, --help          this text\n"
    "  --                  what follows is INPUT and OUTPUT, even when it starts with -\n"
    "\n"
    "DVB (by default the PMT and streams leave the SI PIDs 0x0010-0x001F, an SDT names the\n"
    "service on 0x0011, the PMT carries language and AC-3 descriptors):\n"
    "  --service-name TEXT       default: the input's service_name or title, else its file name\n"
    "  --service-provider TEXT   default: the input's service_provider, else palvex\n"
    "  --program-number N        program_number and service_id (also --service-id; default 1)\n"
    "  --transport-stream-id N   default 0x0066\n"
    "  --original-network-id N   default 0xFF01 (private use)\n"
    "  --pmt-pid PID             default 0x1000\n"
    "  --first-pid PID           the first stream's PID, the others after it (default 0x0100)\n"
    "  --keep-pids               the library's PIDs from 0x0010 and its tables as they are,\n"
    "                            without SDT or descriptors\n"
    "\n"
    "An option's value may also follow an equals sign: --map=v, --muxrate=6M.\n";

bool ParseSpliceOut(const std::string& text, SpliceOut* out) {
  constexpr double kDay = 86400.0;
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  char* end = nullptr;
  const std::string at = text.substr(0, colon), duration = text.substr(colon + 1);
  out->at = std::strtod(at.c_str(), &end);
  if (*end != '\0') return false;
  out->duration = std::strtod(duration.c_str(), &end);
  if (*end != '\0') return false;
  return out->at >= 0 && out->at <= kDay && out->duration > 0 && out->duration <= kDay;
}

namespace {

bool ParseInt(const std::string& text, long low, long high, int* value) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// A number in decimal or, behind 0x, in hex, from low to high.
bool ParseNumber(const std::string& text, long low, long high, int* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  const long v = std::strtol(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

const char* const kDVBOptions[] = {"--pmt-pid", "--first-pid", "--program-number", "--service-id",
                                   "--transport-stream-id", "--original-network-id", "--service-provider",
                                   "--service-name"};

bool IsDVBOption(const std::string& name) {
  for (const char* dvb : kDVBOptions)
    if (name == dvb) return true;
  return false;
}

// The DVB options' values; false with an error when one is malformed.
bool TakeDVBValue(const std::string& arg, const std::string& value, Options* o, std::string* error) {
  const auto number = [&](long low, long high, int* out, const char* range) {
    if (!ParseNumber(value, low, high, out)) *error = "bad " + arg + " '" + value + "' (" + range + ")";
  };
  if (arg == "--pmt-pid") number(kLowestFreePid, kNullPid - 1, &o->pmtPid, "0x0020-0x1FFE");
  else if (arg == "--first-pid") number(kLowestFreePid, kNullPid - 1, &o->firstPid, "0x0020-0x1FFE");
  else if (arg == "--program-number" || arg == "--service-id") number(1, 0xFFFF, &o->programNumber, "1-65535");
  else if (arg == "--transport-stream-id") number(0, 0xFFFF, &o->transportStreamId, "0-65535");
  else if (arg == "--original-network-id") number(0, 0xFFFF, &o->originalNetworkId, "0-65535");
  else if (arg == "--service-provider") o->serviceProvider = value;
  else o->serviceName = value;
  return error->empty();
}

// Options that take a value; false with an error when it is malformed.
bool TakeValue(const std::string& arg, const std::string& value, Options* o, std::string* error) {
  if (IsDVBOption(arg)) return TakeDVBValue(arg, value, o, error);
  StreamChoice choice;
  if (arg == "--map") {
    if (ParseStreamChoice(value, &choice)) o->maps.push_back(value);
    else *error = "bad --map '" + value + "' (N, v, a, v:N or a:N)";
  } else if (arg == "--muxrate") {
    if (!ParseRate(value, &o->muxRate)) *error = "bad --muxrate '" + value + "' (bit/s, at least 10k)";
  } else if (arg == "--splice-out") {
    o->spliceOuts.emplace_back();
    if (!ParseSpliceOut(value, &o->spliceOuts.back()))
      *error = "bad --splice-out '" + value + "' (AT:DURATION in seconds, DURATION above 0)";
  } else if (arg == "--lead") {
    if (!ParseLead(value, &o->leadTicks)) *error = "bad --lead '" + value + "' (seconds, 0.01 to 10)";
  } else if (arg == "--plan") {
    if (value.empty()) *error = "--plan needs a file";
    else o->plan = value;
  } else if (arg == "--ttl") {
    if (!ParseInt(value, 0, 255, &o->ttl)) *error = "bad --ttl '" + value + "' (0-255)";
  } else if (arg == "--http") {
    if (ParseListenAddress(value, &o->httpAddress, &o->httpPort, error)) o->http = value;
  } else if (arg == "--http-token") {
    o->httpToken = value;
  } else if (arg == "--pacing-window") {
    if (!ParsePacingWindow(value, &o->pacingWindowNs)) *error = "bad --pacing-window '" + value + "' (0-20 ms)";
  } else if (arg == "--rt-priority") {
    if (!ParseInt(value, 1, 99, &o->rtPriority)) *error = "bad --rt-priority '" + value + "' (1-99)";
  } else {
    in_addr address{};
    if (inet_pton(AF_INET, value.c_str(), &address) == 1 || if_nametoindex(value.c_str()) != 0)
      o->multicastInterface = value;
    else
      *error = "bad --multicast-if '" + value + "' (an IPv4 address or a network interface name)";
  }
  return error->empty();
}

// Options without a value; false when arg is none of them.
bool TakeFlag(const std::string& arg, Options* o) {
  if (arg == "-h" || arg == "--help") o->help = true;
  else if (arg == "--version") o->version = true;
  else if (arg == "-q") o->verbosity = Verbosity::kQuiet;
  else if (arg == "-v") o->verbosity = Verbosity::kVerbose;
  else if (arg == "--loop") o->loop = true;
  else if (arg == "-re") o->realtime = true;
  else if (arg == "-y") o->overwrite = true;
  else if (arg == "-n") o->overwrite = false;
  else if (arg == "--keep-pids") o->keepPids = true;
  else if (arg == "--splice-cues") o->spliceCues = true;
  else return false;
  return true;
}

bool TakesValue(const std::string& name) {
  return name == "--map" || name == "--muxrate" || name == "--lead" || name == "--splice-out" || name == "--ttl" ||
         name == "--multicast-if" || name == "--rt-priority" || name == "--pacing-window" || name == "--plan" ||
         name == "--http" ||
         name == "--http-token" || IsDVBOption(name);
}

// --plan FILE [OUTPUT]: the plan gives the inputs, the rate and every service's tables and
// PIDs, so the options for one channel's are refused. The plan itself is read by ReadMuxPlan.
int PlanCommandLine(const std::vector<std::string>& paths, const std::string& planOption, Options* o,
                    std::string* error) {
  if (!planOption.empty()) {
    *error = planOption + " cannot go with --plan: the plan file gives the services, their streams and the rate";
    return 2;
  }
  if (paths.size() > 1) {
    *error = "with --plan give at most one OUTPUT; the inputs are in the plan (see --help)";
    return 2;
  }
  o->output = paths.empty() ? std::string() : paths[0];
  return o->output.empty() || CheckOutputName(o->output, error) ? 0 : 2;
}

// A network INPUT's port in 0-65535 (0: a listener's own choice), before libavformat
// opens it (and the socket takes the port modulo 65536); false with an error.
bool CheckInputUrl(const std::string& input, std::string* error) {
  const size_t scheme = input.find("://");
  if (scheme == std::string::npos) return true;
  const std::string protocol = input.substr(0, scheme);
  if (protocol != "udp" && protocol != "rtp" && protocol != "tcp" && protocol != "srt") return true;
  const size_t begin = scheme + 3;
  const std::string authority = input.substr(begin, input.find_first_of("/?", begin) - begin);
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos || authority.back() == ']') return true;  // no port, or an IPv6 host alone
  const std::string port = authority.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::atoi(port.c_str()) > 65535)
    *error = "bad port in '" + input + "' (0-65535)";
  return error->empty();
}

// A constant rate must carry the channel's PCR every 40 ms and its PAT, PMT and SDT every
// 0.5 s with room left for the content; below that its slots would fill with PCR-only
// packets and tables while the frames wait for ever.
bool CheckChannelRate(int64_t muxRate, std::string* error) {
  FixedLoad load;
  load.pcrPrograms = 1;
  load.psiPackets = 3;
  const int64_t needed = LeastMuxRate(load);
  if (muxRate >= needed) return true;
  *error = "--muxrate " + std::to_string(muxRate / 1000) + "k cannot carry a PCR every 40 ms and the PAT, PMT and SDT "
           "every 0.5 s with room for the content: it needs at least " + std::to_string(needed / 1000) + "k";
  return false;
}

// What the command line asks that this run cannot do, said once: options without effect,
// and a loop into a file that nothing bounds.
void NoteIneffective(const std::vector<std::string>& given, Options* o) {
  const auto has = [&](const char* name) { return std::find(given.begin(), given.end(), name) != given.end(); };
  if (has("--lead") && o->muxRate == 0) o->notes.push_back("--lead has no effect without --muxrate");
  const bool network = IsNetworkOutput(o->output);
  for (const char* name : {"--ttl", "--multicast-if"})
    if (has(name) && !network) o->notes.push_back(std::string(name) + " has no effect: OUTPUT is not udp:// or rtp://");
  struct stat st {};
  const bool regular = stat(o->output.c_str(), &st) != 0 || S_ISREG(st.st_mode);
  if (o->loop && !o->realtime && !network && o->output != "-" && regular)
    o->notes.push_back("--loop into a file without -re writes as fast as it can and never ends: the file grows "
                       "until Ctrl-C or a full disk (add -re to write in real time)");
}

}  // namespace

// Every argument is read before anything is opened: a bad value anywhere ends the run with
// status 2. "--name=value" is "--name value"; after "--" every argument is a path.
int ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
  std::vector<std::string> paths, given;
  bool pathsOnly = false;
  std::string dvbOption;   // the first DVB option given
  std::string planOption;  // the first option a plan gives per service or for the multiplex
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (pathsOnly || arg.size() < 2 || arg[0] != '-') {
      paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      pathsOnly = true;
      continue;
    }
    const size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    const std::string name = arg.substr(0, equals);
    Options scratch;
    if (IsDVBOption(name) && dvbOption.empty()) dvbOption = name;
    if (planOption.empty() && (IsDVBOption(name) || name == "--map" || name == "--muxrate" || name == "--lead" ||
                               name == "--pacing-window" || name == "--keep-pids" || name == "--splice-out" ||
                               name == "--splice-cues"))
      planOption = name;
    given.push_back(name);
    if (TakesValue(name)) {
      if (equals == std::string::npos && i + 1 >= argc) {
        *error = name + " needs a value";
        return 2;
      }
      if (!TakeValue(name, equals != std::string::npos ? arg.substr(equals + 1) : argv[++i], o, error)) return 2;
    } else if (equals != std::string::npos && TakeFlag(name, &scratch)) {
      *error = name + " takes no value";
      return 2;
    } else if (TakeFlag(arg, o)) {
      if (o->help || o->version) return 0;
    } else {
      *error = "unknown option '" + arg + "' (see --help)";
      return 2;
    }
  }
  if (o->keepPids && !dvbOption.empty()) {
    *error = "--keep-pids keeps the library's tables: " + dvbOption + " cannot go with it";
    return 2;
  }
  if (!o->http.empty() && !IsLoopback(o->httpAddress) && o->httpToken.empty()) {
    *error = "--http on " + o->httpAddress + " (not loopback) needs --http-token FILE";
    return 2;
  }
  if (!o->httpToken.empty() && o->http.empty() && o->plan.empty()) {
    *error = "--http-token goes with --http (or a plan's http)";
    return 2;
  }
  if (!o->plan.empty()) return PlanCommandLine(paths, planOption, o, error);
  if (paths.size() != 2) {
    *error = "give one INPUT and one OUTPUT (see --help)";
    return 2;
  }
  o->input = paths[0];
  o->output = paths[1];
  if (o->loop && !IsLocalFile(o->input)) {
    *error = "--loop needs a file to read again";
    return 2;
  }
  if (!o->spliceOuts.empty() && !IsLocalFile(o->input)) {
    *error = "--splice-out needs a file, whose pictures are found before the run";
    return 2;
  }
  if (o->keepPids && (!o->spliceOuts.empty() || o->spliceCues)) {
    *error = "--keep-pids keeps the library's PMT, which cannot list a splice cue PID";
    return 2;
  }
  if (o->firstPid == o->pmtPid) {
    *error = "--first-pid and --pmt-pid cannot both be " + Hex(o->pmtPid);
    return 2;
  }
  if (o->muxRate > 0 && !CheckChannelRate(o->muxRate, error)) return 2;
  if (!CheckInputUrl(o->input, error) || !CheckOutputName(o->output, error)) return 2;
  NoteIneffective(given, o);
  return 0;
}

}  // namespace palvex_host
