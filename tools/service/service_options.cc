#include "service_options.h"

#include <cstdio>

namespace palvex_host {

std::string Hex(int pid) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", pid);
  return text;
}

bool CheckPidPlan(const Options& o, size_t count, std::string* error) {
  if (o.keepPids || count == 0) return true;
  const int last = o.firstPid + static_cast<int>(count) - 1;
  if (last >= kNullPid)
    *error = "--first-pid " + Hex(o.firstPid) + " leaves no room for the input's " + std::to_string(count) +
             " streams below " + Hex(kNullPid) + " (the null packets' PID)";
  else if (o.pmtPid >= o.firstPid && o.pmtPid <= last)
    *error = "the streams' PIDs " + Hex(o.firstPid) + "-" + Hex(last) + " (--first-pid) take the PMT's " +
             Hex(o.pmtPid) + " (--pmt-pid)";
  return error->empty();
}

bool IsLocalFile(const std::string& input) {
  return input != "-" && input.find("://") == std::string::npos && input.rfind("pipe:", 0) != 0;
}

}  // namespace palvex_host
