// Arbitrary bytes as a serialized MediaFormat, with their length. Whatever the first read
// keeps must serialize into a form that reads back without complaint and serializes to the
// same bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "palvex/media_format.h"

namespace {

std::vector<uint8_t> Form(MediaFormat& format) {
  int query = -1;
  format.Serialize(nullptr, &query);
  std::vector<uint8_t> out(static_cast<size_t>(query));
  int written = -1;
  format.Serialize(out.data(), &written);
  if (written != query) std::abort();
  return out;
}

}  // namespace

// Malformed inputs print a diagnostic line each; keep them off the fuzzer's console.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  MediaFormat first;
  first.UnSerialize(data, int(size));
  const std::vector<uint8_t> form = Form(first);
  MediaFormat second;
  second.UnSerialize(form.data(), int(form.size()));
  if (second.GetStreams().size() != first.GetStreams().size()) std::abort();
  if (!second.IsEqual(&first) || Form(second) != form) std::abort();
  return 0;
}
