#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/aVersion.h"

namespace {

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t word;
  bool legacy;
  uint8_t parsedMinor;  // what reads back (a legacy minor keeps 4 bits)
};

const PackCase PACK_CASES[] = {
    {1, 2, 3, 0x12000003u, true, 2},
    {2, 14, 5, 0x2E000005u, true, 14},
    {2, 15, 0, 0x2F020F00u, false, 15},
    {1, 20, 0, 0x14000000u, true, 4},
    {0, 0, 0, 0x00000000u, true, 0},
    {3, 0, 7, 0x2F030007u, false, 0},
    {255, 255, 255, 0x2FFFFFFFu, false, 255},
};

}  // namespace

TEST(VersionWord, PackAndParseBack) {
  for (const PackCase& c : PACK_CASES) {
    SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
    const uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
    EXPECT_EQ(word, c.word);
    EXPECT_EQ(aVersion_IsLegacyFormat(word), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(word), c.major);
    EXPECT_EQ(aVersion_ParseMinor(word), c.parsedMinor);
    EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
  }
}

TEST(VersionWord, LayoutBoundaryAndWideLegacyPatch) {
  struct {
    uint32_t word;
    bool legacy;
    uint8_t major, minor;
    uint32_t patch;
  } const cases[] = {
      {0x1000ABCDu, true, 1, 0, 0xABCD},     // 24-bit legacy patch
      {0x2F01020Au, false, 1, 2, 10},        // current layout
      {0x2EFFFFFFu, true, 2, 14, 0xFFFFFF},  // last legacy top byte
      {0x30010203u, false, 1, 2, 3},         // top nibble 3 reads as current
      {0xFF010203u, false, 1, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(c.word), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch);
  }
}

TEST(VersionWord, ParseStringHasSnprintfSemantics) {
  char text[32];
  EXPECT_EQ(aVersion_ParseString(0x2F01020Au, text, sizeof text), 6);
  EXPECT_STREQ(text, "1.2.10");
  EXPECT_EQ(aVersion_ParseString(0x1000ABCDu, text, sizeof text), 9);
  EXPECT_STREQ(text, "1.0.43981");
  char small[4];
  EXPECT_EQ(aVersion_ParseString(0x2F01020Au, small, sizeof small), 6);  // would-be length
  EXPECT_STREQ(small, "1.2");
  EXPECT_EQ(aVersion_ParseString(0x2F01020Au, nullptr, 0), 6);
}

TEST(VersionCompare, LexicographicGreaterOrEqual) {
  struct {
    uint8_t have[3], need[3];
    bool atLeast;
  } const cases[] = {
      {{2, 11, 2}, {2, 11, 2}, true},   {{2, 11, 2}, {2, 12, 0}, false},
      {{3, 0, 0}, {2, 255, 255}, true}, {{2, 11, 1}, {2, 11, 2}, false},
      {{2, 11, 3}, {2, 11, 2}, true},   {{1, 255, 255}, {2, 0, 0}, false},
      {{0, 0, 0}, {0, 0, 0}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.have[0], c.have[1], c.have[2], c.need[0], c.need[1],
                                        c.need[2]),
              c.atLeast)
        << int(c.have[0]) << "." << int(c.have[1]) << "." << int(c.have[2]) << " vs "
        << int(c.need[0]) << "." << int(c.need[1]) << "." << int(c.need[2]);
  }
}

TEST(LibraryVersion, NumbersStringAndAtLeast) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 11);
  EXPECT_EQ(aVersion_GetPatch(), 2);
  EXPECT_STREQ(aVersion_GetString(), "2.11.2");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());  // one static text
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 2));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 200));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 3));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(LibraryVersion, FirstCallsFromManyThreadsAgree) {
  std::vector<std::thread> threads;
  std::vector<const char*> seen(8, nullptr);
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
  for (auto& t : threads) t.join();
  for (const char* s : seen) EXPECT_STREQ(s, "2.11.2");
}

TEST(LibraryFeatures, HasFeatureAndList) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));

  ASSERT_EQ(NUM_FEATS, 1u);
  EXPECT_STREQ(FEATS[0].name, "VERSION");
  EXPECT_STREQ(FEATS[0].description, "Version Query API");

  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(std::string(list), "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // a cleared pointer is harmless
  aVersion_DestroyFeatureList(nullptr);
}
