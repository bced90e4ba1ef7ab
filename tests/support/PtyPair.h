#pragma once
// A pseudo-terminal pair standing in for a serial port: the slave path is
// opened as the port, the master descriptor plays the device at the far end.
#include <string>

namespace tstest {

class PtyPair {
 public:
  // Opens the master (non-blocking) and keeps the slave open too, so the
  // line does not hang up while the code under test reopens it. ok() tells
  // whether it worked.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  // An open descriptor of the slave side, for inspecting its attributes.
  int slave() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }

  // Writes all bytes to the master side; false on failure.
  bool send(const std::string& bytes);
  // Reads from the master side until `count` bytes came or `timeoutMs` passed.
  std::string receive(size_t count, int timeoutMs);
  // Closes the master side: the far end goes away and the line hangs up.
  void closeMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace tstest
