#pragma once
// A line-based control channel on a loopback TCP port, through which tests
// and users switch faults and trigger restarts while the module runs.
// One command per line; each gets one answer line, "ok ..." or "error ...".
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "EventLoop.h"

namespace tsim {

class Control {
 public:
  // Takes a command line and returns the answer line (without newline).
  using Handler = std::function<std::string(const std::string& line)>;

  Control(EventLoop& loop, Handler handler) : loop_(loop), handler_(std::move(handler)) {}
  ~Control();

  // Listens on 127.0.0.1; port 0 takes a free port. Prints "control port N".
  bool listenOn(std::uint16_t port, std::string& error);

 private:
  void onAccept();
  void onClient(int fd);
  void closeClient(int fd);

  EventLoop& loop_;
  Handler handler_;
  int listenFd_ = -1;
  std::map<int, std::string> clients_;  // fd -> unfinished input line
};

}  // namespace tsim
