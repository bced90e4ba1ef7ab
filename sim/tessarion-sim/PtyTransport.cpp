#include "PtyTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLog.h"

namespace tsim {

namespace {
// Nobody may be reading the line; what does not fit is lost, as on a wire.
constexpr std::size_t kMaxPending = 64 * 1024;
}  // namespace

PtyTransport::PtyTransport(EventLoop& loop, Module& module, Faults& faults, int heartbeatMs)
    : loop_(loop), module_(module), session_(std::make_unique<Session>(loop, module, faults, *this, heartbeatMs)) {}

PtyTransport::~PtyTransport() {
  if (restartTimer_) loop_.cancel(restartTimer_);
  session_->disconnected();
  if (master_ >= 0) {
    loop_.unwatch(master_);
    close(master_);
  }
  if (slave_ >= 0) close(slave_);
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
}

bool PtyTransport::open(const std::string& linkPath, std::string& error) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  // Raw on our side too, so bytes written before the host opens the line are
  // not echoed back to us or translated.
  termios t{};
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  path_ = name;
  if (!linkPath.empty()) {
    unlink(linkPath.c_str());
    if (symlink(path_.c_str(), linkPath.c_str()) != 0) {
      error = "cannot link " + linkPath + ": " + std::strerror(errno);
      return false;
    }
    linkPath_ = linkPath;
  }
  loop_.watch(master_, POLLIN, [this](short revents) { onReadable(revents); });
  announce("pty %s", path_.c_str());
  // The line is there from the start; the host may open it at any time.
  session_->connected();
  return true;
}

void PtyTransport::onReadable(short revents) {
  if (revents & POLLOUT) flush();
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
  std::uint8_t buf[4096];
  ssize_t n = read(master_, buf, sizeof buf);
  if (n > 0) {
    // Input that arrives while "rebooting" is lost, as on a real line.
    if (!restartTimer_) session_->bytesIn(buf, static_cast<std::size_t>(n));
  }
}

void PtyTransport::send(const std::vector<std::uint8_t>& bytes) {
  if (restartTimer_) return;
  if (pending_.size() + bytes.size() > kMaxPending) return;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  flush();
}

void PtyTransport::flush() {
  while (!pending_.empty()) {
    ssize_t n = write(master_, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + n);
      continue;
    }
    break;  // full: wait for room
  }
  loop_.setEvents(master_, pending_.empty() ? POLLIN : (POLLIN | POLLOUT));
}

void PtyTransport::drop() {
  // A serial line cannot be dropped; the nearest thing is a module that
  // forgets its host at once.
  restart(0);
}

void PtyTransport::restart(int unreachableMs) {
  event("restart %d", unreachableMs);
  session_->disconnected();
  module_.reboot();
  pending_.clear();
  tcflush(master_, TCIOFLUSH);
  if (restartTimer_) loop_.cancel(restartTimer_);
  restartTimer_ = loop_.after(std::chrono::milliseconds(unreachableMs), [this] {
    restartTimer_ = 0;
    session_->connected();
  });
}

}  // namespace tsim
