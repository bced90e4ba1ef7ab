#pragma once
// Joinable threads with the system's default attributes.
#include <cstdint>

#include "common/aError.h"

// Entry function: runs on the new thread with the argument given at creation.
// Its return value is discarded.
typedef void* (*aThreadProc)(void* arg);

typedef struct aThread aThread;
typedef aThread* aThreadRef;

// New thread running proc(arg); null for a null proc, no memory, or when the
// system refuses the thread.
aThreadRef aThread_Create(aThreadProc proc, void* arg);
// Waits until the thread's entry function has returned (the owner must make
// it return first), frees the handle and clears *thread. Returns 0 or the
// system's error number (not an aErr): EINVAL for a null address or invalid
// reference; EDEADLK when called on the thread itself (it is then detached).
int aThread_Destroy(aThreadRef* thread);
// Sleeps 5 microseconds so that other threads run; always aErrNone.
aErr aThread_Yield(void);
