#include "palvex/media_format.h"

MediaStream* MediaFormat::AddStream(MediaStream*) { return nullptr; }
int32_t MediaFormat::RemoveStream(MediaStream*) { return -1; }
const std::vector<MediaStream*>& MediaFormat::GetStreams() { return m_streams; }
const char* MediaFormat::GetTextA() { return m_textA; }
void MediaFormat::SetTextA(const char*) {}
void MediaFormat::SetValueA64(int64_t value) { m_valueA64 = value; }
int64_t MediaFormat::GetValueA64() { return m_valueA64; }
void MediaFormat::SetValueB64(int64_t value) { m_valueB64 = value; }
int64_t MediaFormat::GetValueB64() { return m_valueB64; }
void MediaFormat::SetValueA32(int32_t value) { m_valueA32 = value; }
int32_t MediaFormat::GetValueA32() { return m_valueA32; }
void MediaFormat::SetValueB32(int32_t value) { m_valueB32 = value; }
int32_t MediaFormat::GetValueB32() { return m_valueB32; }
void MediaFormat::SetValueC32(int32_t value) { m_valueC32 = value; }
int32_t MediaFormat::GetValueC32() { return m_valueC32; }
void MediaFormat::SetValueA8(uint8_t value) { m_valueA8 = value; }
uint8_t MediaFormat::GetValueA8() { return m_valueA8; }
void MediaFormat::SetTextB(const char*) {}
const char* MediaFormat::GetTextB() { return m_textB; }
void MediaFormat::SetTextC(const char*) {}
const char* MediaFormat::GetTextC() { return m_textC; }
void MediaFormat::SetTextD(const char*) {}
const char* MediaFormat::GetTextD() { return m_textD; }
void MediaFormat::SetValueD32(int32_t value) { m_valueD32 = value; }
int32_t MediaFormat::GetValueD32() { return m_valueD32; }
void MediaFormat::SetValueC64(int64_t value) { m_valueC64 = value; }
int64_t MediaFormat::GetValueC64() { return m_valueC64; }
void MediaFormat::SetValueD64(int64_t value) { m_valueD64 = value; }
int64_t MediaFormat::GetValueD64() { return m_valueD64; }
int MediaFormat::Serialize(uint8_t*, int* size) { return *size = 0; }
void MediaFormat::UnSerialize(const uint8_t*, int) {}
void MediaFormat::Release() { delete this; }
int32_t MediaFormat::HasStreams() { return m_streams.empty() ? 0 : 1; }
bool MediaFormat::IsEqual(MediaFormat* other) { return other == this; }
MediaFormat::~MediaFormat() = default;
