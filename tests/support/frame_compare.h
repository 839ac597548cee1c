// Whether a program of a muxed output carries every frame of its source: the streams of
// the source (video, audio, data, in their order) against those of the program, each
// video and audio stream by the MD5 of every frame ffmpeg decodes from it (framemd5; the
// audio of a live input, joined within its stream, by the MD5 of every packet), each
// data stream (SCTE-35 cues) by its packet count, and every stream's codec and language
// (ISO_639_language_descriptor, as ffprobe reads it).
#ifndef PALVEX_TESTS_SUPPORT_FRAME_COMPARE_H_
#define PALVEX_TESTS_SUPPORT_FRAME_COMPARE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace palvex_test {

// What may be missing at either end, in seconds of the source (turned into frames at each
// stream's own frame rate, rounded up): a live input joined after its sender started
// begins at a key frame, and its last video PES cannot be known whole until another
// starts (with B-frames, a picture shown before others goes missing); a file input leaves
// nothing out.
struct FrameTolerance {
  double leadingSeconds = 0;
  double trailingSeconds = 0;
};

// The output's frames must be one run of the source's, in order: its first among the
// source's first maxLeading + 1, and from there every source frame but the last
// maxTrailing the output's, in its place (the last ones may be missing or differ). Empty
// when so, else what differs.
std::string CompareFrameRuns(const std::vector<std::string>& source, const std::vector<std::string>& output,
                             size_t maxLeading, size_t maxTrailing);

// One stream as ffprobe lists it.
struct ProbedStream {
  std::string type;  // video, audio, data
  std::string codec;
  std::string language;  // empty when it has none
  std::string map;       // ffmpeg's -map for it: "0:v:0", "0:p:101:a:1"
};
// The streams of a file, or of one of its programs (program >= 0), in their order.
std::vector<ProbedStream> ProbeProgramStreams(const std::string& file, int program = -1);

// source (every stream of it) against program of output; mediaSeconds: the source's
// length, for the tolerance's frame counts.
std::string CompareProgramFrames(const std::string& source, const std::string& output, int program,
                                 double mediaSeconds, const FrameTolerance& tolerance = {});

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_FRAME_COMPARE_H_
