// What the library makes of the chosen streams, learnt before the run on a scratch muxer:
// one small frame per stream, and the PAT, PMT and PES packets that come back give each
// stream's PID and stream_type, or show that the library does not carry it (for instance
// a second audio stream when it routes one audio stream per program).
#ifndef PALVEX_TOOLS_CARRIAGE_H_
#define PALVEX_TOOLS_CARRIAGE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clip_reader.h"

namespace palvex_host {

struct Carriage {
  int pid = -1;         // -1: the stream's frames come out nowhere
  int streamType = -1;  // from the PMT, -1 when not listed
};

// One entry per stream, in the order given.
std::vector<Carriage> ProbeCarriage(const std::vector<ClipStream>& streams);

// "H.264", "AAC (ADTS)" ... for a stream_type.
const char* StreamTypeName(int streamType);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_CARRIAGE_H_
