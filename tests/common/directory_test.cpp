#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "common/aDirectory.h"
#include "support/Process.h"

namespace fs = std::filesystem;

// ---- aDirectory_BuildPath / JoinPath / BuildPath / backwards_memcmp ----

TEST(DirectoryBuildPath, JoinsWithOneSeparator) {
  struct {
    const char* first;
    const char* second;
    const char* out;
  } const cases[] = {
      {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a", "b", "a/b"},
      {"a/", "/b", "a//b"},  // separators already there are kept, never removed
      {"/", "x", "/x"},
      {"/x/y", "z.bird", "/x/y/z.bird"},
      {"", "b", "b"},  // an empty first part stays relative
      {"a", "", "a/"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, c.first, c.second), aErrNone);
    EXPECT_STREQ(buffer, c.out) << c.first << " + " << c.second;
  }
}

TEST(DirectoryBuildPath, BufferBounds) {
  struct {
    size_t size;
    const char* first;
    const char* second;  // null: first part only
    aErr result;
    const char* out;
  } const cases[] = {
      {4, "ab", nullptr, aErrNone, "ab"},
      {4, "abc", nullptr, aErrOverrun, ""},
      {5, "a", "b", aErrNone, "a/b"},
      {4, "a", "b", aErrOverrun, ""},
      {6, "ab", "cd", aErrOverrun, ""},
      {7, "ab", "cd", aErrNone, "ab/cd"},
      {1, "", nullptr, aErrOverrun, ""},
      {5, "a/", "/b", aErrOverrun, ""},  // "/b" needs the room that a separator would take
      {6, "a/", "/b", aErrNone, "a//b"},
      {4, "ab", "", aErrNone, "ab"},  // no room for a separator, nothing to append
  };
  for (const auto& c : cases) {
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aDirectory_BuildPath(buffer, c.size, c.first, c.second, nullptr), c.result)
        << c.size << " " << c.first;
    EXPECT_STREQ(buffer, c.out);
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the given size";
  }
}

TEST(DirectoryBuildPath, TenPartsAtMostAndRefusals) {
  char buffer[128];
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8", "9", nullptr),
            aErrNone);
  EXPECT_STREQ(buffer, "0/1/2/3/4/5/6/7/8/9");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8", "9", "10", nullptr),
            aErrParam);
  EXPECT_STREQ(buffer, "");

  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 0, "a", nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, nullptr), aErrParam);
  strcpy(buffer, "a");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "b", nullptr), aErrParam);
  char other[8] = "a";
  EXPECT_EQ(aDirectory_BuildPath(other, sizeof other, "x", other, nullptr), aErrParam);
}

TEST(DirectoryBuildPath, EndMarkMayBeLeftOutAndPartsMayBeStrings) {
  char buffer[32];
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a/", "b"), aErrNone);
  EXPECT_STREQ(buffer, "a/b");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", "b", NULL), aErrNone);
  EXPECT_STREQ(buffer, "a/b");
  const std::string dir = "/s", name = "0000ABCD";
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, dir.c_str(), name, ".settings"), aErrNone);
  EXPECT_STREQ(buffer, "/s/0000ABCD/.settings");
  EXPECT_EQ(aDirectory_BuildPath(buffer, 4, "a", "b"), aErrOverrun);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aDirectory_BuildPath(buffer, 4, "ab"), aErrNone);
  EXPECT_STREQ(buffer, "ab");
}

TEST(BuildPathString, AlwaysAddsTheSeparator) {
  EXPECT_EQ(BuildPath("a/", "b"), "a//b");
  EXPECT_EQ(BuildPath("a", "b", "c.bird"), "a/b/c.bird");
  EXPECT_EQ(BuildPath(std::string("/s"), std::string("0000ABCD"), ".settings"),
            "/s/0000ABCD/.settings");
  EXPECT_EQ(BuildPath("a", "b", NULL), "a/b");  // C-style end mark
  EXPECT_EQ(BuildPath("a", nullptr, "ignored"), "a");
  EXPECT_EQ(BuildPath("only"), "only");
  const std::string longPart(5000, 'p');
  EXPECT_EQ(BuildPath(longPart, longPart).size(), 10001u);  // no length limit
}

