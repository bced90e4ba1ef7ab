// The serial stream over a pseudo-terminal pair: open errors, raw settings,
// non-waiting reads, waiting for input, writes, and the attributes restored
// on destroy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/aStreamSerial.h"
#include "support/PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Started with this variable naming a path, the program only tries to open
// that path as a serial port and exits 0 when permission was refused.
constexpr const char* kProbeVariable = "TS_SERIAL_PERMISSION_PROBE";
const int kPermissionProbe = [] {
  const char* path = std::getenv(kProbeVariable);
  if (path == nullptr) return 0;
  aStreamRef s = nullptr;
  aErr err = aStream_CreateSerial(path, 6, 0, 0, 0, &s);
  _exit(err == aErrPermission && s == nullptr ? 0 : 1);
}();

TEST(SerialStream, RefusesBadArguments) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const char* path = pty.slavePath().c_str();
  aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateSerial(path, 6, 0, 0, 0, nullptr), aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, 6, 0, 2, 0, &s), aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, 6, 0, 0, 2, &s), aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, 8, 0, 0, 0, &s), aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, -1, 0, 0, 0, &s), aErrResource);
  std::string longPath(aSERIAL_PATHMAX, 'x');
  EXPECT_EQ(aStream_CreateSerial(longPath.c_str(), 6, 0, 0, 0, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
}

TEST(SerialStream, OpenErrorsLeaveNoStream) {
  aStreamRef s = nullptr;
  EXPECT_EQ(aStream_CreateSerial("/nonexistent/ttyTS0", 6, 0, 0, 0, &s), aErrNotFound);
  EXPECT_EQ(s, nullptr);

  // A path that is not a terminal cannot take terminal settings.
  char file[] = "/tmp/serial_stream_test_XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(aStream_CreateSerial(file, 6, 0, 0, 0, &s), aErrIO);
  EXPECT_EQ(s, nullptr);

  // Permission: root passes every permission check, so the attempt runs in
  // a fresh process of this program that gives up root first (see the probe
  // above); fork alone would leave the child inside a threaded process.
  ASSERT_EQ(chmod(file, 0), 0);
  std::string env = std::string(kProbeVariable) + "=" + file;
  char* const childArgs[] = {const_cast<char*>("/proc/self/exe"), nullptr};
  char* const childEnv[] = {env.data(), nullptr};
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
    execve("/proc/self/exe", childArgs, childEnv);
    _exit(91);
  }
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; i++) usleep(10000);
  if (status == -1) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the probe did not finish";
  }
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  unlink(file);
}

TEST(SerialStream, AppliesRawSettingsAndRestoresThemOnDestroy) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  struct termios before {};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  // A cooked line at 9600 baud, as a port might be left by another program.
  before.c_lflag |= ICANON | ECHO;
  before.c_oflag |= OPOST;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);

  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &s), aErrNone);
  ASSERT_NE(s, nullptr);
  struct termios raw {};
  ASSERT_EQ(tcgetattr(pty.slave(), &raw), 0);
  EXPECT_EQ(cfgetispeed(&raw), B115200);
  EXPECT_EQ(cfgetospeed(&raw), B115200);
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | INLCR), 0u);
  EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(raw.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(raw.c_cc[VMIN], 0);
  EXPECT_EQ(raw.c_cc[VTIME], 0);

  ASSERT_EQ(aStream_Destroy(&s), aErrNone);
  EXPECT_EQ(s, nullptr);
  struct termios after {};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetispeed(&after), B9600);
  EXPECT_EQ(cfgetospeed(&after), B9600);
}

TEST(SerialStream, EvenParityAndRate) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 2, 1, 1, 1, &s), aErrNone);
  struct termios t {};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  // The pseudo-terminal driver keeps its character frame at 8N1 whatever is
  // asked, so only the input side of even parity can be seen here.
  EXPECT_NE(t.c_iflag & IGNPAR, 0u);
  aStream_Destroy(&s);
}

struct RateCase {
  int32_t index;
  speed_t speed;
};

class SerialRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(SerialRate, BothDirectionsAtTheIndexedRate) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), GetParam().index, 0, 0, 0, &s), aErrNone);
  struct termios t {};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetispeed(&t), GetParam().speed);
  EXPECT_EQ(cfgetospeed(&t), GetParam().speed);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Table, SerialRate,
                         ::testing::Values(RateCase{0, B2400}, RateCase{1, B4800},
                                           RateCase{2, B9600}, RateCase{3, B19200},
                                           RateCase{4, B38400}, RateCase{5, B57600},
                                           RateCase{6, B115200}, RateCase{7, B230400}));

TEST(SerialStream, FarEndHangUp) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &s), aErrNone);
  pty.closeMaster();
  // The hang-up ends a wait at once; a hung-up terminal reads as empty, so
  // get still answers "no byte", and the failure shows in the next write.
  auto start = Clock::now();
  EXPECT_EQ(aStream_Wait(s, 5000), aErrNone);
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
  const uint8_t packet[] = {0x04, 0x00};
  EXPECT_EQ(aStream_Write(s, packet, sizeof packet), aErrIO);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, ReadsNeverWaitAndWaitSleepsUntilInput) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &s), aErrNone);

  uint8_t byte = 0;
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
  EXPECT_LT(Clock::now() - start, milliseconds(50));

  start = Clock::now();
  EXPECT_EQ(aStream_Wait(s, 80), aErrTimeout);
  EXPECT_GE(Clock::now() - start, milliseconds(75));

  // Bytes arrive unchanged: no translation of CR, LF or control characters.
  const std::string sent("\x04\x03\r\n\x11\x13\x7f", 7);
  ASSERT_TRUE(pty.send(sent));
  ASSERT_EQ(aStream_Wait(s, 5000), aErrNone);
  uint8_t got[7] = {};
  auto deadline = Clock::now() + std::chrono::seconds(5);
  aErr err = aErrNotReady;
  while (err == aErrNotReady && Clock::now() < deadline) {
    err = aStream_Read(s, got, sizeof got);
    if (err == aErrNotReady) aStream_Wait(s, 100);
  }
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 7), sent);
  EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
  aStream_Destroy(&s);
}

TEST(SerialStream, WritesReachTheFarEndUnchanged) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &s), aErrNone);
  const uint8_t packet[] = {0xAD, 0x00, 0x0A, 0x0D, 0x04};
  ASSERT_EQ(aStream_Write(s, packet, sizeof packet), aErrNone);
  ASSERT_EQ(aStream_Write(s, packet, 1), aErrNone);  // through put
  EXPECT_EQ(pty.receive(6, 5000), std::string("\xAD\x00\x0A\x0D\x04\xAD", 6));
  aStream_Destroy(&s);
}

TEST(SerialStream, WriteToAFarEndThatStopsReadingGivesUp) {
  tstest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 7, 0, 0, 0, &s), aErrNone);
  // Far more than the terminal buffers; nobody reads the master side.
  std::string big(256 << 10, 'x');
  auto start = Clock::now();
  EXPECT_EQ(aStream_Write(s, reinterpret_cast<const uint8_t*>(big.data()), big.size()), aErrIO);
  auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(aSERIAL_WRITE_TIMEOUT_MS));
  EXPECT_LT(took, milliseconds(aSERIAL_WRITE_TIMEOUT_MS + 5000));
  aStream_Destroy(&s);
}

}  // namespace
