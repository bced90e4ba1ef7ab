#pragma once
// A firmware repository and a running update-server for tests: BIRD files
// made in memory, the server started on an ephemeral loopback port, and its
// request log read back.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"

namespace tstest {

struct BirdSpec {
  uint32_t build = 1200;
  std::string version = "2.1.0";
  uint32_t serial = 0;         // information block serial (0 for a generic build)
  std::string model = "TESTMODEL";
  std::string firmware = std::string(64, '\x5A');  // image bytes of one firmware block
  uint32_t address = 0x00010000;
  bool infoBlock = true;
};

// The block container (count, blocks, checksum) of a small BIRD file.
std::string birdContainer(const BirdSpec& spec);
// A BIRD file: "bird", version 0x0101 and the container as a zlib stream.
std::string birdFile(const BirdSpec& spec);
// Wraps bytes in a zlib stream (stored blocks: no compression needed here).
std::string zlibStored(const std::string& data);

// update-server over a repository folder, on 127.0.0.1 and a free port.
class UpdateServer {
 public:
  // `extra` are further options (fault flags). Throws std::runtime_error when
  // the server does not report its port within a few seconds.
  explicit UpdateServer(const std::string& root, const std::vector<std::string>& extra = {});
  ~UpdateServer();

  int port() const { return port_; }
  // Base address to pass with -u.
  std::string url() const;
  // The raw query strings received so far, in order.
  std::vector<std::string> queries() const;
  // Waits until at least n requests were logged.
  bool waitForRequests(size_t n, std::chrono::milliseconds timeout) const;
  Background& process() { return *proc_; }

 private:
  std::string logPath_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Background> proc_;
  int port_ = 0;
};

// update-server options (--answer) that answer each named op with exactly the
// given body; the bodies are written to files in `dir`.
std::vector<std::string> fixedAnswers(const std::string& dir, const std::map<std::string, std::string>& bodies);

// Device folder in a repository: root/%08X, created when missing.
std::string deviceFolder(const std::string& root, uint32_t serial);
// Stores a build as root/%08X/<build>.bird.
void addBuild(const std::string& root, uint32_t serial, const BirdSpec& spec);

}  // namespace tstest
