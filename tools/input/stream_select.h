// Which input streams a host muxes: FFmpeg-style map specifiers ("0:v:0", "a", "a:1", "3")
// over the streams libavformat found, and the codec code of the program-setup tables that
// each supported stream is described with.
#ifndef PALVEX_TOOLS_STREAM_SELECT_H_
#define PALVEX_TOOLS_STREAM_SELECT_H_

#include <cstdint>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecParameters;

namespace palvex_host {

struct Selection {
  // Map specifiers in the order given; empty: the default choice below.
  std::vector<std::string> maps;
  // Default choice: the first video stream and, when true, every supported audio stream;
  // when false, the first supported audio stream only.
  bool everyAudio = false;
};

// One parsed specifier: an input stream index, or the n-th stream of a type (n < 0: all).
struct StreamChoice {
  char type = 0;  // 'v', 'a' or 0 for an index
  int index = -1;
};

// Parses "N", "v", "a", "v:N", "a:N", each optionally behind "0:" (the only input).
bool ParseStreamChoice(const std::string& text, StreamChoice* choice);

// The codec code (kMediaCodec...) of a stream and its maintype; false when palvex carries
// no such codec.
bool CodecOf(const AVCodecParameters* par, int32_t* mainType, int32_t* codec);

// The input stream indices to mux, in input order. Streams left out are named in warnings
// (unsupported codec, subtitles, data, a second video stream). With map specifiers, a
// specifier that matches nothing or a matched stream of an unsupported codec is an error;
// by default, an unsupported first video stream is an error too (the run would otherwise
// silently lose the picture).
bool ChooseStreams(const AVFormatContext* context, const Selection& selection, std::vector<int>* chosen,
                   std::vector<std::string>* warnings, std::string* error);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_STREAM_SELECT_H_
