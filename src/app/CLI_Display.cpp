#include "app/CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

static_assert(std::char_traits<char>::length(CLI_Display::BAR) == CLI_Display::BAR_WIDTH);

namespace {
bool _on_terminal() { return isatty(fileno(stdout)) == 1; }

void _clear_line() { printf("\r%*s\r", CLI_Display::CLEAR_WIDTH, " "); }
}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::info_message(const char* text) { printf("%s\n", text ? text : ""); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text ? text : ""); }

void CLI_Display::display_progress(bool on) {
  if (!_on_terminal()) return;
  if (!on) _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!_on_terminal()) return;
  // A fraction outside 0..1 (or not a number) would make the bar overrun its
  // width or the conversions undefined; show it as the nearest end instead.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = BAR_WIDTH;
  if (label != nullptr) {
    width = BAR_WIDTH - static_cast<int>(strlen(label)) - 4;
    if (width < 0) width = 0;  // a label too long for the line leaves no bar
  }
  int percent = static_cast<int>(fraction * 100.0);
  int filled = static_cast<int>(width * fraction);
  // At 1.0 the pad width is -1, which printf takes as a one-blank field.
  if (label == nullptr)
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, BAR, width - filled - 1, "", percent);
  else
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  // Shared by every spinner of the run; only the thread that drives the
  // spinner touches it.
  static uint8_t frame = 0;
  if (!_on_terminal()) return;
  if (!on) {
    _clear_line();
    return;
  }
  if (label == nullptr)
    printf("\r %s      \r", SPINNER_FRAMES[frame]);
  else
    printf("\r (%s) %s      \r", label, SPINNER_FRAMES[frame]);
  frame = static_cast<uint8_t>((frame + 1) % SPINNER_FRAME_COUNT);
}
