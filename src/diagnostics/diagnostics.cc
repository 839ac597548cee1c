#include "diagnostics/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace palvex {
namespace {

enum Target { kUnread, kStdout, kStderr, kOff };

// One setting for the process: muxers may be created and used on several threads.
std::atomic<int> g_target{kUnread};

// The setting in any case: "OFF" and "Stderr" mean what "off" and "stderr" do.
bool SameWord(const char* value, const char* word) {
  for (; *value != '\0' && *word != '\0'; ++value, ++word)
    if ((*value >= 'A' && *value <= 'Z' ? *value - 'A' + 'a' : *value) != *word) return false;
  return *value == *word;
}

}  // namespace

void ReadDiagnosticsSetting() {
  const char* value = std::getenv("PALVEX_DIAGNOSTICS");
  int target = kStdout;
  if (value != nullptr && SameWord(value, "stderr")) target = kStderr;
  if (value != nullptr && SameWord(value, "off")) target = kOff;
  g_target.store(target, std::memory_order_relaxed);
}

void PrintDiagnostic(const char* format, ...) {
  if (g_target.load(std::memory_order_relaxed) == kUnread) ReadDiagnosticsSetting();
  const int target = g_target.load(std::memory_order_relaxed);
  if (target == kOff) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(target == kStderr ? stderr : stdout, format, arguments);
  va_end(arguments);
}

}  // namespace palvex
