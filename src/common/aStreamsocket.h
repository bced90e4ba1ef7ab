#pragma once
// A module reachable by TCP as a stream over one client connection: never
// blocking, sending without delay, closed with a reset, and reconnecting by
// itself when the peer drops the connection while reading or writing.
//
// get answers aErrNotReady at once when no byte is waiting; the stream's
// wait (aStream_Wait) sleeps until bytes arrive, the connection is replaced,
// or the time-out passes. Received bytes are taken from the socket in
// bursts and handed out one by one.
#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

#define aSOCKET_CHECK ((uint16_t)0xDEAD)
#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
// Bound of one connection attempt (a host that does not answer).
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
// Bytes taken from the socket per receive call at most.
#define aSOCKET_RECEIVE_BUFFER 4096

// Connects to an IPv4 address (network byte order) and port (host order).
// aErrResource and *stream null on any failure (no out address, no memory,
// refused or unreachable).
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

// System calls made by a socket stream so far, for measurements.
typedef struct aStreamSocketCounters {
  uint64_t receiveCalls;  // recv
  uint64_t sendCalls;     // send
  uint64_t pollCalls;     // poll, in waits and in writes held up by a full buffer
  uint64_t connects;      // connections made, the first included
} aStreamSocketCounters;

// aErrParam unless the stream is a live socket stream.
aErr aStreamSocket_GetCounters(aStreamRef stream, aStreamSocketCounters* counters);
