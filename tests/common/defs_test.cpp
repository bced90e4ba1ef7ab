#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/aDefs.h"

TEST(ModelName, NamedCodesHaveDistinctShortNames) {
  std::set<std::string> names;
  for (uint32_t code = 0; code < 40; ++code) {
    const char* name = aDefs_GetModelName(code);
    ASSERT_NE(name, nullptr);
    const bool named = code == 4 || code == 5 || (code >= 13 && code <= 27);
    SCOPED_TRACE(code);
    if (named) {
      EXPECT_STRNE(name, "Unknown");
      EXPECT_GE(strlen(name), 1u);
      EXPECT_LE(strlen(name), 16u);
      EXPECT_TRUE(names.insert(name).second) << "duplicate " << name;
      EXPECT_EQ(aDefs_GetModelCode(name), code);  // the table reads both ways
    } else {
      EXPECT_STREQ(name, "Unknown");
    }
  }
  EXPECT_EQ(names.size(), 17u);
}

TEST(ModelName, UnknownCodesAndNames) {
  for (uint32_t code : {3u, 6u, 12u, 28u, 0xFFFFFFFFu}) EXPECT_STREQ(aDefs_GetModelName(code), "Unknown");
  EXPECT_EQ(aDefs_GetModelCode("Unknown"), 0u);
  EXPECT_EQ(aDefs_GetModelCode(""), 0u);
  EXPECT_EQ(aDefs_GetModelCode(nullptr), 0u);
  // Exact match only: the update flow compares names as strings.
  std::string lower = aDefs_GetModelName(4);
  for (char& c : lower) c = static_cast<char>(tolower(c));
  EXPECT_EQ(aDefs_GetModelCode(lower.c_str()), 0u);
}
