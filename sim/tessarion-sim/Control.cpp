#include "Control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLog.h"

namespace tsim {

Control::~Control() {
  for (auto& [fd, _] : clients_) {
    loop_.unwatch(fd);
    close(fd);
  }
  if (listenFd_ >= 0) {
    loop_.unwatch(listenFd_);
    close(listenFd_);
  }
}

bool Control::listenOn(std::uint16_t port, std::string& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
    error = std::string("cannot listen for control: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  listenFd_ = fd;
  loop_.watch(fd, POLLIN, [this](short) { onAccept(); });
  announce("control port %u", ntohs(sa.sin_port));
  return true;
}

void Control::onAccept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  clients_[fd];
  loop_.watch(fd, POLLIN, [this, fd](short) { onClient(fd); });
}

void Control::closeClient(int fd) {
  loop_.unwatch(fd);
  close(fd);
  clients_.erase(fd);
}

void Control::onClient(int fd) {
  char buf[1024];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    closeClient(fd);
    return;
  }
  if (n < 0) return;
  std::string& line = clients_[fd];
  line.append(buf, static_cast<std::size_t>(n));
  if (line.size() > 4096 && line.find('\n') == std::string::npos) {
    closeClient(fd);  // nobody sends control lines this long
    return;
  }
  std::size_t pos;
  while ((pos = line.find('\n')) != std::string::npos) {
    std::string cmd = line.substr(0, pos);
    line.erase(0, pos + 1);
    if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
    std::string answer = handler_(cmd) + "\n";
    // Answers are short; a client that cannot take them is dropped.
    if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) {
      closeClient(fd);
      return;
    }
  }
}

}  // namespace tsim
