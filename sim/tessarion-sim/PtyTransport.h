#pragma once
// The module on a serial line, as a pseudo-terminal: the host opens the
// slave path as it would a serial port. The simulator keeps the slave open
// itself so that the line stays up between hosts.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Session.h"

namespace tsim {

class PtyTransport : public HostLink {
 public:
  PtyTransport(EventLoop& loop, Module& module, Faults& faults, int heartbeatMs);
  ~PtyTransport() override;

  // Opens the pseudo-terminal; prints "pty PATH". With a link path, a
  // symbolic link to the slave is made there as well.
  bool open(const std::string& linkPath, std::string& error);
  const std::string& path() const { return path_; }

  // A serial module that reboots goes silent for the time given and forgets
  // its host.
  void restart(int unreachableMs);

  void send(const std::vector<std::uint8_t>& bytes) override;
  void drop() override;
  const char* kind() const override { return "pty"; }

  Session& session() { return *session_; }

 private:
  void onReadable(short revents);
  void flush();

  EventLoop& loop_;
  Module& module_;
  std::unique_ptr<Session> session_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string linkPath_;
  std::vector<std::uint8_t> pending_;
  EventLoop::TimerId restartTimer_ = 0;
};

}  // namespace tsim
