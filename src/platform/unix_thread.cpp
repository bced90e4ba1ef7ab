// Joinable POSIX threads with default attributes.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/aThread.h"

namespace {
constexpr uint32_t THREAD_CHECK = 0x7EAD;
}

struct aThread {
  pthread_t id;
  uint32_t check;
};

aThreadRef aThread_Create(aThreadProc proc, void* arg) {
  if (proc == nullptr) return nullptr;
  aThread* t = new (std::nothrow) aThread;
  if (t == nullptr) return nullptr;
  if (pthread_create(&t->id, nullptr, proc, arg) != 0) {
    delete t;
    return nullptr;
  }
  t->check = THREAD_CHECK;
  return t;
}

int aThread_Destroy(aThreadRef* thread) {
  if (thread == nullptr) return EINVAL;
  aThread* t = *thread;
  *thread = nullptr;
  if (t == nullptr || t->check != THREAD_CHECK) return EINVAL;
  int rc;
  if (pthread_equal(t->id, pthread_self())) {
    // A thread cannot join itself; detach it so its resources still go when it ends.
    pthread_detach(t->id);
    rc = EDEADLK;
  } else {
    rc = pthread_join(t->id, nullptr);
  }
  t->check = 0;
  delete t;
  return rc;
}

aErr aThread_Yield(void) {
  struct timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
  return aErrNone;
}
