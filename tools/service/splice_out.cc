#include "splice_out.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "clip_reader.h"

namespace palvex_host {
namespace {

// Pictures are presented less than this after they are decoded: once a picture decoded
// this far past a point has come, none shown before it is still to come.
constexpr int64_t kReorderUs = 2000000;

struct Seen {
  int64_t ptsUs;
  int64_t pts90k;
  bool key;
};

}  // namespace

bool FindSplicePictures(const std::string& input, const Selection& selection, int streamIndex,
                        const std::vector<SpliceOut>& outs, std::vector<SplicePicture>* pictures, std::string* error) {
  pictures->clear();
  ClipReader reader;
  if (!reader.Open(input, selection, error)) return false;
  int streamId = -1;
  for (const ClipStream& s : reader.streams())
    if (s.index == streamIndex) streamId = s.streamId;
  double latest = 0;
  for (const SpliceOut& o : outs) latest = std::max(latest, o.at);
  // The pictures in decode order up to well past the latest point: the first one shown
  // (the smallest PTS) and each point's are among them.
  std::vector<Seen> seen;
  int64_t firstUs = -1;
  ClipFrame frame;
  while (reader.Next(&frame, error)) {
    if (frame.cue || frame.streamId != streamId || frame.ptsUs < 0 || frame.pts90k < 0) continue;
    seen.push_back({frame.ptsUs, frame.pts90k, frame.key});
    firstUs = firstUs < 0 ? frame.ptsUs : std::min(firstUs, frame.ptsUs);
    if (frame.timeUs > firstUs + std::llround(latest * 1e6) + kReorderUs) break;
  }
  if (!error->empty()) return false;
  for (const SpliceOut& o : outs) {
    const int64_t target = firstUs + std::llround(o.at * 1e6);
    const Seen* found = nullptr;
    for (const Seen& s : seen)
      if (s.ptsUs >= target && (found == nullptr || s.ptsUs < found->ptsUs)) found = &s;
    if (found == nullptr) {
      char text[128];
      std::snprintf(text, sizeof text, "--splice-out %g:%g: '%s' has no picture %g s after its first", o.at, o.duration,
                    input.c_str(), o.at);
      *error = text;
      return false;
    }
    pictures->push_back({found->pts90k, found->key});
  }
  return true;
}

}  // namespace palvex_host
