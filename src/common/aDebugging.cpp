#include "common/aDebugging.h"

#include <cstdarg>
#include <cstdio>

std::atomic<uint8_t> aTessarionDebuggingEnable{0};
std::atomic<uint32_t> aTessarionDebuggingLevel{0};

bool aDebugging_IsOn(uint32_t area) {
  return aTessarionDebuggingEnable.load(std::memory_order_relaxed) != 0 &&
         (aTessarionDebuggingLevel.load(std::memory_order_relaxed) & area) != 0;
}

void aDebugging_Trace(uint32_t area, const char* format, ...) {
  if (!aDebugging_IsOn(area) || format == nullptr) return;
  va_list args;
  va_start(args, format);
  // One lock over the print and the flush keeps lines of different threads whole.
  flockfile(stdout);
  vfprintf(stdout, format, args);
  fflush(stdout);
  funlockfile(stdout);
  va_end(args);
}
