#pragma once
// Console display: information on standard output, errors on standard error,
// and a progress bar and spinner redrawn in place on a terminal.
#include <cstdint>

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so progress and
  // messages appear at once and in order.
  CLI_Display();
  ~CLI_Display() = default;

  // The three progress operations print nothing when standard output is not
  // a terminal.
  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  static constexpr const char* BAR =
      "=====================================================================";
  static constexpr int BAR_WIDTH = 69;
  static constexpr int CLEAR_WIDTH = 88;
  static constexpr int SPINNER_FRAME_COUNT = 8;
  static constexpr const char* SPINNER_FRAMES[SPINNER_FRAME_COUNT] = {
      ".", "..", "...", "....", ".....", "....", "...", ".."};
};
