// Reads a media file with libavformat and turns it into what a palvex host hands over:
// a media description (codec codes of the program-setup tables, AAC configuration as
// extradata) and frames with microsecond times — decode time for video, presentation
// time for audio, shifted so that none is negative (video packets the container gives
// without a decode time get one from the frame rate). H.264 and HEVC come out in Annex B
// with four-byte start codes, with their parameter sets in front of every key frame
// (HEVC: every IRAP picture) and an access unit delimiter first in every access unit. An
// SCTE-35 stream of the input (splice_info_sections) comes out beside them as cue frames,
// one section each, in file order.
#ifndef PALVEX_TOOLS_CLIP_READER_H_
#define PALVEX_TOOLS_CLIP_READER_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <map>

#include "palvex/media_format.h"
#include "stream_select.h"

struct AVFormatContext;
struct AVPacket;

namespace palvex_host {

// libavformat's own lines, routed through the host's verbosity: with verbose each warning
// and error goes to standard error as a line of the host's ("palvex-mux: libavformat:
// ..."), else none does. Its errors are counted either way (a damaged input), the first
// kept. Without this call a ClipReader shows libavformat's errors as libavformat does.
void RouteLibavLog(bool verbose);
uint64_t LibavErrorCount();
std::string FirstLibavError();
void ForgetLibavErrors();

struct ClipStream {
  int index = -1;               // libavformat stream index
  int32_t mainType = 0;         // kMediaMainTypeVideo or kMediaMainTypeAudio
  int32_t codec = 0;            // a kMediaCodec... code of the program-setup tables
  uint8_t streamId = 0;         // id the frames of this stream are handed over with
  std::string codecName;
  float frameRate = 0.0f;
  int height = 0;               // video: lines of the picture, 0 when unknown
  std::string language;         // the stream's "language" tag (ISO 639-2), empty when none
  std::vector<uint8_t> extraData;  // AAC: the AudioSpecificConfig
  // H.264 or HEVC from an MP4-style container: NAL length size and parameter sets from
  // avcC or hvcC.
  int nalLengthSize = 0;
  std::vector<uint8_t> parameterSets;  // Annex B, four-byte start codes
  // MPEG-4 Visual: the VOS/VOL headers to put in front of key frames.
  std::vector<uint8_t> configHeaders;
};

struct ClipFrame {
  uint8_t streamId = 0;
  int32_t mainType = 0;
  int64_t timeUs = -1;          // negative: no time stamp
  int64_t ptsUs = -1;           // presentation time on the same scale, -1 when unknown
  int64_t durationUs = 0;       // 0 when unknown
  int64_t pts90k = -1;          // presentation time as the input gives it, 90 kHz (unshifted), -1 when unknown
  bool key = false;
  bool cue = false;             // a splice_info_section of the input's SCTE-35 stream (streamId 0)
  // The demuxer saw it damaged (a transport stream: a continuity_counter gap or a broken
  // PES on its PID, its packets lost on the way): muxed as it came, counted for the service.
  bool corrupt = false;
  std::vector<uint8_t> data;    // the frame as handed to palvex
};

class ClipReader {
 public:
  ClipReader() = default;
  ~ClipReader();
  ClipReader(const ClipReader&) = delete;
  ClipReader& operator=(const ClipReader&) = delete;

  // Opens the file and chooses the streams: the first supported video and the first
  // supported audio stream. False with a one-line error when nothing can be muxed.
  bool Open(const std::string& path, std::string* error);
  // The same with a stream selection; path may be "-" (standard input) or any URL
  // libavformat opens. Errors give the real reason ("No such file or directory").
  bool Open(const std::string& path, const Selection& selection, std::string* error);
  // Called by blocking reads; a nonzero return ends them (set before Open).
  void SetInterrupt(int (*callback)(void*), void* opaque);
  // Drops the streams whose entry is false; the others are numbered again from 1. Only
  // before the first frame.
  void KeepStreams(const std::vector<bool>& keep);
  // Reopens the input for another pass over the same streams.
  bool Rewind(std::string* error);

  const std::vector<ClipStream>& streams() const { return m_streams; }
  // The input has an SCTE-35 stream, whose sections come as cue frames.
  bool hasCues() const { return m_cueIndex >= 0; }
  const std::vector<std::string>& warnings() const { return m_warnings; }
  double durationSeconds() const;
  // A metadata tag of the input ("title", "service_name" ...): the container's, else that of
  // the first program that has it (an MPEG-TS input's SDT); empty when none.
  std::string Tag(const char* key) const;
  // The earliest frame time of the first packets (known once the first frame is read).
  int64_t earliestUs() const { return m_earliestUs; }

  // The next frame in file order; false at the end of the file (or of a network input:
  // a TCP or SRT sender's close) or on a read error (error then holds a message).
  bool Next(ClipFrame* frame, std::string* error);

 private:
  bool OpenContext(const std::string& path, std::string* error);
  bool AddStream(int index, uint8_t streamId);
  void ConvertTimes(const AVPacket& packet, const ClipStream& s, ClipFrame* frame);
  bool ReadPacket(AVPacket* packet, std::string* error);
  bool IndexBehindData() const;
  bool Convert(const AVPacket& packet, ClipFrame* frame);
  const ClipStream* Find(int index) const;
  const ClipStream* VideoOf(const AVPacket& packet) const;  // null unless the muxed video
  bool FillLookahead(std::string* error);
  void DeriveLeadingVideoDts();
  void NumberUntimedVideo(AVPacket* packet);
  int64_t ShiftForNoNegativeTimeUs();

  AVFormatContext* m_context = nullptr;
  std::vector<ClipStream> m_streams;
  int m_cueIndex = -1;                // libavformat index of the SCTE-35 stream, -1 none
  std::vector<std::string> m_warnings;
  std::deque<AVPacket*> m_lookahead;  // first packets, read to learn the time offset
  int64_t m_offsetUs = 0;
  int64_t m_earliestUs = 0;
  bool m_offsetKnown = false;
  bool m_anyPacket = false;    // a packet was read in this pass
  int64_t m_videoPackets = 0;  // video packets numbered so far, in file order
  std::map<uint8_t, int64_t> m_lastEndUs;  // per stream id: time + duration of its last frame
  std::string m_path;
  int (*m_interrupt)(void*) = nullptr;
  void* m_interruptOpaque = nullptr;
};

// The media description a host hands to AddMediaFormat: one stream per chosen input
// stream, with the library's media classes.
std::unique_ptr<MediaFormat> Describe(const std::vector<ClipStream>& streams);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_CLIP_READER_H_