TEST(BackwardsMemcmp, FindsLastOccurrence) {
  const char* text = "a/b/c/b";
  EXPECT_EQ(backwards_memcmp(text, "b"), text + 6);
  EXPECT_EQ(backwards_memcmp(text, "/b"), text + 5);
  EXPECT_EQ(backwards_memcmp(text, "a/"), text);
  EXPECT_EQ(backwards_memcmp(text, ""), text);
  EXPECT_EQ(backwards_memcmp(text, "x"), nullptr);
  EXPECT_EQ(backwards_memcmp("ab", "abc"), nullptr);
  EXPECT_EQ(backwards_memcmp(nullptr, "a"), nullptr);
  EXPECT_EQ(backwards_memcmp(text, nullptr), nullptr);
}

// ---- Exists / Ensure / Delete ----

TEST(DirectoryExists, DirectoriesOnly) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("plain"), "x");
  EXPECT_TRUE(aDirectory_Exists(tmp.path().c_str()));
  EXPECT_FALSE(aDirectory_Exists(tmp.file("plain").c_str()));
  EXPECT_FALSE(aDirectory_Exists(tmp.file("missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(DirectoryEnsure, CreatesEveryMissingLevelWithTheMode) {
  tstest::TempDir tmp;
  const mode_t old = umask(0);
  struct {
    std::string path;
    std::string check;  // a level that must exist afterwards
  } const cases[] = {
      {tmp.file("a/b/c"), tmp.file("a/b/c")},            // three levels below an existing one
      {tmp.file("a/b/c"), tmp.file("a/b/c")},            // already there
      {tmp.file("x//y/"), tmp.file("x/y")},              // doubled and trailing separators
      {tmp.file("a/b/d/e"), tmp.file("a/b/d/e")},        // branch off an existing level
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0750), aErrNone) << c.path;
    EXPECT_TRUE(fs::is_directory(c.check)) << c.check;
  }
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(tmp.file("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(DirectoryEnsure, Refusals) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("file"), "x");
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrPermission);  // nothing there to create
  // A plain file in the way, at the end or in the middle, is never success.
  EXPECT_EQ(aDirectory_Ensure(tmp.file("file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(tmp.file("file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(tstest::readFile(tmp.file("file")), "x");
  if (geteuid() != 0) {  // root ignores directory permissions
    ASSERT_EQ(mkdir(tmp.file("locked").c_str(), 0500), 0);
    EXPECT_EQ(aDirectory_Ensure(tmp.file("locked/a/b").c_str(), 0755), aErrPermission);
  }
}

TEST(DirectoryDelete, EmptyOnly) {
  tstest::TempDir tmp;
  fs::create_directories(tmp.file("full/sub"));
  fs::create_directories(tmp.file("empty"));
  EXPECT_EQ(aDirectory_Delete(tmp.file("empty").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(tmp.file("empty")));
  EXPECT_EQ(aDirectory_Delete(tmp.file("full").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(tmp.file("missing").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(nullptr), aErrUnknown);
}

TEST(DirectoryDeleteTree, RemovesEverythingBelowButNeverFollowsLinks) {
  tstest::TempDir tmp;
  fs::create_directories(tmp.file("tree/a/b"));
  tstest::writeFile(tmp.file("tree/top"), "1");
  tstest::writeFile(tmp.file("tree/a/b/deep"), "2");
  fs::create_directories(tmp.file("outside"));
  tstest::writeFile(tmp.file("outside/keep"), "precious");
  fs::create_directory_symlink(tmp.file("outside"), tmp.file("tree/a/link"));

  EXPECT_EQ(aDirectory_DeleteTree(tmp.file("tree").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(tmp.file("tree")));
  EXPECT_EQ(tstest::readFile(tmp.file("outside/keep")), "precious");

  EXPECT_EQ(aDirectory_DeleteTree(tmp.file("tree").c_str()), aErrNotFound);
  EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrNotFound);
}

// ---- List ----

namespace {
struct Seen {
  std::map<std::string, std::pair<uint64_t, bool>> entries;
  size_t stopAfter = SIZE_MAX;
};
bool collect(const aDirectoryListData* d, void* user) {
  auto* seen = static_cast<Seen*>(user);
  EXPECT_EQ(d->size, uint32_t(d->size64));
  seen->entries[fs::path(d->path).filename().string()] = {d->size64, d->isDirectory};
  return seen->entries.size() < seen->stopAfter;
}
}  // namespace

TEST(DirectoryList, EveryEntryWithPathSizeAndKind) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("five"), "12345");
  tstest::writeFile(tmp.file("empty"), "");
  fs::create_directory(tmp.file("sub"));
  fs::create_symlink(tmp.file("nowhere"), tmp.file("dangling"));  // status unreadable: skipped

  Seen seen;
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), collect, &seen), aErrNone);
  EXPECT_EQ(seen.entries.size(), 5u) << "., .., five, empty, sub";
  EXPECT_EQ(seen.entries["five"], std::make_pair(uint64_t{5}, false));
  EXPECT_EQ(seen.entries["empty"], std::make_pair(uint64_t{0}, false));
  EXPECT_TRUE(seen.entries["sub"].second);
  EXPECT_TRUE(seen.entries.count("."));
  EXPECT_FALSE(seen.entries.count("dangling"));
}

TEST(DirectoryList, FullPathsAndStopping) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("f"), "x");
  std::string got;
  auto onlyF = [](const aDirectoryListData* d, void* user) {
    if (fs::path(d->path).filename() == "f") *static_cast<std::string*>(user) = d->path;
    return true;
  };
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), onlyF, &got), aErrNone);
  EXPECT_EQ(got, tmp.file("f"));

  Seen seen;
  seen.stopAfter = 1;
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), collect, &seen), aErrNone);
  EXPECT_EQ(seen.entries.size(), 1u);

  EXPECT_EQ(aDirectory_List(tmp.file("missing").c_str(), collect, &seen), aErrNotFound);
  EXPECT_EQ(aDirectory_List(nullptr, collect, &seen), aErrNotFound);
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), nullptr, &seen), aErrParam);
}

