// Arbitrary bytes as one splice_info_section (as libavformat hands over an SCTE-35 packet):
// the reader stays within the bytes given, and a section it takes keeps reading the same
// after its pts_adjustment is rewritten (the CRC_32 written anew, every other field as it
// was); the sanitizers watch the reads.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "splice_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace palvex_host;
  const std::vector<uint8_t> bytes(data, data + size);  // exactly the bytes: reads past them are caught
  SpliceInfo info;
  std::string why;
  if (!ReadSpliceInfo(bytes.data(), bytes.size(), &info, &why)) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (info.size > size) std::abort();
  std::vector<uint8_t> section(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(info.size));
  const int64_t adjustment = (info.ptsAdjustment + 0x123456789LL) % kPTSModulus;
  if (!SetPtsAdjustment(&section, adjustment)) std::abort();
  SpliceInfo again;
  if (!ReadSpliceInfo(section.data(), section.size(), &again, &why)) std::abort();
  if (again.ptsAdjustment != adjustment || again.commandType != info.commandType ||
      again.encrypted != info.encrypted || SpliceTimes(again) != SpliceTimes(info) ||
      again.descriptorTags != info.descriptorTags)
    std::abort();
  return 0;
}
