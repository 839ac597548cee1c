// Media descriptions for tests. TestFormat is a host's own MediaFormat, independent of the
// library's media classes (GetFormat hands out the extradata it was given); AddVideo,
// AddAudio and AddData fill the library's MediaFormat, which copies each stream it is given.
#ifndef PALVEX_TESTS_SUPPORT_TEST_FORMAT_H_
#define PALVEX_TESTS_SUPPORT_TEST_FORMAT_H_

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "palvex/media_format.h"
#include "palvex/media_stream.h"

namespace palvex_test {

class TestStream final : public MediaStream {
 public:
  TestStream(int32_t mainType, int32_t codec, uint8_t streamId, std::vector<uint8_t> extra)
      : m_extra(std::move(extra)) {
    m_mainType = mainType;
    m_codec = codec;
    m_streamId = streamId;
    uint8_t* data = m_extra.empty() ? nullptr : m_extra.data();
    m_video.extraData = data;
    m_video.extraSize = uint32_t(m_extra.size());
    m_audio.extraData = data;
    m_audio.extraSize = uint32_t(m_extra.size());
  }
  void* GetFormat() override {
    if (m_mainType == kMediaMainTypeVideo) return &m_video;
    if (m_mainType == kMediaMainTypeAudio) return &m_audio;
    return nullptr;
  }
  void SetFormat(const void*) override {}
  int Serialize(uint8_t*, int* size) override { return *size = 0; }
  void UnSerialize(const uint8_t*, int) override {}

 private:
  std::vector<uint8_t> m_extra;
  VideoFormatInfo m_video{};
  AudioFormatInfo m_audio{};
};

class TestFormat final : public MediaFormat {
 public:
  TestStream* Add(int32_t mainType, int32_t codec, uint8_t streamId, std::vector<uint8_t> extra = {}) {
    m_owned.push_back(std::make_unique<TestStream>(mainType, codec, streamId, std::move(extra)));
    m_list.push_back(m_owned.back().get());
    return m_owned.back().get();
  }
  const std::vector<MediaStream*>& GetStreams() override { return m_list; }

 private:
  std::vector<std::unique_ptr<TestStream>> m_owned;
  std::vector<MediaStream*> m_list;
};

// The AudioSpecificConfig 12 10: AAC LC, sampling_frequency_index 4 (44100 Hz), 2 channels.
inline std::vector<uint8_t> AacConfig() { return {0x12, 0x10}; }

// A video stream into the library's MediaFormat: codec, stream id, frame rate (0.0 for
// none) and extradata.
inline void AddVideo(MediaFormat* format, int32_t codec, uint8_t streamId, float frameRate = 0.0f,
                     std::vector<uint8_t> extra = {}) {
  VideoStream video;
  video.SetMainType(kMediaMainTypeVideo);
  video.SetCodec(codec);
  video.SetStreamId(streamId);
  VideoFormatInfo info{};
  info.frameRate = frameRate;
  info.extraSize = uint32_t(extra.size());
  info.extraData = extra.empty() ? nullptr : extra.data();
  video.SetFormat(&info);
  format->AddStream(&video);
}

// An audio stream into the library's MediaFormat: codec, stream id and extradata (the
// AudioSpecificConfig of AAC).
inline void AddAudio(MediaFormat* format, int32_t codec, uint8_t streamId, std::vector<uint8_t> extra = {}) {
  AudioStream audio;
  audio.SetMainType(kMediaMainTypeAudio);
  audio.SetCodec(codec);
  audio.SetStreamId(streamId);
  AudioFormatInfo info{};
  info.extraSize = uint32_t(extra.size());
  info.extraData = extra.empty() ? nullptr : extra.data();
  audio.SetFormat(&info);
  format->AddStream(&audio);
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_TEST_FORMAT_H_
