#pragma once
// Running tessarion-sim from tests: starts it on loopback with free ports,
// reads the ports and the pseudo-terminal path it announces, sends control
// commands, and follows its event lines. The process ends with the object.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Process.h"

namespace tstest {

struct SimOptions {
  bool tcp = true;                 // --tcp 127.0.0.1:0
  bool pty = false;                // --pty
  std::vector<std::string> args;   // further arguments (faults, identity)
};

class TessarionSim {
 public:
  explicit TessarionSim(const SimOptions& options = {});

  // True once the simulator announced everything that was asked for.
  bool ready() const { return ready_; }
  std::uint16_t tcpPort() const { return tcpPort_; }
  std::uint16_t controlPort() const { return controlPort_; }
  const std::string& ptyPath() const { return ptyPath_; }
  // 127.0.0.1 in network byte order, as the link creators take it.
  static std::uint32_t loopback();

  // Sends one control command; returns the answer line, or "" when the
  // simulator did not answer within two seconds.
  std::string control(const std::string& command) const;

  std::string out() const { return process_.out(); }
  // Number of event lines that begin with `needle`.
  std::size_t count(const std::string& needle) const;
  // Waits until at least n event lines begin with `needle`.
  bool waitForCount(const std::string& needle, std::size_t n, std::chrono::milliseconds timeout) const;
  // Position of the first line beginning with `needle` at or after line `from`
  // (lines counted from 0), or -1.
  long lineOf(const std::string& needle, long from = 0) const;

  Background& process() { return process_; }

 private:
  Background process_;
  bool ready_ = false;
  std::uint16_t tcpPort_ = 0;
  std::uint16_t controlPort_ = 0;
  std::string ptyPath_;
};

}  // namespace tstest
