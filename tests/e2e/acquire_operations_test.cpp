// The acquisition operations of Updater called directly, against update-server
// on loopback, for what no command line reaches: the download by fingerprint,
// load_bird, the build-text check, and what the display is told and when.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/Updater.h"
#include "store/BirdFile.h"
#include "support/Process.h"
#include "support/UpdateServerFixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Records everything the operations say, with the thread that said it.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  struct Spin {
    bool on;
    std::string label;
    std::chrono::steady_clock::time_point at;
  };
  void display_progress(bool) override { note(); }
  void update_progress(double, const char*) override { note(); }
  void update_spinner(bool on, const char* label) override {
    note();
    spins.push_back({on, label ? label : "", std::chrono::steady_clock::now()});
  }
  void info_message(const char* text) override {
    note();
    lines.push_back(std::string("I ") + text);
  }
  void error_message(const char* text) override {
    note();
    lines.push_back(std::string("E ") + text);
  }
  bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

  std::vector<std::string> lines;
  std::vector<Spin> spins;
  bool otherThread = false;

 private:
  void note() { otherThread |= std::this_thread::get_id() != owner; }
  std::thread::id owner = std::this_thread::get_id();
};

const uint32_t SERIAL = 0x40F5849A;

class AcquireOps : public ::testing::Test {
 protected:
  void SetUp() override {
    repo = tmp.path() + "/repo";
    store = tmp.path() + "/store";
    fs::create_directories(store);
    for (auto [build, version] : {std::pair{1200u, "2.1.0"}, std::pair{1201u, "2.2.0"}}) {
      tstest::BirdSpec spec;
      spec.build = build;
      spec.version = version;
      tstest::addBuild(repo, SERIAL, spec);
    }
    tstest::writeFile(repo + "/recovery.txt",
                      "00000001 00000002 00000003 00000004 40F5849A 1200\n"
                      "0000000A 0000000B 0000000C 0000000D 40F5849A\n");
  }
  std::string device() const { return store + "/40F5849A"; }

  tstest::TempDir tmp;
  std::string repo, store;
  RecordingDisplay display;
};

TEST_F(AcquireOps, BuildTextAndSerialAreCheckedBeforeAnyRequest) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  for (const char* text : {"abc", "12x", "-1", "4294967296"}) {
    display.lines.clear();
    EXPECT_EQ(u.Download_Firmware(SERIAL, text, false, false), 0u);
    EXPECT_EQ(display.lines, std::vector<std::string>{std::string("E Build number '") + text + "' must be an number"});
  }
  display.lines.clear();
  EXPECT_EQ(u.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display.lines, std::vector<std::string>{"E Serial Number must be non-zero"});
  EXPECT_TRUE(server.queries().empty());
}

TEST_F(AcquireOps, StoreThatCannotBeOpenedIsReportedWithTheCaller) {
  tstest::UpdateServer server(repo);
  std::string file = tmp.file("plain");
  tstest::writeFile(file, "x");
  Updater u(server.url().c_str(), file.c_str(), display);
  EXPECT_EQ(u.Download_Firmware(SERIAL, "", false, false), 0u);
  EXPECT_TRUE(u.Get_BuildListLocal(SERIAL).empty());
  EXPECT_TRUE(u.Last_Request_Failed());
  EXPECT_EQ(display.lines,
            (std::vector<std::string>{
                "E Failed to Create UpdaterStore in: Download_Firmware - Exception: UpdaterStore: " + file +
                    " exists and is a file",
                "E Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: UpdaterStore: " + file +
                    " exists and is a file"}));
}

// The request runs on a worker; the calling thread alone draws the spinner,
// about every 100 ms, and clears it at the end.
TEST_F(AcquireOps, SpinnerTurnsOnTheCallingThreadWhileTheWorkerDownloads) {
  tstest::UpdateServer server(repo, {"--fault", "trickle", "--fault-op", "bird", "--trickle-ms", "50",
                                     "--trickle-bytes", "16"});
  Updater u(server.url().c_str(), store.c_str(), display);
  EXPECT_EQ(u.Download_Firmware(SERIAL, "1201", false, false), 1201u);
  EXPECT_FALSE(display.otherThread);
  // The body comes in about 15 pieces 50 ms apart, so the wait lasts at
  // least 700 ms: several frames whatever the machine's speed.
  ASSERT_GE(display.spins.size(), 6u);
  EXPECT_FALSE(display.spins.back().on);
  size_t turns = display.spins.size() - 1;
  for (size_t i = 0; i < turns; ++i) {
    EXPECT_TRUE(display.spins[i].on);
    EXPECT_EQ(display.spins[i].label, "Downloading");
  }
  // One frame per 100 ms of waiting, timed from the first frame to the
  // clearing call (the other requests of the download are not part of the
  // wait): never faster, and not much slower even on a loaded machine.
  for (size_t i = 1; i < turns; ++i) EXPECT_GE(display.spins[i].at - display.spins[i - 1].at, 100ms);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(display.spins.back().at - display.spins.front().at)
                .count();
  EXPECT_LE(static_cast<long long>(turns), ms / 100 + 1) << ms << " ms";
  EXPECT_GE(static_cast<long long>(turns), ms / 200) << ms << " ms";
}

