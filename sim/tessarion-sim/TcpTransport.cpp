#include "TcpTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLog.h"

namespace tsim {

namespace {
// Output held for a host that does not read is bounded; a real module
// would drop it too.
constexpr std::size_t kMaxPending = 1 << 20;
}  // namespace

TcpTransport::TcpTransport(EventLoop& loop, Module& module, Faults& faults, int heartbeatMs)
    : loop_(loop), module_(module), session_(std::make_unique<Session>(loop, module, faults, *this, heartbeatMs)) {}

TcpTransport::~TcpTransport() {
  if (restartTimer_) loop_.cancel(restartTimer_);
  closeConnection(true);
  closeListener();
}

bool TcpTransport::listenOn(const std::string& address, std::uint16_t port, std::string& error) {
  address_ = address;
  port_ = port;
  if (!openListener(error)) return false;
  announce("tcp port %u", port_);
  return true;
}

bool TcpTransport::openListener(std::string& error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_);
  if (inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) {
    error = "not an IPv4 address: " + address_;
    return false;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
    error = "cannot listen on " + address_ + ":" + std::to_string(port_) + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  listenFd_ = fd;
  loop_.watch(listenFd_, POLLIN, [this](short) { onAccept(); });
  return true;
}

void TcpTransport::closeListener() {
  if (listenFd_ < 0) return;
  loop_.unwatch(listenFd_);
  close(listenFd_);
  listenFd_ = -1;
}

void TcpTransport::onAccept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;  // spurious wake-up, or the host gave up already
  if (connFd_ >= 0) {
    event("replacing connection");
    closeConnection(true);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connFd_ = fd;
  pending_.clear();
  loop_.watch(connFd_, POLLIN, [this](short revents) { onConnection(revents); });
  session_->connected();
}

void TcpTransport::onConnection(short revents) {
  if (connFd_ < 0) return;
  if (revents & POLLOUT) flush();
  if (connFd_ < 0) return;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    std::uint8_t buf[4096];
    ssize_t n = recv(connFd_, buf, sizeof buf, 0);
    if (n > 0) {
      session_->bytesIn(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeConnection(false);
    }
  }
}

void TcpTransport::send(const std::vector<std::uint8_t>& bytes) {
  if (connFd_ < 0) return;
  if (pending_.size() + bytes.size() > kMaxPending) {
    event("output dropped %zu", bytes.size());
    return;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  flush();
}

void TcpTransport::flush() {
  while (!pending_.empty() && connFd_ >= 0) {
    ssize_t n = ::send(connFd_, pending_.data(), pending_.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    closeConnection(false);
    return;
  }
  if (connFd_ >= 0) loop_.setEvents(connFd_, pending_.empty() ? POLLIN : (POLLIN | POLLOUT));
}

void TcpTransport::closeConnection(bool reset) {
  if (connFd_ < 0) return;
  if (reset) {
    linger lg{1, 0};
    setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  loop_.unwatch(connFd_);
  close(connFd_);
  connFd_ = -1;
  pending_.clear();
  session_->disconnected();
}

void TcpTransport::drop() {
  event("drop tcp");
  closeConnection(true);
}

void TcpTransport::restart(int unreachableMs) {
  event("restart %d", unreachableMs);
  closeConnection(true);
  closeListener();
  module_.reboot();
  if (restartTimer_) loop_.cancel(restartTimer_);
  restartTimer_ = loop_.after(std::chrono::milliseconds(unreachableMs), [this] {
    restartTimer_ = 0;
    std::string error;
    if (openListener(error)) {
      event("listening again");
    } else {
      // The port may still be held by a socket in the kernel; try again.
      event("cannot listen yet: %s", error.c_str());
      restart(100);
    }
  });
}

}  // namespace tsim
