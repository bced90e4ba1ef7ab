#include <gtest/gtest.h>

#include "common/aError.h"

TEST(ErrorText, KnownAndOutOfRangeCodes) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(35)), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(0xFFFFFFFFu)), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Tessarion command to short");
  EXPECT_STREQ(aError_GetErrorDescription(aErrUnknown), "Unknown error");
  EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(1000)), "Unknown error");
}
