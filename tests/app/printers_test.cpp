// The lines main prints itself: version, copyright, fingerprint, token and
// build list.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/Usage.h"
#include "support/RecordingDisplay.h"

using tstest::RecordingDisplay;

TEST(Printers, VersionCopyrightFingerprintAndToken) {
  RecordingDisplay d;
  _display_app_version(d);
  _display_copyright(d);
  Fingerprint fp;
  fp.words[0] = 0x1;
  fp.words[1] = 0xABCDEF;
  fp.words[2] = 0xFFFFFFFF;
  fp.words[3] = 0x12345678;
  _display_fingerprint(d, fp);
  _display_jwt(d, "aa.bb.cc");
  _display_jwt(d, "");
  EXPECT_EQ(d.infos, (std::vector<std::string>{"Updater (Version: 2.11.2 Apr 29 2025)",
                                               "(Copyright (c) 2025 Corvanex. All rights reserved.)",
                                               "[ 00000001 00ABCDEF FFFFFFFF 12345678 ]", "aa.bb.cc", ""}));
  EXPECT_TRUE(d.errors.empty());
}

TEST(Printers, EmptyBuildList) {
  RecordingDisplay d;
  std::map<std::string, std::string> builds;
  _display_builds(d, builds, 0x40F5849A);
  EXPECT_EQ(d.infos, std::vector<std::string>{"No builds found for device [40F5849A]"});
}

TEST(Printers, BuildListNewestVersionFirstInFixedColumns) {
  RecordingDisplay d;
  std::map<std::string, std::string> builds = {
      {"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}, {"12345678901234567890", "9.9.9-with-a-long-tail"}};
  _display_builds(d, builds, 0x2181F0EE);
  EXPECT_EQ(d.infos, (std::vector<std::string>{
                         "Build List for device [2181F0EE]:\n",
                         "Build          \tVersion        ",
                         // Columns are cut at 15 characters.
                         "123456789012345\t9.9.9-with-a-lo",
                         "3              \t2.0.0          ",
                         "2              \t1.10.0         ",
                         "1              \t1.2.3          ",
                     }));
}
