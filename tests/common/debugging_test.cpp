#include <gtest/gtest.h>

#include <string>

#include "common/aDebugging.h"

namespace {

// Restores both switches whatever the test did.
class DebuggingSwitches : public testing::Test {
 protected:
  void TearDown() override {
    aTessarionDebuggingEnable = 0;
    aTessarionDebuggingLevel = 0;
  }
  static std::string traceAll() {
    testing::internal::CaptureStdout();
    aDebugging_Trace(aDEBUG_LINK, "link %d\n", 1);
    aDebugging_Trace(aDEBUG_PACKETS, "packet %s\n", "x");
    aDebugging_Trace(aDEBUG_USB, "usb\n");
    return testing::internal::GetCapturedStdout();
  }
};

}  // namespace

TEST_F(DebuggingSwitches, OffAtStartAndSilentWithoutEnable) {
  EXPECT_EQ(aTessarionDebuggingEnable.load(), 0);
  EXPECT_EQ(aTessarionDebuggingLevel.load(), 0u);
  aTessarionDebuggingLevel = 0xFFFFFFFFu;  // every area, but the master switch is off
  EXPECT_FALSE(aDebugging_IsOn(aDEBUG_LINK));
  EXPECT_EQ(traceAll(), "");
}

TEST_F(DebuggingSwitches, OnlyAreasInTheMaskWrite) {
  aTessarionDebuggingEnable = 1;
  struct {
    uint32_t level;
    const char* out;
  } const cases[] = {
      {0, ""},
      {aDEBUG_LINK, "link 1\n"},
      {aDEBUG_PACKETS | aDEBUG_USB, "packet x\nusb\n"},
      {0x0180u, ""},  // bits with no area
      {0xFFFFFFFFu, "link 1\npacket x\nusb\n"},
  };
  for (const auto& c : cases) {
    aTessarionDebuggingLevel = c.level;
    EXPECT_EQ(traceAll(), c.out) << std::hex << c.level;
  }
}

TEST_F(DebuggingSwitches, MacroSkipsArgumentsWhenOff) {
  int evaluated = 0;
  auto count = [&evaluated] { return ++evaluated; };
  aTRACE(aDEBUG_SERVER, "%d\n", count());
  EXPECT_EQ(evaluated, 0);
  aTessarionDebuggingEnable = 1;
  aTessarionDebuggingLevel = aDEBUG_SERVER;
  testing::internal::CaptureStdout();
  aTRACE(aDEBUG_SERVER, "server %d\n", count());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "server 1\n");
  EXPECT_EQ(evaluated, 1);
}
