// Opening names that are not regular files: the open answers at once and
// refuses what cannot be read or written as a file.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/aFile.h"
#include "support/NamedPipe.h"
#include "support/Process.h"

namespace {

void expectRefusedInEveryMode(const std::string& path) {
  for (aFileMode mode : {aFileModeReadOnly, aFileModeWriteOnly, aFileModeAppend}) {
    SCOPED_TRACE(static_cast<int>(mode));
    aFileRef f = aFile_Open(path.c_str(), mode);
    EXPECT_EQ(f, nullptr);
    if (f != nullptr) aFile_Close(&f);
  }
}

}  // namespace

TEST(FileOpenNonRegular, NamedPipeIsRefusedWithoutWaiting) {
  tstest::TempDir tmp;
  const std::string pipe = tmp.file("1200.bird");
  ASSERT_TRUE(tstest::makeNamedPipe(pipe));
  // With nobody at the other end a blocking open would never return.
  EXPECT_TRUE(tstest::finishesWithin(std::chrono::seconds(5), {pipe}, [&] { expectRefusedInEveryMode(pipe); }));
  EXPECT_TRUE(aFile_Exists(pipe.c_str()));  // it is there; it is just no file to open
  EXPECT_EQ(std::filesystem::status(pipe).type(), std::filesystem::file_type::fifo);
}

TEST(FileOpenNonRegular, DirectoryAndSocketAreRefused) {
  tstest::TempDir tmp;
  expectRefusedInEveryMode(tmp.path());

  const std::string sock = tmp.file("s");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
  expectRefusedInEveryMode(sock);
  close(fd);
}

TEST(FileOpenNonRegular, RegularFilesAndCharacterDevicesStillOpen) {
  tstest::TempDir tmp;
  tstest::writeFile(tmp.file("f"), "abc");
  aFileRef f = aFile_Open(tmp.file("f").c_str(), aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  char buffer[8];
  size_t n = 0;
  // Reads block as usual once open: all three bytes arrive, then the end.
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &n), aErrNone);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &n), aErrEOF);
  aFile_Close(&f);

  f = aFile_Open(tmp.file("new").c_str(), aFileModeAppend);  // created when missing
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Write(f, "xy", 2, nullptr), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(tstest::readFile(tmp.file("new")), "xy");

  f = aFile_Open("/dev/null", aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Write(f, "x", 1, nullptr), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}
