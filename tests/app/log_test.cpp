// The diagnostic log: package mask, package 0, output stream, cutting and the
// optional timestamp.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app/Log.h"

namespace {

// Gives each test a fresh log state and a temporary file as its stream.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    file = tmpfile();
    ASSERT_NE(file, nullptr);
    Log::package_bitmask = 0;
    Log::timestamped = false;
    Log::SetOutput(file);
  }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    Log::timestamped = false;
    if (file) fclose(file);
  }
  std::string written() {
    fflush(file);
    std::string text;
    rewind(file);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    return text;
  }
  FILE* file = nullptr;
};

}  // namespace

TEST_F(LogTest, PackageLinesFollowTheMask) {
  Log::log(DEBUG_Updater, "one %d\n", 1);
  EXPECT_EQ(written(), "");
  Log::ActivatePackage(DEBUG_Updater);
  Log::log(DEBUG_Updater, "two %d\n", 2);
  Log::log(DEBUG_BirdFile, "not active\n");
  EXPECT_EQ(written(), "two 2\n");
  Log::DeactivatePackage(DEBUG_Updater);
  Log::log(DEBUG_Updater, "three\n");
  EXPECT_EQ(written(), "two 2\n");
}

TEST_F(LogTest, ActivateAndDeactivateOnlyTouchTheirBits) {
  Log::ActivatePackage(DEBUG_APP | DEBUG_Network2);
  Log::DeactivatePackage(DEBUG_APP);
  EXPECT_EQ(Log::package_bitmask.load(), DEBUG_Network2);
  // A line whose package shares any bit with the mask is written.
  Log::log(DEBUG_Network2 | DEBUG_APP, "shared\n");
  EXPECT_EQ(written(), "shared\n");
}

TEST_F(LogTest, PackageZeroIsAlwaysWritten) {
  Log::log(0, "always %s", "here");
  EXPECT_EQ(written(), "always here");  // no line end added
}

TEST_F(LogTest, WithoutAStreamNothingIsWrittenAndNothingFails) {
  Log::SetOutput(nullptr);
  Log::ActivatePackage(0xFFFFFFFF);
  Log::log(0, "nowhere\n");
  Log::log(DEBUG_Updater, "nowhere\n");
  Log::SetOutput(file);
  EXPECT_EQ(written(), "");
}

TEST_F(LogTest, LongLineIsCutTo2047Characters) {
  std::string text(3000, 'y');
  Log::log(0, "%s", text.c_str());
  EXPECT_EQ(written(), std::string(2047, 'y'));
}

TEST_F(LogTest, TimestampPrefixesLongFormatsOnTheSameStream) {
  Log::timestamped = true;
  Log::log(0, "short\n");                   // 6 characters: no timestamp
  Log::log(0, "a longer format %d\n", 3);  // over 10 characters: timestamp
  const std::string text = written();
  EXPECT_TRUE(std::regex_match(text, std::regex("short\n\\d{4}:\\d{2}:\\d{2}:\\d{2}:\\d{2}:\\d{2} \\| a longer format 3\n")))
      << text;
}

TEST_F(LogTest, TimestampOnlyForFormatsOverTenCharacters) {
  Log::timestamped = true;
  // The length of the format counts, not of the formatted text.
  const std::vector<std::pair<const char*, bool>> cases = {
      {"0123456789", false}, {"0123456789\n", true}, {"%s\n", false}};
  for (const auto& [format, stamped] : cases) {
    const size_t before = written().size();
    Log::log(0, format, "a text far longer than ten characters");
    const std::string line = written().substr(before);
    EXPECT_EQ(std::regex_search(line, std::regex("^\\d{4}:\\d{2}:\\d{2}:\\d{2}:\\d{2}:\\d{2} \\| ")), stamped)
        << format << " -> " << line;
  }
}

TEST(LogPackages, BitValues) {
  EXPECT_EQ(DEBUG_Updater, 0x00000001u);
  EXPECT_EQ(DEBUG_History, 0x00000002u);
  EXPECT_EQ(DEBUG_Attributes, 0x00000004u);
  EXPECT_EQ(DEBUG_BirdFile, 0x00000008u);
  EXPECT_EQ(DEBUG_Network, 0x00000010u);
  EXPECT_EQ(DEBUG_ServerComm, 0x00000020u);
  EXPECT_EQ(DEBUG_Network2, 0x00000100u);
  EXPECT_EQ(DEBUG_Network_SR, 0x00000200u);
  EXPECT_EQ(DEBUG_Network_FIRM, 0x00000400u);
  EXPECT_EQ(DEBUG_NXPSerial, 0x00001000u);
  EXPECT_EQ(DEBUG_NXPSerial_E, 0x00002000u);
  EXPECT_EQ(DEBUG_NXPSerial_SR, 0x00004000u);
  EXPECT_EQ(DEBUG_APP, 0x00010000u);
  EXPECT_EQ(DEBUG_iMXSerial, 0x10000000u);
}
