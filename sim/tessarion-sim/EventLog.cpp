#include "EventLog.h"

#include <cstdarg>
#include <cstdio>

namespace tsim {

static bool gQuiet = false;

void setQuiet(bool quiet) { gQuiet = quiet; }

static void vline(const char* fmt, va_list ap) {
  std::vfprintf(stdout, fmt, ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void announce(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vline(fmt, ap);
  va_end(ap);
}

void event(const char* fmt, ...) {
  if (gQuiet) return;
  va_list ap;
  va_start(ap, fmt);
  vline(fmt, ap);
  va_end(ap);
}

}  // namespace tsim
