// The updater's command line run as a user runs it: arguments in; standard
// output, standard error and exit status compared with the documented texts.
//
// Every run gets HOME and a -i storage folder inside a temporary folder, and
// a loopback server URL on a closed port wherever a command could reach the
// update server, so no run touches the real home or the network.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_usage_texts.h"
#include "support/Process.h"

namespace {

const std::string VERSION = "Updater (Version: 2.11.2 Apr 29 2025)\n";
const std::string COPYRIGHT = "(Copyright (c) 2025 Corvanex. All rights reserved.)\n";
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";  // nothing listens on port 1

using cli_usage::EXTENDED;
using cli_usage::HEADER;
using cli_usage::PARAMETERS;
using cli_usage::SAMPLES;

// "@" in an argument stands for the test's temporary folder.
tstest::RunResult runUpdater(const tstest::TempDir& tmp, std::vector<std::string> args,
                             std::vector<std::string> env = {}) {
  std::vector<std::string> argv = {tstest::binPath("updater")};
  for (std::string& a : args) {
    if (auto at = a.find('@'); at != std::string::npos) a.replace(at, 1, tmp.path());
    argv.push_back(a);
  }
  tstest::RunOptions opts;
  opts.env = {"HOME=" + tmp.path()};
  opts.env.insert(opts.env.end(), env.begin(), env.end());
  opts.cwd = tmp.path();
  opts.timeout = std::chrono::milliseconds(20000);
  return tstest::run(argv, opts);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs whose whole output is fixed by the command line alone.
struct ExactCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

class CliExact : public testing::TestWithParam<ExactCase> {};

TEST_P(CliExact, OutputAndStatus) {
  const ExactCase& c = GetParam();
  tstest::TempDir tmp;
  tstest::RunResult r = runUpdater(tmp, c.args);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
}

const std::string USAGE_SHORT = HEADER;
const std::string USAGE_FULL = HEADER + PARAMETERS + SAMPLES;
const std::string USAGE_EXTENDED = HEADER + PARAMETERS + EXTENDED + SAMPLES;
const std::string BAD_TRANSPORT = "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n";

const std::vector<ExactCase> kExact = {
    // Usage output.
    {"NoArguments", {}, 0, VERSION + COPYRIGHT, USAGE_SHORT},
    {"Help", {"-h"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"HelpUpper", {"-H"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"HelpLong", {"--help"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"HelpLongPrefix", {"--hel"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"MaskThenHelpIsExtended", {"-X", "1", "-h"}, 0, VERSION + COPYRIGHT, USAGE_EXTENDED},
    {"HelpThenMaskIsNot", {"-h", "-X", "1"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"HelpWinsOverCommands", {"-D", "-G", "-h"}, 0, VERSION + COPYRIGHT, USAGE_FULL},
    {"MaskAloneIsNoCommand", {"-X", "1"}, 0, VERSION + COPYRIGHT, USAGE_SHORT},
    {"OverrideAloneIsNoCommand", {"-O"}, 0, VERSION + COPYRIGHT, USAGE_SHORT},
    {"ClumpedIsUnknown", {"-DU"}, 0, VERSION + COPYRIGHT, USAGE_SHORT},
    {"OnlyNonOptions", {"D", "update"}, 0, VERSION + COPYRIGHT, USAGE_SHORT},
    // Parse errors: reported first, then version, copyright and the header.
    {"UnhandledY", {"-Y"}, 1, VERSION + COPYRIGHT, "Unhandled command: [-Y]\n" + USAGE_SHORT},
    {"BadSerial", {"-G", "-d", "40F5849Z"}, 1, VERSION + COPYRIGHT,
     "Invalid serial number obtained from argument [40F5849Z]\n" + USAGE_SHORT},
    {"ZeroSerial", {"-U", "-d", "0"}, 1, VERSION + COPYRIGHT,
     "Invalid serial number obtained from argument [0]\n" + USAGE_SHORT},
    {"PrefixedBadSerial", {"-d", "0x12345G"}, 1, VERSION + COPYRIGHT,
     "Invalid serial number obtained from argument [12345G]\n" + USAGE_SHORT},
    {"BadRouter", {"-D", "-r", "router"}, 1, VERSION + COPYRIGHT,
     "Invalid router serial number obtained from argument [router]\n" + USAGE_SHORT},
    {"TransportCaseMatters", {"-D", "-t", "tcp"}, 1, VERSION + COPYRIGHT, BAD_TRANSPORT + USAGE_SHORT},
    {"AllProblemsBeforeVersion", {"-d", "zz", "-t", "tcp", "-Y", "-D"}, 1, VERSION + COPYRIGHT,
     "Invalid serial number obtained from argument [zz]\n" + BAD_TRANSPORT + "Unhandled command: [-Y]\n" +
         USAGE_SHORT},
    // Help ends the parse at once with success, even after a reported problem.
    {"HelpAfterProblem", {"-d", "zz", "-h", "-Y"}, 0, VERSION + COPYRIGHT,
     "Invalid serial number obtained from argument [zz]\n" + USAGE_FULL},
    // Commands that select nothing: the version line only.
    {"CheckFile", {"-C", "-i", "@"}, 0, VERSION, ""},
    {"ViewInfo", {"-I", "-i", "@"}, 0, VERSION, ""},
    {"CommandZ", {"-Z", "anything", "-i", "@"}, 0, VERSION, ""},
    {"CheckFileWithAWord", {"-C", "firmware.bird", "-i", "@"}, 0, VERSION, ""},
    {"ViewInfoWithAWord", {"-I", "40F5849A", "-i", "@"}, 0, VERSION, ""},
    {"MaskWithTrailingCharactersDoesNotFail", {"-X", "12ab", "-C", "-i", "@"}, 0, VERSION,
     "Invalid format for \"-X\" parameter, unprocessed characters [ab]\n"},
    // Missing prerequisites of a command.
    {"GetNeedsDevice", {"-G", "-i", "@"}, 1, VERSION,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"GetDeviceAsLastWordDropped", {"-G", "-i", "@", "-d"}, 1, VERSION,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"GetDeviceFollowedByOption", {"-d", "-G", "-i", "@"}, 1, VERSION,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"AttachedArgumentIsUnknown", {"-G", "-d40F5849A", "-i", "@"}, 1, VERSION,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"FingerprintNeedsPort", {"-N", "-i", "@"}, 1, VERSION, "Must specify the serial port used for connecting\n"},
    {"UpdateNeedsDevice", {"-U", "-i", "@"}, 1, VERSION, "Must specify the specific device to be updated\n"},
    {"ListBuildsNeedsDevice", {"-B", "-i", "@"}, 1, VERSION,
     "Error must supply a serial number for the List Builds command\n" + USAGE_SHORT},
    {"ListLocalNeedsDevice", {"-L", "-i", "@"}, 1, VERSION,
     "Error must supply a serial number for the List Local Builds command\n" + USAGE_SHORT},
    {"JwtNeedsDevice", {"-J", "-i", "@"}, 1, VERSION,
     "Error must supply a serial number for the Get JWT command\n" + USAGE_SHORT},
    // Order: -N, -G, then the first of -D, -U, -B, -L, -J. The missing-device
    // messages show which command ran.
    {"UpdateBeforeListBuilds", {"-B", "-U", "-i", "@"}, 1, VERSION, "Must specify the specific device to be updated\n"},
    {"ListBuildsBeforeLocalAndJwt", {"-J", "-L", "-B", "-i", "@"}, 1, VERSION,
     "Error must supply a serial number for the List Builds command\n" + USAGE_SHORT},
    {"ListLocalBeforeJwt", {"-J", "-L", "-i", "@"}, 1, VERSION,
     "Error must supply a serial number for the List Local Builds command\n" + USAGE_SHORT},
    {"GetBeforeUpdate", {"-U", "-G", "-i", "@"}, 1, VERSION,
     "-G must specify a specific device via -d\n--help for usage information\n"},
};

INSTANTIATE_TEST_SUITE_P(Cli, CliExact,
                         testing::ValuesIn(kExact),
                         [](const testing::TestParamInfo<ExactCase>& info) { return std::string(info.param.name); });

TEST(CliStorage, DashIGivesTheParentOfTheStorageFolderMadeWithMode0755) {
  tstest::TempDir tmp;
  tstest::RunResult r = runUpdater(tmp, {"-C", "-i", "@/deep/er"});
  EXPECT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(stat((tmp.path() + "/deep/er/updater").c_str(), &st), 0) << r.err;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // Nothing lands in the home folder when -i is given.
  EXPECT_NE(access((tmp.path() + "/.corvanex").c_str(), F_OK), 0);
  // An existing storage folder is used as it is.
  r = runUpdater(tmp, {"-C", "-i", "@/deep/er/"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(CliStorage, FolderThatCannotBeMadeIsReported) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("file"), "not a folder");
  tstest::RunResult r = runUpdater(tmp, {"-C", "-i", "@/file"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, VERSION);
  EXPECT_EQ(r.err, "Could not find updater directory at " + tmp.path() + "/file/updater\n");
}

// The home folder comes from the password database, and from HOME only for a
// user without an entry there; such a user is simulated by switching to an
// unlisted uid (which needs root).
class CliHome : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a password entry";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    chmod(tmp.path().c_str(), 0777);
  }
  tstest::RunResult runAsUnlisted(const std::vector<std::string>& args, bool withHome) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    if (!withHome) argv.push_back("-u");
    if (!withHome) argv.push_back("HOME");
    for (const char* a : {"/usr/bin/setpriv", "--reuid=48213", "--regid=48213", "--clear-groups"}) argv.push_back(a);
    argv.push_back(tstest::binPath("updater"));
    argv.insert(argv.end(), args.begin(), args.end());
    tstest::RunOptions opts;
    if (withHome) opts.env = {"HOME=" + tmp.path()};
    opts.cwd = tmp.path();
    return tstest::run(argv, opts);
  }
  tstest::TempDir tmp;
};

TEST_F(CliHome, StorageFolderDefaultsToCorvanexUpdaterInTheHomeFolder) {
  tstest::RunResult r = runAsUnlisted({"-C"}, true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, VERSION);
  struct stat st;
  ASSERT_EQ(stat((tmp.path() + "/.corvanex/updater").c_str(), &st), 0) << r.err;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(CliHome, NoHomeFolderEndsTheRunWithStatus1) {
  tstest::RunResult r = runAsUnlisted({"-X", "0x10000", "-C"}, false);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, VERSION);
  EXPECT_TRUE(endsWith(r.err, "Updater: FailedaDirectory_GetHomeDirectory()==> 3\n"
                              "Could not find the home directory [3, aErrNotFound]; name a storage "
                              "directory with -i\n"))
      << r.err;
}

TEST(CliLog, MaskShowsTheParameterListing) {
  tstest::TempDir tmp;
  tstest::RunResult r = runUpdater(tmp, {"-X", "0x10000", "-C", "stray", "-i", "@"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, VERSION);
  EXPECT_EQ(r.err, "\nApplication parameters:[updater]\n\t[" + tstest::binPath("updater") +
                       "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[stray]\n\t[-i]\n\t[" + tmp.path() + "]\n");
}

// Runs that reach an operation: main's own lines and the exit status. What
// the operation itself prints is its own business and not compared here.
struct DispatchCase {
  const char* name;
  std::vector<std::string> args;
  int status;               // -1: not compared
  std::string outPrefix;    // stdout begins with this
  std::string errSuffix;    // stderr ends with this
  std::string absent;       // must appear in neither stream (empty: not checked)
};

class CliDispatch : public testing::TestWithParam<DispatchCase> {};

TEST_P(CliDispatch, MainLinesAndStatus) {
  const DispatchCase& c = GetParam();
  tstest::TempDir tmp;
  tstest::RunResult r = runUpdater(tmp, c.args);
  ASSERT_FALSE(r.timedOut);
  if (c.status >= 0) {
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
  }
  EXPECT_EQ(r.out.compare(0, c.outPrefix.size(), c.outPrefix), 0) << r.out;
  EXPECT_TRUE(endsWith(r.err, c.errSuffix)) << r.err;
  if (!c.absent.empty()) {
    EXPECT_EQ(r.out.find(c.absent), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(c.absent), std::string::npos) << r.err;
  }
}

const std::string GET_LATEST = "Retrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n";

const std::vector<DispatchCase> kDispatch = {
    {"GetLatest", {"-G", "-d", "40F5849A", "-u", NO_SERVER, "-i", "@"}, 1, VERSION + GET_LATEST, "", ""},
    {"GetPrefixedSerial", {"-G", "-d", "0x40f5849a", "-u", NO_SERVER, "-i", "@"}, 1, VERSION + GET_LATEST, "", ""},
    {"GetEqualsArguments", {"-G", "-d=40F5849A", "-u=" + NO_SERVER, "-i=@"}, 1, VERSION + GET_LATEST, "", ""},
    {"GetBuild", {"-G", "-d", "1", "-b", "99528558", "-u", NO_SERVER, "-i", "@"}, 1,
     VERSION + "Retrieving firmware for device with serial number 00000001\nRetrieving firmware build 99528558\n",
     "", ""},
    {"GetBuildNotANumber", {"-G", "-d", "1", "-b", "12x", "-u", NO_SERVER, "-i", "@"}, 1,
     VERSION + "Retrieving firmware for device with serial number 00000001\nRetrieving firmware build 0\n", "", ""},
    // A failed download does not stop the update that follows; the update's
    // own result decides the status.
    {"GetThenUpdate", {"-G", "-U", "-d", "1", "-u", NO_SERVER, "-i", "@"}, 1,
     VERSION + "Retrieving firmware for device with serial number 00000001\nNo build specified\nUsing Latest build\n",
     "", "Must specify the specific device to be updated"},
    // -N runs before -G, and its failure does not stop the run.
    {"FingerprintBeforeGet", {"-G", "-N", "-s", "@/no-such-port", "-u", NO_SERVER, "-i", "@"}, 1, VERSION,
     "Got no response from chip\n-G must specify a specific device via -d\n--help for usage information\n", ""},
    {"FingerprintFailure", {"-N", "-s", "@/no-such-port", "-u", NO_SERVER, "-i", "@"}, 1, VERSION,
     "Got no response from chip\n", ""},
    // Discovery: with no -t only USB is searched; an unknown word is dropped
    // silently. (Only USB here: a network search would send multicast.)
    {"DiscoverIgnoresUnknownWord", {"-D", "-q", "-i", "@"}, -1, VERSION + "Searching for Tessarion devices\n", "",
     "-q"},
    {"DiscoverBeforeUpdate", {"-U", "-D", "-i", "@"}, -1, VERSION + "Searching for Tessarion devices\n", "",
     "Must specify"},
    {"DiscoverRecoverIsPlain", {"-D", "-t", "RECOVER", "-i", "@"}, -1, VERSION + "Searching for Tessarion devices\n",
     "", ""},
    {"DiscoverBehindRouter", {"-D", "-r", "D272031D", "-t", "USB", "-i", "@"}, -1,
     VERSION + "Searching for Tessarion Network devices connected to D272031D\n", "", ""},
    // Recovery needs no serial number; without a working port it fails.
    {"RecoverWithoutSerial", {"-U", "-t", "RECOVER", "-s", "@/no-such-port", "-u", NO_SERVER, "-i", "@"}, 1, VERSION,
     "", "Must specify the specific device to be updated"},
    // Only the first seven letters count: RECOVERY is the recovery path too.
    {"RecoveryPrefixSelectsRecovery",
     {"-U", "-t", "RECOVERY", "-s", "@/no-such-port", "-u", NO_SERVER, "-i", "@"}, 1, VERSION, "",
     "Must specify the specific device to be updated"},
    {"UpdateFailsWithoutModule", {"-U", "-d", "1", "-b", "5", "-u", NO_SERVER, "-i", "@"}, 1, VERSION, "", ""},
    // A failed server request is not reported as success.
    {"ListBuildsFailure", {"-B", "-d", "1", "-u", NO_SERVER, "-i", "@"}, 1, VERSION, "", ""},
    {"JwtFailure", {"-J", "-d", "1", "-u", NO_SERVER, "-i", "@"}, 1, VERSION, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cli, CliDispatch, testing::ValuesIn(kDispatch),
                         [](const testing::TestParamInfo<DispatchCase>& info) { return std::string(info.param.name); });

}  // namespace
