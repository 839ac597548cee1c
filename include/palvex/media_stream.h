// One elementary stream's description: main type, codec code, the stream id byte that
// routes frames to it, and a format block with codec-specific extradata.
//
// The slot order of MediaStream, the two format blocks and the stream record are shared
// with the host. The classes below are the library's own; a host may use them (link
// palvex::media) or implement MediaStream itself with the same slot order.
#ifndef PALVEX_MEDIA_STREAM_H_
#define PALVEX_MEDIA_STREAM_H_

#include <cstddef>
#include <cstdint>

// maintype of a MediaStream (GetMainType, SetMainType). Video and audio streams are
// multiplexed; the two data types carry no format block and are left out of the programs.
constexpr int32_t kMediaMainTypeVideo = 0;
constexpr int32_t kMediaMainTypeAudio = 1;
constexpr int32_t kMediaMainTypeData = 2;
constexpr int32_t kMediaMainTypeDataAlt = 3;

// Codec codes of video streams (GetCodec, SetCodec) that program setup carries.
constexpr int32_t kMediaCodecH264 = 0;          // AVC, stream_type 0x1B
constexpr int32_t kMediaCodecMPEG4Visual = 1;   // MPEG-4 Visual, stream_type 0x10
constexpr int32_t kMediaCodecMPEG2Video = 2;    // MPEG-2 (or MPEG-1) video, stream_type 0x02
constexpr int32_t kMediaCodecHEVC = 0x24;       // HEVC, stream_type 0x24; Annex B access units

// Codec codes of audio streams that program setup carries.
constexpr int32_t kMediaCodecAAC = 8;           // AAC; raw frames get an ADTS header
constexpr int32_t kMediaCodecMPEG2Audio = 10;   // MPEG-2 audio (half sample rates), stream_type 0x04
constexpr int32_t kMediaCodecMPEG1Audio = 11;   // MPEG-1 audio, stream_type 0x03
constexpr int32_t kMediaCodecLATM = 12;         // AAC in LATM, stream_id 0xC3
constexpr int32_t kMediaCodecLATMOwnId = 14;    // AAC in LATM, stream_id 0xC0 or one extradata byte
// Private audio 0x80 to 0x87: the code is the stream_type; stream_id 0xBD or one
// extradata byte.
constexpr int32_t kMediaCodecPrivateAudioFirst = 0x80;
constexpr int32_t kMediaCodecAC3 = 0x81;
constexpr int32_t kMediaCodecEAC3 = 0x87;
constexpr int32_t kMediaCodecPrivateAudioLast = 0x87;

// Format block of a video stream. Natural C layout: 40 bytes on 32-bit targets, 48 on
// LP64 (8-byte pointer, aligned). Only the 32 bytes ahead of extraSize and extraSize
// itself travel in the stream record.
struct VideoFormatInfo {
  int32_t videoParam1;       // carried for the host, not interpreted
  int32_t videoParam2;       // carried for the host, not interpreted
  uint8_t reserved[20];      // carried unchanged
  float frameRate;           // frames per second, 0.0 for none; times video pictures whose
                             // stream states no frame rate of its own
  uint32_t extraSize;        // number of extradata bytes
  uint8_t* extraData;        // first extradata byte, or null
};

// Format block of an audio stream: 32 bytes on 32-bit targets, 40 on LP64.
struct AudioFormatInfo {
  uint8_t reserved0[4];      // carried unchanged
  int32_t audioParam1;       // carried for the host, not interpreted
  int32_t audioParam2;       // carried for the host, not interpreted
  uint8_t reserved1[12];     // carried unchanged
  uint32_t extraSize;        // number of extradata bytes
  uint8_t* extraData;        // first extradata byte, or null
};

