#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {
constexpr size_t LOG_BUFFER = 2048;
constexpr size_t STAMP_BUFFER = 128;
}  // namespace

void Log::log(uint32_t package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask.load()) == 0) return;
  FILE* out = fh.load();
  if (out == nullptr || format == nullptr) return;

  // Timestamp and text are formatted into one buffer and written with one
  // call, so the stamp stays on the line it belongs to and lines of two
  // threads do not interleave.
  char buffer[STAMP_BUFFER + LOG_BUFFER];
  size_t used = 0;
  if (timestamped.load() && strlen(format) > 10) {
    time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr) {
      char stamp[STAMP_BUFFER];
      size_t n = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
      int m = snprintf(buffer, STAMP_BUFFER, "%.*s%s", static_cast<int>(n), stamp, SEPARATOR);
      if (m > 0) used = static_cast<size_t>(m) < STAMP_BUFFER ? static_cast<size_t>(m) : STAMP_BUFFER - 1;
    }
  }

  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer + used, LOG_BUFFER, format, args);
  va_end(args);
  if (n < 0) return;
  size_t text = static_cast<size_t>(n) < LOG_BUFFER ? static_cast<size_t>(n) : LOG_BUFFER - 1;
  fwrite(buffer, 1, used + text, out);
}
