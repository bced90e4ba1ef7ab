#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <vector>

#include "platform/aTime.h"

namespace {
void record(uint32_t us, void* context) { static_cast<std::vector<uint32_t>*>(context)->push_back(us); }
}  // namespace

TEST(Time, TickIsMonotonicMilliseconds) {
  struct timespec before;
  clock_gettime(CLOCK_MONOTONIC, &before);
  const uint64_t tick = aTime_GetMSTicks();
  struct timespec after;
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(tick, uint64_t(before.tv_sec) * 1000 + uint64_t(before.tv_nsec) / 1000000);
  EXPECT_LE(tick, uint64_t(after.tv_sec) * 1000 + uint64_t(after.tv_nsec) / 1000000);
  uint64_t last = tick;
  for (int i = 0; i < 1000; ++i) {
    const uint64_t now = aTime_GetMSTicks();
    ASSERT_GE(now, last);
    last = now;
  }
}

TEST(Time, SleepLastsAtLeastTheTime) {
  struct {
    uint64_t ms;
    uint64_t atMost;  // generous bound for a loaded machine
  } const cases[] = {{0, 50}, {1, 100}, {30, 500}};
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aTime_MSSleep(c.ms), aErrNone);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    EXPECT_GE(uint64_t(took), c.ms);
    EXPECT_LE(uint64_t(took), c.atMost) << c.ms;
  }
}

TEST(Time, SleepSlicesStayBelowOneSecond) {
  struct {
    uint64_t ms;
    std::vector<uint32_t> slices;
  } const cases[] = {
      {0, {}},
      {1, {1000}},
      {999, {999000}},
      {1000, {999999, 1}},
      {2500, {999999, 999999, 500002}},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> got;
    osMSSleepWith(c.ms, record, &got);
    EXPECT_EQ(got, c.slices) << c.ms;
  }
  osMSSleepWith(5, nullptr, nullptr);  // no sleeper: nothing happens
}
