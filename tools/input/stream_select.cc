#include "stream_select.h"

#include <algorithm>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "palvex/media_stream.h"

namespace palvex_host {
namespace {

bool ParseIndex(const std::string& text, int* value) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::atoi(text.c_str());
  return true;
}

const char* TypeName(int mediaType) {
  switch (mediaType) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    case AVMEDIA_TYPE_DATA: return "data";
    case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
    default: return "unknown";
  }
}

// "stream 2 (subtitle, subrip)"
std::string Describe(const AVStream* st) {
  return "stream " + std::to_string(st->index) + " (" + TypeName(st->codecpar->codec_type) + ", " +
         avcodec_get_name(st->codecpar->codec_id) + ")";
}

bool IsPicture(const AVStream* st) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

// The default: the first video stream (an error when palvex cannot carry it) and the first
// or every audio stream of a supported codec; every other stream is named in a warning.
bool ChooseByDefault(const AVFormatContext* context, bool everyAudio, std::vector<int>* chosen,
                     std::vector<std::string>* warnings, std::string* error) {
  bool haveVideo = false, haveAudio = false, audioCarried = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    int32_t mainType = 0, codec = 0;
    audioCarried = audioCarried || (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
                                    CodecOf(context->streams[i]->codecpar, &mainType, &codec));
  }
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* st = context->streams[i];
    int32_t mainType = 0, codec = 0;
    const bool supported = CodecOf(st->codecpar, &mainType, &codec);
    const bool audio = st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    if (IsPicture(st) && !haveVideo && !supported) {
      *error = Describe(st) + ": palvex carries H.264, HEVC, MPEG-2 and MPEG-4 Visual video only" +
               (audioCarried ? " (--map a muxes the audio alone)" : ", and no audio stream of the input either");
      return false;
    }
    const bool take = IsPicture(st) ? !haveVideo : audio && supported && (everyAudio || !haveAudio);
    if (take) {
      chosen->push_back(static_cast<int>(i));
      (audio ? haveAudio : haveVideo) = true;
    } else {
      warnings->push_back("skipping " + Describe(st) +
                          (audio && supported ? ": one audio stream is muxed"
                           : IsPicture(st) && supported ? ": one video stream is muxed"
                                                        : ": not carried"));
    }
  }
  return true;
}

bool Matches(const AVStream* st, const StreamChoice& choice, int* ordinal) {
  if (choice.type == 0) return st->index == choice.index;
  const bool typeMatches = choice.type == 'v' ? IsPicture(st) : st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
  if (!typeMatches) return false;
  return choice.index < 0 || (*ordinal)++ == choice.index;
}

bool ChooseByMaps(const AVFormatContext* context, const std::vector<std::string>& maps, std::vector<int>* chosen,
                  std::string* error) {
  for (const std::string& text : maps) {
    StreamChoice choice;
    if (!ParseStreamChoice(text, &choice)) {
      *error = "bad --map '" + text + "' (N, v, a, v:N or a:N)";
      return false;
    }
    int ordinal = 0;
    bool any = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVStream* st = context->streams[i];
      if (!Matches(st, choice, &ordinal)) continue;
      any = true;
      int32_t mainType = 0, codec = 0;
      if (!CodecOf(st->codecpar, &mainType, &codec)) {
        *error = "--map " + text + ": " + Describe(st) + " cannot be carried";
        return false;
      }
      if (std::find(chosen->begin(), chosen->end(), static_cast<int>(i)) == chosen->end())
        chosen->push_back(static_cast<int>(i));
    }
    if (!any) {
      *error = "--map " + text + " matches no stream of the input";
      return false;
    }
  }
  std::sort(chosen->begin(), chosen->end());
  return true;
}

}  // namespace

bool ParseStreamChoice(const std::string& text, StreamChoice* choice) {
  std::string rest = text.rfind("0:", 0) == 0 ? text.substr(2) : text;
  *choice = StreamChoice{};
  if (rest == "v" || rest == "a") {
    choice->type = rest[0];
    return true;
  }
  if (rest.size() > 2 && (rest[0] == 'v' || rest[0] == 'a') && rest[1] == ':') {
    choice->type = rest[0];
    return ParseIndex(rest.substr(2), &choice->index);
  }
  return ParseIndex(rest, &choice->index);
}

bool CodecOf(const AVCodecParameters* par, int32_t* mainType, int32_t* codec) {
  *mainType = par->codec_type == AVMEDIA_TYPE_VIDEO ? kMediaMainTypeVideo : kMediaMainTypeAudio;
  switch (par->codec_id) {
    case AV_CODEC_ID_H264: *codec = kMediaCodecH264; return par->codec_type == AVMEDIA_TYPE_VIDEO;
    case AV_CODEC_ID_HEVC: *codec = kMediaCodecHEVC; return par->codec_type == AVMEDIA_TYPE_VIDEO;
    case AV_CODEC_ID_MPEG4: *codec = kMediaCodecMPEG4Visual; return par->codec_type == AVMEDIA_TYPE_VIDEO;
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG1VIDEO: *codec = kMediaCodecMPEG2Video; return par->codec_type == AVMEDIA_TYPE_VIDEO;
    case AV_CODEC_ID_AAC: *codec = kMediaCodecAAC; break;
    case AV_CODEC_ID_AAC_LATM: *codec = kMediaCodecLATM; break;
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
      *codec = par->sample_rate >= 32000 ? kMediaCodecMPEG1Audio : kMediaCodecMPEG2Audio;
      break;
    case AV_CODEC_ID_AC3: *codec = kMediaCodecAC3; break;
    case AV_CODEC_ID_EAC3: *codec = kMediaCodecEAC3; break;
    default: return false;
  }
  return par->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool ChooseStreams(const AVFormatContext* context, const Selection& selection, std::vector<int>* chosen,
                   std::vector<std::string>* warnings, std::string* error) {
  chosen->clear();
  const bool ok = selection.maps.empty()
                      ? ChooseByDefault(context, selection.everyAudio, chosen, warnings, error)
                      : ChooseByMaps(context, selection.maps, chosen, error);
  if (!ok) return false;
  const size_t videos = static_cast<size_t>(std::count_if(chosen->begin(), chosen->end(), [&](int i) {
    return context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  }));
  if (videos > 1) {
    *error = "more than one video stream mapped: palvex carries one";
    return false;
  }
  if (chosen->empty()) {
    *error = "no supported video or audio stream";
    return false;
  }
  return true;
}

}  // namespace palvex_host
