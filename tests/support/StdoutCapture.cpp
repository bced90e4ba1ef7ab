#include "support/StdoutCapture.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace tstest {

namespace {
const std::string END_MARK = "\x01<end-of-capture>\x01";
}

StdoutCapture::StdoutCapture(Kind kind) {
  fflush(stdout);
  int fds[2];
  if (kind == Kind::Terminal) {
    if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    termios tio;
    tcgetattr(fds[1], &tio);
    cfmakeraw(&tio);
    tcsetattr(fds[1], TCSANOW, &tio);
  } else {
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  }
  reader_ = fds[0];
  writer_ = fds[1];
  fcntl(reader_, F_SETFL, fcntl(reader_, F_GETFL) | O_NONBLOCK);
  saved_ = dup(STDOUT_FILENO);
  dup2(writer_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  close(writer_);
  close(reader_);
}

std::string StdoutCapture::collect(std::chrono::milliseconds timeout) {
  fflush(stdout);
  ssize_t w = write(STDOUT_FILENO, END_MARK.data(), END_MARK.size());
  (void)w;
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (data.size() < END_MARK.size() ||
         data.compare(data.size() - END_MARK.size(), END_MARK.size(), END_MARK) != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                       std::chrono::steady_clock::now());
    if (left.count() <= 0) return data;
    pollfd p{reader_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(reader_, buf, sizeof buf);
    if (n > 0) data.append(buf, static_cast<size_t>(n));
  }
  data.resize(data.size() - END_MARK.size());
  return data;
}

}  // namespace tstest