TEST_F(AcquireOps, DeviceFolderIsMadeBeforeTheQuery) {
  tstest::UpdateServer server(repo, {"--fault", "status500", "--fault-op", "qu"});
  Updater u(server.url().c_str(), store.c_str(), display);
  EXPECT_EQ(u.Download_Firmware(SERIAL, "", false, false), 0u);
  EXPECT_EQ(display.lines, std::vector<std::string>{"E No build information for device"});
  EXPECT_TRUE(fs::is_directory(device()));
  EXPECT_NE(tstest::readFile(device() + "/.settings").find("CREATED_TIME="), std::string::npos);
}

// /proc is a folder in which nobody, root included, can make one: the
// device's folder cannot be created and the download ends before the query.
TEST_F(AcquireOps, DeviceFolderThatCannotBeMadeEndsTheDownload) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), "/proc", display);
  EXPECT_EQ(u.Download_Firmware(SERIAL, "", false, false), 0u);
  EXPECT_EQ(display.lines, std::vector<std::string>{"E Could not create directory for storing BIRD file"});
  EXPECT_EQ(server.queries(), std::vector<std::string>{"op=hi&rv=2&"});
}

TEST_F(AcquireOps, DownloadByFingerprintUsesTheRecoveryTable) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  Fingerprint fp;
  fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
  EXPECT_EQ(u.Download_Firmware(fp, "", false), 1200u);  // the table's build
  EXPECT_TRUE(fs::exists(device() + "/1200.bird"));
  EXPECT_EQ(u.Download_Firmware(fp, "1201", true), 1201u);  // a given build wins
  Fingerprint other;
  other.words[0] = 0xA, other.words[1] = 0xB, other.words[2] = 0xC, other.words[3] = 0xD;
  EXPECT_EQ(u.Download_Firmware(other, "", false), 1201u);  // no build in the table: the latest
  EXPECT_EQ(server.queries().front(), "brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");

  Fingerprint unknown;
  display.lines.clear();
  EXPECT_EQ(u.Download_Firmware(unknown, "", false), 0u);
  EXPECT_EQ(display.lines,
            std::vector<std::string>{"E Failed to retrieve recovery information from Corvanex update server"});
}

TEST_F(AcquireOps, LoadBirdFromPathIgnoresSerialAndStore) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  std::string path = repo + "/40F5849A/1200.bird";
  BirdFile bird = u.load_bird("Updating", path, 0x1234, 99, false);
  EXPECT_EQ(bird.GetBuild(), 1200u);
  EXPECT_EQ(display.lines, std::vector<std::string>{"I Updating from Birdfile: " + path});
  EXPECT_TRUE(server.queries().empty());
  EXPECT_THROW(u.load_bird("Updating", tmp.file("missing.bird"), 0, 0, false), std::runtime_error);
}

TEST_F(AcquireOps, LoadBirdFromStoreDownloadsOnlyWhenAllowed) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  try {
    u.load_bird("Updating", "", SERIAL, 1201, false);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error reading birdfile");
  }
  EXPECT_TRUE(server.queries().empty());

  display.lines.clear();
  BirdFile bird = u.load_bird("Updating", "", SERIAL, 1201, true);
  EXPECT_EQ(bird.GetVersion(), "2.2.0");
  EXPECT_EQ(display.lines, (std::vector<std::string>{"I Updating firmware with build: 1201",
                                                     "I Downloading firmware build 1201", "I Retrieving build 1201",
                                                     "I Validating build 1201 with server", "I Build 1201 is valid"}));
  // Now in the store: read without asking the server.
  size_t asked = server.queries().size();
  EXPECT_EQ(u.load_bird("Updating", "", SERIAL, 1201, false).GetBuild(), 1201u);
  EXPECT_EQ(server.queries().size(), asked);
  // A build the server does not have: the second read's error reaches the caller.
  EXPECT_THROW(u.load_bird("Updating", "", SERIAL, 4242, true), std::runtime_error);
}

TEST_F(AcquireOps, LocalListGivesEmptyVersionForFilesThatDoNotLoad) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  ASSERT_EQ(u.Download_Firmware(SERIAL, "1200", false, false), 1200u);
  // Starts like a BIRD file, does not load.
  tstest::writeFile(device() + "/1500.bird", std::string("bird\x01\x01garbage", 13));
  auto builds = u.Get_BuildListLocal(SERIAL);
  EXPECT_FALSE(u.Last_Request_Failed());
  EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1200", "2.1.0"}, {"1500", ""}}));
}

TEST_F(AcquireOps, ServerListAndTokenFailuresAreFlagged) {
  tstest::UpdateServer server(repo);
  Updater u(server.url().c_str(), store.c_str(), display);
  EXPECT_EQ(u.Get_BuildList(SERIAL).size(), 2u);
  EXPECT_FALSE(u.Last_Request_Failed());
  EXPECT_TRUE(u.Get_JWT(SERIAL).empty());  // no token file
  EXPECT_TRUE(u.Last_Request_Failed());
  EXPECT_TRUE(u.Get_BuildList(0x1).empty());
  EXPECT_TRUE(u.Last_Request_Failed());
  EXPECT_EQ(display.lines, (std::vector<std::string>{"E Failed to retrieve jwt for 40F5849A",
                                                     "E Failed to retrieve builds for 00000001"}));
}

}  // namespace