namespace {
bool collectMutable(aDirectoryListData* d, void* user) {
  d->size = 0;  // the callback's own copy
  static_cast<std::map<std::string, bool>*>(user)->emplace(fs::path(d->path).filename().string(), d->isDirectory);
  return true;
}
}  // namespace

TEST(DirectoryList, CallbackWithoutConst) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("f"), "x");
  fs::create_directory(tmp.file("d"));
  std::map<std::string, bool> seen;
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), collectMutable, &seen), aErrNone);
  EXPECT_EQ(seen, (std::map<std::string, bool>{{".", true}, {"..", true}, {"d", true}, {"f", false}}));
  EXPECT_EQ(aDirectory_List(tmp.file("missing").c_str(), collectMutable, &seen), aErrNotFound);
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), static_cast<bool (*)(aDirectoryListData*, void*)>(nullptr), &seen),
            aErrParam);
  // A lambda that keeps its own state.
  int files = 0;
  ASSERT_EQ(aDirectory_List(
                tmp.path().c_str(),
                [&files](aDirectoryListData* d, void*) {
                  files += d->isDirectory ? 0 : 1;
                  return true;
                },
                nullptr),
            aErrNone);
  EXPECT_EQ(files, 1);
}

TEST(DirectoryList, SizeIsTheLow32BitsOfALargeFile) {
  tstest::TempDir tmp;
  const uint64_t big = (uint64_t{1} << 32) + 5;
  {
    // Sparse: no disk space is used.
    FILE* f = fopen(tmp.file("big").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const bool grown = ftruncate(fileno(f), static_cast<off_t>(big)) == 0;
    fclose(f);
    if (!grown) GTEST_SKIP() << "this file system cannot hold a file over 4 GiB";
  }
  struct Found {
    uint32_t size = 0;
    uint64_t size64 = 0;
  } found;
  auto onlyBig = [](const aDirectoryListData* d, void* user) {
    if (fs::path(d->path).filename() == "big") {
      static_cast<Found*>(user)->size = d->size;
      static_cast<Found*>(user)->size64 = d->size64;
    }
    return true;
  };
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), onlyBig, &found), aErrNone);
  EXPECT_EQ(found.size, 5u);
  EXPECT_EQ(found.size64, big);
}

