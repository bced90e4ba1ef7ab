#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/aFile.h"
#include "support/Process.h"

namespace fs = std::filesystem;

namespace {

// A temporary folder and a file in it holding `content`.
class FileTest : public testing::Test {
 protected:
  tstest::TempDir tmp;
  std::string path(const char* name = "f") const { return tmp.file(name); }
  aFileRef openWith(const std::string& content, aFileMode mode) {
    tstest::writeFile(path(), content);
    return aFile_Open(path().c_str(), mode);
  }
};

// Closes a handle whatever the test's outcome.
struct Closer {
  aFileRef& f;
  ~Closer() {
    if (f) aFile_Close(&f);
  }
};

}  // namespace

TEST_F(FileTest, ExistsIsForFilesOnly) {
  tstest::writeFile(path(), "x");
  EXPECT_TRUE(aFile_Exists(path().c_str()));
  EXPECT_FALSE(aFile_Exists(tmp.path().c_str()));
  EXPECT_FALSE(aFile_Exists(path("missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(std::string(aFILE_NAMEMAXCHARS + 1, 'a').c_str()));
}

TEST_F(FileTest, OpenRefusals) {
  tstest::writeFile(path(), "x");
  struct {
    const char* path;
    int mode;
  } const cases[] = {
      {nullptr, aFileModeReadOnly},
      {"", aFileModeReadOnly},
      {"/no/such/dir/file", aFileModeWriteOnly},
      {"/no/such/file", aFileModeReadOnly},
      {"/no/such/file", aFileModeAppend},
      {tmp.path().c_str(), aFileModeReadOnly},  // a directory
      {tmp.path().c_str(), aFileModeAppend},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aFile_Open(c.path, static_cast<aFileMode>(c.mode)), nullptr)
        << (c.path ? c.path : "(null)") << " mode " << c.mode;
  }
  EXPECT_EQ(aFile_Open(path().c_str(), aFileModeUnknown), nullptr);
  EXPECT_EQ(aFile_Open(path().c_str(), static_cast<aFileMode>(99)), nullptr);
  const std::string tooLong = "/" + std::string(aFILE_NAMEMAXCHARS, 'a');
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWriteOnly), nullptr);
}

TEST_F(FileTest, CloseClearsTheHandleAndRefusesTwice) {
  aFileRef f = openWith("x", aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(aVALIDFILE(f));
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  EXPECT_FALSE(aVALIDFILE(nullptr));
}

TEST_F(FileTest, WriteThenReadBack) {
  aFileRef f = aFile_Open(path().c_str(), aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  size_t n = 99;
  EXPECT_EQ(aFile_Write(f, "hello ", 6, &n), aErrNone);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(aFile_Printf(f, "%s %d\n", "world", 42), aErrNone);
  EXPECT_EQ(aFile_Write(f, "x", 0, &n), aErrNone);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(tstest::readFile(path()), "hello world 42\n");

  f = aFile_Open(path().c_str(), aFileModeWriteOnly);  // truncates
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(tstest::readFile(path()), "");
}

TEST_F(FileTest, ReadCountsAndEnd) {
  aFileRef f = openWith("0123456789abc", aFileModeReadOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  char buffer[16];
  size_t n = 0;
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrNone);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(buffer, n), "0123456789");
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrNone);  // 3 remain: a short read
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Read(f, buffer, 0, &n), aErrNone);
  EXPECT_EQ(aFile_Read(f, buffer, 10, nullptr), aErrEOF);
}

TEST_F(FileTest, ModesAndArgumentChecks) {
  char buffer[4];
  size_t n;
  aFileRef r = openWith("abc", aFileModeReadOnly);
  Closer cr{r};
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(aFile_Write(r, "x", 1, &n), aErrMode);
  EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
  EXPECT_EQ(aFile_Read(r, nullptr, 1, &n), aErrParam);

  aFileRef w = aFile_Open(path("w").c_str(), aFileModeWriteOnly);
  Closer cw{w};
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(aFile_Read(w, buffer, 1, &n), aErrMode);
  EXPECT_EQ(aFile_ReadLine(w, buffer, sizeof buffer, &n), aErrMode);
  EXPECT_EQ(aFile_ReadLine(w, nullptr, 0, &n), aErrMode);  // the mode is judged first
  EXPECT_EQ(aFile_ReadLine(r, buffer, 0, &n), aErrParam);
  EXPECT_EQ(aFile_Write(w, nullptr, 1, &n), aErrParam);

  // Every operation refuses a null handle.
  size_t value;
  EXPECT_EQ(aFile_Read(nullptr, buffer, 1, &n), aErrParam);
  EXPECT_EQ(aFile_Write(nullptr, "x", 1, &n), aErrParam);
  EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
  EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
  EXPECT_EQ(aFile_GetSize(r, nullptr), aErrParam);
  EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, &n), aErrParam);
  EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
  EXPECT_EQ(aFile_GetPosition(nullptr, &value), aErrParam);
  EXPECT_EQ(aFile_GetPosition(r, nullptr), aErrParam);
}

