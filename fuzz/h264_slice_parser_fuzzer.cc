// Feeds arbitrary NAL units to one H264SliceParser: an SPS first, then mostly slices.
//
// Input: records of one length byte followed by that many bytes, the NAL unit. The first
// record is made an SPS; in the others a header byte of a slice, an SPS or a PPS stands as it
// is, and any other type is turned into a slice or an SPS (nal_ref_idc kept).
// Every NAL unit is copied into a buffer of exactly its size so that any read past its end
// is seen. The whole input is also read once with the bit reader, driven by its own bytes.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/bit_reader.h"
#include "codec/h264_slice_parser.h"

namespace {

uint8_t ChooseHeader(uint8_t byte, size_t record) {
  if (record == 0) return uint8_t((byte & 0x60) | 7);
  const int type = byte & 0x1F;
  if (type == 1 || type == 5 || type == 7 || type == 8) return byte;
  static constexpr uint8_t kTypes[4] = {1, 5, 1, 7};
  return uint8_t((byte & 0x60) | kTypes[byte & 3]);
}

void ExerciseReader(const uint8_t* data, size_t size) {
  palvex::BitReader reader(data, int32_t(size));
  int32_t position = 0;
  for (size_t i = 0; i < size && i < 256; ++i) {
    switch (data[i] & 3) {
      case 0: reader.ReadBits(int32_t(data[i] >> 2) - 8); break;  // widths -8..55
      case 1: reader.ReadUe(); break;
      case 2: reader.ReadSe(); break;
      default: reader.SkipBits(data[i] >> 2); break;
    }
    if (reader.Position() < position) __builtin_trap();
    position = reader.Position();
  }
  reader.Failed();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  palvex::H264SliceParser parser;
  size_t record = 0;
  for (size_t at = 0; at < size; ++record) {
    const size_t length = data[at++];
    const size_t available = size - at < length ? size - at : length;
    if (available == 0) {
      parser.FeedNal(data + at, 0);
      continue;
    }
    std::unique_ptr<uint8_t[]> nal(new uint8_t[available]);
    nal[0] = ChooseHeader(data[at], record);
    for (size_t i = 1; i < available; ++i) nal[i] = data[at + i];
    parser.FeedNal(nal.get(), int32_t(available));
    parser.GetPictureOrderCount();
    at += available;
  }
  if (size > 0) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    for (size_t i = 0; i < size; ++i) copy[i] = data[i];
    ExerciseReader(copy.get(), size);
  }
  return 0;
}
