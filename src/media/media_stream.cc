#include "palvex/media_stream.h"

int32_t MediaStream::GetMainType() { return m_mainType; }
void MediaStream::SetMainType(int32_t mainType) { m_mainType = mainType; }
int32_t MediaStream::GetCodec() { return m_codec; }
void MediaStream::SetCodec(int32_t codec) { m_codec = codec; }
uint8_t MediaStream::GetStreamId() { return m_streamId; }
void MediaStream::SetStreamId(uint8_t streamId) { m_streamId = streamId; }
void MediaStream::Release() { delete this; }
MediaStream::~MediaStream() = default;

VideoStream::~VideoStream() { delete[] m_format.extraData; }
void* VideoStream::GetFormat() { return &m_format; }
void VideoStream::SetFormat(const void*) {}
int VideoStream::Serialize(uint8_t*, int* size) { return *size = 0; }
void VideoStream::UnSerialize(const uint8_t*, int) {}

AudioStream::~AudioStream() { delete[] m_format.extraData; }
void* AudioStream::GetFormat() { return &m_format; }
void AudioStream::SetFormat(const void*) {}
int AudioStream::Serialize(uint8_t*, int* size) { return *size = 0; }
void AudioStream::UnSerialize(const uint8_t*, int) {}

DataStream::~DataStream() = default;
void* DataStream::GetFormat() { return nullptr; }
void DataStream::SetFormat(const void*) {}
int DataStream::Serialize(uint8_t*, int* size) { return *size = 0; }
void DataStream::UnSerialize(const uint8_t*, int) {}
