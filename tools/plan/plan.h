// The plan of a multiplex: what `palvex-mux --plan FILE` reads from a TOML file (toml++),
// many services from many inputs in one constant-rate transport stream, with the network
// they belong to:
//
//   muxrate = "15M"                 # required; as --muxrate
//   output = "udp://239.1.1.1:5000" # optional; OUTPUT on the command line wins
//   transport_stream_id = 7         # optional, as --transport-stream-id (default 0x0066)
//   original_network_id = 0xFF01    # optional (default 0xFF01, private use)
//   network_id = 0xFF01             # optional (default original_network_id)
//   network_name = "Acme cable"     # optional (default "palvex")
//   provider = "Acme"               # optional: every service's provider (default "palvex")
//   lead = 0.8                      # optional; as --lead (a number of seconds or "700ms")
//   http = "127.0.0.1:8080"         # optional; ADDR:PORT, kept for the operations page
//
//   [[service]]                     # one or more
//   input = "udp://127.0.0.1:6000"  # required: anything palvex-mux takes as INPUT
//   service_id = 101                # required: program_number and service_id, 1-65535
//   name = "News 24"                # optional (default: the input's service name)
//   provider = "Acme News"          # optional (default: the top-level provider)
//   lcn = 1                         # optional logical channel number, 0-1023
//   map = ["v", "a:0"]              # optional, as --map
//   pmt_pid = 0x1010                # optional, 0x0020-0x1FFE
//   first_pid = 0x1011              # optional, 0x0020-0x1FFE
//   service_type = 0x19             # optional, 1-255 (default: from the service's streams)
//
// Every fault gives one line "FILE:LINE: key: message" (the line of the key, or of the
// table it is missing from): bad TOML, an unknown key, a value of the wrong type or out of
// range, a missing muxrate / input / service_id, two services with one service_id, one
// lcn or one fixed PID, a muxrate that cannot carry the tables at their repetition
// intervals and every service's PCRs.
//
// The PID plan: each service's PMT and elementary streams in a block of PIDs of its own
// (AssignPids), so that no PID is shared by two services whatever their inputs carry.
//
// Beside it, the rate and lead syntax the command line shares with the plan.
#ifndef PALVEX_TOOLS_PLAN_H_
#define PALVEX_TOOLS_PLAN_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network_tables.h"
#include "scheduler.h"

namespace palvex_host {

struct ServicePlan {
  std::string input;               // a file, "-" or a URL libavformat opens
  int serviceId = -1;              // program_number and service_id, 1-65535
  std::string name;                // empty: the input's service name, as a single channel's
  std::string provider;            // the top-level provider when the plan gives none
  std::optional<int> lcn;          // logical_channel_number, 0-1023
  std::vector<std::string> maps;   // --map specifiers; empty: the default choice
  std::optional<int> pmtPid;       // fixed PMT PID, else from the service's block
  std::optional<int> firstPid;     // fixed first elementary PID, else from the service's block
  std::optional<int> serviceType;  // fixed service_type, else from the streams
  int line = 0;                    // the line of its [[service]] in the file, for messages
};

struct Plan {
  int64_t muxRate = 0;             // bit/s
  std::string output;              // empty when the plan names none
  int transportStreamId = kDefaultTransportStreamId;
  int originalNetworkId = kDefaultOriginalNetworkId;  // private use
  int networkId = kDefaultOriginalNetworkId;          // original_network_id when the plan gives none
  std::string networkName = "palvex";
  std::string provider = "palvex";
  int64_t leadTicks = kDefaultLeadTicks;  // 27 MHz, as --lead
  int64_t pacingWindowNs = kDefaultPacingWindowNs;  // as --pacing-window
  std::string http;                // "ADDR:PORT", empty when absent
  std::vector<ServicePlan> services;  // in the file's order
};

// What the plan reader cannot judge alone, given by palvex-mux (no libavformat here): a
// --map specifier and an OUTPUT name, each false with a message. Unset: anything goes.
struct PlanChecks {
  std::function<bool(const std::string& map, std::string* message)> map;
  std::function<bool(const std::string& output, std::string* message)> output;
};

// Reads the plan file; false with the one-line error ("FILE:LINE: key: message") when the
// file cannot be read or the plan is not usable (*plan is then partly filled: read into a
// scratch Plan to keep a running one). Opens nothing else. A service's input that is a
// relative file path is taken from the plan's folder.
bool ReadPlan(const std::string& path, Plan* plan, std::string* error, const PlanChecks& checks = {});
// The same over the text of a plan; name stands for the file in the messages.
bool ReadPlanText(const std::string& text, const std::string& name, Plan* plan, std::string* error,
                  const PlanChecks& checks = {});

// ---- PID plan ----------------------------------------------------------------------------
// A service's PIDs: its PMT on pmtPid, its elementary streams from firstPid to lastPid (the
// DVB stage gives none beyond lastPid). Blocks of kServicePidBlock PIDs from
// kFirstServicePidBlock up: PMT at the block's first PID, streams behind it.
struct ServicePids {
  int serviceId = -1;
  int pmtPid = -1;
  int firstPid = -1;
  int lastPid = -1;
};
constexpr int kFirstServicePidBlock = 0x0100;
constexpr int kServicePidBlock = 0x20;  // one PMT and up to 31 elementary streams

// Each service of the plan's PIDs, in the plan's order. A service listed in kept (by
// service_id: one that goes on running across a reload of the plan) keeps its PIDs; a
// service whose plan fixes pmt_pid or first_pid gets them (the one not fixed from a block of
// its own; a fixed first_pid's streams run up to 31 PIDs, short of any PID of another
// service); every other service takes the lowest block that no other service touches,
// and no block of a kept service that the plan no longer has while another is free (a
// receiver does not see a leaving service's PIDs come back at once as another's).
// False with a message when a PID would be shared (a fixed PID inside a kept service's) or
// no block is left; *pids then holds the services before the one that failed.
bool AssignPids(const Plan& plan, const std::vector<ServicePids>& kept, std::vector<ServicePids>* pids,
                std::string* error);

// What the runner of a multiplex gives each service's DVB stage: its PIDs, program_number =
// service_id, the network's transport_stream_id and original_network_id, its provider and
// name (empty: the runner's own choice, from the input), PAT and SDT left to the multiplex.
DVBConfig ServiceDVBConfig(const Plan& plan, const ServicePlan& service, const ServicePids& pids);
// The multiplex's tables' content from the plan: every service with its PMT PID, name,
// provider, lcn, and its service_type as the plan fixes it or 0x01 until the runner knows
// it from the streams (DVBStage::FirstServiceType).
Multiplex PlanMultiplex(const Plan& plan, const std::vector<ServicePids>& pids);

// What the multiplex's own tables and the PCRs of its services take of the rate: PAT and
// every PMT (one packet each as the library writes them) every 0.5 s, the SDT every 2 s,
// the NIT every 10 s and the TDT every 5 s, a PCR every 40 ms for each service.
FixedLoad MultiplexLoad(NetworkTables& tables, int services);

// ---- the syntax shared with the command line ---------------------------------------------
// "5M", "5000k", "5000000" in bit/s; false when not a positive rate of at least 10 kbit/s.
bool ParseRate(const std::string& text, int64_t* bitsPerSecond);
// "2" or "2ms" (milliseconds, up to 20) into ns; false otherwise.
bool ParsePacingWindow(const std::string& text, int64_t* ns);
// "0.8" seconds (or "800ms", "0.8s") into 27 MHz ticks; false unless from 10 ms to 10 s.
bool ParseLead(const std::string& text, int64_t* ticks);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_PLAN_H_
