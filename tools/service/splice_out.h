// --splice-out: the pictures the breaks start at, found in the file before the run (a
// second reading of it, demuxed only), so that each break's first cue can leave seconds
// ahead of its picture with that picture's PTS and key flag.
#ifndef PALVEX_TOOLS_SPLICE_OUT_H_
#define PALVEX_TOOLS_SPLICE_OUT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "service_options.h"
#include "stream_select.h"

namespace palvex_host {

struct SplicePicture {
  int64_t pts90k = -1;  // the input's PTS of the picture
  bool key = false;
};

// For each of outs, in order, the first picture of the input stream streamIndex (its
// libavformat index) shown at or after AT seconds past its first picture. False with an
// error when the file cannot be read or has no picture that late.
bool FindSplicePictures(const std::string& input, const Selection& selection, int streamIndex,
                        const std::vector<SpliceOut>& outs, std::vector<SplicePicture>* pictures, std::string* error);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SPLICE_OUT_H_
