#pragma once
// Packet logger: a thread that drains a link's packet log into a text file
// by calling a formatter again and again while it runs. The formatter writes
// at most one record per call and must pace itself when the log is empty
// (aPacketDebug_FormatRecord sleeps 5 ms).
#include <cstdint>

#include "common/aError.h"
#include "platform/aFile.h"

#define aLOGGERCHECK ((uint16_t)0xDEED)

typedef void (*aLoggerFormatter)(aFileRef file, uint32_t linkRef);
typedef struct aLogger aLogger;
typedef aLogger* aLoggerRef;

// Opens `path` for appending, unbuffered; null when it cannot be opened or
// the formatter is null.
aLoggerRef aLogger_Create(uint32_t linkRef, aLoggerFormatter formatter, const char* path);
// Starts the logger thread. aErrParam (invalid logger), aErrNone when
// already running, aErrResource when the thread cannot be made.
aErr aLogger_Enable(aLoggerRef logger);
// Stops and joins the thread. aErrParam (invalid), aErrNone when not running
// or when called from the logger thread itself (nothing changes then),
// aErrUnknown when the join fails.
aErr aLogger_Disable(aLoggerRef logger);
// Disables a running logger, closes the file and releases the logger,
// clearing the reference. An invalid logger gives aErrNone; a failed
// disable is returned and the logger kept.
aErr aLogger_Destroy(aLoggerRef* logger);