TEST_F(FileTest, AppendWritesAtTheEndAndReads) {
  aFileRef f = openWith("abc", aFileModeAppend);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  size_t at = 99;
  ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(aFile_Write(f, "de", 2, nullptr), aErrNone);
  // Read after write on the same stream, then write again: each lands right.
  ASSERT_EQ(aFile_Seek(f, 0, aSeekStart), aErrNone);
  char buffer[8] = {};
  size_t n = 0;
  ASSERT_EQ(aFile_Read(f, buffer, 2, &n), aErrNone);
  EXPECT_EQ(std::string(buffer, n), "ab");
  EXPECT_EQ(aFile_Write(f, "f", 1, nullptr), aErrNone);
  ASSERT_EQ(aFile_Read(f, buffer, 8, &n), aErrEOF);  // writing moved to the end
  ASSERT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(tstest::readFile(path()), "abcdef");
}

TEST_F(FileTest, SeekTargets) {
  aFileRef f = openWith("0123456789", aFileModeReadOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  struct {
    long offset;
    aFileSeekMode origin;
    aErr result;
    size_t position;  // afterwards
  } const cases[] = {
      {4, aSeekStart, aErrNone, 4},    {2, aSeekCurrent, aErrNone, 6},
      {-6, aSeekCurrent, aErrNone, 0}, {-1, aSeekCurrent, aErrRange, 0},
      {0, aSeekEnd, aErrNone, 10},     {1, aSeekEnd, aErrRange, 10},
      {-10, aSeekEnd, aErrNone, 0},    {-11, aSeekEnd, aErrRange, 0},
      {10, aSeekStart, aErrNone, 10},  {11, aSeekStart, aErrRange, 10},
      {3, static_cast<aFileSeekMode>(7), aErrNone, 3},  // any other origin counts from the start
      {LONG_MAX, aSeekEnd, aErrRange, 3},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(aFile_Seek(f, k.offset, k.origin), k.result) << k.offset << " from " << k.origin;
    size_t at = 99;
    ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
    EXPECT_EQ(at, k.position) << k.offset << " from " << k.origin;
  }
  char ch;
  size_t n;
  ASSERT_EQ(aFile_Read(f, &ch, 1, &n), aErrNone);
  EXPECT_EQ(ch, '3');
}

TEST_F(FileTest, SizeKeepsThePositionAndCountsUnflushedData) {
  aFileRef f = aFile_Open(path().c_str(), aFileModeWriteOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  size_t size = 99, at = 99;
  ASSERT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 0u);  // position 0 is reported, not left stale
  ASSERT_EQ(aFile_Write(f, "12345", 5, nullptr), aErrNone);
  ASSERT_EQ(aFile_Seek(f, 2, aSeekStart), aErrNone);
  ASSERT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 5u);
  ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 2u);
}

TEST_F(FileTest, ReadLineCases) {
  struct {
    const char* content;
    size_t size;
    aErr result;
    const char* line;
  } const cases[] = {
      {"abcd\n", 5, aErrOverrun, "abcd"},
      {"abc\n", 5, aErrNone, "abc\n"},
      {"abcd", 5, aErrNone, "abcd"},  // last line without line end that just fits
      {"ab", 5, aErrNone, "ab"},
      {"abcdef", 5, aErrOverrun, "abcd"},
      {"\n", 5, aErrNone, "\n"},
      {"", 5, aErrEOF, ""},
      {"", 1, aErrEOF, ""},
  };
  for (const auto& k : cases) {
    aFileRef f = openWith(k.content, aFileModeReadOnly);
    Closer c{f};
    ASSERT_NE(f, nullptr);
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(f, buffer, k.size, &length), k.result) << k.content;
    EXPECT_STREQ(buffer, k.line) << k.content;
    EXPECT_EQ(length, strlen(k.line));
    EXPECT_EQ(buffer[k.size], 'x') << "wrote past the given size";
  }
}

TEST_F(FileTest, ReadLineWalksAFileAndLeavesTheRestOfALongLine) {
  aFileRef f = openWith("first\nsecond line is long\nlast", aFileModeReadOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  char buffer[8];
  size_t length;
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "first\n");
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrOverrun);
  EXPECT_STREQ(buffer, "second ");
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrOverrun);
  EXPECT_STREQ(buffer, "line is");
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, " long\n");
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "last");
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrEOF);
  EXPECT_EQ(aFile_ReadLine(f, buffer, 0, &length), aErrParam);
  EXPECT_EQ(aFile_ReadLine(f, nullptr, 8, &length), aErrParam);
}

