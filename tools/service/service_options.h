// What one service runs by: its input and output, its streams, its rate and lead, its DVB
// ids and names, its splice cues, how much it says. palvex-mux's command line fills these
// for a single channel; a multiplex fills them for each service of its plan.
#ifndef PALVEX_TOOLS_SERVICE_OPTIONS_H_
#define PALVEX_TOOLS_SERVICE_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dvb_stage.h"
#include "scheduler.h"

namespace palvex_host {

enum class Verbosity { kQuiet, kNormal, kVerbose };

// --splice-out AT:DURATION: a break at the first picture shown AT seconds or later after
// the input's first picture, for DURATION seconds.
struct SpliceOut {
  double at = 0;
  double duration = 0;
};

struct Options {
  std::string plan;                 // --plan FILE: a multiplex of the plan's services (plan.h);
                                    // input is then empty, output the command line's or empty
  std::string input;                // a file, "-" or a URL libavformat opens
  std::string output;               // a file, "-", udp://host:port or rtp://host:port
  std::vector<std::string> maps;    // --map specifiers; empty: the default choice
  bool loop = false;                // --loop: replay the file as one continuous channel
  bool realtime = false;            // -re: leave at the pace of the stream's clock
  int64_t muxRate = 0;              // --muxrate: constant rate in bit/s with null packets, 0 = off
  int64_t leadTicks = kDefaultLeadTicks;  // --lead: 27 MHz, how long before its DTS a frame may leave
  int ttl = -1;                     // --ttl: multicast (and unicast) TTL, -1 = system default
  std::string multicastInterface;   // --multicast-if: local address multicast leaves from
  int rtPriority = 0;               // --rt-priority: SCHED_FIFO priority while pacing, 0 = off
  int64_t pacingWindowNs = kDefaultPacingWindowNs;  // --pacing-window: datagrams due within it leave together
  bool overwrite = false;           // -y: an existing output file is replaced (-n: kept, the default)
  // The channel as DVB receivers expect it (dvb_stage.h); --keep-pids: the library's PIDs
  // and tables as they are, no SDT.
  bool keepPids = false;
  int pmtPid = kDefaultPMTPid;      // --pmt-pid
  int firstPid = kDefaultFirstPid;  // --first-pid
  int programNumber = -1;           // --program-number, --service-id; -1: the library's
  int transportStreamId = -1;       // --transport-stream-id; -1: the library's
  int originalNetworkId = kDefaultOriginalNetworkId;  // --original-network-id
  std::optional<std::string> serviceProvider;         // --service-provider
  std::optional<std::string> serviceName;             // --service-name
  std::string http;                 // --http ADDR:PORT: metrics, status and control; empty = off
  std::string httpAddress;          // its address and port
  int httpPort = 0;
  std::string httpToken;            // --http-token FILE: the POST requests need its token
  // SCTE-35 splice cues: the input's carried, breaks inserted (--splice-out, and at run
  // time through Service::RequestSplice); --splice-cues gives the service a cue PID even
  // when the input has none and no --splice-out is given.
  std::vector<SpliceOut> spliceOuts;
  bool spliceCues = false;
  Verbosity verbosity = Verbosity::kNormal;
  // Said once as warnings before the run: options that have no effect on this run, and
  // runs that never end by themselves.
  std::vector<std::string> notes;
  bool help = false;
  bool version = false;
};

// The streams' PIDs from --first-pid for count streams, against the PMT's and the top of
// the PID range: false with a one-line error when an explicit PID cannot be kept.
bool CheckPidPlan(const Options& options, size_t count, std::string* error);

// A file path, not standard input, a pipe or a URL: what --loop can read again.
bool IsLocalFile(const std::string& input);

// A PID as "0x0100".
std::string Hex(int pid);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SERVICE_OPTIONS_H_
