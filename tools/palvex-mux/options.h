// palvex-mux's command line: the options of one channel (service_options.h) or the plan
// of a multiplex, with the checks that need nothing opened.
#ifndef PALVEX_TOOLS_OPTIONS_H_
#define PALVEX_TOOLS_OPTIONS_H_

#include <string>

#include "service_options.h"

namespace palvex_host {

extern const char kUsage[];

// 0 when the command line is usable (or asks for --help / --version), 2 with a one-line
// error otherwise: an unknown option, a missing or malformed value, a malformed OUTPUT URL,
// --loop over what cannot be read again. With --plan FILE [OUTPUT] the plan is not read
// here (ReadPlan), and the options a plan gives per service or for the whole multiplex
// (--map, --muxrate, --lead, the DVB options, --keep-pids) are refused.
int ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// "3:10" or "2.5:30.0" (AT:DURATION in seconds); false unless AT >= 0 and 0 < DURATION, both
// within 24 hours.
bool ParseSpliceOut(const std::string& text, SpliceOut* out);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_OPTIONS_H_
