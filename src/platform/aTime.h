#pragma once
// Millisecond tick and sleeps. The tick is monotonic: milliseconds since an
// arbitrary fixed point (not the epoch), unaffected by changes of the system
// time, so it serves for time-outs and intervals only.
#include <cstdint>

#include "common/aError.h"

// Current millisecond tick; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);
// Sleeps ms milliseconds (0 returns at once), resuming after signals;
// always aErrNone.
aErr aTime_MSSleep(uint64_t ms);
// The platform sleep behind aTime_MSSleep: sleeps in slices of at most
// 999,999 microseconds until the whole time has passed.
void osMSSleep(uint64_t ms);
// osMSSleep's slicing with the slice sleeper supplied (for tests).
void osMSSleepWith(uint64_t ms, void (*sleepUS)(uint32_t us, void* context), void* context);
