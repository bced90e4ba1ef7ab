#pragma once
// Joinable threads with the system's default attributes.
#include <cstdint>
#include <new>
#include <type_traits>

#include "common/aError.h"

// Entry function: runs on the new thread with the argument given at creation.
// Its return value is discarded.
typedef void* (*aThreadProc)(void* arg);

typedef struct aThread aThread;
typedef aThread* aThreadRef;

// New thread running proc(arg); null for a null proc, no memory, or when the
// system refuses the thread.
aThreadRef aThread_Create(aThreadProc proc, void* arg);

// The same for an entry function that returns an integer (such as intptr_t)
// or nothing; the value is discarded all the same.
namespace aThreadDetail {
template <typename R>
struct Call {
  R (*proc)(void*);
  void* arg;
};
template <typename R>
void* run(void* context) {
  auto* call = static_cast<Call<R>*>(context);
  R (*proc)(void*) = call->proc;
  void* arg = call->arg;
  delete call;
  proc(arg);
  return nullptr;
}
}  // namespace aThreadDetail

template <typename R>
  requires(std::is_integral_v<R> || std::is_void_v<R>)
aThreadRef aThread_Create(R (*proc)(void*), void* arg) {
  if (proc == nullptr) return nullptr;
  auto* call = new (std::nothrow) aThreadDetail::Call<R>{proc, arg};
  if (call == nullptr) return nullptr;
  aThreadRef thread = aThread_Create(&aThreadDetail::run<R>, call);
  if (thread == nullptr) delete call;
  return thread;
}
// Waits until the thread's entry function has returned (the owner must make
// it return first), frees the handle and clears *thread. Returns 0 or the
// system's error number (not an aErr): EINVAL for a null address or invalid
// reference; EDEADLK when called on the thread itself (it is then detached).
int aThread_Destroy(aThreadRef* thread);
// Sleeps 5 microseconds so that other threads run; always aErrNone.
aErr aThread_Yield(void);
