#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "platform/aThread.h"

namespace {

struct Work {
  std::atomic<int> value{0};
  std::atomic<bool> release{false};
  std::thread::id ranOn;
};

void* addSeven(void* arg) {
  auto* w = static_cast<Work*>(arg);
  w->ranOn = std::this_thread::get_id();
  w->value += 7;
  return reinterpret_cast<void*>(0x1234);
}

void* waitForRelease(void* arg) {
  auto* w = static_cast<Work*>(arg);
  while (!w->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  w->value = 1;
  return nullptr;
}

}  // namespace

TEST(Thread, RunsTheEntryWithItsArgumentAndJoins) {
  Work w;
  aThreadRef t = aThread_Create(addSeven, &w);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(w.value.load(), 7);
  EXPECT_NE(w.ranOn, std::this_thread::get_id());
}

TEST(Thread, DestroyWaitsForTheEntryToReturn) {
  Work w;
  aThreadRef t = aThread_Create(waitForRelease, &w);
  ASSERT_NE(t, nullptr);
  auto joined = std::async(std::launch::async, [&t] { return aThread_Destroy(&t); });
  EXPECT_EQ(joined.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(w.value.load(), 0);
  w.release = true;
  ASSERT_EQ(joined.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(joined.get(), 0);
  EXPECT_EQ(w.value.load(), 1);
  EXPECT_EQ(t, nullptr);
}

TEST(Thread, DestroyAfterTheEntryReturnedAndRefusals) {
  Work w;
  aThreadRef t = aThread_Create(addSeven, &w);
  ASSERT_NE(t, nullptr);
  while (w.value.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
  EXPECT_EQ(aThread_Create(nullptr, &w), nullptr);
}

namespace {
struct SelfJoin {
  aThreadRef self = nullptr;
  std::atomic<bool> go{false};
  std::atomic<int> result{-1};
};
void* destroySelf(void* arg) {
  auto* s = static_cast<SelfJoin*>(arg);
  while (!s->go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s->result = aThread_Destroy(&s->self);
  return nullptr;
}
}  // namespace

TEST(Thread, DestroyFromItselfReportsDeadlockInsteadOfHanging) {
  SelfJoin s;
  aThreadRef t = aThread_Create(destroySelf, &s);
  ASSERT_NE(t, nullptr);
  s.self = t;
  s.go = true;
  for (int i = 0; i < 5000 && s.result.load() == -1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(s.result.load(), EDEADLK);
}

TEST(Thread, YieldReturnsPromptly) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(aThread_Yield(), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

namespace {
std::atomic<int> integerEntryRuns{0};
intptr_t integerEntry(void* arg) {
  integerEntryRuns += *static_cast<int*>(arg);
  return 5;
}
void voidEntry(void* arg) { integerEntryRuns += *static_cast<int*>(arg) * 10; }
}  // namespace

TEST(Thread, EntryFunctionsReturningAnIntegerOrNothing) {
  int three = 3;
  integerEntryRuns = 0;
  aThreadRef a = aThread_Create(integerEntry, &three);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(aThread_Destroy(&a), 0);
  EXPECT_EQ(integerEntryRuns.load(), 3);
  aThreadRef b = aThread_Create(voidEntry, &three);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(aThread_Destroy(&b), 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(integerEntryRuns.load(), 33);
  EXPECT_EQ(aThread_Create(static_cast<intptr_t (*)(void*)>(nullptr), &three), nullptr);
}
