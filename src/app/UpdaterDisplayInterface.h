#pragma once
// The sink for everything the update operations tell the user. Operations
// never write to the console themselves, so a test can record what they say
// and a different front end can present it differently.
#include <cstdarg>
#include <cstdio>

class UpdaterDisplayInterface {
 public:
  enum Level { Info = 0, Error = 1 };

  UpdaterDisplayInterface() = default;
  UpdaterDisplayInterface(const UpdaterDisplayInterface&) = delete;
  UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = delete;

  // Formats printf-style (cut to 2047 characters) and hands the text, which
  // carries no line end, to error_message for Error and info_message
  // otherwise. Does nothing while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Silences message() (progress output is not affected).
  void mute_messages(bool mute) { muted = mute; }
  bool is_muted() const { return muted; }

  // True while message() prints nothing; false at construction.
  bool muted = false;

  virtual void display_progress(bool on) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

 protected:
  // Owned by whoever created it, never deleted through the interface.
  ~UpdaterDisplayInterface() = default;
};

inline void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted || format == nullptr) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) buffer[0] = '\0';
  if (level == Error)
    error_message(buffer);
  else
    info_message(buffer);
}
