#pragma once
// What main prints itself: the version and copyright lines, the usage texts,
// and the printers for build lists, fingerprints and tokens.
#include <cstdint>
#include <map>
#include <string>

#include "app/Updater.h"
#include "app/UpdaterDisplayInterface.h"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp);
void _display_jwt(UpdaterDisplayInterface& display, std::string token);
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serial);

// Writes to standard error: the header; with `full` the parameters text,
// with `full` and `extended` the extended text, and with `full` the samples.
void _display_usage(bool extended, bool full);
// The same texts as one string (what _display_usage writes).
std::string _usage_text(bool extended, bool full);
