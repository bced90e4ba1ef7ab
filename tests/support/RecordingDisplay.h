#pragma once
// A display that records what message() hands on, for checking which lines
// an operation prints and at which level.
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace tstest {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
  std::vector<std::string> infos, errors;
};

}  // namespace tstest
