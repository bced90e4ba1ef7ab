#pragma once
// A serial port (a POSIX terminal device) as a stream: opened raw (no echo,
// no line editing, no translation, no modem control) with reads that never
// wait. The stream has a wait operation (aStream_Wait) that sleeps until
// the port has input, so readers need not poll.
#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

#define aSERIAL_CHECK ((uint16_t)0xBEEF)
#define aSERIAL_PATHMAX 4096
// Bound of a write: when the port takes no byte for this long (the far end
// does not read, flow stopped), the write gives up with aErrIO.
#define aSERIAL_WRITE_TIMEOUT_MS 2000

// Baud index: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200,
// 7 230400. parity: 0 none, else even. charSize: 0 eight bits, 1 seven.
// stopBits: 0 one, 1 two.
//
// Bad arguments (null path or out, a path of aSERIAL_PATHMAX characters or
// more, a baud index outside 0-7, charSize or stopBits above 1) and memory
// shortage give aErrResource. Opening: aErrNotFound (no such path),
// aErrPermission, aErrIO (anything else, including a path that is not a
// terminal). On failure no stream is made and *stream is null.
aErr aStream_CreateSerial(const char* path, int32_t baudIndex, uint8_t parity, uint8_t charSize,
                          uint8_t stopBits, aStreamRef* stream);
