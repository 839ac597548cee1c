#include "clip_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "access_unit_delimiter.h"
#include "stream_select.h"

namespace palvex_host {
namespace {

std::atomic<bool> g_logRouted{false};
bool g_logVerbose = false;
std::atomic<uint64_t> g_libavErrors{0};
std::mutex g_logMutex;  // libavformat logs from the input thread too
std::string g_firstLibavError;

// libavformat writes some lines in pieces ("Packet corrupt (stream = 0, dts = 900)", then
// ".\n"): the pieces are gathered per thread until the newline, the line's level that of
// its first piece.
struct PartLine {
  std::string text;
  int level = AV_LOG_QUIET;
};
thread_local PartLine t_part;

void OnLibavLog(void* avClass, int level, const char* format, va_list args) {
  if (level > (g_logVerbose ? AV_LOG_WARNING : AV_LOG_ERROR)) return;
  char line[1024];
  int prefix = 0;  // the line alone, without libavformat's "[h264 @ 0x...]"
  av_log_format_line2(avClass, level, format, args, line, sizeof line, &prefix);
  if (t_part.text.empty()) t_part.level = level;
  t_part.text += line;
  if (t_part.text.empty() || (t_part.text.back() != '\n' && t_part.text.size() < sizeof line)) return;
  std::string text;
  text.swap(t_part.text);
  level = t_part.level;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (level <= AV_LOG_ERROR && g_libavErrors++ == 0) g_firstLibavError = text;
  if (g_logVerbose) std::fprintf(stderr, "palvex-mux: libavformat: %s\n", text.c_str());
}

// Packets read ahead to find the earliest time in the file before the first frame goes
// out (MP4 with B-frames starts its video decode times below zero).
constexpr size_t kLookahead = 64;
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void AppendNal(std::vector<uint8_t>* out, const uint8_t* nal, size_t size) {
  out->insert(out->end(), kStartCode, kStartCode + 4);
  out->insert(out->end(), nal, nal + size);
}

// count NAL units of a decoder configuration record from *pos on, each behind its 16-bit
// length, to Annex B.
bool AppendConfigurationNals(const uint8_t* p, size_t size, int count, size_t* pos, std::vector<uint8_t>* out) {
  for (int i = 0; i < count; ++i) {
    if (*pos + 2 > size) return false;
    const size_t length = size_t{p[*pos]} << 8 | p[*pos + 1];
    *pos += 2;
    if (*pos + length > size) return false;
    AppendNal(out, p + *pos, length);
    *pos += length;
  }
  return true;
}

// avcC (ISO/IEC 14496-15): parameter sets to Annex B, and the NAL length size.
bool ParseAvcC(const uint8_t* p, size_t size, ClipStream* stream) {
  if (size < 7 || p[0] != 1) return false;
  stream->nalLengthSize = (p[4] & 3) + 1;
  size_t pos = 5;
  for (int kind = 0; kind < 2; ++kind) {
    if (pos >= size) return false;
    const int count = kind == 0 ? (p[pos] & 0x1F) : p[pos];
    ++pos;
    if (!AppendConfigurationNals(p, size, count, &pos, &stream->parameterSets)) return false;
  }
  return true;
}

// hvcC (ISO/IEC 14496-15 8.3.3.1): the NAL units of its arrays (VPS, SPS, PPS, SEI) to
// Annex B, and the NAL length size.
bool ParseHvcC(const uint8_t* p, size_t size, ClipStream* stream) {
  if (size < 23) return false;
  stream->nalLengthSize = (p[21] & 3) + 1;  // lengthSizeMinusOne
  const int arrays = p[22];                 // numOfArrays
  size_t pos = 23;
  for (int array = 0; array < arrays; ++array) {
    if (pos + 3 > size) return false;
    const int count = p[pos + 1] << 8 | p[pos + 2];  // numNalus
    pos += 3;
    if (!AppendConfigurationNals(p, size, count, &pos, &stream->parameterSets)) return false;
  }
  return true;
}

bool StartsWithStartCode(const uint8_t* p, size_t size) {
  return (size >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
         (size >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

// What the NAL units of an access unit hold that decides whether the stream's parameter
// sets go in front of it.
struct NalKinds {
  bool hevc = false;
  bool sps = false;   // a sequence parameter set
  bool irap = false;  // HEVC: an IRAP picture (nal_unit_type 16..23)
};

void NoteNal(const uint8_t* nal, NalKinds* kinds) {
  if (!kinds->hevc) {
    kinds->sps = kinds->sps || (nal[0] & 0x1F) == 7;
    return;
  }
  const int type = nal[0] >> 1 & 0x3F;
  kinds->sps = kinds->sps || type == 33;
  kinds->irap = kinds->irap || (type >= 16 && type <= 23);
}

// Offset of the next 00 00 01 at or after pos, or size.
size_t FindStartCode3(const uint8_t* p, size_t size, size_t pos) {
  while (pos + 3 <= size) {
    const void* one = std::memchr(p + pos + 2, 1, size - pos - 2);
    if (one == nullptr) return size;
    const size_t at = static_cast<const uint8_t*>(one) - p;
    if (p[at - 1] == 0 && p[at - 2] == 0) return at - 2;
    pos = at - 1;
  }
  return size;
}

// Rewrites an Annex B access unit so that every NAL unit has a four-byte start code.
void NormalizeAnnexB(const uint8_t* p, size_t size, std::vector<uint8_t>* out, NalKinds* kinds) {
  size_t sc = FindStartCode3(p, size, 0);
  while (sc < size) {
    const size_t nal = sc + 3;
    size_t next = FindStartCode3(p, size, nal);
    size_t end = next;
    while (end > nal && p[end - 1] == 0) --end;  // trailing_zero_8bits / a 4th zero byte
    if (end > nal) {
      NoteNal(p + nal, kinds);
      AppendNal(out, p + nal, end - nal);
    }
    sc = next;
  }
}

// Length-prefixed access unit (MP4/MKV) to Annex B.
void LengthPrefixedToAnnexB(const uint8_t* p, size_t size, int lengthSize,
                            std::vector<uint8_t>* out, NalKinds* kinds) {
  size_t pos = 0;
  while (pos + lengthSize <= size) {
    size_t length = 0;
    for (int i = 0; i < lengthSize; ++i) length = length << 8 | p[pos + i];
    pos += lengthSize;
    if (length > size - pos) break;
    if (length > 0) {
      NoteNal(p + pos, kinds);
      AppendNal(out, p + pos, length);
    }
    pos += length;
  }
}

// The duration of a number of video frames in the stream's time base, from its frame rate
// (avg_frame_rate, else r_frame_rate); AV_NOPTS_VALUE when the stream announces neither.
int64_t FramesToTimeBase(int64_t frames, const AVStream* st) {
  AVRational rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return AV_NOPTS_VALUE;
  return av_rescale_q(frames, av_inv_q(rate), st->time_base);
}

}  // namespace

void ClipReader::SetInterrupt(int (*callback)(void*), void* opaque) {
  m_interrupt = callback;
  m_interruptOpaque = opaque;
}

ClipReader::~ClipReader() {
  for (AVPacket* packet : m_lookahead) av_packet_free(&packet);
  if (m_context != nullptr) avformat_close_input(&m_context);
}

bool ClipReader::Open(const std::string& path, std::string* error) {
  return Open(path, Selection{}, error);
}

namespace {

// The real reason a local file cannot be read ("No such file or directory", "Is a
// directory"), before libavformat turns it into a generic one.
bool CheckLocalInput(const std::string& path, std::string* error) {
  if (path == "-" || path.find("://") != std::string::npos || path.rfind("pipe:", 0) == 0) return true;
  const std::string local = path.rfind("file:", 0) == 0 ? path.substr(5) : path;
  struct stat st {};
  int rc = stat(local.c_str(), &st);
  if (rc == 0 && S_ISDIR(st.st_mode)) errno = EISDIR, rc = -1;
  if (rc != 0) *error = "cannot open '" + path + "': " + std::strerror(errno);
  return rc == 0;
}

// The first SCTE-35 stream (libavformat reads the sections of a PMT entry of stream_type
// 0x86 under a 'CUEI' registration), -1 when none.
int FindCueStream(const AVFormatContext* context) {
  for (unsigned i = 0; i < context->nb_streams; ++i)
    if (context->streams[i]->codecpar->codec_id == AV_CODEC_ID_SCTE_35) return static_cast<int>(i);
  return -1;
}

}  // namespace

void RouteLibavLog(bool verbose) {
  g_logVerbose = verbose;
  g_logRouted = true;
  av_log_set_level(verbose ? AV_LOG_WARNING : AV_LOG_ERROR);
  av_log_set_callback(OnLibavLog);
}

uint64_t LibavErrorCount() { return g_libavErrors; }

std::string FirstLibavError() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_firstLibavError;
}

void ForgetLibavErrors() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_libavErrors = 0;
  g_firstLibavError.clear();
}

bool ClipReader::OpenContext(const std::string& path, std::string* error) {
  if (!g_logRouted) av_log_set_level(AV_LOG_ERROR);
  if (!CheckLocalInput(path, error)) return false;
  m_context = avformat_alloc_context();
  if (m_context == nullptr) {
    *error = "out of memory";
    return false;
  }
  m_context->interrupt_callback.callback = m_interrupt;
  m_context->interrupt_callback.opaque = m_interruptOpaque;
  const std::string url = path == "-" ? "pipe:0" : path;
  const int rc = avformat_open_input(&m_context, url.c_str(), nullptr, nullptr);
  if (rc < 0) {
    char text[128];
    av_strerror(rc, text, sizeof text);
    *error = "cannot open '" + path + "': " + text;
    return false;
  }
  if (avformat_find_stream_info(m_context, nullptr) < 0) {
    *error = "cannot read the streams of '" + path + "'";
    return false;
  }
  return true;
}

// The description of one chosen input stream: codec code, frame rate and what its frames
// need in front (H.264 and HEVC parameter sets, MPEG-4 Visual headers) or beside them (AAC
// config).
bool ClipReader::AddStream(int index, uint8_t streamId) {
  const AVStream* st = m_context->streams[index];
  const AVCodecParameters* par = st->codecpar;
  ClipStream s;
  s.index = index;
  s.codecName = avcodec_get_name(par->codec_id);
  if (!CodecOf(par, &s.mainType, &s.codec)) return false;
  if (s.mainType == kMediaMainTypeVideo && st->avg_frame_rate.den != 0)
    s.frameRate = static_cast<float>(av_q2d(st->avg_frame_rate));
  if (s.mainType == kMediaMainTypeVideo) s.height = par->height;
  const AVDictionaryEntry* language = av_dict_get(st->metadata, "language", nullptr, 0);
  if (language != nullptr) s.language = language->value;
  const uint8_t* extra = par->extradata;
  const size_t extraSize = par->extradata_size > 0 ? static_cast<size_t>(par->extradata_size) : 0;
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  if ((par->codec_id == AV_CODEC_ID_H264 || hevc) && extraSize > 0) {
    if (!StartsWithStartCode(extra, extraSize)) {
      if (!(hevc ? ParseHvcC(extra, extraSize, &s) : ParseAvcC(extra, extraSize, &s))) {
        m_warnings.push_back("skipping stream " + std::to_string(index) +
                             (hevc ? ": malformed hvcC" : ": malformed avcC"));
        return false;
      }
    } else {
      NalKinds kinds;
      NormalizeAnnexB(extra, extraSize, &s.parameterSets, &kinds);
    }
  } else if (par->codec_id == AV_CODEC_ID_AAC && extraSize > 0) {
    s.extraData.assign(extra, extra + extraSize);
  } else if (par->codec_id == AV_CODEC_ID_MPEG4 && extraSize > 0) {
    s.configHeaders.assign(extra, extra + extraSize);
  }
  s.streamId = streamId;
  m_streams.push_back(std::move(s));
  return true;
}

bool ClipReader::Open(const std::string& path, const Selection& selection, std::string* error) {
  m_path = path;
  if (!OpenContext(path, error)) return false;
  std::vector<int> chosen;
  if (!ChooseStreams(m_context, selection, &chosen, &m_warnings, error)) {
    *error = "'" + path + "': " + *error;
    return false;
  }
  uint8_t nextId = 1;
  for (int index : chosen)
    if (AddStream(index, nextId)) ++nextId;
  m_cueIndex = FindCueStream(m_context);
  if (m_streams.empty()) {
    *error = "nothing to mux in '" + path + "': no supported video or audio stream";
    return false;
  }
  return true;
}

void ClipReader::KeepStreams(const std::vector<bool>& keep) {
  std::vector<ClipStream> kept;
  uint8_t nextId = 1;
  for (size_t i = 0; i < m_streams.size(); ++i) {
    if (i < keep.size() && !keep[i]) continue;
    kept.push_back(m_streams[i]);
    kept.back().streamId = nextId++;
  }
  m_streams = std::move(kept);
}

// Reopens the same input for another pass: the same streams with the same ids; frame
// times start again from the file's own.
bool ClipReader::Rewind(std::string* error) {
  for (AVPacket* packet : m_lookahead) av_packet_free(&packet);
  m_lookahead.clear();
  if (m_context != nullptr) avformat_close_input(&m_context);
  m_offsetKnown = false;
  m_anyPacket = false;
  m_videoPackets = 0;
  m_lastEndUs.clear();
  if (!OpenContext(m_path, error)) return false;
  m_cueIndex = FindCueStream(m_context);
  for (const ClipStream& s : m_streams) {
    if (s.index >= static_cast<int>(m_context->nb_streams) ||
        m_context->streams[s.index]->codecpar->codec_type != (s.mainType == kMediaMainTypeVideo ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO)) {
      *error = "'" + m_path + "' changed its streams between loops";
      return false;
    }
  }
  return true;
}

double ClipReader::durationSeconds() const {
  return m_context != nullptr && m_context->duration > 0
             ? static_cast<double>(m_context->duration) / AV_TIME_BASE
             : 0.0;
}

std::string ClipReader::Tag(const char* key) const {
  if (m_context == nullptr) return {};
  const AVDictionaryEntry* tag = av_dict_get(m_context->metadata, key, nullptr, 0);
  for (unsigned i = 0; tag == nullptr && i < m_context->nb_programs; ++i)
    tag = av_dict_get(m_context->programs[i]->metadata, key, nullptr, 0);
  return tag != nullptr ? tag->value : std::string();
}

const ClipStream* ClipReader::Find(int index) const {
  for (const ClipStream& s : m_streams)
    if (s.index == index) return &s;
  return nullptr;
}

// An MP4 or MOV read from a pipe whose index (moov) comes after the media data: libavformat
// has read past the samples the index lists by the time it knows them, and cannot go back.
bool ClipReader::IndexBehindData() const {
  AVIOContext* pb = m_context->pb;
  if (pb == nullptr || (pb->seekable & AVIO_SEEKABLE_NORMAL) != 0 || std::strstr(m_context->iformat->name, "mov") == nullptr)
    return false;
  for (const ClipStream& s : m_streams) {
    AVStream* st = m_context->streams[s.index];
    if (avformat_index_get_entries_count(st) > 0 && avformat_index_get_entry(st, 0)->pos < avio_tell(pb)) return true;
  }
  return false;
}

bool ClipReader::ReadPacket(AVPacket* packet, std::string* error) {
  for (;;) {
    const int rc = av_read_frame(m_context, packet);
    // libavformat's SRT input reports the sender's close as EIO: for SRT that is its end.
    if (rc == AVERROR_EOF || (rc == AVERROR(EIO) && m_path.rfind("srt://", 0) == 0)) return false;
    if (rc < 0 && !m_anyPacket && IndexBehindData()) {
      *error = "cannot read '" + m_path + "': an MP4 from a pipe needs its index (moov) in front of the media data; "
               "remux it with 'ffmpeg -i IN -c copy -movflags +faststart OUT.mp4', or give the file by name";
      return false;
    }
    if (rc < 0) {
      char text[128];
      av_strerror(rc, text, sizeof text);
      *error = std::string("read error: ") + text;
      return false;
    }
    m_anyPacket = true;
    if (Find(packet->stream_index) != nullptr || packet->stream_index == m_cueIndex) return true;
    av_packet_unref(packet);
  }
}

bool ClipReader::Convert(const AVPacket& packet, ClipFrame* frame) {
  frame->cue = packet.stream_index == m_cueIndex;
  frame->corrupt = (packet.flags & AV_PKT_FLAG_CORRUPT) != 0;
  if (frame->cue) {
    // The section as it came; its time is where the input's clock stood (libavformat: the
    // last PCR).
    const AVStream* st = m_context->streams[packet.stream_index];
    frame->streamId = 0;
    frame->mainType = 0;
    frame->key = false;
    frame->timeUs = packet.pts == AV_NOPTS_VALUE ? -1 : av_rescale_q(packet.pts, st->time_base, AVRational{1, 1000000}) + m_offsetUs;
    frame->ptsUs = frame->timeUs;
    frame->pts90k = packet.pts == AV_NOPTS_VALUE ? -1 : av_rescale_q(packet.pts, st->time_base, AVRational{1, 90000});
    frame->durationUs = 0;
    frame->data.assign(packet.data, packet.data + packet.size);
    return true;
  }
  const ClipStream& s = *Find(packet.stream_index);
  frame->streamId = s.streamId;
  frame->mainType = s.mainType;
  frame->key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
  ConvertTimes(packet, s, frame);
  frame->data.clear();
  const uint8_t* p = packet.data;
  const size_t size = static_cast<size_t>(packet.size);
  if ((s.codec == kMediaCodecH264 || s.codec == kMediaCodecHEVC) && s.mainType == kMediaMainTypeVideo) {
    NalKinds kinds;
    kinds.hevc = s.codec == kMediaCodecHEVC;
    std::vector<uint8_t> nals;
    nals.reserve(size + 64);
    if (s.nalLengthSize > 0)
      LengthPrefixedToAnnexB(p, size, s.nalLengthSize, &nals, &kinds);
    else
      NormalizeAnnexB(p, size, &nals, &kinds);
    // H.264 behind the container's key flag; HEVC in front of every IRAP picture.
    if ((kinds.hevc ? kinds.irap : frame->key) && !kinds.sps) frame->data = s.parameterSets;
    frame->data.insert(frame->data.end(), nals.begin(), nals.end());
    PutAccessUnitDelimiter(kinds.hevc, &frame->data);
  } else if (s.codec == kMediaCodecMPEG4Visual && s.mainType == kMediaMainTypeVideo && frame->key && !s.configHeaders.empty() &&
             !(size >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0xB0)) {
    frame->data = s.configHeaders;
    frame->data.insert(frame->data.end(), p, p + size);
  } else {
    frame->data.assign(p, p + size);
  }
  return true;
}

// Decode time for video, presentation time for audio, both moved by the no-negative shift.
// A frame the container gives no time at all follows the previous frame of its stream by
// that frame's duration, so that every frame has a time once its stream has had one.
void ClipReader::ConvertTimes(const AVPacket& packet, const ClipStream& s, ClipFrame* frame) {
  const AVStream* st = m_context->streams[packet.stream_index];
  const AVRational us{1, 1000000};
  int64_t t = s.mainType == kMediaMainTypeVideo && packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
  if (t == AV_NOPTS_VALUE && packet.dts != AV_NOPTS_VALUE) t = packet.dts;
  frame->timeUs = t == AV_NOPTS_VALUE ? -1 : av_rescale_q(t, st->time_base, us) + m_offsetUs;
  if (t != AV_NOPTS_VALUE && frame->timeUs < 0) frame->timeUs = 0;
  frame->ptsUs = packet.pts == AV_NOPTS_VALUE ? -1 : av_rescale_q(packet.pts, st->time_base, us) + m_offsetUs;
  frame->pts90k = packet.pts == AV_NOPTS_VALUE ? -1 : av_rescale_q(packet.pts, st->time_base, AVRational{1, 90000});
  frame->durationUs = packet.duration > 0 ? av_rescale_q(packet.duration, st->time_base, us) : 0;
  if (frame->durationUs == 0 && s.mainType == kMediaMainTypeVideo && FramesToTimeBase(1, st) != AV_NOPTS_VALUE)
    frame->durationUs = av_rescale_q(FramesToTimeBase(1, st), st->time_base, us);
  auto last = m_lastEndUs.find(s.streamId);
  if (frame->timeUs < 0 && last != m_lastEndUs.end()) frame->timeUs = last->second;
  if (frame->timeUs >= 0) m_lastEndUs[s.streamId] = frame->timeUs + frame->durationUs;
}

bool ClipReader::FillLookahead(std::string* error) {
  while (m_lookahead.size() < kLookahead) {
    AVPacket* packet = av_packet_alloc();
    if (!ReadPacket(packet, error)) {
      av_packet_free(&packet);
      break;
    }
    m_lookahead.push_back(packet);
  }
  return error->empty();
}

const ClipStream* ClipReader::VideoOf(const AVPacket& packet) const {
  const ClipStream* s = Find(packet.stream_index);
  return s != nullptr && s->mainType == kMediaMainTypeVideo ? s : nullptr;
}

// Some containers (MKV with B-frames) give the first video packets a presentation time
// but no decode time: they are decoded one frame duration apart, so their decode times
// are counted back from the first packet that has one.
void ClipReader::DeriveLeadingVideoDts() {
  int64_t index = 0;
  int64_t firstIndex = -1;
  int64_t firstDts = AV_NOPTS_VALUE;
  const AVStream* st = nullptr;
  for (const AVPacket* packet : m_lookahead) {
    if (VideoOf(*packet) == nullptr) continue;
    st = m_context->streams[packet->stream_index];
    if (packet->dts != AV_NOPTS_VALUE) {
      firstIndex = index;
      firstDts = packet->dts;
      break;
    }
    ++index;
  }
  if (firstIndex <= 0 || FramesToTimeBase(1, st) == AV_NOPTS_VALUE) return;
  index = 0;
  for (AVPacket* packet : m_lookahead) {
    if (VideoOf(*packet) == nullptr) continue;
    if (index == firstIndex) break;
    packet->dts = firstDts - FramesToTimeBase(firstIndex - index, st);
    ++index;
  }
}

// A video stream without any time (raw .h264: neither PTS nor DTS) is numbered by its
// frame rate: the n-th frame is decoded at n frame durations. Called once per packet, in
// file order.
void ClipReader::NumberUntimedVideo(AVPacket* packet) {
  if (VideoOf(*packet) == nullptr) return;
  const int64_t index = m_videoPackets++;
  if (packet->pts != AV_NOPTS_VALUE || packet->dts != AV_NOPTS_VALUE) return;
  packet->dts = FramesToTimeBase(index, m_context->streams[packet->stream_index]);
}

// The shift that makes no frame time negative (MP4 with B-frames starts its video decode
// times below zero): minus the earliest time of the packets read ahead, or 0.
int64_t ClipReader::ShiftForNoNegativeTimeUs() {
  int64_t earliest = INT64_MAX;
  for (const AVPacket* packet : m_lookahead) {
    if (packet->stream_index == m_cueIndex) continue;  // a cue's time is the clock's, not a frame's
    const int64_t t = VideoOf(*packet) != nullptr && packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (t != AV_NOPTS_VALUE)
      earliest = std::min(earliest, av_rescale_q(t, m_context->streams[packet->stream_index]->time_base,
                                                 AVRational{1, 1000000}));
  }
  const int64_t shift = earliest != INT64_MAX && earliest < 0 ? -earliest : 0;
  m_earliestUs = earliest == INT64_MAX ? 0 : earliest + shift;
  return shift;
}

bool ClipReader::Next(ClipFrame* frame, std::string* error) {
  error->clear();
  if (m_context == nullptr) {  // never opened, or its opening failed or was interrupted
    *error = "'" + m_path + "' is not open";
    return false;
  }
  if (!m_offsetKnown) {
    if (!FillLookahead(error)) return false;
    DeriveLeadingVideoDts();
    for (AVPacket* packet : m_lookahead) NumberUntimedVideo(packet);
    m_offsetUs = ShiftForNoNegativeTimeUs();
    m_offsetKnown = true;
  }
  if (!m_lookahead.empty()) {
    AVPacket* packet = m_lookahead.front();
    m_lookahead.pop_front();
    Convert(*packet, frame);
    av_packet_free(&packet);
    return true;
  }
  AVPacket* packet = av_packet_alloc();
  const bool got = ReadPacket(packet, error);
  if (got) {
    NumberUntimedVideo(packet);
    Convert(*packet, frame);
  }
  av_packet_free(&packet);
  return got;
}

std::unique_ptr<MediaFormat> Describe(const std::vector<ClipStream>& streams) {
  auto format = std::make_unique<MediaFormat>();
  for (const ClipStream& s : streams) {
    if (s.mainType == kMediaMainTypeVideo) {
      VideoStream video;
      video.SetMainType(kMediaMainTypeVideo);
      video.SetCodec(s.codec);
      video.SetStreamId(s.streamId);
      VideoFormatInfo info{};
      info.frameRate = s.frameRate;
      video.SetFormat(&info);
      format->AddStream(&video);
    } else {
      AudioStream audio;
      audio.SetMainType(kMediaMainTypeAudio);
      audio.SetCodec(s.codec);
      audio.SetStreamId(s.streamId);
      std::vector<uint8_t> extra = s.extraData;
      AudioFormatInfo info{};
      info.extraSize = static_cast<uint32_t>(extra.size());
      info.extraData = extra.empty() ? nullptr : extra.data();
      audio.SetFormat(&info);
      format->AddStream(&audio);
    }
  }
  return format;
}

}  // namespace palvex_host