TEST(DirectoryList, LongPathsAreNotLost) {
  tstest::TempDir tmp;
  // Deeper than 2048 characters in all, each name within the system's limit.
  std::string dir = tmp.path();
  while (dir.size() < 2300) dir += "/" + std::string(200, 'd');
  ASSERT_EQ(aDirectory_Ensure(dir.c_str(), 0755), aErrNone);
  tstest::writeFile(dir + "/leaf", "abc");
  Seen seen;
  ASSERT_EQ(aDirectory_List(dir.c_str(), collect, &seen), aErrNone);
  EXPECT_EQ(seen.entries["leaf"], std::make_pair(uint64_t{3}, false));
}

// ---- CWD, executable, home ----

TEST(DirectoryProcessPaths, CwdAndExecutable) {
  char buffer[PATH_MAX];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), fs::current_path().string());
  char tiny[2];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);
  EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);

  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), fs::read_symlink("/proc/self/exe").string());
  char cut[5];
  ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
  EXPECT_EQ(std::string(cut), std::string(buffer).substr(0, 4));
  EXPECT_EQ(aDirectory_ExecutableFilePath(cut, 0), aErrParam);
}

TEST(DirectoryHome, ChoosesPasswordEntryThenHome) {
  struct {
    const char* passwd;
    const char* env;
    size_t size;
    aErr result;
    const char* out;
  } const cases[] = {
      {"/home/pw", "/home/env", 64, aErrNone, "/home/pw"},
      {nullptr, "/home/env", 64, aErrNone, "/home/env"},
      {"", "/home/env", 64, aErrNone, "/home/env"},
      {nullptr, nullptr, 64, aErrNotFound, ""},
      {nullptr, "", 64, aErrNotFound, ""},
      {"/home/pw", nullptr, 9, aErrNone, "/home/pw"},  // exactly fits
      {"/home/pw", nullptr, 8, aErrOverrun, ""},       // never a cut path
  };
  for (const auto& c : cases) {
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aDirectory_ChooseHomeDirectory(c.passwd, c.env, buffer, c.size), c.result);
    EXPECT_STREQ(buffer, c.out);
  }
  EXPECT_EQ(aDirectory_ChooseHomeDirectory("/a", nullptr, nullptr, 4), aErrParam);
}

TEST(DirectoryHome, ProcessUserFromPasswordDatabase) {
  char buffer[PATH_MAX];
  ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  const struct passwd* pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_dir[0] != '\0')
    EXPECT_STREQ(buffer, pw->pw_dir);
  else
    EXPECT_STREQ(buffer, getenv("HOME"));
}

TEST(DirectoryHome, UserWithoutEntryFallsBackToHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a password entry";
  uid_t unused = 54321;
  while (getpwuid(unused) != nullptr) ++unused;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only in the child: the test process keeps its own identity and HOME.
    if (setuid(unused) != 0) _exit(77);
    setenv("HOME", "/fallback/home", 1);
    char buffer[64];
    if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone) _exit(11);
    if (strcmp(buffer, "/fallback/home") != 0) _exit(12);
    unsetenv("HOME");
    if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNotFound) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this system does not let root change its user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
