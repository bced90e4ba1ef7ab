#pragma once
// Mutexes: non-recursive system mutexes with a diagnostic name. They check
// their holder: a thread that locks a mutex it already holds gets
// aErrDuplicate (never nest), and an unlock by a thread that does not hold
// the mutex is refused with aErrPermission and changes nothing.
#include "common/aError.h"

#define aMUTEX_NAME_MAX 255  // longest name, in characters

typedef struct aMutex aMutex;
typedef aMutex* aMutexRef;

// New mutex named after what it guards (null gives ""); null when memory is
// short, the name has 256 characters or more, or the system refuses.
aMutexRef aMutex_Create(const char* name);
// The name given at creation ("" for an invalid reference).
const char* aMutex_Identifier(aMutexRef mutex);
// Destroys the mutex, frees it and clears *mutex. aErrParam for a null
// address or an invalid reference (the reference is cleared); aErrBusy when
// the mutex is still locked: it is then kept and *mutex left as it was, so
// the holder's unlock stays safe and the caller can retry.
aErr aMutex_Destroy(aMutexRef* mutex);
// Blocks until held. aErrParam (invalid), aErrDuplicate when the calling
// thread holds it already.
aErr aMutex_Lock(aMutexRef mutex);
// Takes the mutex only if it is free at once; aErrBusy otherwise.
aErr aMutex_TryLock(aMutexRef mutex);
// Releases the mutex. aErrParam (invalid), aErrPermission when the calling
// thread does not hold it (the mutex is left as it was).
aErr aMutex_Unlock(aMutexRef mutex);
