// Feeds arbitrary NAL units to one HEVCHeaderReader: a VPS, an SPS and a PPS first, then
// mostly slice segments, parameter sets and ends of sequence, in access units.
//
// Input: records of one length byte followed by that many bytes, the NAL unit. The first
// three records are made a VPS, an SPS and a PPS; in the others a header of a type the reader
// acts on stands as it is, and any other type is turned into one (nuh_layer_id 0, the
// temporal id kept). A length byte with its top bit set also starts a new access unit.
// Every NAL unit is copied into a buffer of exactly its size so that any read past its end
// is seen.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/hevc_header_reader.h"

namespace {

constexpr uint8_t kTypes[16] = {1, 0, 8, 19, 21, 1, 2, 6, 16, 20, 32, 33, 34, 36, 1, 9};

bool ReaderActsOn(int type) { return type <= 9 || (type >= 16 && type <= 21) || (type >= 32 && type <= 37); }

// The two-byte NAL unit header of a record of at least one byte.
void ChooseHeader(const uint8_t* in, size_t available, size_t record, uint8_t* out) {
  int type = in[0] >> 1 & 0x3F;
  if (record < 3) {
    type = 32 + int(record);
  } else if (!ReaderActsOn(type) || (in[0] & 0x81) != 0) {
    type = kTypes[in[0] & 0x0F];
  }
  const int temporalIdPlus1 = available >= 2 && (in[1] & 7) != 0 ? in[1] & 7 : 1;
  out[0] = uint8_t(type << 1);
  if (available >= 2) out[1] = uint8_t(temporalIdPlus1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  palvex::HEVCHeaderReader reader;
  reader.BeginAccessUnit();
  size_t record = 0;
  for (size_t at = 0; at < size; ++record) {
    const uint8_t lengthByte = data[at++];
    if ((lengthByte & 0x80) != 0) reader.BeginAccessUnit();
    const size_t length = lengthByte & 0x7F;
    const size_t available = size - at < length ? size - at : length;
    std::unique_ptr<uint8_t[]> nal(new uint8_t[available == 0 ? 1 : available]);
    for (size_t i = 0; i < available; ++i) nal[i] = data[at + i];
    if (available > 0) ChooseHeader(data + at, available, record, nal.get());
    reader.FeedNal(nal.get(), int32_t(available));
    const palvex::HEVCPicture& picture = reader.picture();
    if (picture.noRaslOutput && !picture.irap) __builtin_trap();
    const palvex::HEVCSequenceTiming& timing = reader.sequenceTiming();
    if (timing.maxNumReorderPics < 0 || timing.maxNumReorderPics > 15) __builtin_trap();
    at += available;
  }
  return 0;
}
