#pragma once
// The module reachable over TCP: it listens on an address and port and
// serves one host connection at a time (a newer connection replaces the
// older one, as a module that lost its host would accept the next).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Session.h"

namespace tsim {

class TcpTransport : public HostLink {
 public:
  TcpTransport(EventLoop& loop, Module& module, Faults& faults, int heartbeatMs);
  ~TcpTransport() override;

  // Binds and listens; port 0 takes a free port. Prints "tcp port N".
  bool listenOn(const std::string& address, std::uint16_t port, std::string& error);
  std::uint16_t port() const { return port_; }

  // Closes the connection with a reset, stops listening for the time given,
  // then listens on the same port again, as a rebooting module does.
  void restart(int unreachableMs);

  void send(const std::vector<std::uint8_t>& bytes) override;
  void drop() override;
  const char* kind() const override { return "tcp"; }

  Session& session() { return *session_; }

 private:
  bool openListener(std::string& error);
  void closeListener();
  void onAccept();
  void onConnection(short revents);
  void closeConnection(bool reset);
  void flush();

  EventLoop& loop_;
  Module& module_;
  std::unique_ptr<Session> session_;
  std::string address_;
  std::uint16_t port_ = 0;
  int listenFd_ = -1;
  int connFd_ = -1;
  std::vector<std::uint8_t> pending_;
  EventLoop::TimerId restartTimer_ = 0;
};

}  // namespace tsim
