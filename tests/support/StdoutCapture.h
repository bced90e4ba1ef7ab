#pragma once
// Points the process's standard output (descriptor 1) at a pseudo-terminal or
// a pipe, so that code writing to stdout can be checked byte for byte,
// including what it does only on a terminal.
#include <chrono>
#include <string>

namespace tstest {

class StdoutCapture {
 public:
  enum class Kind { Terminal, Pipe };
  // Flushes stdout and redirects descriptor 1. The terminal is raw, so bytes
  // arrive unchanged (no "\n" to "\r\n").
  explicit StdoutCapture(Kind kind);
  // Restores the original standard output.
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written to stdout since the last call: writes an end mark
  // through descriptor 1 and reads until it comes back (bounded by the
  // time-out; what arrived is returned either way).
  std::string collect(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

 private:
  int saved_ = -1;   // the original descriptor 1
  int reader_ = -1;  // pty master or pipe read end
  int writer_ = -1;  // pty slave or pipe write end, installed as descriptor 1
};

}  // namespace tstest
