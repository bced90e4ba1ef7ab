// Mutexes over POSIX error-checking mutexes.
//
// A default mutex lets any thread "unlock" it: that silently releases
// another thread's lock, and on glibc it also upsets the mutex's user count
// so that it can never be destroyed again. An error-checking mutex refuses
// such an unlock (aErrPermission) and answers a relock by its holder with
// aErrDuplicate instead of blocking for ever; everything else is the same.
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/aMutex.h"

namespace {
constexpr uint32_t MUTEX_CHECK = 0x5AFE;
}

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_MAX + 1];
  uint32_t check;
};

static bool valid(aMutexRef m) { return m != nullptr && m->check == MUTEX_CHECK; }

aMutexRef aMutex_Create(const char* name) {
  if (name == nullptr) name = "";
  const size_t length = strnlen(name, aMUTEX_NAME_MAX + 1);
  if (length > aMUTEX_NAME_MAX) return nullptr;
  aMutex* m = new (std::nothrow) aMutex;
  if (m == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    delete m;
    return nullptr;
  }
  const bool made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                    pthread_mutex_init(&m->mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!made) {
    delete m;
    return nullptr;
  }
  memcpy(m->name, name, length);
  m->name[length] = '\0';
  m->check = MUTEX_CHECK;
  return m;
}

const char* aMutex_Identifier(aMutexRef mutex) { return valid(mutex) ? mutex->name : ""; }

aErr aMutex_Destroy(aMutexRef* mutex) {
  if (mutex == nullptr) return aErrParam;
  aMutex* m = *mutex;
  if (!valid(m)) {
    *mutex = nullptr;
    return aErrParam;
  }
  // Destroying a held mutex is undefined and would leave its holder unlocking
  // freed memory: find out first whether it is free.
  switch (pthread_mutex_trylock(&m->mutex)) {
    case 0: pthread_mutex_unlock(&m->mutex); break;
    case EBUSY: return aErrBusy;
    default: break;
  }
  switch (pthread_mutex_destroy(&m->mutex)) {
    case 0: break;
    case EBUSY: return aErrBusy;
    case EINVAL: m->check = 0; delete m; *mutex = nullptr; return aErrParam;
    case EAGAIN: m->check = 0; delete m; *mutex = nullptr; return aErrResource;
    default: m->check = 0; delete m; *mutex = nullptr; return aErrUnknown;
  }
  m->check = 0;
  delete m;
  *mutex = nullptr;
  return aErrNone;
}

aErr aMutex_Lock(aMutexRef mutex) {
  if (!valid(mutex)) return aErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutexRef mutex) {
  if (!valid(mutex)) return aErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    default: return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutexRef mutex) {
  if (!valid(mutex)) return aErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
  }
}
