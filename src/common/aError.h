#pragma once
// Result codes of the module library and the platform layer. Modules send the
// same numbers in UEI error replies, so the values are fixed.
#include <cstdint>

typedef enum : int32_t {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrAsyncReturn = 32,
  aErrStreamStale = 33,
  aErrUnknown = 34
} aErr;

// The short names and one-line descriptions, indexed by code.
extern const char* const ERROR_TEXT[aErrUnknown + 1];
extern const char* const ERROR_DESCRIPTION[aErrUnknown + 1];

// Short name of a code ("aErrTimeout"); codes above 34 give "aErrUnknown".
const char* aError_GetErrorText(aErr err);
// One-line description of a code; codes above 34 give "Unknown error".
const char* aError_GetErrorDescription(aErr err);
// The same for a code held as a plain number (a UEI reply's error byte, or
// a value that may lie outside the table).
inline const char* aError_GetErrorText(uint32_t code) {
  return aError_GetErrorText(static_cast<aErr>(static_cast<int32_t>(code)));
}
inline const char* aError_GetErrorDescription(uint32_t code) {
  return aError_GetErrorDescription(static_cast<aErr>(static_cast<int32_t>(code)));
}
