#pragma once
// Helpers of the store tests: capturing the diagnostic log, reading files.
#include <cstdio>
#include <string>
#include <vector>

#include "app/Log.h"

namespace storetest {

// Routes the diagnostic log into a temporary file for the life of the
// object, with the given packages active; text() returns what was written.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : packages_(packages), file_(tmpfile()) {
    savedMask_ = Log::package_bitmask.load();
    savedOut_ = Log::fh.load();
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(packages_);
    Log::SetOutput(file_);
  }
  ~LogCapture() {
    Log::SetOutput(savedOut_);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(savedMask_);
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::string out;
    if (!file_) return out;
    fflush(file_);
    long end = ftell(file_);
    rewind(file_);
    out.resize(end > 0 ? static_cast<size_t>(end) : 0);
    if (!out.empty()) out.resize(fread(out.data(), 1, out.size(), file_));
    fseek(file_, 0, SEEK_END);
    return out;
  }

 private:
  uint32_t packages_;
  FILE* file_;
  uint32_t savedMask_ = 0;
  FILE* savedOut_ = nullptr;
};

inline std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace storetest
