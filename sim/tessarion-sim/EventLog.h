#pragma once
// One line per event on standard output, flushed at once, so that tests and
// users can follow what the module saw and did.
namespace tsim {

void setQuiet(bool quiet);
// Announcements (ports, paths) are printed even when quiet.
void announce(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tsim
