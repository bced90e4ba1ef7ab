// Monotonic millisecond tick and sleeps.
#include <time.h>

#include <cerrno>

#include "platform/aTime.h"

namespace {

// Slices stay below one second, the bound of the classic microsecond sleep.
constexpr uint32_t MAX_SLICE_US = 999999;

void sleepMicroseconds(uint32_t us, void*) {
  struct timespec left = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  // Resume after a signal so the whole slice is slept.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

}  // namespace

uint64_t aTime_GetMSTicks(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void osMSSleepWith(uint64_t ms, void (*sleepUS)(uint32_t us, void* context), void* context) {
  if (sleepUS == nullptr) return;
  uint64_t us = ms > UINT64_MAX / 1000 ? UINT64_MAX : ms * 1000;
  while (us > 0) {
    const uint32_t slice = us > MAX_SLICE_US ? MAX_SLICE_US : static_cast<uint32_t>(us);
    sleepUS(slice, context);
    us -= slice;
  }
}

void osMSSleep(uint64_t ms) { osMSSleepWith(ms, sleepMicroseconds, nullptr); }

aErr aTime_MSSleep(uint64_t ms) {
  osMSSleep(ms);
  return aErrNone;
}