TEST_F(FileTest, UnbufferedWritesReachTheFileAtOnce) {
  aFileRef f = aFile_Open(path().c_str(), aFileModeWriteOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
  ASSERT_EQ(aFile_Printf(f, "now"), aErrNone);
  EXPECT_EQ(tstest::readFile(path()), "now");
}

TEST_F(FileTest, ModesAndOriginsByNumber) {
  tstest::writeFile(path(), "0123");
  struct {
    int mode;
    bool opens;
  } const modes[] = {{0, true}, {1, true}, {2, true}, {3, false}, {-1, false}};
  for (const auto& m : modes) {
    aFileRef f = aFile_Open(path().c_str(), m.mode);
    EXPECT_EQ(f != nullptr, m.opens) << m.mode;
    if (f) aFile_Close(&f);
    tstest::writeFile(path(), "0123");
  }
  aFileRef f = aFile_Open(path().c_str(), 0);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  size_t at = 99;
  EXPECT_EQ(aFile_Seek(f, -1, 2), aErrNone);
  ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(aFile_Seek(f, 1, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(f, -2, 1), aErrNone);
  ASSERT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 1u);
}

TEST_F(FileTest, ReadErrorsAreNotTakenForTheEnd) {
  // Reading this process's memory at address 0 fails with an I/O error.
  aFileRef f = aFile_Open("/proc/self/mem", aFileModeReadOnly);
  if (f == nullptr) GTEST_SKIP() << "no /proc/self/mem";
  Closer c{f};
  char buffer[8];
  size_t n = 99;
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &n), aErrIO);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &n), aErrIO);
  EXPECT_EQ(n, 0u);
}

TEST_F(FileTest, FailedWritesAreReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  aFileRef f = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  // Buffered data that cannot be written out makes the close fail.
  EXPECT_EQ(aFile_Write(f, "abc", 3, nullptr), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrIO);
  EXPECT_EQ(f, nullptr);

  f = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
  size_t n = 99;
  EXPECT_EQ(aFile_Write(f, "abc", 3, &n), aErrIO);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Printf(f, "abc"), aErrIO);
  aFile_Close(&f);
}

TEST_F(FileTest, DeleteResults) {
  tstest::writeFile(path(), "x");
  EXPECT_EQ(aFile_Delete(path().c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(path()));
  EXPECT_EQ(aFile_Delete(path().c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(std::string(aFILE_NAMEMAXCHARS + 1, 'a').c_str()), aErrFileNameLength);
  fs::create_directory(path("dir"));
  EXPECT_EQ(aFile_Delete(path("dir").c_str()), aErrIO);
  EXPECT_TRUE(fs::is_directory(path("dir")));
  if (geteuid() != 0) {
    tstest::writeFile(path("dir/locked"), "x");
    ASSERT_EQ(chmod(path("dir").c_str(), 0500), 0);
    EXPECT_EQ(aFile_Delete(path("dir/locked").c_str()), aErrPermission);
    chmod(path("dir").c_str(), 0700);
  }
}

TEST_F(FileTest, CountsIntoOtherIntegerTypes) {
  aFileRef f = openWith("0123456789\nab", aFileModeReadOnly);
  Closer c{f};
  ASSERT_NE(f, nullptr);
  uint32_t size = 99;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 13u);
  char buffer[16];
  uint32_t got = 99;
  EXPECT_EQ(aFile_Read(f, buffer, 4, &got), aErrNone);
  EXPECT_EQ(got, 4u);
  long at = -1;
  EXPECT_EQ(aFile_GetPosition(f, &at), aErrNone);
  EXPECT_EQ(at, 4);
  int length = -1;
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_EQ(length, 7);
  EXPECT_STREQ(buffer, "456789\n");
  unsigned short left = 9;
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &left), aErrNone);
  EXPECT_EQ(left, 2u);
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &left), aErrEOF);
  EXPECT_EQ(left, 0u);
  EXPECT_EQ(aFile_GetSize(f, static_cast<uint32_t*>(nullptr)), aErrParam);

  aFileRef w = aFile_Open(path("w").c_str(), aFileModeWriteOnly);
  Closer cw{w};
  ASSERT_NE(w, nullptr);
  uint32_t written = 0;
  EXPECT_EQ(aFile_Write(w, "xyz", 3, &written), aErrNone);
  EXPECT_EQ(written, 3u);
  // A value too large for the caller's type is refused, not cut.
  ASSERT_EQ(aFile_Write(w, std::string(300, 'z').data(), 300, &written), aErrNone);
  uint8_t small = 7;
  EXPECT_EQ(aFile_GetSize(w, &small), aErrRange);
  EXPECT_EQ(small, 0);
}
