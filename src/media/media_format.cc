#include "palvex/media_format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "diagnostics/diagnostics.h"
#include "media/byte_io.h"
#include "media/stream_record.h"

namespace palvex {
namespace {

// UnSerialize's failures each print their own line and then kUnSerializeError. Beside the
// maintype refusal, a form may be cut short (before the stream count, inside a stream record
// or inside the attributes); a stream count too large for the bytes given shows as a
// truncated record, and a negative one reads as 0.

struct Releaser {
  void operator()(MediaStream* stream) const { stream->Release(); }
};
using StreamPtr = std::unique_ptr<MediaStream, Releaser>;

// 0 video, 1 audio, 2 and 3 data; null for any other maintype.
StreamPtr NewStream(int32_t mainType) {
  switch (mainType) {
    case kMediaMainTypeVideo: return StreamPtr(new VideoStream);
    case kMediaMainTypeAudio: return StreamPtr(new AudioStream);
    case kMediaMainTypeData:
    case kMediaMainTypeDataAlt: return StreamPtr(new DataStream);
    default: return nullptr;
  }
}

char* CopyText(const char* text) {
  if (!text) return nullptr;
  const size_t n = std::strlen(text) + 1;
  char* copy = new char[n];
  std::memcpy(copy, text, n);
  return copy;
}

void SetText(char** field, const char* text) {
  char* copy = CopyText(text);
  delete[] *field;
  *field = copy;
}

// Null and empty strings are the same thing here.
bool SameText(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : "") == 0; }

void WriteText(ByteWriter& out, const char* text) {
  const size_t n = text ? std::strlen(text) : 0;
  out.U32(uint32_t(n));  // length, 0 for a null string
  out.Bytes(text, n);    // bytes without terminator
}

std::string ReadText(ByteReader& in) {
  const uint32_t n = in.U32();
  const uint8_t* p = in.Take(n);
  return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

// Reads the record at the reader's position into a temporary of its maintype, which the
// format copies through AddStream. The record must fit in what is left of the form.
const char* ReadStream(ByteReader& in, MediaFormat* format) {
  const int left = int(in.Left());
  StreamRecord rec;
  const char* error = ParseStreamRecord(in.Pos(), left, 0, &rec);
  if (error) return error;
  StreamPtr temp = NewStream(rec.mainType);
  if (!temp) return kMainTypeError;
  error = ParseStreamRecord(in.Pos(), left, RecordFormatBytes(rec.mainType), &rec);
  if (error) return error;
  temp->UnSerialize(in.Pos(), left);
  format->AddStream(temp.get());
  in.Take(rec.length);
  return nullptr;
}

// The attributes after the stream list, taken as a whole or not at all.
struct Attributes {
  std::string textA, textB, textC, textD;
  int64_t valueA64, valueB64, valueC64, valueD64;
  int32_t valueA32, valueB32, valueC32, valueD32;
  uint8_t valueA8;
};

bool ReadAttributes(ByteReader& in, Attributes* a) {
  a->textA = ReadText(in);
  a->valueA64 = in.I64();
  a->valueB64 = in.I64();
  a->valueA32 = in.I32();
  a->valueB32 = in.I32();
  a->valueC32 = in.I32();
  a->valueA8 = in.U8();
  a->textB = ReadText(in);
  a->textC = ReadText(in);
  a->textD = ReadText(in);
  a->valueD32 = in.I32();
  a->valueC64 = in.I64();
  a->valueD64 = in.I64();
  return in.Ok();
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace
}  // namespace palvex

using palvex::ByteReader;
using palvex::ByteWriter;

MediaStream* MediaFormat::AddStream(MediaStream* source) {
  if (!source) return nullptr;
  const int32_t mainType = source->GetMainType();
  palvex::StreamPtr stream = palvex::NewStream(mainType);
  if (!stream) return nullptr;
  stream->SetMainType(mainType);
  stream->SetCodec(source->GetCodec());
  stream->SetStreamId(source->GetStreamId());
  stream->SetFormat(source->GetFormat());
  m_streams.push_back(stream.get());
  return stream.release();
}

int32_t MediaFormat::RemoveStream(MediaStream* stream) {
  const auto it = std::find(m_streams.begin(), m_streams.end(), stream);
  if (it == m_streams.end()) return -1;
  m_streams.erase(it);
  stream->Release();
  return 0;
}

const std::vector<MediaStream*>& MediaFormat::GetStreams() { return m_streams; }
const char* MediaFormat::GetTextA() { return m_textA; }
void MediaFormat::SetTextA(const char* text) { palvex::SetText(&m_textA, text); }
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
void MediaFormat::SetTextB(const char* text) { palvex::SetText(&m_textB, text); }
const char* MediaFormat::GetTextB() { return m_textB; }
void MediaFormat::SetTextC(const char* text) { palvex::SetText(&m_textC, text); }
const char* MediaFormat::GetTextC() { return m_textC; }
void MediaFormat::SetTextD(const char* text) { palvex::SetText(&m_textD, text); }
const char* MediaFormat::GetTextD() { return m_textD; }
void MediaFormat::SetValueD32(int32_t value) { m_valueD32 = value; }
int32_t MediaFormat::GetValueD32() { return m_valueD32; }
void MediaFormat::SetValueC64(int64_t value) { m_valueC64 = value; }
int64_t MediaFormat::GetValueC64() { return m_valueC64; }
void MediaFormat::SetValueD64(int64_t value) { m_valueD64 = value; }
int64_t MediaFormat::GetValueD64() { return m_valueD64; }

int MediaFormat::Serialize(uint8_t* buf, int* size) {
  ByteWriter out(buf);
  out.I32(int32_t(m_streams.size()));  // stream count N
  for (MediaStream* stream : m_streams) {
    int length = 0;
    stream->Serialize(out.Pos(), &length);  // the record, or its length when only counting
    out.Skip(size_t(length));
  }
  palvex::WriteText(out, m_textA);
  out.I64(m_valueA64);
  out.I64(m_valueB64);
  out.I32(m_valueA32);
  out.I32(m_valueB32);
  out.I32(m_valueC32);
  out.U8(m_valueA8);
  palvex::WriteText(out, m_textB);
  palvex::WriteText(out, m_textC);
  palvex::WriteText(out, m_textD);
  out.I32(m_valueD32);
  out.I64(m_valueC64);
  out.I64(m_valueD64);
  const int length = int(out.Count());
  if (size) *size = length;
  return length;
}

// Replaces the stream list and the attributes with those of the form, reading no further than
// size. A malformed form stops where it goes wrong: the streams read completely stay in the
// list and the attributes keep their old values unless the whole attribute section was read.
void MediaFormat::UnSerialize(const uint8_t* pdata, int size) {
  if (!pdata) {
    palvex::PrintDiagnostic("%s\n", palvex::kNullPdata);
    return;
  }
  for (MediaStream* stream : m_streams) stream->Release();
  m_streams.clear();
  ByteReader in(pdata, size < 0 ? 0 : size_t(size));
  // A negative stream count reads as 0: no streams, then the attributes.
  const int32_t count = in.I32();
  const char* error = !in.Ok() ? palvex::kFormatTruncated : nullptr;
  for (int32_t i = 0; !error && i < count; ++i) error = palvex::ReadStream(in, this);
  palvex::Attributes a{};
  if (!error && !palvex::ReadAttributes(in, &a)) error = palvex::kFormatTruncated;
  if (error) {
    palvex::PrintDiagnostic("%s\n", error);
    palvex::PrintDiagnostic("%s\n", palvex::kUnSerializeError);
    return;
  }
  SetTextA(palvex::OrNull(a.textA));
  m_valueA64 = a.valueA64;
  m_valueB64 = a.valueB64;
  m_valueA32 = a.valueA32;
  m_valueB32 = a.valueB32;
  m_valueC32 = a.valueC32;
  m_valueA8 = a.valueA8;
  SetTextB(palvex::OrNull(a.textB));
  SetTextC(palvex::OrNull(a.textC));
  SetTextD(palvex::OrNull(a.textD));
  m_valueD32 = a.valueD32;
  m_valueC64 = a.valueC64;
  m_valueD64 = a.valueD64;
}

void MediaFormat::Release() { delete this; }
int32_t MediaFormat::HasStreams() { return m_streams.empty() ? 0 : 1; }

bool MediaFormat::IsEqual(MediaFormat* other) {
  if (other == this) return true;
  if (!other) return false;
  return palvex::SameText(m_textD, other->GetTextD()) && palvex::SameText(m_textC, other->GetTextC()) &&
         palvex::SameText(m_textB, other->GetTextB()) && palvex::SameText(m_textA, other->GetTextA()) &&
         m_valueA64 == other->GetValueA64() && m_valueB64 == other->GetValueB64() &&
         m_valueA32 == other->GetValueA32() && m_valueB32 == other->GetValueB32() &&
         m_valueC32 == other->GetValueC32() && m_valueA8 == other->GetValueA8();
}

MediaFormat::~MediaFormat() {
  for (MediaStream* stream : m_streams) stream->Release();
  for (char* text : {m_textA, m_textB, m_textC, m_textD}) delete[] text;
}
