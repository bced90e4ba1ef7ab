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

TEST(ErrorText, EveryCodeAndPlainNumbers) {
  // The enumerator names are the texts; a code kept as a number reads alike.
  struct {
    uint32_t code;
    const char* text;
    const char* description;
  } const cases[] = {
      {0, "aErrNone", "Success, no error"},
      {4, "aErrFileNameLength", "File name too long"},
      {11, "aErrNotReady", "Not ready, no bytes available"},
      {23, "aErrCancel", "Cancellation occurred, or did not complete"},
      {33, "aErrStreamStale", "Stream value is stale"},
      {34, "aErrUnknown", "Unknown error"},
      {35, "aErrUnknown", "Unknown error"},
      {0x80000000u, "aErrUnknown", "Unknown error"},
      {0xFFFFFFFFu, "aErrUnknown", "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(aError_GetErrorText(c.code), c.text) << c.code;
    EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
  }
  for (uint32_t code = 0; code <= aErrUnknown; ++code) {
    EXPECT_EQ(aError_GetErrorText(code), ERROR_TEXT[code]);
    EXPECT_EQ(aError_GetErrorDescription(code), ERROR_DESCRIPTION[code]);
  }
  EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(aErrParam), "aErrParam");
}
