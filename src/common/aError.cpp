#include "common/aError.h"

const char* const ERROR_TEXT[aErrUnknown + 1] = {
    "aErrNone",          "aErrMemory",        "aErrParam",         "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",         "aErrIO",            "aErrMode",
    "aErrWrite",         "aErrRead",          "aErrEOF",           "aErrNotReady",
    "aErrPermission",    "aErrRange",         "aErrSize",          "aErrOverrun",
    "aErrParse",         "aErrConfiguration", "aErrTimeout",       "aErrInitialization",
    "aErrVersion",       "aErrUnimplemented", "aErrDuplicate",     "aErrCancel",
    "aErrPacket",        "aErrConnection",    "aErrIndexRange",    "aErrShortCommand",
    "aErrInvalidEntity", "aErrInvalidOption", "aErrResource",      "aErrMedia",
    "aErrAsyncReturn",   "aErrStreamStale",   "aErrUnknown",
};

const char* const ERROR_DESCRIPTION[aErrUnknown + 1] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tessarion command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(ERROR_TEXT) / sizeof(ERROR_TEXT[0]) == aErrUnknown + 1);
static_assert(sizeof(ERROR_DESCRIPTION) / sizeof(ERROR_DESCRIPTION[0]) == aErrUnknown + 1);

const char* aError_GetErrorText(aErr err) {
  uint32_t code = static_cast<uint32_t>(err);
  return ERROR_TEXT[code > (uint32_t)aErrUnknown ? (uint32_t)aErrUnknown : code];
}

const char* aError_GetErrorDescription(aErr err) {
  uint32_t code = static_cast<uint32_t>(err);
  return ERROR_DESCRIPTION[code > (uint32_t)aErrUnknown ? (uint32_t)aErrUnknown : code];
}