// The blocks are copied byte for byte to and from the host, so their 32-bit layout is
// binary interface: every field at its offset, the pointer last. Ahead of the pointer the
// layout is the same on every target; LP64 only widens and aligns the pointer.
static_assert(offsetof(VideoFormatInfo, videoParam1) == 0, "VideoFormatInfo layout");
static_assert(offsetof(VideoFormatInfo, videoParam2) == 4, "VideoFormatInfo layout");
static_assert(offsetof(VideoFormatInfo, reserved) == 8, "VideoFormatInfo layout");
static_assert(offsetof(VideoFormatInfo, frameRate) == 28, "VideoFormatInfo layout");
static_assert(offsetof(VideoFormatInfo, extraSize) == 32, "VideoFormatInfo layout");
static_assert(offsetof(AudioFormatInfo, reserved0) == 0, "AudioFormatInfo layout");
static_assert(offsetof(AudioFormatInfo, audioParam1) == 4, "AudioFormatInfo layout");
static_assert(offsetof(AudioFormatInfo, audioParam2) == 8, "AudioFormatInfo layout");
static_assert(offsetof(AudioFormatInfo, reserved1) == 12, "AudioFormatInfo layout");
static_assert(offsetof(AudioFormatInfo, extraSize) == 24, "AudioFormatInfo layout");
static_assert(sizeof(float) == 4 && sizeof(VideoFormatInfo::reserved) == 20 &&
                  sizeof(AudioFormatInfo::reserved0) == 4 && sizeof(AudioFormatInfo::reserved1) == 12,
              "format block field widths");
static_assert(sizeof(void*) != 4 || (offsetof(VideoFormatInfo, extraData) == 36 &&
                                     sizeof(VideoFormatInfo) == 40),
              "32-bit VideoFormatInfo: pointer at 36, 40 bytes");
static_assert(sizeof(void*) != 4 || (offsetof(AudioFormatInfo, extraData) == 28 &&
                                     sizeof(AudioFormatInfo) == 32),
              "32-bit AudioFormatInfo: pointer at 28, 32 bytes");
static_assert(sizeof(void*) != 8 || (offsetof(VideoFormatInfo, extraData) == 40 &&
                                     sizeof(VideoFormatInfo) == 48),
              "LP64 VideoFormatInfo: pointer at 40, 48 bytes");
static_assert(sizeof(void*) != 8 || (offsetof(AudioFormatInfo, extraData) == 32 &&
                                     sizeof(AudioFormatInfo) == 40),
              "LP64 AudioFormatInfo: pointer at 32, 40 bytes");

// Base of the stream family. Slots 0 to 11 in this order are binary interface.
class MediaStream {
 public:
  virtual int32_t GetMainType();                                 // slot 0
  virtual void SetMainType(int32_t mainType);                    // slot 1
  virtual int32_t GetCodec();                                    // slot 2
  virtual void SetCodec(int32_t codec);                          // slot 3
  virtual void* GetFormat() = 0;                                 // slot 4
  virtual void SetFormat(const void* block) = 0;                 // slot 5
  virtual uint8_t GetStreamId();                                 // slot 6
  virtual void SetStreamId(uint8_t streamId);                    // slot 7
  virtual int Serialize(uint8_t* buf, int* size) = 0;            // slot 8
  virtual void UnSerialize(const uint8_t* pdata, int size) = 0;  // slot 9
  virtual void Release();                                        // slot 10
  virtual ~MediaStream();                                        // slot 11

  MediaStream(const MediaStream&) = delete;
  MediaStream& operator=(const MediaStream&) = delete;

  // Length of the 13-byte header that every stream record carries after its length.
  static constexpr int kHeaderLength = 13;

 protected:
  MediaStream() = default;

  int32_t m_mainType = 0;   // kMediaMainTypeVideo, ...Audio, ...Data or ...DataAlt
  int32_t m_codec = 0;      // codec code, interpreted by program setup
  uint8_t m_streamId = 0;   // routes frames to this stream; not the PES stream_id
};

// maintype 0: a VideoFormatInfo and the extradata it points to (owned).
class VideoStream final : public MediaStream {
 public:
  VideoStream() = default;
  ~VideoStream() override;
  void* GetFormat() override;
  void SetFormat(const void* block) override;
  int Serialize(uint8_t* buf, int* size) override;
  void UnSerialize(const uint8_t* pdata, int size) override;

 private:
  VideoFormatInfo m_format{};
};

// maintype 1: an AudioFormatInfo and the extradata it points to (owned).
class AudioStream final : public MediaStream {
 public:
  AudioStream() = default;
  ~AudioStream() override;
  void* GetFormat() override;
  void SetFormat(const void* block) override;
  int Serialize(uint8_t* buf, int* size) override;
  void UnSerialize(const uint8_t* pdata, int size) override;

 private:
  AudioFormatInfo m_format{};
};

// maintype 2 or 3: no format block.
class DataStream final : public MediaStream {
 public:
  DataStream() = default;
  ~DataStream() override;
  void* GetFormat() override;
  void SetFormat(const void* block) override;
  int Serialize(uint8_t* buf, int* size) override;
  void UnSerialize(const uint8_t* pdata, int size) override;
};

#endif  // PALVEX_MEDIA_STREAM_H_
