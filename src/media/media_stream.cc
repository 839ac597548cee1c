#include "palvex/media_stream.h"

#include <cstring>

#include "diagnostics/diagnostics.h"
#include "media/byte_io.h"
#include "media/stream_record.h"

namespace palvex {

int RecordFormatBytes(int32_t mainType) {
  return mainType == kMediaMainTypeVideo ? kVideoFormatBytes
         : mainType == kMediaMainTypeAudio ? kAudioFormatBytes
                                            : 0;
}

const char* ParseStreamRecord(const uint8_t* p, int size, int formatBytes, StreamRecord* rec) {
  ByteReader in(p, size < 0 ? 0 : size_t(size));
  rec->length = in.U32();
  if (!in.Ok()) return kRecordTruncated;
  if (rec->length < kRecordHeaderEnd) return kRecordLengthError;
  if (rec->length > size_t(size)) return kRecordTruncated;
  const uint32_t headerLength = in.U32();
  rec->mainType = in.I32();
  rec->codec = in.I32();
  rec->streamId = in.U8();
  if (formatBytes == 0) return nullptr;
  // The header length counts from its own field; the format bytes follow the header.
  ByteReader body(p + 4, rec->length - 4);
  if (headerLength < uint32_t(MediaStream::kHeaderLength)) return kRecordLengthError;
  body.Take(headerLength);
  rec->format = body.Take(size_t(formatBytes));
  rec->extraSize = body.U32();
  rec->extraData = body.Take(rec->extraSize);
  return body.Ok() ? nullptr : kRecordLengthError;
}

int WriteStreamRecord(const StreamRecord& rec, int formatBytes, uint8_t* buf) {
  const uint32_t length = kRecordHeaderEnd + (formatBytes ? formatBytes + 4 + rec.extraSize : 0);
  ByteWriter out(buf);
  out.U32(length);                        // record length
  out.U32(MediaStream::kHeaderLength);    // header length
  out.I32(rec.mainType);                  // maintype
  out.I32(rec.codec);                     // codec
  out.U8(rec.streamId);                   // streamId
  if (formatBytes) {
    out.Bytes(rec.format, size_t(formatBytes));  // format block as stored, little-endian
    out.U32(rec.extraSize);                      // E
    out.Bytes(rec.extraData, rec.extraSize);     // extradata
  }
  return int(out.Count());
}

namespace {

int Report(int length, int* size) {
  if (size) *size = length;
  return length;
}

// Copies a host's format block and its extradata into the stream's own block. The copy is
// made before anything is released, so an allocation failure leaves the stream unchanged
// and a block handed back from GetFormat copies onto itself.
template <typename Block>
void CopyFormat(const void* block, Block* own) {
  if (!block) {
    palvex::PrintDiagnostic("%s\n", palvex::kNullFormatBlock);
    return;
  }
  Block in;
  std::memcpy(&in, block, sizeof in);
  uint8_t* copy = nullptr;
  if (in.extraData) {
    copy = new uint8_t[in.extraSize];
    std::memcpy(copy, in.extraData, in.extraSize);
  } else {
    in.extraSize = 0;
  }
  delete[] own->extraData;
  *own = in;
  own->extraData = copy;
}

template <typename Block>
int WriteFormatRecord(StreamRecord rec, Block* format, uint8_t* buf, int* size) {
  if (!format->extraData) format->extraSize = 0;
  rec.format = reinterpret_cast<const uint8_t*>(format);
  rec.extraSize = format->extraSize;
  rec.extraData = format->extraData;
  return Report(WriteStreamRecord(rec, offsetof(Block, extraSize), buf), size);
}

// Reads a record bounded by size, printing why when it cannot.
bool ReadRecord(const uint8_t* pdata, int size, int formatBytes, StreamRecord* rec) {
  if (!pdata) {
    palvex::PrintDiagnostic("%s\n", palvex::kNullPdata);
    return false;
  }
  const char* error = ParseStreamRecord(pdata, size, formatBytes, rec);
  if (error) palvex::PrintDiagnostic("%s\n", error);
  return !error;
}

// Takes the format bytes and E into the front of the block and a copy of the extradata,
// followed by one zero byte, so the stream always holds an extradata buffer afterwards.
template <typename Block>
void TakeFormat(const StreamRecord& rec, Block* own) {
  uint8_t* extra = new uint8_t[size_t{rec.extraSize} + 1];
  std::memcpy(extra, rec.extraData, rec.extraSize);
  extra[rec.extraSize] = 0;
  delete[] own->extraData;
  std::memcpy(static_cast<void*>(own), rec.format, offsetof(Block, extraSize));
  own->extraSize = rec.extraSize;
  own->extraData = extra;
}

// The stream takes the record's maintype, whatever its own class.
void TakeHeader(const StreamRecord& rec, MediaStream* stream) {
  stream->SetMainType(rec.mainType);
  stream->SetCodec(rec.codec);
  stream->SetStreamId(rec.streamId);
}

}  // namespace
}  // namespace palvex

using palvex::StreamRecord;

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
void VideoStream::SetFormat(const void* block) { palvex::CopyFormat(block, &m_format); }

int VideoStream::Serialize(uint8_t* buf, int* size) {
  return palvex::WriteFormatRecord({0, m_mainType, m_codec, m_streamId}, &m_format, buf, size);
}

void VideoStream::UnSerialize(const uint8_t* pdata, int size) {
  StreamRecord rec;
  if (!palvex::ReadRecord(pdata, size, palvex::kVideoFormatBytes, &rec)) return;
  palvex::TakeFormat(rec, &m_format);
  palvex::TakeHeader(rec, this);
}

AudioStream::~AudioStream() { delete[] m_format.extraData; }
void* AudioStream::GetFormat() { return &m_format; }
void AudioStream::SetFormat(const void* block) { palvex::CopyFormat(block, &m_format); }

int AudioStream::Serialize(uint8_t* buf, int* size) {
  return palvex::WriteFormatRecord({0, m_mainType, m_codec, m_streamId}, &m_format, buf, size);
}

void AudioStream::UnSerialize(const uint8_t* pdata, int size) {
  StreamRecord rec;
  if (!palvex::ReadRecord(pdata, size, palvex::kAudioFormatBytes, &rec)) return;
  palvex::TakeFormat(rec, &m_format);
  palvex::TakeHeader(rec, this);
}

DataStream::~DataStream() = default;
void* DataStream::GetFormat() { return nullptr; }
void DataStream::SetFormat(const void*) {}

int DataStream::Serialize(uint8_t* buf, int* size) {
  const StreamRecord rec{0, m_mainType, m_codec, m_streamId};
  return palvex::Report(palvex::WriteStreamRecord(rec, 0, buf), size);
}

void DataStream::UnSerialize(const uint8_t* pdata, int size) {
  StreamRecord rec;
  if (palvex::ReadRecord(pdata, size, 0, &rec)) palvex::TakeHeader(rec, this);
}
