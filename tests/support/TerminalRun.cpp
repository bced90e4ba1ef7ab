#include "support/TerminalRun.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace tstest {

RunResult runOnTerminal(const std::vector<std::string>& argv, const RunOptions& opts) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {};
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  int errP[2];
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nullFd < 0 || pipe2(errP, O_CLOEXEC) != 0) {
    if (nullFd >= 0) close(nullFd);
    close(master);
    close(slave);
    return {};
  }
  pid_t pid = spawn(argv, opts, nullFd, slave, errP[1]);
  close(nullFd);
  close(slave);
  close(errP[1]);
  if (pid < 0) {
    close(master);
    close(errP[0]);
    return {};
  }
  RunOptions noInput = opts;
  noInput.input.clear();
  return collect(pid, master, errP[0], -1, noInput);
}

}  // namespace tstest
