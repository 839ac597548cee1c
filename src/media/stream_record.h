// The stream record: the packed little-endian byte form of one MediaStream.
//
//   0  record length (this field included)     4
//   4  header length H, 13 when we write it     4
//   8  maintype                                 4
//  12  codec                                    4
//  16  streamId                                 1
//  4+H format bytes: 32 video, 24 audio, none for data streams
//      extradata length E                       4
//      E extradata bytes
#ifndef PALVEX_MEDIA_STREAM_RECORD_H_
#define PALVEX_MEDIA_STREAM_RECORD_H_

#include <cstddef>
#include <cstdint>

#include "palvex/media_stream.h"

namespace palvex {

// Format bytes that travel: everything ahead of extraSize, never the pointer.
constexpr int kVideoFormatBytes = offsetof(VideoFormatInfo, extraSize);
constexpr int kAudioFormatBytes = offsetof(AudioFormatInfo, extraSize);
static_assert(kVideoFormatBytes == 32 && kAudioFormatBytes == 24, "stream record format bytes");

// Record length field plus the 13-byte header: a data stream's whole record.
constexpr uint32_t kRecordHeaderEnd = 4 + MediaStream::kHeaderLength;

// Records that do not hold together give kRecordTruncated or kRecordLengthError
// (diagnostics/diagnostics.h).

struct StreamRecord {
  uint32_t length = 0;
  int32_t mainType = 0;
  int32_t codec = 0;
  uint8_t streamId = 0;
  const uint8_t* format = nullptr;     // formatBytes bytes
  uint32_t extraSize = 0;
  const uint8_t* extraData = nullptr;  // extraSize bytes
};

// Format bytes carried by the record of a stream of this maintype: 32, 24 or 0.
int RecordFormatBytes(int32_t mainType);

// Reads the record at p, of which only `size` bytes may be read, expecting `formatBytes`
// format bytes (0: the header alone). Returns null when it holds together, else the diagnostic.
const char* ParseStreamRecord(const uint8_t* p, int size, int formatBytes, StreamRecord* rec);

// Writes rec with 13 as header length, or only counts when buf is null; returns the length.
int WriteStreamRecord(const StreamRecord& rec, int formatBytes, uint8_t* buf);

}  // namespace palvex

#endif  // PALVEX_MEDIA_STREAM_RECORD_H_
