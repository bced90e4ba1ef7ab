#pragma once
// The firmware repository an update server serves: one folder per device
// serial number holding BUILD.bird files and the device's token, and a
// recovery table from chip fingerprints to serial and build.
//
//   ROOT/<SERIAL>/<BUILD>.bird   builds; the version is read from the file
//   ROOT/<SERIAL>/token.jwt      the device's token (first line)
//   ROOT/<SERIAL>/latest         optional: the build number to offer as latest
//   ROOT/recovery.txt            "<w0> <w1> <w2> <w3> <SERIAL> [BUILD]" lines
//
// The folder is read afresh on every request, so builds can be added while
// the server runs.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace updsrv {

// The version text of a BIRD file's information block (cut at the first
// blank, control byte or ";"), or nothing when the
// file cannot be read as a BIRD file. Bounded: files over 64 MiB, or that
// unpack to more than 8 times their size or 64 MiB,
// are refused.
std::optional<std::string> ReadBirdVersion(const std::string& path);

struct Build {
  uint32_t number;
  std::string version;  // empty when the file has no readable version
  std::string path;
};

class Repository {
 public:
  explicit Repository(std::string root) : root_(std::move(root)) {}

  // Builds of a device, by build number; nothing when it has no folder.
  std::optional<std::map<uint32_t, Build>> Builds(uint32_t serial);
  // The latest build: the one "latest" names, else the highest number.
  std::optional<Build> Latest(uint32_t serial);
  // The device's token; nothing when it has none.
  std::optional<std::string> Token(uint32_t serial);
  // Serial and build (0: the latest) for a fingerprint.
  std::optional<std::pair<uint32_t, uint32_t>> Recovery(const uint32_t fingerprint[4]);

  const std::string& root() const { return root_; }

 private:
  std::string DeviceFolder(uint32_t serial) const;
  std::string VersionOf(const std::string& path);

  std::string root_;
  // Versions read earlier, keyed by path and checked against size and mtime.
  struct Cached {
    long long size;
    long long mtime;
    std::string version;
  };
  std::mutex cacheMutex_;
  std::map<std::string, Cached> cache_;
};

}  // namespace updsrv
